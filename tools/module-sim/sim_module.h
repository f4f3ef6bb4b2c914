// One module in the simulated adapter: its memory, its bootloader and what identifies it.
#pragma once

#include "bootloader.h"
#include "memory.h"

#include <array>
#include <memory>
#include <string>

namespace vbsim {

struct SimModule {
    unsigned number = 1; // 1 for the module present at start, then counting insertions
    std::unique_ptr<Memory> memory;
    std::unique_ptr<Bootloader> bl;
    std::array<uint8_t, 12> uid{};
    std::string keysHex; // empty when the identifiers came from the image
    std::string dumpPath;
};

} // namespace vbsim
