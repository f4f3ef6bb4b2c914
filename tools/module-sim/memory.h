// The module's memory as the bootloader sees it: flash that behaves as flash (page erase,
// program only erased units), bootloader-accessible RAM and the read-only system areas.
#pragma once

#include "device_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vbsim {

enum class Area { None, Flash, Ram, SystemMemory, DeviceInfo };

enum class ProgramResult {
    Ok,
    NotErased,     // a write unit was already programmed: the flash reports an error
    Protected,     // write-protected sector: silently not programmed
};

class Memory {
public:
    explicit Memory(const DeviceModel &model);

    const DeviceModel &model() const { return model_; }

    // Which area holds [addr, addr+len); None if the range is not wholly inside one.
    Area areaOf(uint32_t addr, uint32_t len = 1) const;

    bool read(uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const;

    // Programs flash (stops at the first unit that is not erased) or writes RAM.
    ProgramResult program(uint32_t addr, const std::vector<uint8_t> &data);

    // Erases one page; false if the page number is out of range. A write-protected
    // page is left as it is (the hardware does not report it).
    bool erasePage(uint32_t page);
    void massErase(bool evenProtected);
    bool pageProtected(uint32_t page) const;

    void setWriteProtection(const std::vector<uint8_t> &sectors);
    void clearWriteProtection();

    // The 96-bit unique device ID, as three little-endian words at the family's places.
    void setUid(const uint8_t (&uid)[12]);
    void uid(uint8_t (&out)[12]) const;

    // Loads content without programming rules (initial state of the module).
    void loadFlash(uint32_t offset, const std::vector<uint8_t> &data);
    const std::vector<uint8_t> &flash() const { return flash_; }

private:
    bool unitErased(uint32_t unitIndex) const;

    const DeviceModel &model_;
    std::vector<uint8_t> flash_;
    std::vector<bool> programmedUnits_; // write-once bookkeeping for ECC flash
    std::vector<bool> wrpSectors_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> systemMemory_;
    std::vector<uint8_t> deviceInfo_;
};

} // namespace vbsim
