#include "memory.h"

#include <algorithm>

namespace vbsim {

namespace {

void putLe(std::vector<uint8_t> &v, uint32_t offset, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        if (offset + i < v.size())
            v[offset + i] = uint8_t(value >> (8 * i));
}

} // namespace

Memory::Memory(const DeviceModel &model)
    : model_(model),
      flash_(model.flash.size(), model.erasedValue),
      programmedUnits_(model.flash.size() / model.writeUnit, false),
      wrpSectors_(model.wrpSectorSize ? model.flash.size() / model.wrpSectorSize : 0, false),
      ram_(model.ram.size(), 0),
      systemMemory_(model.systemMemory.size()),
      deviceInfo_(model.deviceInfo.size(), model.erasedValue)
{
    // Something that looks like code rather than a blank ROM.
    uint32_t x = 0x2545F491u ^ model.pid;
    for (auto &b : systemMemory_) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    if (model.uidAddress) {
        const uint32_t words[3] = {0x00350041u, 0x34365111u, 0x20373536u ^ model.pid};
        for (int i = 0; i < 3; ++i)
            putLe(deviceInfo_, model.uidAddress - model.deviceInfo.start + model.uidWordOffsets[i], words[i], 4);
    }
    if (model.flashSizeRegister)
        putLe(deviceInfo_, model.flashSizeRegister - model.deviceInfo.start,
              model.flash.size() / 1024, 2);
}

void Memory::setUid(const uint8_t (&uid)[12])
{
    for (int i = 0; i < 12; ++i)
        deviceInfo_[model_.uidAddress - model_.deviceInfo.start + model_.uidWordOffsets[i / 4] + i % 4] = uid[i];
}

void Memory::uid(uint8_t (&out)[12]) const
{
    for (int i = 0; i < 12; ++i)
        out[i] = deviceInfo_[model_.uidAddress - model_.deviceInfo.start + model_.uidWordOffsets[i / 4] + i % 4];
}

Area Memory::areaOf(uint32_t addr, uint32_t len) const
{
    // The factory area may sit inside system memory (F1); it wins.
    if (model_.deviceInfo.containsRange(addr, len))
        return Area::DeviceInfo;
    if (model_.flash.containsRange(addr, len))
        return Area::Flash;
    if (model_.ram.containsRange(addr, len))
        return Area::Ram;
    if (model_.systemMemory.containsRange(addr, len))
        return Area::SystemMemory;
    return Area::None;
}

bool Memory::read(uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const
{
    const std::vector<uint8_t> *src = nullptr;
    uint32_t base = 0;
    switch (areaOf(addr, len)) {
    case Area::Flash: src = &flash_; base = model_.flash.start; break;
    case Area::Ram: src = &ram_; base = model_.ram.start; break;
    case Area::SystemMemory: src = &systemMemory_; base = model_.systemMemory.start; break;
    case Area::DeviceInfo: src = &deviceInfo_; base = model_.deviceInfo.start; break;
    case Area::None: return false;
    }
    out.assign(src->begin() + (addr - base), src->begin() + (addr - base + len));
    return true;
}

bool Memory::unitErased(uint32_t unit) const
{
    if (model_.eccWriteOnce)
        return !programmedUnits_[unit];
    const uint32_t off = unit * model_.writeUnit;
    return std::all_of(flash_.begin() + off, flash_.begin() + off + model_.writeUnit,
                       [this](uint8_t b) { return b == model_.erasedValue; });
}

ProgramResult Memory::program(uint32_t addr, const std::vector<uint8_t> &data)
{
    const Area area = areaOf(addr, uint32_t(data.size()));
    if (area == Area::Ram) {
        std::copy(data.begin(), data.end(), ram_.begin() + (addr - model_.ram.start));
        return ProgramResult::Ok;
    }
    if (area != Area::Flash)
        return ProgramResult::NotErased;

    const uint32_t off = addr - model_.flash.start;
    const uint32_t unit = model_.writeUnit;
    const uint32_t firstUnit = off / unit;
    const uint32_t lastUnit = (off + uint32_t(data.size()) - 1) / unit;
    if (model_.wrpSectorSize) {
        for (uint32_t s = off / model_.wrpSectorSize;
             s <= (off + data.size() - 1) / model_.wrpSectorSize; ++s)
            if (wrpSectors_[s])
                return ProgramResult::Protected;
    }
    for (uint32_t u = firstUnit; u <= lastUnit; ++u) {
        if (!unitErased(u))
            return ProgramResult::NotErased;
        // A unit only partly covered by the block is completed with the erased value,
        // as the programming always writes whole units.
        for (uint32_t i = u * unit; i < (u + 1) * unit; ++i) {
            if (i >= off && i < off + data.size())
                flash_[i] = data[i - off];
        }
        programmedUnits_[u] = true;
    }
    return ProgramResult::Ok;
}

bool Memory::pageProtected(uint32_t page) const
{
    if (!model_.wrpSectorSize)
        return false;
    return wrpSectors_[uint64_t(page) * model_.pageSize / model_.wrpSectorSize];
}

bool Memory::erasePage(uint32_t page)
{
    if (page >= model_.pageCount())
        return false;
    if (pageProtected(page))
        return true;
    const uint32_t off = page * model_.pageSize;
    std::fill(flash_.begin() + off, flash_.begin() + off + model_.pageSize, model_.erasedValue);
    const uint32_t units = model_.pageSize / model_.writeUnit;
    std::fill(programmedUnits_.begin() + off / model_.writeUnit,
              programmedUnits_.begin() + off / model_.writeUnit + units, false);
    return true;
}

void Memory::massErase(bool evenProtected)
{
    if (evenProtected)
        clearWriteProtection();
    for (uint32_t p = 0; p < model_.pageCount(); ++p)
        erasePage(p);
}

void Memory::setWriteProtection(const std::vector<uint8_t> &sectors)
{
    // A new Write Protect replaces the previous set.
    std::fill(wrpSectors_.begin(), wrpSectors_.end(), false);
    for (uint8_t s : sectors)
        if (s < wrpSectors_.size())
            wrpSectors_[s] = true;
}

void Memory::clearWriteProtection()
{
    std::fill(wrpSectors_.begin(), wrpSectors_.end(), false);
}

void Memory::loadFlash(uint32_t offset, const std::vector<uint8_t> &data)
{
    for (size_t i = 0; i < data.size() && offset + i < flash_.size(); ++i)
        flash_[offset + i] = data[i];
    const uint32_t unit = model_.writeUnit;
    for (uint32_t u = offset / unit; u * unit < offset + data.size() && u < programmedUnits_.size(); ++u) {
        bool erased = true;
        for (uint32_t i = u * unit; i < (u + 1) * unit; ++i)
            erased = erased && flash_[i] == model_.erasedValue;
        programmedUnits_[u] = !erased;
    }
}

} // namespace vbsim
