#include "system.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace linedb {

namespace fs = std::filesystem;

#if defined(_WIN32)
namespace {

// Windows hands names out in UTF-16; the ANSI calls would give a folder or computer name
// with, say, a "ü" in the code page's bytes, which are not UTF-8 (and not a path to us).
std::string utf8(const wchar_t* text, int length = -1)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    if (length < 0)
        out.pop_back();  // the terminator
    return out;
}

}  // namespace
#endif

bool createPrivateFile(const std::string& path, std::string& error)
{
#if defined(_WIN32)
    // A new file in the user's folders is the user's own; no mode bits to set.
    std::error_code ec;
    if (fs::exists(fs::u8path(path), ec))
        return true;
    std::FILE* f = _wfopen(fs::u8path(path).c_str(), L"ab");
    if (!f) {
        error = "it cannot be created";
        return false;
    }
    std::fclose(f);
    return true;
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::generic_category().message(errno);
        return false;
    }
    ::close(fd);
    return true;
#endif
}

std::string userStateFolder()
{
#if defined(_WIN32)
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local && *local ? utf8(local) : std::string();
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return state;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.local/state" : std::string();
#endif
}

std::string noStateFolderReason()
{
#if defined(_WIN32)
    return "LOCALAPPDATA is not set";
#else
    return "neither XDG_STATE_HOME nor HOME is set";
#endif
}

bool makeFolder(const std::string& path, std::string& error)
{
    std::error_code ec;
    const fs::path p = fs::u8path(path);
    if (fs::is_directory(p, ec))
        return true;
    fs::create_directories(p, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace, ec);
    return true;
}

std::string hostName()
{
#if defined(_WIN32)
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) && size > 0 ? utf8(name, int(size)) : std::string("unknown");
#else
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("unknown");
#endif
}

namespace {

std::tm brokenDown(std::time_t t, bool utc)
{
    std::tm tm{};
#if defined(_WIN32)
    utc ? gmtime_s(&tm, &t) : localtime_s(&tm, &t);
#else
    utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm);
#endif
    return tm;
}

// Seconds since the epoch of a UTC broken-down time.
std::time_t fromUtc(std::tm tm)
{
#if defined(_WIN32)
    return _mkgmtime(&tm);
#else
    return timegm(&tm);
#endif
}

}  // namespace

std::string utcNowText()
{
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm tm = brokenDown(std::chrono::system_clock::to_time_t(now), true);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    return text;
}

std::string localTimeText(const std::string& utcIso, bool clockOnly)
{
    std::tm tm{};
    if (std::sscanf(utcIso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6)
        return utcIso;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::tm local = brokenDown(fromUtc(tm), false);
    char text[40];
    if (clockOnly)
        std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string newUuid()
{
    static thread_local std::mt19937_64 bits{[] {
        std::random_device rd;
        std::seed_seq seed{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seed);
    }()};
    unsigned char b[16];
    for (int i = 0; i < 16; i += 8) {
        const uint64_t v = bits();
        for (int k = 0; k < 8; ++k)
            b[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace linedb
