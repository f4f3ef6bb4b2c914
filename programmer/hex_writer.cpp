#include "hex_writer.h"

#include <algorithm>

namespace vbprog {

namespace {

void record(std::string& out, uint8_t type, uint16_t offset, const uint8_t* data, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    uint8_t sum = uint8_t(n + (offset >> 8) + (offset & 0xFF) + type);
    auto put = [&out](uint8_t b) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    };
    out += ':';
    put(uint8_t(n));
    put(uint8_t(offset >> 8));
    put(uint8_t(offset & 0xFF));
    put(type);
    for (size_t i = 0; i < n; ++i) {
        put(data[i]);
        sum = uint8_t(sum + data[i]);
    }
    put(uint8_t(0x100 - sum));
    out += '\n';
}

}  // namespace

std::string intelHexText(uint32_t address, const uint8_t* data, size_t size)
{
    std::string out;
    out.reserve(size / 16 * 44 + 64);
    uint64_t upper = ~uint64_t(0);
    for (size_t i = 0; i < size;) {
        const uint64_t a = uint64_t(address) + i;
        if (a >> 16 != upper) {
            upper = a >> 16;
            const uint8_t base[2] = {uint8_t(upper >> 8), uint8_t(upper)};
            record(out, 0x04, 0, base, 2);
        }
        // A record ends at the next 16-byte line or 64 KiB boundary, whichever comes first.
        const uint64_t lineEnd = (a / 16 + 1) * 16;
        const size_t n = size_t(std::min<uint64_t>(lineEnd - a, size - i));
        record(out, 0x00, uint16_t(a & 0xFFFF), data + i, n);
        i += n;
    }
    record(out, 0x01, 0, nullptr, 0);
    return out;
}

}  // namespace vbprog
