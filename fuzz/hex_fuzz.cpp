// Fuzz target: the Intel HEX reader against a naive reference that keeps one map entry per
// byte and applies the records in file order. An accepted file must give exactly the
// reference's bytes, start address and source lines; a refused clash must be the first one
// the reference meets.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware_image.h"
#include "record_reference.h"
#include "text_format.h"

namespace {

// Reads records up to the first clash, the end record or `lastLine`; lines it cannot decode
// are skipped (the reader under test has refused those files already).
Reference decode(std::string_view text, int lastLine)
{
    Reference ref;
    uint32_t base = 0;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size() && lineNo < lastLine) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++lineNo;
        std::vector<uint8_t> b;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            if (digit(line[i]) < 0 || digit(line[i + 1]) < 0)
                break;
            b.push_back(uint8_t(digit(line[i]) * 16 + digit(line[i + 1])));
        }
        if (line.empty() || line[0] != ':' || b.size() < 5 || b.size() != size_t(b[0]) + 5)
            continue;
        const uint32_t offset = uint32_t(b[1]) << 8 | b[2];
        switch (b[3]) {
        case 0:
            for (size_t i = 0; i < b[0]; ++i) {
                const uint32_t a = base + offset + uint32_t(i);
                const auto it = ref.bytes.find(a);
                if (it == ref.bytes.end()) {
                    ref.bytes[a] = b[4 + i];
                    ref.lines[a] = lineNo;
                } else if (it->second != b[4 + i]) {
                    ref.clashLine = lineNo;
                    ref.clashAddress = a;
                    ref.clashOld = it->second;
                    ref.clashNew = b[4 + i];
                    return ref;
                }
            }
            break;
        case 1:
            return ref;
        case 2:
            base = (uint32_t(b[4]) << 8 | b[5]) << 4;
            break;
        case 4:
            base = (uint32_t(b[4]) << 8 | b[5]) << 16;
            break;
        case 3:
            ref.start = (uint32_t(b[4]) << 8 | b[5]) * 16 + (uint32_t(b[6]) << 8 | b[7]);
            break;
        case 5:
            ref.start = uint32_t(b[4]) << 24 | uint32_t(b[5]) << 16 | uint32_t(b[6]) << 8 | b[7];
            break;
        }
    }
    return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseIntelHex(text);

    checkAgainstReference(r, text, decode);
    return 0;
}
