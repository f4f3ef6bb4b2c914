// HEX parser: time to parse a 60 MB file with its records in ascending, descending and
// shuffled address order. The files are made here, in the folder given as the argument.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#include "firmware_image.h"

namespace {

constexpr uint32_t kBase = 0x08000000;
constexpr int kRecordBytes = 16;   // what objcopy writes: the most records per megabyte

void appendRecord(std::string& out, uint8_t type, uint16_t offset, const uint8_t* data, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    auto put = [&out](uint8_t b) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    };
    uint8_t sum = uint8_t(n + (offset >> 8) + (offset & 0xFF) + type);
    out.push_back(':');
    put(uint8_t(n));
    put(uint8_t(offset >> 8));
    put(uint8_t(offset & 0xFF));
    put(type);
    for (size_t i = 0; i < n; ++i) {
        put(data[i]);
        sum = uint8_t(sum + data[i]);
    }
    put(uint8_t(0x100 - sum));
    out += "\r\n";
}

// One file of `count` 16-byte records covering one contiguous block, written in the order given.
std::string makeHex(const std::vector<uint32_t>& order)
{
    std::string out;
    out.reserve(order.size() * 62);
    uint32_t upper = 0xFFFFFFFF;
    uint8_t data[kRecordBytes];
    for (uint32_t index : order) {
        const uint32_t addr = kBase + index * kRecordBytes;
        if (addr >> 16 != upper) {
            upper = addr >> 16;
            const uint8_t v[2] = {uint8_t(upper >> 8), uint8_t(upper)};
            appendRecord(out, 0x04, 0, v, 2);
        }
        for (int i = 0; i < kRecordBytes; ++i)
            data[i] = uint8_t((addr + uint32_t(i)) * 2654435761u >> 24);
        appendRecord(out, 0x00, uint16_t(addr & 0xFFFF), data, kRecordBytes);
    }
    out += ":00000001FF\r\n";
    return out;
}

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long peakRssMiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

}  // namespace

int main(int argc, char** argv)
{
    // Arguments: the folder for the files, and the size in MB (60 unless given).
    const std::string dir = argc > 1 ? argv[1] : ".";
    const double megabytes = argc > 2 ? std::atof(argv[2]) : 60.0;
    // ":10AAAA00" + 32 digits + checksum + CRLF = 45 characters a record; shuffled, nearly every
    // record needs a 04 record of its own (17 more), so that file of the same size holds fewer.
    auto firstRecords = [megabytes](int characters) {
        std::vector<uint32_t> v(size_t(megabytes * 1e6 / characters));
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = uint32_t(i);
        return v;
    };

    struct Case {
        const char* name;
        std::vector<uint32_t> order;
    };
    std::vector<Case> cases;
    const std::vector<uint32_t> ascending = firstRecords(45);
    cases.push_back({"ascending", ascending});
    cases.push_back({"descending", std::vector<uint32_t>(ascending.rbegin(), ascending.rend())});
    std::vector<uint32_t> shuffled = firstRecords(62);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(20261209));
    cases.push_back({"shuffled", std::move(shuffled)});

    int failures = 0;
    for (const Case& c : cases) {
        const std::string path = dir + "/parse-bench-" + c.name + ".hex";
        {
            const std::string text = makeHex(c.order);
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            f.write(text.data(), std::streamsize(text.size()));
            if (!f) {
                std::fprintf(stderr, "parse-bench: cannot write %s\n", path.c_str());
                return 2;
            }
        }
        const auto count = uint32_t(c.order.size());
        std::ifstream f(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::remove(path.c_str());   // 60 MB each: not worth keeping in the build folder

        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseIntelHex(text);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpuSeconds() - cpu0;

        const bool right = r.ok() && r->segments().size() == 1 && r->lowestAddress() == kBase &&
                           r->byteCount() == uint64_t(count) * kRecordBytes;
        if (!right) {
            ++failures;
            std::fprintf(stderr, "parse-bench: %s: wrong result: %s\n", c.name, r.ok() ? "bad image" : r.error().what.c_str());
        }
        // CPU time too: on a machine shared with builds the wall time says little.
        std::printf("parse %-10s %6.1f MB, %7u records: %6.2f s wall, %5.2f s CPU  (%s; peak RSS so far %ld MiB)\n",
                    c.name, double(text.size()) / 1e6, count, seconds, cpu, seconds < 2.0 ? "under 2 s" : "OVER 2 s",
                    peakRssMiB());
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
