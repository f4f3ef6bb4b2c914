#include "firmware_image.h"

#include "status.h"
#include "text_format.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace vbprog {

namespace {

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

int hexValue(char c)
{
    return kHexDigits.value[static_cast<unsigned char>(c)];
}

// Longest legal record: ':' + 2 * (255 + 5) digits.
constexpr size_t kMaxRecordChars = 521;

}  // namespace

// The HEX reader collects its data records in file order and puts the image together once:
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

uint64_t FirmwareImage::byteCount() const
{
    uint64_t n = 0;
    for (const auto& s : segments_)
        n += s.second.size();
    return n;
}

uint32_t FirmwareImage::lowestAddress() const
{
    return segments_.empty() ? 0 : segments_.begin()->first;
}

uint64_t FirmwareImage::endAddress() const
{
    if (segments_.empty())
        return 0;
    const auto& last = *segments_.rbegin();
    return uint64_t(last.first) + last.second.size();
}

void FirmwareImage::overlay(uint32_t address, std::vector<uint8_t>& out) const
{
    const uint64_t lo = address;
    const uint64_t hi = lo + out.size();
    auto it = segments_.upper_bound(address);
    if (it != segments_.begin())
        --it;
    for (; it != segments_.end() && it->first < hi; ++it) {
        const uint64_t s = it->first;
        const uint64_t e = s + it->second.size();
        const uint64_t a = std::max(lo, s);
        const uint64_t b = std::min(hi, e);
        if (a < b)
            std::copy(it->second.begin() + (a - s), it->second.begin() + (b - s), out.begin() + (a - lo));
    }
}

int FirmwareImage::lineOf(uint32_t address) const
{
    for (const auto& o : origins_)
        if (address >= o.address && uint64_t(address) < uint64_t(o.address) + o.length)
            return o.line;
    return 0;
}

bool FirmwareImage::add(uint32_t address, const uint8_t* data, size_t length, int line, uint32_t* conflictAddress,
                        uint8_t* conflictOld, uint8_t* conflictNew)
{
    if (length == 0)
        return true;
    const uint64_t lo = address;
    const uint64_t hi = lo + length;

    // Fast path: the usual file appends to the run before it.
    auto next = segments_.upper_bound(address);
    if (next != segments_.begin()) {
        auto prev = std::prev(next);
        if (uint64_t(prev->first) + prev->second.size() == lo && (next == segments_.end() || next->first > hi)) {
            prev->second.insert(prev->second.end(), data, data + length);
            origins_.push_back({address, uint32_t(length), line});
            return true;
        }
    }

    // General case: check every run that overlaps, then merge everything that overlaps or touches.
    auto first = segments_.upper_bound(address);
    if (first != segments_.begin()) {
        auto prev = std::prev(first);
        if (uint64_t(prev->first) + prev->second.size() >= lo)
            first = prev;
    }
    uint64_t mergedLo = lo;
    uint64_t mergedHi = hi;
    auto last = first;
    bool overlapped = false;
    for (; last != segments_.end() && last->first <= hi; ++last) {
        const uint64_t s = last->first;
        const uint64_t e = s + last->second.size();
        const uint64_t a = std::max(lo, s);
        const uint64_t b = std::min(hi, e);
        for (uint64_t x = a; x < b; ++x) {
            const uint8_t oldV = last->second[x - s];
            const uint8_t newV = data[x - lo];
            overlapped = true;
            if (oldV != newV) {
                if (conflictAddress)
                    *conflictAddress = uint32_t(x);
                if (conflictOld)
                    *conflictOld = oldV;
                if (conflictNew)
                    *conflictNew = newV;
                return false;
            }
        }
        mergedLo = std::min(mergedLo, s);
        mergedHi = std::max(mergedHi, e);
    }
    std::vector<uint8_t> merged(mergedHi - mergedLo);
    for (auto it = first; it != last; ++it)
        std::copy(it->second.begin(), it->second.end(), merged.begin() + (it->first - mergedLo));
    std::copy(data, data + length, merged.begin() + (lo - mergedLo));
    segments_.erase(first, last);
    segments_.emplace(uint32_t(mergedLo), std::move(merged));
    origins_.push_back({address, uint32_t(length), line});
    if (overlapped && !sameBytesWarned_) {
        sameBytesWarned_ = true;
        warnings.push_back("line " + std::to_string(line) + ": record repeats bytes already given with the same values");
    }
    return true;
}

FileFormat fileFormatOf(std::string_view fileName)
{
    const size_t dot = fileName.find_last_of('.');
    if (dot == std::string_view::npos || fileName.find_first_of("/\\", dot) != std::string_view::npos)
        return FileFormat::Unsupported;
    std::string ext(fileName.substr(dot + 1));
    for (char& c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "hex" || ext == "ihx" || ext == "ihex")
        return FileFormat::IntelHex;
    return ext == "bin" ? FileFormat::Binary : FileFormat::Unsupported;
}

namespace {

// Reads an Intel HEX text record by record: split a line off, decode it into bytes, apply
// the record (data to the assembly, addressing and start records to the state). The first
// fault of a line ends the reading.
class HexReader {
public:
    HexReader(std::string_view text, FirmwareImage& image) : text_(text), image_(image)
    {
        assembly.reserveFor(text.size());
        bytes.reserve(260);
    }

    // Every record up to the end or the first fault; false with the fault kept.
    bool readAll()
    {
        std::string_view line;
        while (nextLine(line)) {
            if (line.empty())
                continue;
            if (sawEof) {
                // A single Ctrl-Z after the end record is an old DOS habit.
                if (line == "\x1A" && !sawCtrlZ) {
                    sawCtrlZ = true;
                    continue;
                }
                return fail(lineNo, "data after end-of-file record");
            }
            if (!decode(line) || !apply())
                return false;
        }
        return true;
    }

    ImageAssembly assembly;
    int faultLine = 0;
    std::string fault;
    std::vector<int> warningLines;   // the line of each warning so far
    bool sawEof = false;
    bool crOnly = false;

private:
    enum class Mode { None, Segment, Linear };

    bool fail(int line, std::string msg)
    {
        faultLine = line;
        fault = std::move(msg);
        return false;
    }

    void warn(int line, std::string text)
    {
        image_.warnings.push_back("line " + std::to_string(line) + ": " + text);
        warningLines.push_back(line);
    }

    // One line: up to LF, CR LF or a lone CR. False at the end of the text.
    bool nextLine(std::string_view& line)
    {
        if (pos >= text_.size())
            return false;
        size_t end = pos;
        while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r')
            ++end;
        line = text_.substr(pos, end - pos);
        if (end < text_.size()) {
            if (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n')
                pos = end + 2;
            else {
                if (text_[end] == '\r')
                    crOnly = true;
                pos = end + 1;
            }
        } else {
            pos = end;
        }
        ++lineNo;
        return true;
    }

    // The line's bytes, their length and checksum checked.
    bool decode(std::string_view line)
    {
        // A well-formed record decodes in one pass; anything else goes through the checks
        // in the order that decides which fault a line is refused for.
        bool clean = line[0] == ':' && line.size() <= kMaxRecordChars && line.size() % 2 == 1;
        bytes.clear();
        for (size_t i = 1; clean && i < line.size(); i += 2) {
            const int hi = hexValue(line[i]);
            const int lo = hexValue(line[i + 1]);
            clean = (hi | lo) >= 0;
            bytes.push_back(uint8_t(unsigned(hi) << 4 | unsigned(lo)));
        }
        if (!clean) {
            for (char c : line) {
                const auto u = static_cast<unsigned char>(c);
                if ((u < 0x20 && c != '\t') || u >= 0x7F)
                    return fail(lineNo, "not an Intel HEX text line");
            }
            if (line.size() > kMaxRecordChars)
                return fail(lineNo, "not an Intel HEX text line");
            if (line[0] != ':')
                return fail(lineNo, "expected ':' at start of record");
            for (size_t i = 1; i < line.size(); ++i) {
                if (hexValue(line[i]) < 0) {
                    std::string c(1, line[i]);
                    if (line[i] == '\t')
                        c = "\\t";
                    return fail(lineNo, "invalid hex digit '" + c + "' at column " + std::to_string(i + 1));
                }
            }
            return fail(lineNo, "odd number of hex digits");
        }
        if (bytes.size() < 5)
            return fail(lineNo, "record too short");
        const size_t n = bytes[0];
        if (bytes.size() != n + 5)
            return fail(lineNo, "length field says " + std::to_string(n) + " bytes, record has " +
                                    std::to_string(bytes.size() - 5));
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            sum = uint8_t(sum + bytes[i]);
        const uint8_t expected = uint8_t(0x100 - sum);
        if (expected != bytes.back())
            return fail(lineNo, "checksum " + hex2(bytes.back()) + ", expected " + hex2(expected));
        return true;
    }

    // The decoded record's effect.
    bool apply()
    {
        const size_t n = bytes[0];
        const uint32_t offset = uint32_t(bytes[1]) << 8 | bytes[2];
        const uint8_t type = bytes[3];
        const uint8_t* data = bytes.data() + 4;
        switch (type) {
        case 0x00: {
            if (n == 0) {
                if (!warnedEmpty) {
                    warnedEmpty = true;
                    warn(lineNo, "empty data record ignored");
                }
                break;
            }
            uint64_t addr = 0;
            if (mode == Mode::Linear) {
                addr = base + offset;
                if (addr + n > 0x100000000ull)
                    return fail(lineNo, "address overflow");
            } else {
                // Segment and plain 16-bit addressing wrap inside 64 KiB, which no STM32 image
                // means; the tools disagree on it, so such a record is refused.
                if (offset + n > 0x10000)
                    return fail(lineNo, "record crosses a 64 KiB boundary");
                addr = base + offset;
            }
            if (addr < lastEnd && !warnedOrder) {
                warnedOrder = true;
                warn(lineNo, "records not in ascending address order");
            }
            lastEnd = addr + n;
            assembly.collect(uint32_t(addr), data, n, lineNo);
            break;
        }
        case 0x01:
            if (n != 0 || offset != 0)
                return fail(lineNo, "malformed end-of-file record");
            sawEof = true;
            break;
        case 0x02:
        case 0x04: {
            if (n != 2)
                return fail(lineNo, "type " + hex2(type).substr(2) + " record must have length 2");
            if (offset != 0)
                return fail(lineNo, "address field must be 0000 for type " + hex2(type).substr(2));
            const Mode m = type == 0x02 ? Mode::Segment : Mode::Linear;
            if (mode != Mode::None && mode != m)
                return fail(lineNo, "segment and linear addressing mixed");
            mode = m;
            const uint32_t v = uint32_t(data[0]) << 8 | data[1];
            base = type == 0x02 ? uint64_t(v) << 4 : uint64_t(v) << 16;
            break;
        }
        case 0x03:
        case 0x05: {
            if (n != 4)
                return fail(lineNo, "type " + hex2(type).substr(2) + " record must have length 4");
            if (offset != 0)
                return fail(lineNo, "address field must be 0000 for type " + hex2(type).substr(2));
            const uint32_t v = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
            if (sawStart)
                warn(lineNo, "second start address record, the last one counts");
            sawStart = true;
            // 03 is CS:IP; kept as the linear address it denotes.
            image_.startAddress = type == 0x05 ? v : ((v >> 16) << 4) + (v & 0xFFFF);
            break;
        }
        default:
            return fail(lineNo, "unknown record type " + hex2(type));
        }
        return true;
    }

    std::string_view text_;
    FirmwareImage& image_;
    size_t pos = 0;
    int lineNo = 0;
    std::vector<uint8_t> bytes;
    Mode mode = Mode::None;
    uint64_t base = 0;
    bool sawCtrlZ = false;
    bool warnedOrder = false;
    bool warnedEmpty = false;
    bool sawStart = false;
    uint64_t lastEnd = 0;
};

SessionError refuseHex(int line, const std::string& msg)
{
    SessionError e = failure(kFileInvalid, line > 0 ? "line " + std::to_string(line) + ": " + msg : msg);
    e.line = line;
    return e;
}

}  // namespace

Result<FirmwareImage> parseIntelHex(std::string_view text)
{
    FirmwareImage image;
    HexReader reader(text, image);
    const bool read = reader.readAll();

    // Put together: a record that clashes with an earlier one shows only now, and wins over
    // a reading fault when its line comes first.
    int repeatLine = 0;
    const ImageAssembly::Conflict clash = reader.assembly.build(image, repeatLine);
    if (clash.line > 0)
        return refuseHex(clash.line, hex8(clash.address) + " already set to " + hex2(clash.oldValue) + ", now " +
                                            hex2(clash.newValue));
    if (!read)
        return refuseHex(reader.faultLine, reader.fault);
    if (repeatLine > 0) {
        // In line order among the others, after a warning of the same line.
        const auto& lines = reader.warningLines;
        const auto at = std::upper_bound(lines.begin(), lines.end(), repeatLine) - lines.begin();
        image.warnings.insert(image.warnings.begin() + at, "line " + std::to_string(repeatLine) +
                                                                   ": record repeats bytes already given with the same values");
    }

    if (!reader.sawEof) {
        if (image.empty())
            return refuseHex(0, "no data records");
        return refuseHex(0, "missing end-of-file record");
    }
    if (image.empty())
        return refuseHex(0, "no data records");
    if (reader.crOnly)
        image.warnings.push_back("lines end in CR only");
    return image;
}

Result<FirmwareImage> loadBinary(std::string_view bytes, uint32_t address)
{
    if (bytes.empty())
        return failure(kFileInvalid, "the file is empty");
    if (uint64_t(address) + bytes.size() > 0x100000000ull)
        return failure(kFileInvalid, "the file does not fit below 4 GiB from " + hex8(address));
    FirmwareImage image;
    image.add(address, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
    return image;
}

}  // namespace vbprog
