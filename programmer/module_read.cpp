#include "module_read.h"

#include <algorithm>

#include "status.h"

namespace vbprog {

namespace {

// Bytes per read through the session: a few protocol blocks, so that progress moves and a
// mismatch costs little to read again.
constexpr uint32_t kChunk = 4 * kMaxBlock;

class Progress {
public:
    Progress(const ProgressReport& report, Phase phase, uint64_t total) : report_(report), phase_(phase), total_(total)
    {
        tell(ProgressEvent::Started);
    }
    void at(uint64_t done)
    {
        done_ = done;
        tell(ProgressEvent::Progress);
    }
    void end(bool ok) { tell(ok ? ProgressEvent::Finished : ProgressEvent::Failed); }

private:
    void tell(ProgressEvent::State state) const
    {
        if (report_)
            report_({phase_, state, done_, total_});
    }
    const ProgressReport& report_;
    Phase phase_;
    uint64_t total_;
    uint64_t done_ = 0;
};

// The flash's bytes at `address`, read once more where a first read disagrees with
// `expected`; `out` holds what two of up to three reads agree on.
int settledRead(FlashSession& session, uint32_t address, const uint8_t* expected, std::vector<uint8_t>& out)
{
    const uint32_t n = uint32_t(out.size());
    if (int rc = session.read(address, out.data(), n))
        return rc;
    if (std::equal(out.begin(), out.end(), expected))
        return kOk;
    std::vector<uint8_t> second(n);
    if (int rc = session.read(address, second.data(), n))
        return rc;
    if (second == out)
        return kOk;
    std::vector<uint8_t> third(n);
    if (int rc = session.read(address, third.data(), n))
        return rc;
    for (uint32_t i = 0; i < n; ++i)
        if (second[i] == third[i])
            out[i] = second[i];   // else the first agrees with the third, or none agree: keep the first
    return kOk;
}

}  // namespace

int compareWithFlash(FlashSession& session, const FirmwareImage& image, CompareReport& report,
                     const ProgressReport& progress)
{
    report = CompareReport{};
    Progress shown(progress, Phase::Verify, image.byteCount());
    std::vector<uint8_t> flash;
    for (const auto& [start, bytes] : image.segments()) {
        for (size_t off = 0; off < bytes.size(); off += kChunk) {
            const uint32_t n = uint32_t(std::min<size_t>(kChunk, bytes.size() - off));
            const uint32_t at = start + uint32_t(off);
            flash.assign(n, 0);
            if (int rc = settledRead(session, at, bytes.data() + off, flash)) {
                shown.end(false);
                return rc;
            }
            for (uint32_t i = 0; i < n; ++i) {
                if (flash[i] != bytes[off + i]) {
                    if (!report.firstDifference)
                        report.firstDifference = at + i;
                    ++report.differing;
                }
            }
            report.compared += n;
            shown.at(report.compared);
        }
    }
    shown.end(true);
    return kOk;
}

int readModuleMemory(FlashSession& session, uint32_t address, uint32_t size, std::vector<uint8_t>& out,
                     const ProgressReport& progress)
{
    out.assign(size, 0);
    Progress shown(progress, Phase::Read, size);
    for (uint64_t off = 0; off < size; off += kChunk) {
        const uint32_t n = uint32_t(std::min<uint64_t>(kChunk, size - off));
        if (int rc = session.read(address + uint32_t(off), out.data() + off, n)) {
            out.resize(size_t(off));
            shown.end(false);
            return rc;
        }
        shown.at(off + n);
    }
    shown.end(true);
    return kOk;
}

}  // namespace vbprog
