#include "firmware_image.h"

#include "record_text.h"
#include "text_format.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace vbprog {

namespace {

// Longest legal record: ':' + 2 * (255 + 5) digits.
constexpr size_t kMaxRecordChars = 521;

}  // namespace

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

std::string FirmwareImage::originOf(uint32_t address) const
{
    const int line = lineOf(address);
    if (line <= 0)
        return {};
    return originsAreSegments ? "segment " + std::to_string(line - 1) + ": " : "line " + std::to_string(line) + ": ";
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
    if (ext == "elf" || ext == "axf" || ext == "out")
        return FileFormat::Elf;
    if (ext == "srec" || ext == "s19" || ext == "s28" || ext == "s37" || ext == "mot" || ext == "sx")
        return FileFormat::SRecord;
    return ext == "bin" ? FileFormat::Binary : FileFormat::Unsupported;
}

namespace {

// Reads an Intel HEX text record by record: split a line off, decode it into bytes, apply
// the record (data to the assembly, addressing and start records to the state). The first
// fault of a line ends the reading.
class HexReader {
public:
    HexReader(std::string_view text, FirmwareImage& image) : lines_(text), image_(image)
    {
        assembly.reserveFor(text.size());
        bytes.reserve(260);
    }

    // Every record up to the end or the first fault; false with the fault kept.
    bool readAll()
    {
        return readRecordLines(
            lines_, [this] { return sawEof; }, [this](std::string_view line) { return decode(line) && apply(); },
            [this](const char* text) { return fail(lineNo(), text); }, "data after end-of-file record");
    }

    ImageAssembly assembly;
    int faultLine = 0;
    std::string fault;
    std::vector<int> warningLines;   // the line of each warning so far
    bool sawEof = false;
    bool crOnly() const { return lines_.crOnly(); }

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

    // The line's bytes, their length and checksum checked.
    bool decode(std::string_view line)
    {
        // A well-formed record decodes in one pass; anything else goes through the checks
        // in the order that decides which fault a line is refused for.
        bytes.clear();
        if (line[0] != ':' || line.size() > kMaxRecordChars || line.size() % 2 == 0 || !decodeHexPairs(line, 1, bytes))
            return fail(lineNo(), textLineFault(line, kMaxRecordChars, ':', "an Intel HEX", 1));
        if (bytes.size() < 5)
            return fail(lineNo(), "record too short");
        const size_t n = bytes[0];
        if (bytes.size() != n + 5)
            return fail(lineNo(), "length field says " + std::to_string(n) + " bytes, record has " +
                                    std::to_string(bytes.size() - 5));
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            sum = uint8_t(sum + bytes[i]);
        const uint8_t expected = uint8_t(0x100 - sum);
        if (expected != bytes.back())
            return fail(lineNo(), "checksum " + hex2(bytes.back()) + ", expected " + hex2(expected));
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
                    warn(lineNo(), "empty data record ignored");
                }
                break;
            }
            uint64_t addr = 0;
            if (mode == Mode::Linear) {
                addr = base + offset;
                if (addr + n > 0x100000000ull)
                    return fail(lineNo(), "address overflow");
            } else {
                // Segment and plain 16-bit addressing wrap inside 64 KiB, which no STM32 image
                // means; the tools disagree on it, so such a record is refused.
                if (offset + n > 0x10000)
                    return fail(lineNo(), "record crosses a 64 KiB boundary");
                addr = base + offset;
            }
            if (addr < lastEnd && !warnedOrder) {
                warnedOrder = true;
                warn(lineNo(), "records not in ascending address order");
            }
            lastEnd = addr + n;
            assembly.collect(uint32_t(addr), data, n, lineNo());
            break;
        }
        case 0x01:
            if (n != 0 || offset != 0)
                return fail(lineNo(), "malformed end-of-file record");
            sawEof = true;
            break;
        case 0x02:
        case 0x04: {
            if (n != 2)
                return fail(lineNo(), "type " + hex2(type).substr(2) + " record must have length 2");
            if (offset != 0)
                return fail(lineNo(), "address field must be 0000 for type " + hex2(type).substr(2));
            const Mode m = type == 0x02 ? Mode::Segment : Mode::Linear;
            if (mode != Mode::None && mode != m)
                return fail(lineNo(), "segment and linear addressing mixed");
            mode = m;
            const uint32_t v = uint32_t(data[0]) << 8 | data[1];
            base = type == 0x02 ? uint64_t(v) << 4 : uint64_t(v) << 16;
            break;
        }
        case 0x03:
        case 0x05: {
            if (n != 4)
                return fail(lineNo(), "type " + hex2(type).substr(2) + " record must have length 4");
            if (offset != 0)
                return fail(lineNo(), "address field must be 0000 for type " + hex2(type).substr(2));
            const uint32_t v = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
            if (sawStart)
                warn(lineNo(), "second start address record, the last one counts");
            sawStart = true;
            // 03 is CS:IP; kept as the linear address it denotes.
            image_.startAddress = type == 0x05 ? v : ((v >> 16) << 4) + (v & 0xFFFF);
            break;
        }
        default:
            return fail(lineNo(), "unknown record type " + hex2(type));
        }
        return true;
    }

    int lineNo() const { return lines_.number(); }

    TextLines lines_;
    FirmwareImage& image_;
    std::vector<uint8_t> bytes;
    Mode mode = Mode::None;
    uint64_t base = 0;
    bool warnedOrder = false;
    bool warnedEmpty = false;
    bool sawStart = false;
    uint64_t lastEnd = 0;
};

}  // namespace

Result<FirmwareImage> parseIntelHex(std::string_view text)
{
    FirmwareImage image;
    HexReader reader(text, image);
    const bool read = reader.readAll();

    const Result<void> assembled =
        assembleRecords(reader.assembly, image, read, reader.faultLine, reader.fault, reader.warningLines);
    if (!assembled)
        return assembled.error();

    if (!reader.sawEof) {
        if (image.empty())
            return refuseAtLine(0, "no data records");
        return refuseAtLine(0, "missing end-of-file record");
    }
    if (image.empty())
        return refuseAtLine(0, "no data records");
    if (reader.crOnly())
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
