#include "text.h"

#include <cctype>
#include <cstdio>

namespace vf {

std::string toHex(const uint8_t* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0f];
    }
    return out;
}

std::optional<std::wstring> utf8ToWide(const std::string& text)
{
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        int extra;
        uint32_t minimum;
        if (lead == 0)
            return std::nullopt;
        if (lead < 0x80) {
            cp = lead;
            extra = 0;
            minimum = 0;
        } else if ((lead & 0xe0) == 0xc0) {
            cp = lead & 0x1f;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            cp = lead & 0x0f;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            cp = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + extra >= text.size())
            return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xc0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (c & 0x3f);
        }
        if (cp < minimum || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return std::nullopt;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xd800 + (cp >> 10));
            out += static_cast<wchar_t>(0xdc00 + (cp & 0x3ff));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += 1 + extra;
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
        if (sizeof(wchar_t) == 2 && cp >= 0xd800 && cp <= 0xdbff && text[1] >= 0xdc00 && text[1] <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (static_cast<uint32_t>(text[1]) - 0xdc00);
            ++text;
        }
        if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            cp = 0xfffd;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return out;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::size_t> imageDataBytes(const std::string& content, bool isBinary)
{
    if (isBinary)
        return content.size();
    std::size_t total = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        if (line.empty())
            continue;
        if (line[0] != ':' || line.size() < 11)
            return std::nullopt;
        int length = hexValue(line[1]) * 16 + hexValue(line[2]);
        int type = hexValue(line[7]) * 16 + hexValue(line[8]);
        if (hexValue(line[1]) < 0 || hexValue(line[2]) < 0 || hexValue(line[7]) < 0 || hexValue(line[8]) < 0 ||
            line.size() != 11 + 2 * std::size_t(length))
            return std::nullopt;
        if (type == 0x00)
            total += std::size_t(length);
        else if (type == 0x01)
            break;
    }
    return total;
}

bool isBinaryFileName(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string tail = path.substr(path.size() - 4);
    for (auto& c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bin";
}

}  // namespace vf
