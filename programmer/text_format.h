// Texts of the library: hexadecimal numbers in messages, and UTF-8 beside the wide texts
// of the interface (file paths come in wide, messages go out wide).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vbprog {

std::string hex2(unsigned v);  // "0x7F"
std::string hex8(uint64_t v);  // "0x08000800"
// printf into a message; long texts are cut at 511 bytes.
std::string fmt(const char* f, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Strict: empty for malformed UTF-8, an overlong form, a surrogate, a code point above
// U+10FFFF, or a NUL inside the text (it would cut a path short).
std::optional<std::wstring> utf8ToWide(std::string_view text);
// For messages: a byte that starts no valid sequence becomes U+FFFD.
std::wstring utf8ToWideLossy(std::string_view text);
// A wide text as UTF-8; a value that is no code point (a lone surrogate, above U+10FFFF)
// becomes U+FFFD. A null pointer gives an empty text.
std::string wideToUtf8(const wchar_t* text);

}  // namespace vbprog
