#include "device_identity.h"

#include <algorithm>
#include <cstdio>

#include "status.h"
#include "text_format.h"

namespace vbprog {

uint16_t readProductIdTwice(BootloaderClient& client)
{
    std::string seen;
    uint16_t last = client.getId();
    seen = productIdText(last);
    for (int i = 0; i < 3; ++i) {
        const uint16_t again = client.getId();
        if (again == last)
            return again;
        seen += ", " + productIdText(again);
        last = again;
    }
    throw ProgError(kIdentity, "the module answered Get ID with " + seen +
                                           ": its product ID cannot be trusted, so nothing is done with it; "
                                           "check the cable and the adapter, reset the module into its bootloader and try again");
}

FlashSizeReading readFlashSizeRegister(BootloaderClient& client, const DeviceInfo& device)
{
    FlashSizeReading r;
    const uint32_t reg = device.flashSizeRegister;
    if (!reg) {
        r.problem = "the device table has no flash-size register for it";
        return r;
    }
    std::string refusal;
    for (const uint32_t chunk : {2u, 4u, 16u}) {
        const uint32_t at = reg & ~(chunk - 1);
        const uint32_t end = at + chunk;
        if (reg + 2 > end)
            continue;
        uint8_t buf[16] = {0};
        try {
            client.readMemoryTwice(at, buf, chunk);
        } catch (const ProgError& e) {
            if (e.status != kReadRefused)
                throw;
            refusal = e.what();
            continue;
        }
        r.raw = uint16_t(buf[reg - at] | buf[reg - at + 1] << 8);
        r.bytes = decodeFlashSize(device, r.raw);
        if (!r.bytes)
            r.problem = "its flash-size register at " + hex8(reg) + " reads " + std::to_string(r.raw) +
                        ", which is no flash size of the line";
        return r;
    }
    r.problem = "its flash-size register at " + hex8(reg) + " cannot be read (" + refusal +
                ", also when read as an aligned 4 and 16 bytes)";
    return r;
}

std::optional<UniqueId> readUniqueId(BootloaderClient& client, const DeviceInfo& device)
{
    const UniqueIdLocation at = uniqueIdLocation(device);
    if (!at.address)
        return std::nullopt;
    uint8_t raw[32] = {0};
    static_assert(sizeof raw >= 0x14 + 4, "the widest layout of the three words");
    try {
        client.readMemoryTwice(at.address, raw, at.span());
    } catch (const ProgError& e) {
        if (e.status != kReadRefused)
            throw;
        return std::nullopt;
    }
    UniqueId id{};
    for (size_t w = 0; w < 3; ++w)
        std::copy_n(raw + at.wordOffsets[w], 4, id.begin() + 4 * w);
    return id;
}

std::string untrustedGeometrySentence(uint16_t pid, const DeviceInfo& device, const std::string& problem)
{
    return "The module reports product ID " + productIdText(pid) + " (" + device.name + "), but " + problem +
           ", so its flash layout is not known for sure and nothing is erased or written. Check that the module "
           "carries " + device.name + " (a product ID misread on a noisy line names another family), check the "
           "cable and the adapter, reset the module into its bootloader and connect again.";
}

}  // namespace vbprog
