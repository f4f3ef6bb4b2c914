#include "line_noise.h"

#include <cstdio>

namespace vbsim {

namespace {

std::string hex8(uint8_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string countsText(const NoiseCounts &c)
{
    return std::to_string(c.bytes) + " bytes, " + std::to_string(c.flips) + " bits flipped in " +
           std::to_string(c.damaged) + " bytes, " + std::to_string(c.drops) + " dropped, " +
           std::to_string(c.inserts) + " inserted";
}

} // namespace

LineNoise::LineNoise(const NoiseSettings &s)
    : settings_(s),
      rngToModule_(s.seed * 2 + 0x9E3779B97F4A7C15ull),
      rngToHost_(s.seed * 2 + 1 + 0x9E3779B97F4A7C15ull)
{
}

std::vector<uint8_t> LineNoise::apply(Direction d, const uint8_t *data, size_t len, std::vector<std::string> *what,
                                      std::vector<bool> *parityErrors)
{
    std::vector<uint8_t> out;
    out.reserve(len + 1);
    if (parityErrors)
        parityErrors->clear();
    if (!active()) {
        out.assign(data, data + len);
        if (parityErrors)
            parityErrors->assign(len, false);
        return out;
    }
    auto &rng = d == Direction::ToModule ? rngToModule_ : rngToHost_;
    NoiseCounts &c = d == Direction::ToModule ? toModule_ : toHost_;
    const char *dir = d == Direction::ToModule ? "to module" : "to host";
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < len; ++i) {
        ++c.bytes;
        // Every draw is made whatever the rates, so one seed gives one stream.
        const bool drop = u(rng) < settings_.dropRate;
        const bool insert = u(rng) < settings_.insertRate;
        const uint8_t extra = uint8_t(rng());
        uint8_t b = data[i];
        unsigned flipped = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (u(rng) < settings_.bitErrorRate) {
                b ^= uint8_t(1u << bit);
                ++flipped;
            }
        if (drop) {
            ++c.drops;
            if (what)
                what->push_back(std::string("Noise ") + dir + ": dropped " + hex8(data[i]));
        } else {
            if (flipped) {
                c.flips += flipped;
                ++c.damaged;
                if (what)
                    what->push_back(std::string("Noise ") + dir + ": " + hex8(data[i]) + " arrived as " + hex8(b));
            }
            out.push_back(b);
            if (parityErrors)
                parityErrors->push_back(flipped % 2 == 1);
        }
        if (insert) {
            ++c.inserts;
            out.push_back(extra);
            // A spurious byte is a whole frame of its own, parity and all.
            if (parityErrors)
                parityErrors->push_back(false);
            if (what)
                what->push_back(std::string("Noise ") + dir + ": inserted " + hex8(extra));
        }
    }
    return out;
}

std::string LineNoise::summary() const
{
    return "to-module: " + countsText(toModule_) + "; to-host: " + countsText(toHost_);
}

} // namespace vbsim
