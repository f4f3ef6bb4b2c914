#include "download_plan.h"

#include <algorithm>

#include "status.h"
#include "text_format.h"

namespace vbprog {

namespace {

std::string where(const FirmwareImage& image, uint32_t address)
{
    const int line = image.lineOf(address);
    return line > 0 ? "line " + std::to_string(line) + ": " : std::string();
}

std::string sizeText(uint32_t bytes)
{
    return bytes >= 1024 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " bytes";
}

// The first range of `keep` that [lo, hi) overlaps, or null.
const ProtectedRange* overlapped(const std::vector<ProtectedRange>& keep, uint64_t lo, uint64_t hi)
{
    for (const auto& r : keep)
        if (lo < r.end && hi > r.start)
            return &r;
    return nullptr;
}

SessionError refuse(int status, std::string message)
{
    return failure(status, std::move(message));
}

}  // namespace

const std::vector<ProtectedRange>& moduleProtectedRanges()
{
    static const std::vector<ProtectedRange> ranges{{kIdentifierStart, kIdentifierEnd, "the device identifiers"}};
    return ranges;
}

Result<DownloadPlan> makeDownloadPlan(const FirmwareImage& image, const DeviceInfo& device, uint32_t flashSize,
                                      uint32_t startAddress, bool erase, const std::vector<ProtectedRange>& keep)
{
    if (image.empty())
        return refuse(kFileInvalid, "the file holds no data");
    const uint32_t unit = std::max<uint32_t>(device.writeUnit, 4);
    const uint64_t flashEnd = uint64_t(device.flashBase) + flashSize;

    if (startAddress % unit != 0)
        return refuse(kBadArgument, "start address " + hex8(startAddress) + " is not aligned to the write unit of " +
                                                 std::to_string(unit) + " bytes");

    // Every byte must lie in [startAddress, flash end) and outside the identifiers.
    const uint32_t low = image.lowestAddress();
    if (low < startAddress)
        return refuse(kOutOfRange, where(image, low) + "data at " + hex8(low) +
                                                 " is below the application start " + hex8(startAddress));
    if (low < device.flashBase)
        return refuse(kOutOfRange, where(image, low) + "data at " + hex8(low) + " is outside flash");
    for (const auto& s : image.segments()) {
        const uint64_t end = uint64_t(s.first) + s.second.size();
        if (end > flashEnd) {
            const uint32_t bad = uint32_t(std::max<uint64_t>(s.first, flashEnd));
            return refuse(kOutOfRange, where(image, bad) + "data at " + hex8(bad) + " is outside flash (" +
                                                     hex8(device.flashBase) + ".." + hex8(flashEnd - 1) + ")");
        }
        if (const ProtectedRange* p = overlapped(keep, s.first, end)) {
            const uint32_t bad = std::max<uint32_t>(s.first, p->start);
            return refuse(kOutOfRange, where(image, bad) + "data at " + hex8(bad) + " would overwrite " + p->holds);
        }
    }

    // Write units that carry data, merged into runs; a unit shared by two records is written once.
    struct Run {
        uint64_t lo, hi;
    };
    std::vector<Run> runs;
    for (const auto& s : image.segments()) {
        const uint64_t lo = s.first / unit * unit;
        const uint64_t hi = (uint64_t(s.first) + s.second.size() + unit - 1) / unit * unit;
        if (!runs.empty() && runs.back().hi >= lo)
            runs.back().hi = std::max(runs.back().hi, hi);
        else
            runs.push_back({lo, hi});
    }

    DownloadPlan plan;
    plan.dataBytes = image.byteCount();
    for (const auto& run : runs) {
        for (uint64_t a = run.lo; a < run.hi;) {
            const uint64_t rowEnd = (a / kMaxBlock + 1) * kMaxBlock;
            const uint64_t b = std::min(run.hi, rowEnd);
            if (const ProtectedRange* p = overlapped(keep, a, b))
                return refuse(kOutOfRange, "writing " + hex8(a) + ".." + hex8(b - 1) + " in whole write units of " +
                                                         std::to_string(unit) + " bytes would overwrite " + p->holds);
            WriteBlock blk{uint32_t(a), std::vector<uint8_t>(size_t(b - a), device.erasedValue)};
            image.overlay(blk.address, blk.data);
            plan.bytesToWrite += blk.data.size();
            plan.blocks.push_back(std::move(blk));
            a = b;
        }
    }

    if (erase) {
        if (device.sectorErase)
            return refuse(kDeviceUnsupported,
                          std::string(device.name) + " erases by sectors; its first sector holds the device identifiers");
        for (const auto& blk : plan.blocks) {
            const uint32_t first = (blk.address - device.flashBase) / device.eraseUnit;
            const uint32_t last = (blk.address + uint32_t(blk.data.size()) - 1 - device.flashBase) / device.eraseUnit;
            for (uint32_t p = first; p <= last; ++p)
                if (plan.pages.empty() || plan.pages.back() < p)
                    plan.pages.push_back(p);
        }
        const uint32_t firstPageStart = device.flashBase + plan.pages.front() * device.eraseUnit;
        const uint64_t firstPageEnd = uint64_t(firstPageStart) + device.eraseUnit;
        if (firstPageStart < startAddress)
            return refuse(kDeviceUnsupported,
                          std::string(device.name) + ": its erase unit of " + sizeText(device.eraseUnit) + " would erase " +
                              hex8(firstPageStart) + ".." + hex8(firstPageEnd - 1) + ", which holds bytes below " +
                              hex8(startAddress));
        // Nor may any page of the plan hold a protected range.
        for (const uint32_t page : plan.pages) {
            const uint64_t lo = uint64_t(device.flashBase) + uint64_t(page) * device.eraseUnit;
            if (const ProtectedRange* p = overlapped(keep, lo, lo + device.eraseUnit))
                return refuse(kDeviceUnsupported, std::string(device.name) + ": erasing page " + std::to_string(page) +
                                                         " (" + hex8(lo) + ".." + hex8(lo + device.eraseUnit - 1) +
                                                         ") would erase " + p->holds);
        }
        if (device.firstBankOnly) {
            const uint32_t bankPages = flashSize / 2 / device.eraseUnit;
            if (plan.pages.back() >= bankPages)
                return refuse(kDeviceUnsupported,
                              std::string(device.name) + ": erasing in the second flash bank (from " +
                                  hex8(device.flashBase + flashSize / 2) + ") is not supported");
        }
    }
    return plan;
}

Result<void> checkPlacement(const FirmwareImage& image, uint32_t startAddress)
{
    if (image.empty())
        return refuse(kFileInvalid, "the file holds no data");
    const uint32_t low = image.lowestAddress();
    if (low < startAddress)
        return refuse(kOutOfRange, where(image, low) + "data at " + hex8(low) +
                                                 " is below the application start " + hex8(startAddress));
    int count = 0;
    const DeviceInfo* table = deviceTable(&count);
    uint64_t widest = 0;
    for (int i = 0; i < count; ++i)
        widest = std::max<uint64_t>(widest, uint64_t(table[i].flashBase) + table[i].maxFlashSize);
    if (image.endAddress() > widest) {
        const auto& last = *image.segments().rbegin();
        const uint32_t bad = uint32_t(std::max<uint64_t>(last.first, widest));
        return refuse(kOutOfRange, where(image, bad) + "data at " + hex8(bad) + " is outside the flash of every supported device");
    }
    return {};
}

std::vector<std::vector<uint32_t>> splitPages(const std::vector<uint32_t>& pages, size_t maxPerCommand)
{
    std::vector<std::vector<uint32_t>> out;
    for (size_t i = 0; i < pages.size(); i += maxPerCommand)
        out.emplace_back(pages.begin() + i, pages.begin() + std::min(pages.size(), i + maxPerCommand));
    return out;
}

}  // namespace vbprog
