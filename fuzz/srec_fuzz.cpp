// Fuzz target: the S-record reader against a naive reference that keeps one map entry per
// byte and applies the data records in file order. An accepted file must give exactly the
// reference's bytes, start address and source lines; a refused clash must be the first one
// the reference meets.
#include <string_view>
#include <vector>

#include "record_reference.h"
#include "srec_image.h"

namespace {

// Reads records up to the first clash, a termination record or `lastLine`; lines it cannot
// decode are skipped (the reader under test has refused those files already).
Reference decode(std::string_view text, int lastLine)
{
    static const int addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    Reference ref;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size() && lineNo < lastLine) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++lineNo;
        if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9')
            continue;
        const int type = line[1] - '0';
        std::vector<uint8_t> b;
        for (size_t i = 2; i + 1 < line.size(); i += 2) {
            if (digit(line[i]) < 0 || digit(line[i + 1]) < 0)
                break;
            b.push_back(uint8_t(digit(line[i]) * 16 + digit(line[i + 1])));
        }
        const int n = addressBytes[type];
        if (n == 0 || b.empty() || b.size() != size_t(b[0]) + 1 || b.size() < size_t(n) + 2)
            continue;
        uint32_t address = 0;
        for (int i = 0; i < n; ++i)
            address = address << 8 | b[1 + size_t(i)];
        if (type >= 7) {
            ref.start = address;
            return ref;
        }
        if (type < 1 || type > 3)
            continue;
        for (size_t i = 1 + size_t(n); i + 1 < b.size(); ++i) {
            const uint32_t a = address + uint32_t(i - 1 - size_t(n));
            const auto it = ref.bytes.find(a);
            if (it == ref.bytes.end()) {
                ref.bytes[a] = b[i];
                ref.lines[a] = lineNo;
            } else if (it->second != b[i]) {
                ref.clashLine = lineNo;
                ref.clashAddress = a;
                ref.clashOld = it->second;
                ref.clashNew = b[i];
                return ref;
            }
        }
    }
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseSRecords(text);

    checkAgainstReference(r, text, decode);
    return 0;
}
