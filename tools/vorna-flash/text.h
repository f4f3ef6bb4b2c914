// Small text helpers of the command-line flasher: hex digits, and quoting for CSV output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text_format.h"

namespace vf {

// Lowercase hex, two digits a byte: the library's, so identifiers read alike everywhere.
using vbprog::toHex;

// One CSV field: quoted (with doubled quotes) when it holds a comma, quote or line break.
std::string csvField(const std::string& text);

}  // namespace vf
