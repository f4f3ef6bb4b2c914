#include "device_model.h"

namespace vbsim {

namespace {

DeviceModel makeWl()
{
    DeviceModel m;
    m.pid = 0x497;
    m.name = "STM32WLE5/WL55";
    m.flash = {0x08000000, 0x08000000 + 256 * 1024};
    m.pageSize = 2048;
    m.writeUnit = 8;
    m.addressAlign = 8;
    m.erasedValue = 0xFF;
    m.eccWriteOnce = true;
    m.wrpSectorSize = 2048; // WRP areas are counted in pages
    m.blVersion = 0x31;
    m.eraseCommand = 0x44;
    m.massEraseSupported = true;
    m.ram = {0x20002000, 0x20010000};
    m.systemMemory = {0x1FFF0000, 0x1FFF4000};
    m.deviceInfo = {0x1FFF7500, 0x1FFF7600};
    m.flashSizeRegister = 0x1FFF75E0;
    m.uidAddress = 0x1FFF7590;
    m.pageEraseTime = 22.0e-3;
    m.massEraseTime = 22.1e-3;
    m.unitProgramTime = 82e-6;
    return m;
}

DeviceModel makeL0()
{
    DeviceModel m;
    m.pid = 0x447;
    m.name = "STM32L07x/L08x (cat. 5)";
    m.flash = {0x08000000, 0x08000000 + 192 * 1024};
    m.pageSize = 128;
    m.writeUnit = 4;
    m.addressAlign = 4;
    m.erasedValue = 0x00;
    m.eccWriteOnce = false;
    m.wrpSectorSize = 4096;
    m.bankCount = 2;
    m.blVersion = 0x31;
    m.eraseCommand = 0x44;
    m.massEraseSupported = false; // erased page by page
    m.ram = {0x20001000, 0x20005000};
    m.systemMemory = {0x1FF00000, 0x1FF02000};
    m.deviceInfo = {0x1FF80050, 0x1FF80080};
    m.flashSizeRegister = 0x1FF8007C;
    m.uidAddress = 0x1FF80050;
    m.uidWordOffsets[2] = 0x14; // not contiguous on L0
    m.pageEraseTime = 3.2e-3;
    m.massEraseTime = 3.2e-3;
    m.unitProgramTime = 3.2e-3;
    m.fastProgramBytes = 64; // half-page
    m.fastProgramTime = 3.2e-3;
    return m;
}

DeviceModel makeF1()
{
    DeviceModel m;
    m.pid = 0x410;
    m.name = "STM32F10x medium-density";
    m.flash = {0x08000000, 0x08000000 + 128 * 1024};
    m.pageSize = 1024;
    m.writeUnit = 2;
    m.addressAlign = 4;
    m.erasedValue = 0xFF;
    m.eccWriteOnce = false;
    m.wrpSectorSize = 4096;
    m.blVersion = 0x22;
    m.eraseCommand = 0x43;
    m.massEraseSupported = true;
    m.ram = {0x20000200, 0x20005000};
    m.systemMemory = {0x1FFFF000, 0x1FFFF800};
    m.deviceInfo = {0x1FFFF7E0, 0x1FFFF800}; // the end of system memory
    m.flashSizeRegister = 0x1FFFF7E0;
    m.uidAddress = 0x1FFFF7E8;
    // Datasheet typical values for the F10x line.
    m.pageEraseTime = 20e-3;
    m.massEraseTime = 20e-3;
    m.unitProgramTime = 52.5e-6;
    return m;
}

const DeviceModel &model(int i)
{
    static const DeviceModel models[] = {makeWl(), makeL0(), makeF1()};
    return models[i];
}

} // namespace

const DeviceModel *findDeviceModel(uint16_t pid)
{
    for (int i = 0; i < 3; ++i)
        if (model(i).pid == pid)
            return &model(i);
    return nullptr;
}

std::vector<uint16_t> knownDeviceModels()
{
    return {0x497, 0x447, 0x410};
}

} // namespace vbsim
