#include "parity_marks.h"

namespace vbprog {

void ParityMarks::feed(const uint8_t* raw, size_t length)
{
    if (pos_ == raw_.size()) {
        raw_.clear();
        pos_ = 0;
    }
    raw_.insert(raw_.end(), raw, raw + length);
}

int ParityMarks::next()
{
    const size_t left = raw_.size() - pos_;
    if (left == 0)
        return kNeedMore;
    const uint8_t b = raw_[pos_];
    if (!marking_ || b != 0xFF) {
        ++pos_;
        return b;
    }
    if (left < 2)
        return kNeedMore;
    const uint8_t second = raw_[pos_ + 1];
    if (second == 0xFF) {
        pos_ += 2;
        return 0xFF;
    }
    if (second == 0x00) {
        if (left < 3)
            return kNeedMore;
        pos_ += 3;
        return kDamaged;
    }
    // A marking terminal never sends this; the 0xFF is taken as the data it looks like.
    ++pos_;
    return b;
}

void ParityMarks::clear()
{
    raw_.clear();
    pos_ = 0;
}

}  // namespace vbprog
