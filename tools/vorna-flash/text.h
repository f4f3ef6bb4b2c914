// Small text helpers of the command-line flasher: hex digits, and CSV written and read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "text_format.h"

namespace vf {

// Lowercase hex, two digits a byte: the library's, so identifiers read alike everywhere.
using vbprog::toHex;

// One CSV field: quoted (with doubled quotes) when it holds a comma, quote or line break.
// A spreadsheet would run a field that begins with =, +, - or @ as a formula, so such a
// field is written quoted with a ' in front, which shows it as text.
std::string csvField(const std::string& text);

// A field as read back, with the ' that csvField put in front of a would-be formula taken off.
std::string csvValue(const std::string& field);

// The CSV record (RFC 4180 quoting: a line break inside quotes belongs to the field) that
// begins at `pos`. It ends at a line break outside quotes, or at the end of `text` when
// `textEnds`. True with `pos` past the record; false, `pos` untouched, while it has not ended.
bool nextCsvRecord(const std::string& text, std::size_t& pos, std::vector<std::string>& fields, bool textEnds);

}  // namespace vf
