#include "elf_image.h"

#include "status.h"
#include "text_format.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vbprog {

namespace {

constexpr size_t kElfHeaderSize = 52;        // Elf32_Ehdr
constexpr size_t kProgramHeaderSize = 32;    // Elf32_Phdr
constexpr uint16_t kTypeRelocatable = 1;     // ET_REL: an object file, not yet linked
constexpr uint16_t kTypeExecutable = 2;      // ET_EXEC
constexpr uint16_t kMachineArm = 40;         // EM_ARM
constexpr uint32_t kLoad = 1;                // PT_LOAD
constexpr uint16_t kExtendedCount = 0xFFFF;  // PN_XNUM: the count lives in a section header
// The Cortex-M memory map's SRAM region: code and data that run there must be loaded
// elsewhere (a load address in flash) to survive a reset.
constexpr uint32_t kRamStart = 0x20000000;
constexpr uint64_t kRamEnd = 0x40000000;

uint16_t u16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Segment {
    unsigned index;
    uint32_t offset;
    uint32_t address;   // p_paddr
    uint32_t size;      // p_filesz
};

SessionError refuse(std::string msg)
{
    return failure(kFileInvalid, std::move(msg));
}

std::string segmentName(unsigned index)
{
    return "segment " + std::to_string(index);
}

std::string bytesText(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

Result<FirmwareImage> parseElf(std::string_view text)
{
    const auto* file = reinterpret_cast<const uint8_t*>(text.data());
    const uint64_t size = text.size();
    if (size < 16 || text.compare(0, 4, "\x7F" "ELF") != 0)
        return refuse("not an ELF file");
    if (file[4] != 1)
        return refuse(file[4] == 2 ? "a 64-bit ELF file; only 32-bit ARM programs can be downloaded"
                                   : "an ELF file of unknown class " + std::to_string(file[4]));
    if (file[5] != 1)
        return refuse(file[5] == 2 ? "a big-endian ELF file; only little-endian ARM programs can be downloaded"
                                   : "an ELF file of unknown byte order " + std::to_string(file[5]));
    if (size < kElfHeaderSize)
        return refuse("the ELF header is cut short (" + bytesText(size) + " of " + std::to_string(kElfHeaderSize) + ")");
    const uint16_t type = u16(file + 16);
    const uint16_t machine = u16(file + 18);
    if (machine != kMachineArm)
        return refuse("an ELF file for machine " + std::to_string(machine) + ", not for ARM (40)");
    if (type == kTypeRelocatable)
        return refuse("an ELF object file, not a linked program; give the linker's output");
    if (type != kTypeExecutable)
        return refuse("an ELF file of type " + std::to_string(type) + ", not an executable (2)");
    const uint32_t entry = u32(file + 24);
    const uint32_t phoff = u32(file + 28);
    const uint16_t phentsize = u16(file + 42);
    const uint16_t phnum = u16(file + 44);
    if (phnum == 0)
        return refuse("the ELF file has no program headers, so nothing to load");
    if (phnum == kExtendedCount)
        return refuse("the ELF file has more program headers than its header can count");
    if (phentsize < kProgramHeaderSize)
        return refuse("program headers of " + bytesText(phentsize) + ", fewer than the " +
                      std::to_string(kProgramHeaderSize) + " of ELF32");
    if (uint64_t(phoff) + uint64_t(phnum) * phentsize > size)
        return refuse("the program headers (" + std::to_string(phnum) + " at offset " + hex8(phoff) +
                      ") lie beyond the end of the file");

    std::vector<Segment> segments;
    uint64_t claimed = 0;
    for (unsigned i = 0; i < phnum; ++i) {
        const uint8_t* ph = file + phoff + uint64_t(i) * phentsize;
        const uint32_t pType = u32(ph);
        const uint32_t offset = u32(ph + 4);
        const uint32_t vaddr = u32(ph + 8);
        const uint32_t paddr = u32(ph + 12);
        const uint32_t filesz = u32(ph + 16);
        const uint32_t memsz = u32(ph + 20);
        if (pType != kLoad || filesz == 0)
            continue;
        const std::string name = segmentName(i);
        if (uint64_t(offset) + filesz > size)
            return refuse(name + ": its " + bytesText(filesz) + " at offset " + hex8(offset) +
                          " lie beyond the end of the file");
        if (filesz > memsz)
            return refuse(name + ": holds more bytes in the file (" + std::to_string(filesz) + ") than in memory (" +
                          std::to_string(memsz) + ")");
        if (uint64_t(paddr) + filesz > 0x100000000ull)
            return refuse(name + ": runs past the end of the 32-bit address space from " + hex8(paddr));
        if (paddr < kRamEnd && uint64_t(paddr) + filesz > kRamStart)
            return refuse(name + ": loads " + bytesText(filesz) + " at " + hex8(paddr) +
                          ", which is RAM, not flash" +
                          (vaddr == paddr ? "; give its sections a load address in flash (AT> in the linker script)"
                                          : std::string()));
        // Segments never share file bytes; more than the file holds would be a file that
        // makes one small input into a huge image.
        claimed += filesz;
        if (claimed > size)
            return refuse(name + ": the loadable segments claim more bytes than the file holds");
        segments.push_back({i, offset, paddr, filesz});
    }
    if (segments.empty())
        return refuse("the ELF file has no loadable segment with data");

    std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) { return a.address < b.address; });
    for (size_t k = 1; k < segments.size(); ++k) {
        const Segment& prev = segments[k - 1];
        const Segment& cur = segments[k];
        if (uint64_t(prev.address) + prev.size > cur.address) {
            const Segment& later = prev.index > cur.index ? prev : cur;
            const Segment& earlier = prev.index > cur.index ? cur : prev;
            return refuse(segmentName(later.index) + ": overlaps " + segmentName(earlier.index) + " at " +
                          hex8(cur.address));
        }
    }

    FirmwareImage image;
    image.originsAreSegments = true;
    for (const Segment& s : segments)
        image.add(s.address, file + s.offset, s.size, int(s.index) + 1);
    image.startAddress = entry;
    return image;
}

}  // namespace vbprog
