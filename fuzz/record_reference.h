// What the harnesses of the text readers share: a naive reference that keeps one map entry
// per byte and applies the data records in file order, and the check of a reader's result
// against it. An accepted file must give exactly the reference's bytes, start address and
// source lines; a refused clash must be the first one the reference meets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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

[[noreturn]] void fault(const char* what, std::string_view text)
{
    std::fprintf(stderr, "parser fault: %s\n", what);
    std::fwrite(text.data(), 1, std::min<size_t>(text.size(), 2000), stderr);
    std::abort();
}

// `decode(text, lastLine)`: the reference's reading up to the first clash, the end record
// or `lastLine`.
template <typename Decode>
void checkAgainstReference(const vbprog::Result<vbprog::FirmwareImage>& r, std::string_view text, Decode decode)
{
    if (!r.ok()) {
        if (r.error().what.empty() || r.error().line < 0 || r.error().status != vbprog::kFileInvalid)
            fault("a refusal without a reason, with a bad line or another status", text);
        if (r.error().line > 0 && r.error().what.rfind("line " + std::to_string(r.error().line) + ": ", 0) != 0)
            fault("a refusal that names another line", text);
        if (r.error().what.find("already set to") != std::string::npos) {
            const Reference ref = decode(text, r.error().line);
            const std::string expected = "line " + std::to_string(ref.clashLine) + ": " + vbprog::hex8(ref.clashAddress) +
                                         " already set to " + vbprog::hex2(ref.clashOld) + ", now " +
                                         vbprog::hex2(ref.clashNew);
            if (r.error().what != expected)
                fault(("clash differs from the reference's: " + expected).c_str(), text);
        }
        return;
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
}

}  // namespace
