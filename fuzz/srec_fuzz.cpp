// Fuzz target: the S-record reader against a naive reference that keeps one map entry per
// byte and applies the data records in file order. An accepted file must give exactly the
// reference's bytes, start address and source lines; a refused clash must be the first one
// the reference meets.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "srec_image.h"
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
    const vbprog::ParseResult r = vbprog::parseSRecords(text);

    if (!r.ok) {
        if (r.error.empty() || r.line < 0 || !r.image.empty())
            fault("a refusal without a reason, with a bad line or with an image", text);
        if (r.line > 0 && r.error.rfind("line " + std::to_string(r.line) + ": ", 0) != 0)
            fault("a refusal that names another line", text);
        if (r.error.find("already set to") != std::string::npos) {
            const Reference ref = decode(text, r.line);
            const std::string expected = "line " + std::to_string(ref.clashLine) + ": " + vbprog::hex8(ref.clashAddress) +
                                         " already set to " + vbprog::hex2(ref.clashOld) + ", now " +
                                         vbprog::hex2(ref.clashNew);
            if (r.error != expected)
                fault("a clash other than the first one", text);
        }
        return 0;
    }

    const Reference ref = decode(text, 1 << 30);
    if (ref.clashLine)
        fault("a file with a clash accepted", text);
    if (r.image.empty())
        fault("an accepted file without data", text);
    if (r.image.startAddress != ref.start && ref.start)
        fault("another start address", text);
    size_t count = 0;
    for (const auto& [start, bytes] : r.image.segments()) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const uint32_t a = start + uint32_t(i);
            const auto it = ref.bytes.find(a);
            if (it == ref.bytes.end() || it->second != bytes[i])
                fault("a byte the records do not give", text);
            if (r.image.lineOf(a) != ref.lines.at(a))
                fault("a byte credited to another line", text);
            ++count;
        }
    }
    if (count != ref.bytes.size())
        fault("bytes of the records missing from the image", text);
    return 0;
}
