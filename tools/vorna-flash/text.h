// Small text helpers of the command-line flasher: hex digits, the wide texts the
// programming library takes and gives, and quoting for JSON and CSV output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vf {

// Lowercase hex, two digits a byte.
std::string toHex(const uint8_t* data, std::size_t size);

// UTF-8 to wchar_t (one code point each). Empty optional for malformed UTF-8, an
// overlong form, a surrogate, or a NUL inside the text.
std::optional<std::wstring> utf8ToWide(const std::string& text);

// wchar_t code points to UTF-8; anything that is no valid code point becomes U+FFFD.
std::string wideToUtf8(const wchar_t* text);

// A JSON string literal, quotes included.
std::string jsonString(const std::string& text);

// One CSV field: quoted (with doubled quotes) when it holds a comma, quote or line break.
std::string csvField(const std::string& text);

// Data bytes in a firmware file's content: the payload of the data records of an Intel
// HEX file, or the whole content of a .bin file. Empty optional when a HEX line cannot
// be read; the library then reports the file as malformed anyway.
std::optional<std::size_t> imageDataBytes(const std::string& content, bool isBinary);

// True when the path ends in ".bin", in any case.
bool isBinaryFileName(const std::string& path);

}  // namespace vf
