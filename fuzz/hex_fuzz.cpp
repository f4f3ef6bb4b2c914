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
#include "status.h"
#include "text_format.h"

namespace {

struct Reference {
    std::map<uint32_t, uint8_t> bytes;
    std::map<uint32_t, int> lines;   // the record that first gave each byte
    std::optional<uint32_t> start;
    int clashLine = 0;
    uint32_t clashAddress = 0;
    uint8_t clashOld = 0, clashNew = 0;
};

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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

[[noreturn]] void fault(const char* what, std::string_view text)
{
    std::fprintf(stderr, "parser fault: %s\n", what);
    std::fwrite(text.data(), 1, std::min<size_t>(text.size(), 2000), stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseIntelHex(text);

    if (!r.ok()) {
        const vbprog::SessionError& e = r.error();
        if (e.what.empty() || e.line < 0 || e.status != vbprog::kFileInvalid)
            fault("a refusal without a reason, with a bad line or another status", text);
        if (e.line > 0 && e.what.rfind("line " + std::to_string(e.line) + ": ", 0) != 0)
            fault("a refusal that names another line", text);
        if (e.what.find("already set to") != std::string::npos) {
            const Reference ref = decode(text, e.line);
            const std::string expected = "line " + std::to_string(ref.clashLine) + ": " + vbprog::hex8(ref.clashAddress) +
                                         " already set to " + vbprog::hex2(ref.clashOld) + ", now " +
                                         vbprog::hex2(ref.clashNew);
            if (e.what != expected)
                fault(("clash differs from the reference's: " + expected).c_str(), text);
        }
        return 0;
    }

    const Reference ref = decode(text, 1 << 30);
    if (ref.clashLine != 0)
        fault("accepted a file whose records clash", text);
    if (r->startAddress != ref.start)
        fault("start address differs from the reference's", text);
    auto expected = ref.bytes.begin();
    uint64_t previousEnd = 0;
    bool first = true;
    for (const auto& [address, run] : r->segments()) {
        if (run.empty() || (!first && address <= previousEnd))
            fault("runs empty, unsorted or touching", text);
        first = false;
        previousEnd = uint64_t(address) + run.size();
        for (size_t i = 0; i < run.size(); ++i, ++expected) {
            if (expected == ref.bytes.end() || expected->first != address + i || expected->second != run[i])
                fault("bytes differ from the reference's", text);
            if (r->lineOf(expected->first) != ref.lines.at(expected->first))
                fault("source line differs from the reference's", text);
        }
    }
    if (expected != ref.bytes.end())
        fault("the reference has bytes the image lacks", text);
    return 0;
}
