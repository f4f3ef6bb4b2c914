// What the readers of the text formats (Intel HEX, Motorola S-records) share: their lines,
// hex digits, and the one-pass assembly of their data records into an image.
#pragma once

#include "firmware_image.h"
#include "status.h"
#include "text_format.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vbprog {

// Value of a hex digit, -1 for any other character.
struct HexDigits {
    int8_t value[256];
    constexpr HexDigits() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = int8_t(c >= '0' && c <= '9' ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1);
    }
};
constexpr HexDigits kHexDigits;

inline int hexValue(char c)
{
    return kHexDigits.value[static_cast<unsigned char>(c)];
}

// Splits a text into lines at LF, CR LF or a lone CR, counting them from 1.
class TextLines {
public:
    explicit TextLines(std::string_view text) : text_(text) {}

    // The next line without its end; false at the end of the text.
    bool next(std::string_view& line)
    {
        if (pos_ >= text_.size())
            return false;
        size_t end = pos_;
        while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r')
            ++end;
        line = text_.substr(pos_, end - pos_);
        if (end < text_.size()) {
            if (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n')
                pos_ = end + 2;
            else {
                if (text_[end] == '\r')
                    crOnly_ = true;
                pos_ = end + 1;
            }
        } else {
            pos_ = end;
        }
        ++number_;
        return true;
    }
    int number() const { return number_; }   // of the line last returned
    bool crOnly() const { return crOnly_; }  // some line ended in a lone CR

private:
    std::string_view text_;
    size_t pos_ = 0;
    int number_ = 0;
    bool crOnly_ = false;
};

// Reads `lines` to the end or the first fault: blank lines skipped, and once `ended()` (the
// end record was read) nothing but a single Ctrl-Z, an old DOS habit. `record(line)`
// decodes and applies one record; `fail(text)` keeps a fault of the current line.
template <typename Ended, typename Record, typename Fail>
bool readRecordLines(TextLines& lines, Ended ended, Record record, Fail fail, const char* afterEnd)
{
    bool sawCtrlZ = false;
    std::string_view line;
    while (lines.next(line)) {
        if (line.empty())
            continue;
        if (ended()) {
            if (line == "\x1A" && !sawCtrlZ) {
                sawCtrlZ = true;
                continue;
            }
            return fail(afterEnd);
        }
        if (!record(line))
            return false;
    }
    return true;
}

// Hex digit pairs from `line[from]` on, appended to `out`; false at the first character
// that is no hex digit (`out` then holds some of the bytes).
inline bool decodeHexPairs(std::string_view line, size_t from, std::vector<uint8_t>& out)
{
    for (size_t i = from; i + 1 < line.size(); i += 2) {
        const int hi = hexValue(line[i]);
        const int lo = hexValue(line[i + 1]);
        if ((hi | lo) < 0)
            return false;
        out.push_back(uint8_t(unsigned(hi) << 4 | unsigned(lo)));
    }
    return true;
}

// Why a line that did not decode is refused, in the order that decides which fault is named:
// not text of the format (`format`, e.g. "an Intel HEX"), too long, a wrong record mark, a
// character that is no hex digit from `from` on, an odd number of digits.
inline std::string textLineFault(std::string_view line, size_t maxChars, char mark, const char* format, size_t from)
{
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u >= 0x7F)
            return std::string("not ") + format + " text line";
    }
    if (line.size() > maxChars)
        return std::string("not ") + format + " text line";
    if (line[0] != mark)
        return std::string("expected '") + mark + "' at start of record";
    for (size_t i = from; i < line.size(); ++i) {
        if (hexValue(line[i]) < 0) {
            std::string c(1, line[i]);
            if (line[i] == '\t')
                c = "\\t";
            return "invalid hex digit '" + c + "' at column " + std::to_string(i + 1);
        }
    }
    return "odd number of hex digits";
}

// The text readers collect their data records in file order and puts the image together once:
// sorted by address, with only the records that share bytes replayed in file order. The
// image, the refused record and the byte it names come out as if the records had been added
// one by one, but a file in any order costs n log n and no run is copied per record.
struct ImageAssembly {
    struct Conflict {
        int line = 0;   // 0: none
        uint32_t address = 0;
        uint8_t oldValue = 0;
        uint8_t newValue = 0;
    };

    std::vector<FirmwareImage::Origin> records;   // file order
    std::vector<size_t> offsets;                  // each record's first byte in `bytes`
    std::vector<uint8_t> bytes;

    // Room for the most a text of this size can hold, so nothing is moved while collecting;
    // pages that are never written cost nothing. Beyond 256 MiB the vectors grow as needed,
    // so that a huge file of something else is not met with a huge reservation.
    void reserveFor(size_t textSize)
    {
        textSize = std::min<size_t>(textSize, size_t(256) << 20);
        const size_t mostRecords = textSize / 12 + 1;   // ":00000001FF" and a line end
        records.reserve(mostRecords);
        offsets.reserve(mostRecords);
        bytes.reserve(textSize / 2);
    }

    void collect(uint32_t address, const uint8_t* data, size_t length, int line)
    {
        records.push_back({address, uint32_t(length), line});
        offsets.push_back(bytes.size());
        bytes.insert(bytes.end(), data, data + length);
    }

    // Builds `image` from the records. Returns the first record in file order that gives a
    // byte another value than an earlier one; `repeatLine` is the first record that repeats
    // bytes of earlier ones (0: none).
    Conflict build(FirmwareImage& image, int& repeatLine)
    {
        Conflict conflict;
        repeatLine = 0;
        const size_t n = records.size();
        auto end = [this](size_t k) { return uint64_t(records[k].address) + records[k].length; };

        // Address in the high half, file position in the low half: one integer sort orders by
        // address, then file order. Lines are ints, so the count of records fits in 32 bits.
        std::vector<uint64_t> order(n);
        for (size_t k = 0; k < n; ++k)
            order[k] = uint64_t(records[k].address) << 32 | k;
        if (!std::is_sorted(order.begin(), order.end()))
            std::sort(order.begin(), order.end());
        auto address = [&order](size_t m) { return order[m] >> 32; };
        auto index = [&order](size_t m) { return size_t(order[m] & 0xFFFFFFFFu); };

        // Runs first, each at its final size: records that overlap or touch.
        auto& segments = image.segments_;
        segments.clear();
        for (size_t i = 0; i < n;) {
            uint64_t hi = end(index(i));
            size_t j = i + 1;
            for (; j < n && address(j) <= hi; ++j)
                hi = std::max(hi, end(index(j)));
            segments.emplace_hint(segments.end(), uint32_t(address(i)), std::vector<uint8_t>(hi - address(i)));
            i = j;
        }

        // Then the bytes, by clusters: records that share bytes, directly or through others.
        // A record alone is copied; a cluster is replayed in file order.
        std::vector<uint8_t> given;   // per byte of a cluster: set by an earlier record
        auto run = segments.begin();
        for (size_t i = 0; i < n;) {
            const uint64_t lo = address(i);
            uint64_t hi = end(index(i));
            size_t j = i + 1;
            for (; j < n && address(j) < hi; ++j)
                hi = std::max(hi, end(index(j)));
            while (uint64_t(run->first) + run->second.size() < hi)
                ++run;
            uint8_t* out = run->second.data() + (lo - run->first);
            if (j == i + 1) {
                const size_t k = index(i);
                std::copy_n(bytes.data() + offsets[k], records[k].length, out);
                i = j;
                continue;
            }
            std::sort(order.begin() + ptrdiff_t(i), order.begin() + ptrdiff_t(j),
                      [](uint64_t x, uint64_t y) { return uint32_t(x) < uint32_t(y); });   // file order
            given.assign(hi - lo, 0);
            for (size_t m = i; m < j; ++m) {
                const size_t k = index(m);
                const FirmwareImage::Origin& rec = records[k];
                if (conflict.line > 0 && rec.line >= conflict.line)
                    break;
                const uint8_t* data = bytes.data() + offsets[k];
                const size_t at = rec.address - lo;
                bool repeats = false;
                bool clash = false;
                for (size_t x = 0; x < rec.length; ++x) {
                    if (!given[at + x]) {
                        given[at + x] = 1;
                        out[at + x] = data[x];
                    } else {
                        repeats = true;
                        if (out[at + x] != data[x]) {
                            conflict = {rec.line, uint32_t(rec.address + x), out[at + x], data[x]};
                            clash = true;
                            break;
                        }
                    }
                }
                if (clash)
                    break;
                if (repeats && (repeatLine == 0 || rec.line < repeatLine))
                    repeatLine = rec.line;
            }
            i = j;
        }
        image.origins_ = std::move(records);
        return conflict;
    }
};

// A reader's refusal: the line named first.
inline SessionError refuseAtLine(int line, const std::string& msg)
{
    SessionError e = failure(kFileInvalid, line > 0 ? "line " + std::to_string(line) + ": " + msg : msg);
    e.line = line;
    return e;
}

// Puts the collected records into `image`. A record that clashes with an earlier one shows
// only now, and wins over the reading fault (`faultLine`, 0: none) when its line comes first.
// Otherwise the warning of repeated bytes is put among the others (`warningLines`: the line
// of each) in line order.
inline Result<void> assembleRecords(ImageAssembly& assembly, FirmwareImage& image, bool read, int faultLine,
                                    const std::string& fault, const std::vector<int>& warningLines)
{
    int repeatLine = 0;
    const ImageAssembly::Conflict clash = assembly.build(image, repeatLine);
    if (clash.line > 0)
        return refuseAtLine(clash.line, hex8(clash.address) + " already set to " + hex2(clash.oldValue) + ", now " +
                                            hex2(clash.newValue));
    if (!read)
        return refuseAtLine(faultLine, fault);
    if (repeatLine > 0) {
        const auto at = std::upper_bound(warningLines.begin(), warningLines.end(), repeatLine) - warningLines.begin();
        image.warnings.insert(image.warnings.begin() + at, "line " + std::to_string(repeatLine) +
                                                               ": record repeats bytes already given with the same values");
    }
    return {};
}

}  // namespace vbprog
