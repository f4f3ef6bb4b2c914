#include "text_format.h"

#include <cstdarg>
#include <cstdio>

namespace vbprog {

namespace {

// One code point from the front of `text`: its length in bytes, or 0 when the bytes there
// are no valid UTF-8.
size_t decodeOne(std::string_view text, uint32_t& cp)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t extra;
    uint32_t minimum;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1Fu, extra = 1, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0Fu, extra = 2, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07u, extra = 3, minimum = 0x10000;
    } else {
        return 0;
    }
    if (extra >= text.size())
        return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (c & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return 1 + extra;
}

void appendWide(std::wstring& out, uint32_t cp)
{
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (cp >> 10));
        out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<wchar_t>(cp);
    }
}

}  // namespace

std::string hex2(unsigned v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFFu);
    return b;
}

std::string fmt(const char* f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string productIdText(uint16_t pid)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%03X", unsigned(pid));
    return b;
}

std::string hex8(uint64_t v)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%08llX", static_cast<unsigned long long>(v));
    return b;
}

std::optional<std::wstring> utf8ToWide(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    while (!text.empty()) {
        uint32_t cp = 0;
        const size_t n = decodeOne(text, cp);
        if (n == 0 || cp == 0)
            return std::nullopt;
        appendWide(out, cp);
        text.remove_prefix(n);
    }
    return out;
}

std::wstring utf8ToWideLossy(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    while (!text.empty()) {
        uint32_t cp = 0xFFFD;
        const size_t n = decodeOne(text, cp);
        appendWide(out, n ? cp : 0xFFFD);
        text.remove_prefix(n ? n : 1);
    }
    return out;
}

std::string wideToUtf8(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        auto cp = static_cast<uint32_t>(*text);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(text[1]) - 0xDC00);
            ++text;
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace vbprog
