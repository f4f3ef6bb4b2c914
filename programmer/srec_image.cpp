#include "srec_image.h"

#include "record_text.h"
#include "text_format.h"

namespace vbprog {

namespace {

// Longest legal record: "S" + type + 2 * 255 digits.
constexpr size_t kMaxRecordChars = 512;

// Address bytes of each record type; 0 for the reserved S4.
constexpr size_t kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

class SRecordReader {
public:
    SRecordReader(std::string_view text, FirmwareImage& image) : lines_(text), image_(image)
    {
        assembly.reserveFor(text.size());
        bytes.reserve(260);
    }

    bool readAll()
    {
        return readRecordLines(
            lines_, [this] { return terminated; },
            [this](std::string_view line) {
                if (!decode(line) || !apply())
                    return false;
                ++records;
                endsInCount = type == 5 || type == 6;
                return true;
            },
            [this](const char* text) { return fail(text); }, "data after the termination record");
    }

    ImageAssembly assembly;
    int faultLine = 0;
    std::string fault;
    std::vector<int> warningLines;
    bool terminated = false;
    // The last record counts the data records: srec_cat ends a file so when it knows no start
    // address. The count shows that nothing was cut off, as a termination record does.
    bool endsInCount = false;
    bool crOnly() const { return lines_.crOnly(); }

private:
    bool fail(std::string msg)
    {
        faultLine = lines_.number();
        fault = std::move(msg);
        return false;
    }

    void warn(std::string text)
    {
        image_.warnings.push_back("line " + std::to_string(lines_.number()) + ": " + text);
        warningLines.push_back(lines_.number());
    }

    // The type digit, the bytes after it, their count and checksum checked.
    bool decode(std::string_view line)
    {
        bytes.clear();
        const bool typed = line.size() >= 2 && line[1] >= '0' && line[1] <= '9';
        if (line[0] != 'S' || line.size() > kMaxRecordChars || !typed || line.size() % 2 != 0 ||
            !decodeHexPairs(line, 2, bytes)) {
            std::string why = textLineFault(line, kMaxRecordChars, 'S', "an S-record", 2);
            if (why.rfind("not ", 0) == 0 || why.rfind("expected ", 0) == 0)
                return fail(why);
            if (line.size() < 2)
                return fail("record too short");
            if (!typed)
                return fail(std::string("unknown record type S") + (line[1] == '\t' ? std::string("\\t") : std::string(1, line[1])));
            return fail(why);
        }
        type = line[1] - '0';
        if (type == 4)
            return fail("unknown record type S4");
        const size_t addressBytes = kAddressBytes[type];
        if (bytes.size() < 1 + addressBytes + 1)
            return fail("record too short");
        const size_t count = bytes[0];
        if (bytes.size() != count + 1)
            return fail("count field says " + std::to_string(count) + " bytes, record has " +
                        std::to_string(bytes.size() - 1));
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            sum = uint8_t(sum + bytes[i]);
        const uint8_t expected = uint8_t(~sum);
        if (expected != bytes.back())
            return fail("checksum " + hex2(bytes.back()) + ", expected " + hex2(expected));
        address = 0;
        for (size_t i = 0; i < addressBytes; ++i)
            address = address << 8 | bytes[1 + i];
        data = bytes.data() + 1 + addressBytes;
        dataLength = count - addressBytes - 1;
        return true;
    }

    bool apply()
    {
        switch (type) {
        case 0:
            if (records > 0)
                return fail("header record (S0) after the first record");
            if (address != 0)
                return fail("address field must be 0000 for S0");
            break;
        case 1:
        case 2:
        case 3: {
            ++dataRecords;
            if (dataLength == 0) {
                if (!warnedEmpty) {
                    warnedEmpty = true;
                    warn("empty data record ignored");
                }
                break;
            }
            if (address + dataLength > 0x100000000ull)
                return fail("address overflow");
            const uint64_t limit = uint64_t(1) << (8 * kAddressBytes[type]);
            if (address + dataLength > limit)
                return fail("record runs past the end of the S" + std::to_string(type) + " address space");
            if (address < lastEnd && !warnedOrder) {
                warnedOrder = true;
                warn("records not in ascending address order");
            }
            lastEnd = address + dataLength;
            assembly.collect(uint32_t(address), data, dataLength, lines_.number());
            break;
        }
        case 5:
        case 6:
            if (dataLength != 0)
                return fail("S" + std::to_string(type) + " record must carry no data");
            // The count is as wide as the field; a writer past its range keeps the low digits.
            if (address != dataRecords % (uint64_t(1) << (8 * kAddressBytes[type])))
                return fail("record count " + std::to_string(address) + ", but " + std::to_string(dataRecords) +
                            " data records precede it");
            break;
        default:  // 7, 8, 9
            if (dataLength != 0)
                return fail("S" + std::to_string(type) + " record must carry no data");
            terminated = true;
            image_.startAddress = uint32_t(address);
            break;
        }
        return true;
    }

    TextLines lines_;
    FirmwareImage& image_;
    std::vector<uint8_t> bytes;
    int type = 0;
    uint64_t address = 0;
    const uint8_t* data = nullptr;
    size_t dataLength = 0;
    uint64_t records = 0;       // records read so far, of any type
    uint64_t dataRecords = 0;   // S1, S2 and S3 so far, empty ones too
    uint64_t lastEnd = 0;
    bool warnedEmpty = false;
    bool warnedOrder = false;
};

}  // namespace

Result<FirmwareImage> parseSRecords(std::string_view text)
{
    FirmwareImage image;
    SRecordReader reader(text, image);
    const bool read = reader.readAll();
    const Result<void> assembled =
        assembleRecords(reader.assembly, image, read, reader.faultLine, reader.fault, reader.warningLines);
    if (!assembled)
        return assembled.error();
    if (image.empty())
        return refuseAtLine(0, "no data records");
    if (!reader.terminated && !reader.endsInCount)
        return refuseAtLine(0, "missing termination record (S7, S8 or S9)");
    if (reader.crOnly())
        image.warnings.push_back("lines end in CR only");
    return image;
}

}  // namespace vbprog
