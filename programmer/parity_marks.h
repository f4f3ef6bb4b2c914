// Received bytes as a terminal hands them over when it marks line errors (PARMRK): a data
// byte 0xFF arrives as 0xFF 0xFF, and a byte that came with a parity or framing error as
// 0xFF 0x00 and the byte itself (0x00 for a break). Without marks a damaged byte would pass
// for data: read answers carry no checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vbprog {

class ParityMarks {
public:
    // What next() gives for a byte the line damaged; never a data byte.
    static constexpr int kDamaged = 0x100;
    static constexpr int kNeedMore = -1;

    // Off, bytes pass unchanged (a system that flags errors out of band, or a port that
    // refused marking).
    void setMarking(bool on) { marking_ = on; }
    bool marking() const { return marking_; }

    void feed(const uint8_t* raw, size_t length);
    // The next byte (0..255), kDamaged, or kNeedMore while a mark is still incomplete or
    // nothing is buffered.
    int next();
    // Raw bytes fed and not yet handed out.
    size_t buffered() const { return raw_.size() - pos_; }
    void clear();

private:
    std::vector<uint8_t> raw_;
    size_t pos_ = 0;
    bool marking_ = false;
};

}  // namespace vbprog
