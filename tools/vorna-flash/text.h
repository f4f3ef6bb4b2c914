// Small text helpers of the command-line flasher: hex digits, and quoting for CSV output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vf {

// Lowercase hex, two digits a byte.
std::string toHex(const uint8_t* data, std::size_t size);

// One CSV field: quoted (with doubled quotes) when it holds a comma, quote or line break.
std::string csvField(const std::string& text);

}  // namespace vf
