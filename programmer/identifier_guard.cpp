#include "identifier_guard.h"

#include <algorithm>
#include <chrono>

#include "status.h"
#include "text_format.h"

namespace vbprog {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes a Read Memory costs besides its data (command, address and count frames, their
// ACKs): a gap up to this size is cheaper read than asked for again.
constexpr uint32_t kReadFrameBytes = 12;
// Tries of each restore step; a module that has stopped answering fails all of them.
constexpr int kRestoreAttempts = 3;

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
    for (uint32_t off = 0; off < length; off += kMaxBlock)
        client_.readMemoryTwice(address + off, out.data() + off, std::min<uint32_t>(kMaxBlock, length - off));
    return out;
}

void IdentifierGuard::save(const DeviceInfo& device, bool extendedErase)
{
    Timed t{seconds_};
    page_.clear();
    uid_.reset();
    device_ = &device;
    extended_ = extendedErase;
    uid_ = readUniqueId(client_, device);
    page_ = readTwice(kGuardedPageStart, kGuardedPageEnd - kGuardedPageStart);
}

void IdentifierGuard::expectSameChip(const char* before)
{
    if (!uid_)
        return;
    const std::optional<UniqueId> now = readUniqueId(client_, *device_);
    if (now == uid_)
        return;
    throw ProgError(kModuleChanged,
                    std::string("before ") + before + " the chip on the port has the unique ID " +
                        (now ? toHex(now->data(), now->size()) : std::string("(unreadable)")) +
                        ", not the saved page's " + toHex(uid_->data(), uid_->size()) + ": another module");
}

bool explainedByErases(const std::vector<uint8_t>& saved, const std::vector<uint8_t>& now, uint8_t erased)
{
    if (saved.size() != now.size())
        return false;
    for (size_t i = 0; i < saved.size(); ++i)
        if (now[i] != saved[i] && now[i] != erased)
            return false;
    return true;
}

std::vector<GuardSpan> eraseWitnesses(const std::vector<uint8_t>& page, const DeviceInfo& d)
{
    std::vector<GuardSpan> spans;
    const uint32_t size = uint32_t(page.size());
    const uint32_t unit = std::min(d.eraseUnit, size);
    if (unit == 0)
        return spans;
    const auto kept = [&](uint32_t off) { return page[off] != d.erasedValue; };
    for (uint32_t start = 0, i = 0; start < size; start += unit, ++i) {
        const uint32_t end = std::min(start + unit, size);
        // A unit the copy holds as all erased cannot be changed by an erase. Otherwise the
        // last kept byte of an even unit and the first of an odd one: neighbours across the
        // border share one read.
        long witness = -1;
        if (i % 2 == 0) {
            for (uint32_t off = end; off-- > start && witness < 0;)
                witness = kept(off) ? long(off) : -1;
        } else {
            for (uint32_t off = start; off < end && witness < 0; ++off)
                witness = kept(off) ? long(off) : -1;
        }
        if (witness < 0)
            continue;
        const uint32_t w = uint32_t(witness);
        if (!spans.empty() && w - (spans.back().offset + spans.back().length) <= kReadFrameBytes &&
            w + 1 - spans.back().offset <= kMaxBlock)
            spans.back().length = w + 1 - spans.back().offset;
        else
            spans.push_back({w, 1});
    }
    return spans;
}

long IdentifierGuard::firstDifference(const GuardSpan& span, std::vector<uint8_t>& found)
{
    found.assign(span.length, 0);
    const uint8_t* saved = page_.data() + span.offset;
    long at = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (attempt > 0)
                client_.realign();
            client_.readMemory(kGuardedPageStart + span.offset, found.data(), span.length);
        } catch (const ProgError& e) {
            if (e.status != kReadRefused || attempt > 0)
                throw;
            continue;
        }
        const auto m = std::mismatch(found.begin(), found.end(), saved);
        if (m.first == found.end())
            return -1;
        at = long(m.first - found.begin());
    }
    return at;
}

int IdentifierGuard::check(Since since, const std::string& phase, std::string& message, const ProgressReport& report)
{
    Timed t{seconds_};
    std::vector<GuardSpan> spans;
    if (since == Since::Erases) {
        spans = eraseWitnesses(page_, *device_);
    } else {
        for (uint32_t off = 0; off < page_.size(); off += kMaxBlock)
            spans.push_back({off, std::min<uint32_t>(kMaxBlock, uint32_t(page_.size()) - off)});
    }
    restored_ = false;
    std::vector<uint8_t> found;
    long diff = -1;
    uint32_t at = 0;
    uint8_t reads = 0;
    try {
        for (const GuardSpan& s : spans) {
            diff = firstDifference(s, found);
            if (diff >= 0) {
                at = s.offset + uint32_t(diff);
                reads = found[size_t(diff)];
                break;
            }
        }
    } catch (const ProgError& e) {
        if (e.status == kModuleChanged)
            throw;
        message = "After " + phase + " the identifier page could not be read back (" + e.what() +
                  "), so whether the identifiers are intact is not known. Saved identifiers: " + savedIdentifiers() + ".";
        return e.status;
    }
    if (diff < 0)
        return kOk;

    message = "The module's identifier page changed during the download (found after " + phase + ": " +
              hex8(kGuardedPageStart + at) + " reads " + hex2(reads) + ", saved " + hex2(page_[at]) + "). ";
    std::string why;
    bool held = false;
    try {
        expectSameChip("the saved page is written back");
        // Nothing else tells this chip from another but the page itself.
        if (!uid_ && !explainedByErases(page_, readTwice(kGuardedPageStart, uint32_t(page_.size())),
                                        device_->erasedValue)) {
            message += "It holds bytes that neither the saved page nor an erase explains and the chip has no known "
                       "unique ID, so it may be another module: the saved page was not written to it. Saved "
                       "identifiers: " + savedIdentifiers() + ".";
            return kIdentifiersChanged;
        }
        const Result<void> restored = restore(report);
        held = restored.ok();
        why = restored.error().what;
    } catch (const ProgError& e) {
        if (e.status == kModuleChanged)
            throw;
        why = e.what();
    }
    restored_ = held;
    if (held)
        message += "The saved page " + hex8(kGuardedPageStart) + ".." + hex8(kGuardedPageEnd - 1) +
                   " was written back and reads back equal on the same chip, so the identifiers are intact; the "
                   "application was not flashed completely, and the module can simply be flashed again.";
    else
        message += "Writing the saved page back failed (" + why + "): the identifiers on the module may be lost.";
    message += " Saved identifiers: " + savedIdentifiers() + ".";
    return kIdentifiersChanged;
}

Result<void> IdentifierGuard::restore(const ProgressReport& report)
{
    const uint32_t pageBytes = kGuardedPageEnd - kGuardedPageStart;
    const auto tell = [&](ProgressEvent::State state, uint64_t done) {
        if (report)
            report({Phase::Restore, state, done, pageBytes});
    };
    tell(ProgressEvent::Started, 0);
    Result<void> held;
    try {
        held = restoreUnits(tell);
    } catch (const ProgError&) {
        tell(ProgressEvent::Failed, 0);
        throw;
    }
    tell(held ? ProgressEvent::Finished : ProgressEvent::Failed, held ? pageBytes : 0);
    return held;
}

Result<void> IdentifierGuard::restoreUnits(const std::function<void(ProgressEvent::State, uint64_t)>& tell)
{
    const DeviceInfo& d = *device_;
    const uint32_t pageBytes = kGuardedPageEnd - kGuardedPageStart;
    const uint32_t unit = std::min(d.eraseUnit, pageBytes);
    if (d.sectorErase || d.eraseUnit > pageBytes || pageBytes % unit != 0)
        return failure(kDeviceUnsupported,
                       "the erase unit of " + std::to_string(d.eraseUnit) + " bytes reaches beyond the page");
    // Each step is repeatable: a unit is read again before anything is written to it, so a
    // retry after a line error erases and writes only what still differs.
    SessionError why;
    const auto retried = [&](const std::function<void()>& step) {
        try {
            BootloaderClient::withRetries(
                kRestoreAttempts,
                [&] {
                    client_.realign();
                    step();
                },
                [](const ProgError&) { return BootloaderClient::Retry::Again; });
            return true;
        } catch (const ProgError& e) {
            if (e.status == kModuleChanged)
                throw;
            why = failure(e.status, e.what());
            return false;
        }
    };
    for (uint32_t off = 0; off < pageBytes; off += unit) {
        if (!retried([&] { restoreUnit(off, unit); }))
            return why;
        tell(ProgressEvent::Progress, off + unit);
    }
    bool equal = false;
    if (!retried([&] { equal = readTwice(kGuardedPageStart, pageBytes) == page_; }))
        return why;
    if (!equal)
        return failure(kWriteVerify, "the page reads back different from the saved copy");
    // Equal on this chip, not on one put in meanwhile.
    expectSameChip("the identifiers are called intact");
    return {};
}

void IdentifierGuard::restoreUnit(uint32_t off, uint32_t len)
{
    const DeviceInfo& d = *device_;
    const uint32_t writeUnit = std::max<uint32_t>(d.writeUnit, 4);
    const std::vector<uint8_t> now = readTwice(kGuardedPageStart + off, len);
    if (std::equal(now.begin(), now.end(), page_.begin() + off))
        return;
    expectSameChip("an erase unit of the identifier page is written back");
    // An erased unit needs only the write.
    if (!std::all_of(now.begin(), now.end(), [&](uint8_t b) { return b == d.erasedValue; }))
        client_.erasePages({(kGuardedPageStart + off - d.flashBase) / d.eraseUnit}, extended_);
    // Runs of write units that hold anything but the erased value, cut at 256-byte rows.
    for (uint32_t row = off; row < off + len; row += kMaxBlock) {
        const uint32_t rowEnd = std::min(row + kMaxBlock, off + len);
        uint32_t runStart = rowEnd;
        for (uint32_t u = row; u <= rowEnd; u += writeUnit) {
            const bool used = u < rowEnd && std::any_of(page_.begin() + u, page_.begin() + u + writeUnit,
                                                        [&](uint8_t b) { return b != d.erasedValue; });
            if (used && runStart == rowEnd)
                runStart = u;
            if (!used && runStart != rowEnd) {
                client_.writeMemory(kGuardedPageStart + runStart, page_.data() + runStart, u - runStart, d.erasedValue);
                runStart = rowEnd;
            }
        }
    }
}

}  // namespace vbprog
