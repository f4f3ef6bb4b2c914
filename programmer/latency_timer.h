// The USB bridge's latency timer: a bridge hands received bytes to the PC only when its
// buffer fills or the timer runs out, so every bootloader turnaround can wait for it.
// Reading it and asking for low latency are hints: no failure here is an error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace vbprog {

// The bridge's latency_timer (ms) of a tty under `sysfsRoot` ("/sys"): the port's name
// after following its links (/dev/serial/by-id/... -> ttyUSB0), looked up in class/tty and
// bus/usb-serial. Empty when the port has none (a pty, a bridge without a timer).
std::optional<int> sysfsLatencyTimer(const std::filesystem::path& sysfsRoot, const std::string& portPath);

// What the timer costs: six turnarounds per 256 bytes written and read back, each waiting
// up to the timer.
double latencyCostSeconds(int timerMs, size_t bytes);

// The sentence that tells where to lower a timer above 2 ms and what it costs; empty at
// 2 ms or less.
std::string latencyAdvice(const std::string& port, int timerMs);

// The FTDI driver's LatencyTimer of a COM port, from the key under HKLM that lists its
// devices (each <device>\0000\Device Parameters with PortName and LatencyTimer). Empty
// where nothing matches, and on other systems.
std::optional<int> registryLatencyTimer(const std::string& port,
                                        const std::string& enumKey = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS");

// The advice for `port` the first time this process connects to it (Windows, a timer
// above 2 ms); empty otherwise. On Linux the port is asked for low latency when opened.
std::string latencyAdviceOnce(const std::string& port);

}  // namespace vbprog
