// Memory maps, bootloader identity and flash timings of the module variants we simulate.
#pragma once

#include <cstdint>
#include <vector>

namespace vbsim {

// Half-open address range [start, end).
struct AddressRange {
    uint32_t start = 0;
    uint32_t end = 0;
    bool contains(uint32_t a) const { return a >= start && a < end; }
    bool containsRange(uint32_t a, uint32_t len) const
    {
        return len > 0 && contains(a) && uint64_t(a) + len <= end;
    }
    uint32_t size() const { return end - start; }
};

struct DeviceModel {
    uint16_t pid = 0;
    const char *name = "";

    // Flash geometry.
    AddressRange flash;
    uint32_t pageSize = 0;       // erase unit
    uint32_t writeUnit = 0;      // programming granularity
    uint32_t addressAlign = 4;   // Write Memory start alignment into flash
    uint8_t erasedValue = 0xFF;
    bool eccWriteOnce = false;   // double-word + ECC: programmable once per erase
    uint32_t wrpSectorSize = 0;  // Write Protect sector code granularity
    uint32_t bankCount = 1;

    // Bootloader.
    uint8_t blVersion = 0x31;    // USART protocol version, BCD-like
    uint8_t eraseCommand = 0x44; // 0x43 or 0x44, never both
    bool massEraseSupported = true;

    // Other memory the bootloader lets the host reach.
    AddressRange ram;            // RAM not used by the bootloader itself
    AddressRange systemMemory;   // bootloader ROM, read-only
    AddressRange deviceInfo;     // factory area with UID and F_SIZE, read-only
    uint32_t flashSizeRegister = 0;
    uint32_t uidAddress = 0;
    uint32_t uidWordOffsets[3] = {0, 4, 8}; // where the three words of the 96-bit ID sit

    // Flash operation times in seconds.
    double pageEraseTime = 0;
    double massEraseTime = 0;
    double unitProgramTime = 0;  // per write unit
    uint32_t fastProgramBytes = 0; // aligned chunk programmed in one go (L0 half-page)
    double fastProgramTime = 0;

    uint32_t pageCount() const { return flash.size() / pageSize; }
};

// The model for a product ID, or nullptr if we do not simulate it.
const DeviceModel *findDeviceModel(uint16_t pid);
std::vector<uint16_t> knownDeviceModels();

} // namespace vbsim
