// Device table: what the flasher must know about each STM32 product ID that a module may carry.
#pragma once

#include <cstdint>

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
};

// nullptr for an unknown product ID.
const DeviceInfo* findDevice(uint16_t pid);

// Every entry, for checks over the whole table.
const DeviceInfo* deviceTable(int* count);

// Flash size in bytes from the raw 16-bit size register, or 0 when the value makes no sense.
uint32_t decodeFlashSize(const DeviceInfo& device, uint16_t raw);

}  // namespace vbprog
