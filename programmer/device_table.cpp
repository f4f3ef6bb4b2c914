#include "device_table.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vbprog {

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t kFlash = 0x08000000;

// USART protocol versions per line, as the bootloader application notes list them.
constexpr uint8_t kV22[] = {0x22, 0};
constexpr uint8_t kV20or22[] = {0x20, 0x22, 0};   // F105/F107 report 2.0 (erratum)
constexpr uint8_t kV30[] = {0x30, 0};
constexpr uint8_t kV31[] = {0x31, 0};
constexpr uint8_t kV32[] = {0x32, 0};

// L0 and L1 bootloaders program by half-page; a second write into a half-page already
// touched since the erase may be dropped, so writes cover whole half-pages there.
constexpr DeviceInfo kDevices[] = {
    // pid, name, series, cpu, description, base, max, erase unit, sectors, write unit, erased, F_SIZE, format,
    // bank 1 only, unique ID, its third word, bootloader versions
    {0x457, "STM32L010/L011/L021", "STM32L0", "Cortex-M0+", "STM32L0 Cat.1, 128-byte pages", kFlash, 16 * KiB, 128, false, 64, 0x00, 0x1FF8007C, FlashSizeFormat::KiB16, false, 0x1FF80050, 0x14, kV31},
    {0x425, "STM32L031/L041", "STM32L0", "Cortex-M0+", "STM32L0 Cat.2, 128-byte pages", kFlash, 32 * KiB, 128, false, 64, 0x00, 0x1FF8007C, FlashSizeFormat::KiB16, false, 0x1FF80050, 0x14, kV31},
    {0x417, "STM32L05x/L06x", "STM32L0", "Cortex-M0+", "STM32L0 Cat.3, 128-byte pages", kFlash, 64 * KiB, 128, false, 64, 0x00, 0x1FF8007C, FlashSizeFormat::KiB16, false, 0x1FF80050, 0x14, kV31},
    {0x447, "STM32L07x/L08x", "STM32L0", "Cortex-M0+", "STM32L0 Cat.5, 128-byte pages", kFlash, 192 * KiB, 128, false, 64, 0x00, 0x1FF8007C, FlashSizeFormat::KiB16, false, 0x1FF80050, 0x14, kV31},

    {0x416, "STM32L1xxx6/8/B", "STM32L1", "Cortex-M3", "STM32L1 Cat.1, 256-byte pages", kFlash, 128 * KiB, 256, false, 128, 0x00, 0x1FF8004C, FlashSizeFormat::KiB16, false, 0, 8, kV30},
    {0x429, "STM32L1xxx6/8/B-A", "STM32L1", "Cortex-M3", "STM32L1 Cat.2, 256-byte pages", kFlash, 128 * KiB, 256, false, 128, 0x00, 0x1FF8004C, FlashSizeFormat::KiBLow8, false, 0, 8, kV31},
    {0x427, "STM32L1xxxC", "STM32L1", "Cortex-M3", "STM32L1 Cat.3, 256-byte pages", kFlash, 256 * KiB, 256, false, 128, 0x00, 0x1FF800CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x436, "STM32L1xxxD", "STM32L1", "Cortex-M3", "STM32L1 Cat.4, 256-byte pages, dual bank", kFlash, 384 * KiB, 256, false, 128, 0x00, 0x1FF800CC, FlashSizeFormat::L1DualCode, false, 0, 8, kV31},
    {0x437, "STM32L1xxxE", "STM32L1", "Cortex-M3", "STM32L1 Cat.5/6, 256-byte pages, dual bank", kFlash, 512 * KiB, 256, false, 128, 0x00, 0x1FF800CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},

    {0x464, "STM32L412/L422", "STM32L4", "Cortex-M4", "STM32L4, 2 KiB pages", kFlash, 128 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x435, "STM32L43x/L44x", "STM32L4", "Cortex-M4", "STM32L4, 2 KiB pages", kFlash, 256 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x462, "STM32L45x/L46x", "STM32L4", "Cortex-M4", "STM32L4, 2 KiB pages", kFlash, 512 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x415, "STM32L47x/L48x", "STM32L4", "Cortex-M4", "STM32L4, 2 KiB pages, dual bank", kFlash, 1024 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, true, 0, 8, kV31},
    {0x461, "STM32L496/L4A6", "STM32L4", "Cortex-M4", "STM32L4, 2 KiB pages, dual bank", kFlash, 1024 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, true, 0, 8, kV31},
    {0x470, "STM32L4R/L4S", "STM32L4+", "Cortex-M4", "STM32L4+, 8 KiB pages (4 KiB dual bank)", kFlash, 2048 * KiB, 8 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x471, "STM32L4P5/L4Q5", "STM32L4+", "Cortex-M4", "STM32L4+, 8 KiB pages (4 KiB dual bank)", kFlash, 1024 * KiB, 8 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},

    {0x497, "STM32WLE5/WLE4/WL55/WL54", "STM32WL", "Cortex-M4", "STM32WL sub-GHz radio MCU, 2 KiB pages", kFlash, 256 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0x1FFF7590, 8, kV31},

    {0x495, "STM32WB30/WB35/WB50/WB55", "STM32WB", "Cortex-M4", "STM32WB, 4 KiB pages", kFlash, 1024 * KiB, 4 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV32},
    {0x496, "STM32WB3x", "STM32WB", "Cortex-M4", "STM32WB, 4 KiB pages", kFlash, 512 * KiB, 4 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV32},
    {0x494, "STM32WB10/WB15", "STM32WB", "Cortex-M4", "STM32WB, 2 KiB pages", kFlash, 320 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},

    {0x440, "STM32F05x/F030x8", "STM32F0", "Cortex-M0", "STM32F0, 1 KiB pages", kFlash, 64 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x444, "STM32F03x", "STM32F0", "Cortex-M0", "STM32F0, 1 KiB pages", kFlash, 32 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x445, "STM32F04x/F070x6", "STM32F0", "Cortex-M0", "STM32F0, 1 KiB pages", kFlash, 32 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x448, "STM32F07x", "STM32F0", "Cortex-M0", "STM32F0, 2 KiB pages", kFlash, 128 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x442, "STM32F09x/F030xC", "STM32F0", "Cortex-M0", "STM32F0, 2 KiB pages", kFlash, 256 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7CC, FlashSizeFormat::KiB16, false, 0, 8, kV31},

    {0x412, "STM32F10x Low-density", "STM32F1", "Cortex-M3", "STM32F1, 1 KiB pages", kFlash, 32 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV22},
    {0x410, "STM32F10x Medium-density", "STM32F1", "Cortex-M3", "STM32F1, 1 KiB pages", kFlash, 128 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV22},
    {0x414, "STM32F10x High-density", "STM32F1", "Cortex-M3", "STM32F1, 2 KiB pages", kFlash, 512 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV22},
    {0x420, "STM32F10x Medium-density value line", "STM32F1", "Cortex-M3", "STM32F1, 1 KiB pages", kFlash, 128 * KiB, 1 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV22},
    {0x428, "STM32F10x High-density value line", "STM32F1", "Cortex-M3", "STM32F1, 2 KiB pages", kFlash, 512 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV22},
    {0x418, "STM32F105/F107", "STM32F1", "Cortex-M3", "STM32F1 connectivity line, 2 KiB pages", kFlash, 256 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV20or22},
    {0x430, "STM32F10x XL-density", "STM32F1", "Cortex-M3", "STM32F1 XL-density, 2 KiB pages, dual bank", kFlash, 1024 * KiB, 2 * KiB, false, 4, 0xFF, 0x1FFFF7E0, FlashSizeFormat::KiB16, false, 0x1FFFF7E8, 8, kV30},

    {0x413, "STM32F405/F407/F415/F417", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 1024 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x419, "STM32F427/F429/F437/F439", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 2048 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x423, "STM32F401xB/xC", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 256 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x433, "STM32F401xD/xE", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 512 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x431, "STM32F411", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 512 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x421, "STM32F446", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 512 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x441, "STM32F412", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 1024 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x458, "STM32F410", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 128 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x463, "STM32F413/F423", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 1536 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x434, "STM32F469/F479", "STM32F4", "Cortex-M4", "STM32F4, sectors from 16 KiB", kFlash, 2048 * KiB, 16 * KiB, true, 4, 0xFF, 0x1FFF7A22, FlashSizeFormat::KiB16, false, 0, 8, kV31},

    {0x466, "STM32G030/G031/G041", "STM32G0", "Cortex-M0+", "STM32G0, 2 KiB pages", kFlash, 64 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x456, "STM32G050/G051/G061", "STM32G0", "Cortex-M0+", "STM32G0, 2 KiB pages", kFlash, 64 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x460, "STM32G070/G071/G081", "STM32G0", "Cortex-M0+", "STM32G0, 2 KiB pages", kFlash, 128 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x467, "STM32G0B0/G0B1/G0C1", "STM32G0", "Cortex-M0+", "STM32G0, 2 KiB pages, dual bank", kFlash, 512 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, true, 0, 8, kV31},

    {0x468, "STM32G431/G441", "STM32G4", "Cortex-M4", "STM32G4, 2 KiB pages", kFlash, 128 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    // Page size depends on the DBANK option; without reading it the larger one counts.
    {0x469, "STM32G47x/G48x", "STM32G4", "Cortex-M4", "STM32G4, 4 KiB pages (2 KiB dual bank)", kFlash, 512 * KiB, 4 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
    {0x479, "STM32G491/G4A1", "STM32G4", "Cortex-M4", "STM32G4, 2 KiB pages", kFlash, 512 * KiB, 2 * KiB, false, 8, 0xFF, 0x1FFF75E0, FlashSizeFormat::KiB16, false, 0, 8, kV31},
};

}  // namespace

const DeviceInfo* findDevice(uint16_t pid)
{
    for (const auto& d : kDevices)
        if (d.pid == pid)
            return &d;
    return nullptr;
}

const DeviceInfo* deviceTable(int* count)
{
    if (count)
        *count = int(std::size(kDevices));
    return kDevices;
}

uint32_t decodeFlashSize(const DeviceInfo& device, uint16_t raw)
{
    uint32_t kib = 0;
    switch (device.flashSizeFormat) {
    case FlashSizeFormat::KiB16:
        kib = raw;
        break;
    case FlashSizeFormat::KiBLow8:
        kib = raw & 0xFFu;
        break;
    case FlashSizeFormat::L1DualCode:
        kib = raw == 0 ? 384 : raw == 1 ? 256 : 0;
        break;
    }
    if (kib == 0 || raw == 0xFFFF)
        return 0;
    const uint32_t bytes = kib * KiB;
    if (bytes > device.maxFlashSize || bytes % device.eraseUnit != 0)
        return 0;
    return bytes;
}

namespace {

std::string versionText(uint8_t v)
{
    return std::to_string(v >> 4) + "." + std::to_string(v & 0x0F);
}

bool listed(const std::vector<uint8_t>& commands, uint8_t c)
{
    return std::find(commands.begin(), commands.end(), c) != commands.end();
}

}  // namespace

const uint8_t* bootloaderVersions(const DeviceInfo& device)
{
    return device.bootloaderVersions;
}

std::string bootloaderMismatch(const DeviceInfo& device, uint8_t version, uint8_t versionAgain,
                               const std::vector<uint8_t>& commands)
{
    if (version != versionAgain)
        return "Get reports protocol " + versionText(version) + " but Get Version " + versionText(versionAgain);
    const uint8_t* expected = bootloaderVersions(device);
    bool known = false;
    std::string names;
    for (const uint8_t* v = expected; *v; ++v) {
        known = known || *v == version;
        names += (names.empty() ? "" : " or ") + versionText(*v);
    }
    if (!known)
        return "its bootloader reports protocol " + versionText(version) + ", the " + device.series +
               " bootloaders " + names;
    // Erase (0x43) before protocol 3.0, Extended Erase (0x44) from it, never both.
    const bool erase = listed(commands, 0x43), extended = listed(commands, 0x44);
    if (erase == extended || extended != (version >= 0x30))
        return "its bootloader's command list does not fit protocol " + versionText(version) +
               (erase && extended ? " (it lists both erase commands)"
                : !erase && !extended ? " (it lists no erase command)"
                                      : " (it lists the other erase command)");
    if (!listed(commands, 0x11) || !listed(commands, 0x31))
        return "its bootloader does not list Read Memory and Write Memory";
    return {};
}

UniqueIdLocation uniqueIdLocation(const DeviceInfo& device)
{
    UniqueIdLocation at;
    at.address = device.uniqueIdAddress;
    at.wordOffsets[2] = device.uniqueIdThirdWord;
    return at;
}

}  // namespace vbprog
