// Device table: what the flasher must know about each STM32 product ID that a module may carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vbprog {

enum class FlashSizeFormat : uint8_t {
    KiB16,         // 16-bit value in KiB
    KiBLow8,       // only the low 8 bits are valid (L1 Cat.2)
    L1DualCode,    // 0 -> 384 KiB, 1 -> 256 KiB (L1 Cat.4)
};

struct DeviceInfo {
    uint16_t pid;
    const char* name;
    const char* series;
    const char* cpu;
    const char* description;
    uint32_t flashBase;
    uint32_t maxFlashSize;      // bytes; used when the size register cannot be read
    uint32_t eraseUnit;         // bytes of one erase "page" code (first sector on sector parts)
    bool sectorErase;           // erase units are sectors of different sizes
    uint32_t writeUnit;         // bytes a write must cover, aligned (at least 4 for the bootloader)
    uint8_t erasedValue;
    uint32_t flashSizeRegister; // 0 when the table has none
    FlashSizeFormat flashSizeFormat;
    bool firstBankOnly;         // bank-2 page numbering not known: erase only in the first half
    uint32_t uniqueIdAddress;   // the 96-bit unique ID's first word; 0 where the table does not know it
    uint32_t uniqueIdThirdWord; // offset of its third word from the first (not contiguous on L0)
    const uint8_t* bootloaderVersions;  // USART protocol versions its bootloaders report, zero-ended
};

// Where the 96-bit unique device ID lies: three 32-bit words at `address` plus each offset,
// read with Read Memory while readout protection is off. `address` is 0 for a family whose
// location the table does not know.
struct UniqueIdLocation {
    uint32_t address = 0;
    uint32_t wordOffsets[3] = {0, 4, 8};
    // The bytes to read from `address` to cover all three words.
    uint32_t span() const { return wordOffsets[2] + 4; }
};

UniqueIdLocation uniqueIdLocation(const DeviceInfo& device);

// nullptr for an unknown product ID.
const DeviceInfo* findDevice(uint16_t pid);

// Every entry, for checks over the whole table.
const DeviceInfo* deviceTable(int* count);

// Flash size in bytes from the raw 16-bit size register, or 0 when the value makes no sense.
uint32_t decodeFlashSize(const DeviceInfo& device, uint16_t raw);

// USART protocol versions (0x31 = 3.1) this product's bootloaders report; a zero ends the list.
const uint8_t* bootloaderVersions(const DeviceInfo& device);

// Whether a bootloader that reports `version` in Get and `versionAgain` in Get Version and
// lists `commands` can be this product's. Empty when it can; otherwise what does not fit,
// as a phrase ("it reports protocol 2.2, the STM32L4 bootloaders 3.1").
std::string bootloaderMismatch(const DeviceInfo& device, uint8_t version, uint8_t versionAgain,
                               const std::vector<uint8_t>& commands);

}  // namespace vbprog
