// Texts of the library: hexadecimal numbers in messages, and UTF-8 beside the wide texts
// of the interface (file paths come in wide, messages go out wide).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vbprog {

std::string hex2(unsigned v);  // "0x7F"
std::string hex8(uint64_t v);  // "0x08000800"
// "0x497": a product ID as every message and output shows it.
std::string productIdText(uint16_t pid);

// Bytes as lowercase hex, two digits a byte ("70b3d57e..."): identifiers, digests. Inline,
// so the window and the command-line tool use it without linking the library.
inline std::string toHex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0f];
    }
    return out;
}
// printf into a message; long texts are cut at 511 bytes.
std::string fmt(const char* f, ...)
#if defined(__MINGW32__)
    // mingw's C++ run-time formats the C99 way (%zu), not the system library's way.
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
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
