// Intel HEX out: what the reader takes back byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vbprog {

// `size` bytes from `address` as 16-byte data records, an extended linear address record
// before the first and at each 64 KiB boundary, and the end record; lines end in LF.
// Nothing may lie above 4 GiB.
std::string intelHexText(uint32_t address, const uint8_t* data, size_t size);

}  // namespace vbprog
