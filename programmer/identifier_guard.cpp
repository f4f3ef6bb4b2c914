#include "identifier_guard.h"

#include <algorithm>
#include <chrono>

#include "programmer_api.h"
#include "text_format.h"

namespace vbprog {

namespace {

using Clock = std::chrono::steady_clock;

// Adds the time of one guard step to the total, however the step ends.
struct Timed {
    double& total;
    Clock::time_point started = Clock::now();
    ~Timed() { total += std::chrono::duration<double>(Clock::now() - started).count(); }
};

}  // namespace

std::string identifiersText(const uint8_t* b)
{
    return "DevEUI " + toHex(b, kDevEuiSize) + ", JoinEUI " + toHex(b + kDevEuiSize, kJoinEuiSize) + ", AppKey " +
           toHex(b + kDevEuiSize + kJoinEuiSize, kAppKeySize);
}

std::string IdentifierGuard::savedIdentifiers() const
{
    return isSaved() ? identifiersText(page_.data() + (kIdentifierStart - kGuardedPageStart)) : std::string();
}

std::vector<uint8_t> IdentifierGuard::readTwice(uint32_t address, uint32_t length)
{
    std::vector<uint8_t> out(length);
    for (uint32_t off = 0; off < length; off += 256)
        client_.readMemoryTwice(address + off, out.data() + off, std::min<uint32_t>(256, length - off));
    return out;
}

void IdentifierGuard::save(const DeviceInfo& device, bool extendedErase)
{
    Timed t{seconds_};
    page_.clear();
    device_ = &device;
    extended_ = extendedErase;
    page_ = readTwice(kGuardedPageStart, kGuardedPageEnd - kGuardedPageStart);
}

int IdentifierGuard::check(const std::string& phase, std::string& message, const ProgressReport& report)
{
    Timed t{seconds_};
    const uint8_t* saved = page_.data() + (kIdentifierStart - kGuardedPageStart);
    std::vector<uint8_t> block;
    int status = PROG_OK;
    std::string readError;
    try {
        // A read-back that differs is asked again on a realigned line before it is believed:
        // answers out of step by one byte read as changed identifiers too.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (attempt > 0)
                client_.realign();
            try {
                block = readTwice(kIdentifierStart, kIdentifierSize);
            } catch (const ProgError& e) {
                if (e.status != PROG_ERR_READ)
                    throw;
                block.clear();
                status = e.status;
                readError = e.what();
                continue;
            }
            if (std::equal(block.begin(), block.end(), saved))
                return PROG_OK;
        }
    } catch (const ProgError& e) {
        block.clear();
        status = e.status;
        readError = e.what();
    }
    if (block.empty()) {
        message = "After " + phase + " the identifier block could not be read back (" + readError +
                  "), so whether the identifiers are intact is not known. Saved identifiers: " + savedIdentifiers() + ".";
        return status;
    }

    std::string why;
    const bool held = restore(why, report);
    message = "The module's identifiers changed during the download (found after " + phase + ", they read " +
              identifiersText(block.data()) + "). ";
    if (held)
        message += "The saved page " + hex8(kGuardedPageStart) + ".." + hex8(kGuardedPageEnd - 1) +
                   " was written back and reads back equal, so the identifiers are intact; the application was not "
                   "flashed completely.";
    else
        message += "Writing the saved page back failed (" + why + "): the identifiers on the module may be lost.";
    message += " Saved identifiers: " + savedIdentifiers() + ".";
    return PROG_ERR_IDENTIFIERS;
}

bool IdentifierGuard::restore(std::string& why, const ProgressReport& report)
{
    const uint32_t pageBytes = kGuardedPageEnd - kGuardedPageStart;
    const auto tell = [&](ProgressEvent::State state, uint64_t done) {
        if (report)
            report({Phase::Restore, state, done, pageBytes});
    };
    tell(ProgressEvent::Started, 0);
    const bool held = restoreUnits(why, tell);
    tell(held ? ProgressEvent::Finished : ProgressEvent::Failed, held ? pageBytes : 0);
    return held;
}

bool IdentifierGuard::restoreUnits(std::string& why, const std::function<void(ProgressEvent::State, uint64_t)>& tell)
{
    const DeviceInfo& d = *device_;
    const uint32_t pageBytes = kGuardedPageEnd - kGuardedPageStart;
    const uint32_t unit = d.eraseUnit;
    const uint32_t writeUnit = std::max<uint32_t>(d.writeUnit, 4);
    try {
        client_.realign();
        for (uint32_t off = 0; off < pageBytes; off += std::min(unit, pageBytes)) {
            const uint32_t len = std::min(unit, pageBytes - off);
            const std::vector<uint8_t> now = readTwice(kGuardedPageStart + off, len);
            const auto want = page_.begin() + off;
            if (std::equal(now.begin(), now.end(), want))
                continue;
            // An erased unit needs only the write; anything else is erased first, which only
            // works where the erase unit lies inside the page.
            const bool blank = std::all_of(now.begin(), now.end(), [&](uint8_t b) { return b == d.erasedValue; });
            if (!blank) {
                if (d.sectorErase || unit > pageBytes || pageBytes % unit != 0) {
                    why = "the erase unit of " + std::to_string(unit) + " bytes reaches beyond the page";
                    return false;
                }
                client_.erasePages({(kGuardedPageStart + off - d.flashBase) / unit}, extended_);
            }
            // Runs of write units that hold anything but the erased value, cut at 256-byte rows.
            for (uint32_t row = off; row < off + len; row += 256) {
                const uint32_t rowEnd = std::min(row + 256, off + len);
                uint32_t runStart = rowEnd;
                for (uint32_t u = row; u <= rowEnd; u += writeUnit) {
                    const bool used = u < rowEnd && std::any_of(page_.begin() + u, page_.begin() + u + writeUnit,
                                                                [&](uint8_t b) { return b != d.erasedValue; });
                    if (used && runStart == rowEnd)
                        runStart = u;
                    if (!used && runStart != rowEnd) {
                        client_.writeMemory(kGuardedPageStart + runStart, page_.data() + runStart, u - runStart);
                        runStart = rowEnd;
                    }
                }
            }
            tell(ProgressEvent::Progress, off + len);
        }
        if (readTwice(kGuardedPageStart, pageBytes) != page_) {
            why = "the page reads back different from the saved copy";
            return false;
        }
        return true;
    } catch (const ProgError& e) {
        why = e.what();
        return false;
    }
}

}  // namespace vbprog
