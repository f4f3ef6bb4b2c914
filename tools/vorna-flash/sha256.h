// SHA-256 of firmware files for the bench log, so a row says exactly which image went
// onto a module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vf {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    std::array<uint8_t, 32> finish();

    // Lowercase hex digest of a whole buffer.
    static std::string hexDigest(const void* data, std::size_t size);

private:
    void compress(const uint8_t* block);

    uint32_t state_[8];
    uint8_t buffer_[64];
    std::size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace vf
