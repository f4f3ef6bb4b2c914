#include "platform.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include <sddl.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

#if defined(_WIN32)

namespace {

std::wstring toWide(const std::string& utf8)
{
    if (utf8.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string toUtf8(const wchar_t* wide)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminator
    return out;
}

std::string systemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n && text ? toUtf8(text) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    return message;
}

// A security descriptor granting the current user full access and nobody else any; the
// protected list inherits nothing from the folder.
struct OwnerOnly {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    OwnerOnly()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        DWORD bytes = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
        std::vector<unsigned char> buffer(bytes);
        wchar_t* sid = nullptr;
        if (bytes && GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
            ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    ~OwnerOnly() { LocalFree(descriptor); }
};

}  // namespace

Utf8CommandLine::Utf8CommandLine(int argc, char** argv)
{
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            texts_.push_back(toUtf8(wide[i]));
        LocalFree(wide);
    } else {
        texts_.assign(argv, argv + argc);
    }
    for (const std::string& t : texts_)
        pointers_.push_back(t.c_str());
    pointers_.push_back(nullptr);
    SetConsoleOutputCP(CP_UTF8);
}

bool stderrIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::filesystem::path diskPath(const std::string& utf8)
{
    return std::filesystem::path(toWide(utf8));
}

std::tm utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_s(&tm, &now);
    return tm;
}

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const std::string& utf8Path, std::string& error)
{
    const std::wstring path = toWide(utf8Path);
    if (path.empty() && !utf8Path.empty()) {
        error = "the name is no valid UTF-8";
        return false;
    }
    OwnerOnly owner;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, owner.descriptor, FALSE};
    // Append data only: every write lands at the end, whoever else appends. Reading is for
    // the lock, which the system grants only to handles that read or write data.
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, owner.descriptor ? &attributes : nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A folder cannot be opened as a file; the system calls that "access denied".
        const DWORD attrs = GetFileAttributesW(path.c_str());
        error = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) ? "not a regular file"
                                                                                        : systemMessage(code);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        error = "not a regular file";
        return false;
    }
    close();
    handle_ = h;
    return true;
}

bool AppendFile::isOpen() const
{
    return handle_ != nullptr;
}

void AppendFile::close()
{
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

void AppendFile::lock()
{
    OVERLAPPED whole{};
    LockFileEx(static_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

void AppendFile::unlock()
{
    OVERLAPPED whole{};
    UnlockFileEx(static_cast<HANDLE>(handle_), 0, MAXDWORD, MAXDWORD, &whole);
}

int64_t AppendFile::size() const
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(static_cast<HANDLE>(handle_), &size) ? int64_t(size.QuadPart) : -1;
}

bool AppendFile::appendAndSync(const std::string& text, std::string& error)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000000u ? 0x10000000u : DWORD(left);
        if (!WriteFile(static_cast<HANDLE>(handle_), p, chunk, &written, nullptr)) {
            error = systemMessage(GetLastError());
            return false;
        }
        p += written;
        left -= written;
    }
    if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) {
        error = systemMessage(GetLastError());
        return false;
    }
    return true;
}

#else

Utf8CommandLine::Utf8CommandLine(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i)
        pointers_.push_back(argv[i]);
    pointers_.push_back(nullptr);
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::filesystem::path diskPath(const std::string& utf8)
{
    return std::filesystem::path(utf8);
}

std::tm utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    return tm;
}

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const std::string& utf8Path, std::string& error)
{
    int fd = ::open(utf8Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    close();
    fd_ = fd;
    return true;
}

bool AppendFile::isOpen() const
{
    return fd_ >= 0;
}

void AppendFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void AppendFile::lock()
{
    ::flock(fd_, LOCK_EX);
}

void AppendFile::unlock()
{
    ::flock(fd_, LOCK_UN);
}

int64_t AppendFile::size() const
{
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : -1;
}

bool AppendFile::appendAndSync(const std::string& text, std::string& error)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            return false;
        }
        p += n;
        left -= std::size_t(n);
    }
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

#endif

bool regularFileSize(const std::string& utf8Path, std::uintmax_t& size)
{
    std::error_code ec;
    const std::filesystem::path path = diskPath(utf8Path);
    if (!std::filesystem::is_regular_file(path, ec) || ec)
        return false;
    size = std::filesystem::file_size(path, ec);
    return !ec;
}

}  // namespace vf
