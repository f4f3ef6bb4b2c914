// Fuzz target: the ELF reader. Under AddressSanitizer any read outside the input is a fault;
// an accepted file must give exactly the bytes of its loadable segments at their load
// addresses, as a naive second reading of the program headers finds them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "elf_image.h"
#include "status.h"

namespace {

uint32_t u32(std::string_view t, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(t[at + size_t(i)]);
    return v;
}

uint16_t u16(std::string_view t, size_t at)
{
    return uint16_t(uint8_t(t[at]) | uint8_t(t[at + 1]) << 8);
}

[[noreturn]] void fault(const char* what)
{
    std::fprintf(stderr, "parser fault: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseElf(file);
    if (!r.ok()) {
        if (r.error().what.empty() || r.error().status != vbprog::kFileInvalid)
            fault("a refusal without a reason or with another status");
        return 0;
    }
    if (r->empty() || !r->originsAreSegments)
        fault("an accepted file without data, or with lines for origins");
    // The reader took the headers as inside the file; so they must be.
    const uint32_t phoff = u32(file, 28);
    const uint16_t phentsize = u16(file, 42), phnum = u16(file, 44);
    if (uint64_t(phoff) + uint64_t(phnum) * phentsize > size)
        fault("program headers outside the file accepted");
    std::map<uint32_t, uint8_t> expected;
    for (unsigned i = 0; i < phnum; ++i) {
        const size_t ph = phoff + size_t(i) * phentsize;
        const uint32_t offset = u32(file, ph + 4), paddr = u32(file, ph + 12), filesz = u32(file, ph + 16);
        if (u32(file, ph) != 1 || filesz == 0)
            continue;
        if (uint64_t(offset) + filesz > size)
            fault("a segment outside the file accepted");
        for (uint32_t k = 0; k < filesz; ++k)
            if (!expected.emplace(paddr + k, uint8_t(file[offset + k])).second)
                fault("overlapping segments accepted");
    }
    size_t count = 0;
    for (const auto& [start, bytes] : r->segments()) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto it = expected.find(start + uint32_t(i));
            if (it == expected.end() || it->second != bytes[i])
                fault("a byte no segment gives");
            ++count;
        }
    }
    if (count != expected.size())
        fault("bytes of a segment missing from the image");
    return 0;
}
