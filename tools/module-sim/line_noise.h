// Line noise between the host and the bootloader: bit errors, lost bytes and spurious
// bytes, each direction with its own random stream so a seed gives the same damage
// whatever the order in which the two directions are served.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vbsim {

struct NoiseSettings {
    uint64_t seed = 1;
    double bitErrorRate = 0; // per bit on the wire (8 data bits of each byte)
    double dropRate = 0;     // per byte
    double insertRate = 0;   // per byte: a random byte appears after it
    bool active() const { return bitErrorRate > 0 || dropRate > 0 || insertRate > 0; }
};

struct NoiseCounts {
    uint64_t bytes = 0;   // bytes that went through
    uint64_t flips = 0;   // bits flipped
    uint64_t damaged = 0; // bytes with at least one flipped bit
    uint64_t drops = 0;
    uint64_t inserts = 0;
};

enum class Direction { ToModule, ToHost };

class LineNoise {
public:
    LineNoise() = default;
    explicit LineNoise(const NoiseSettings &s);

    bool active() const { return settings_.active(); }
    // The bytes as they arrive at the other end; `what` (if set) gets one line per event, and
    // `parityErrors` (if set) one flag per byte that arrives: an odd number of its bits flipped,
    // which a UART checking even parity flags.
    std::vector<uint8_t> apply(Direction d, const uint8_t *data, size_t len, std::vector<std::string> *what = nullptr,
                               std::vector<bool> *parityErrors = nullptr);
    const NoiseCounts &counts(Direction d) const { return d == Direction::ToModule ? toModule_ : toHost_; }
    // "to-module: N bytes, F bits flipped in B bytes, D dropped, I inserted; to-host: ..."
    std::string summary() const;

private:
    NoiseSettings settings_;
    std::mt19937_64 rngToModule_, rngToHost_;
    NoiseCounts toModule_, toHost_;
};

} // namespace vbsim
