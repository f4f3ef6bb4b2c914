// A scriptable stand-in for the programming library: it implements every C function of
// programmer_api.h, and tests steer it and read back what was called through this header.
//
// Typical use:
//     fakeprog::reset();
//     fakeprog::setPorts({"/dev/ttyUSB0", "/dev/ttyUSB1"});
//     fakeprog::setMemory(0x080007E0, {0x70, 0xB3, ...});
//     ... run the code under test ...
//     QCOMPARE(fakeprog::callNames(), (std::vector<std::string>{"connectUsartBootloader", ...}));
//
// Lifetimes follow the library's contract strictly so that AddressSanitizer catches a caller
// that breaks it: the port list is freed (and poisoned first) by the next getUsartList and by
// deleteInterfaceList; a read buffer is freed by the next readMemory and by disconnect.
//
// Like the real library it keeps a link state: readMemory, downloadFile and execute answer
// PROG_ERR_NOT_CONNECTED unless a connectUsartBootloader succeeded and neither disconnect nor
// execute followed; getDeviceGeneralInf is then null. A null pointer or zero size gives
// PROG_ERR_BAD_ARGUMENT.
//
// Every function may be called from any thread; a mutex guards the fake's state. A download
// runs the scripted reports on the caller's thread, calling the registered display callbacks
// like the real library (loadBar for progress, logMessage for messages) without holding the
// mutex, so the callbacks may call back into the fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "programmer_api.h"

namespace fakeprog {

// One call into the fake: the C function's name and its arguments in printable form
// ("0x080007e0, 8" for readMemory; a port record prints as its port name).
struct Call {
    std::string name;
    std::string args;
};

// The raw arguments of one downloadFile call, and where it ran.
struct DownloadCall {
    std::wstring path;
    unsigned int address = 0;
    unsigned int skipErase = 0;
    unsigned int verify = 0;
    std::wstring binPath;
    bool binPathWasNull = false;
    std::thread::id thread;
};

// Back to the initial state: no ports, connect succeeds, an STM32WL-like device, erased
// memory (0xFF) with read result 0, download result 0 without reports, nothing logged,
// callbacks unset, no hold. Frees the lists and buffers it handed out, so an object still
// holding a port list (the flasher) must rescan before it selects again.
void reset();

// The ports that getUsartList reports, in order. Each record gets 115200 baud, even parity,
// 8 data bits, 1 stop bit, no flow control, noinitBits 0.
void setPorts(const std::vector<std::string>& names);
// Full records, for tests that look at the serial settings.
void setPortRecords(const std::vector<usartConnectParameters>& records);

// Results of connectUsartBootloader: queued values are used first, one per call; after that
// the fixed value (0 by default).
void setConnectResult(int result);
void queueConnectResults(const std::vector<int>& results);
// Messages every connectUsartBootloader sends through logMessage, on the caller's thread.
void setConnectMessages(const std::vector<std::pair<int, std::wstring>>& messages);

// The record getDeviceGeneralInf returns while connected. null is returned when not connected.
void setDeviceInfo(const generalInf& info);
generalInf defaultDeviceInfo();

// Memory: bytes at consecutive addresses from `address`; unset addresses read as 0xFF.
void setMemory(unsigned int address, const std::vector<unsigned char>& bytes);
// Result of readMemory; non-zero leaves the caller's pointer untouched.
void setReadResult(int result);

// downloadFile: its result, the (progress, total) reports it sends through loadBar, messages
// it sends through logMessage before the reports, and a pause before each report.
void setDownloadResult(int result);
void setDownloadProgress(const std::vector<std::pair<int, int>>& reports);
void setDownloadMessages(const std::vector<std::pair<int, std::wstring>>& messages);
void setDownloadDelay(std::chrono::milliseconds perReport);

// Gate: while held, a download blocks after its messages and before its first report.
// releaseDownloads() lets it go on; waitForDownloadStarted() waits until a download has
// started since the last reset() or clearCalls().
void holdDownloads();
void releaseDownloads();
bool waitForDownloadStarted(std::chrono::milliseconds timeout);

void setExecuteResult(int result);

// What happened.
std::vector<Call> calls();
std::vector<std::string> callNames();
int callCount(const std::string& name);
void clearCalls();  // also forgets downloads, connect records and started downloads
std::vector<DownloadCall> downloads();
std::vector<usartConnectParameters> connectRecords();  // each connectUsartBootloader argument
bool isConnected();
int libraryVerbosity();                                 // last setVerbosityLevel, -1 if none
displayCallBacks registeredCallbacks();                 // last setDisplayCallbacks
std::string loadersPath();

}  // namespace fakeprog
