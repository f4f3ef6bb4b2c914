// What the module says about itself, each answer checked before anything relies on it: a
// product ID misread by one bit names another family's page size and registers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "bootloader_client.h"
#include "device_table.h"

namespace vbprog {

// Get ID until two answers in a row agree (at most four asks). Answers that keep changing
// throw ProgError(PROG_ERR_IDENTITY).
uint16_t readProductIdTwice(BootloaderClient& client);

struct FlashSizeReading {
    uint32_t bytes = 0;      // 0: unreadable or nonsense
    uint16_t raw = 0;
    std::string problem;     // why `bytes` is 0
};

// The family's flash-size register, read twice. Where a 2-byte read is refused, the aligned
// 4 and then 16 bytes around it (some parts refuse short reads there). Protection and a
// lost link throw.
FlashSizeReading readFlashSizeRegister(BootloaderClient& client, const DeviceInfo& device);

using UniqueId = std::array<uint8_t, 12>;

// The chip's 96-bit unique ID, read twice; none where the device table does not know where
// it lies or the bootloader refuses the read. A lost link and protection throw.
std::optional<UniqueId> readUniqueId(BootloaderClient& client, const DeviceInfo& device);

// The sentence that refuses an erase on a geometry that cannot be trusted: names the
// product ID, what is wrong and what to check.
std::string untrustedGeometrySentence(uint16_t pid, const DeviceInfo& device, const std::string& problem);

}  // namespace vbprog
