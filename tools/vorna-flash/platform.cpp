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
    // Every write is placed at the end of the file (see appendAndSync), whoever else
    // appends; writing data is for cutting a row back that did not fit.
    HANDLE h = CreateFileW(path.c_str(),
                           FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
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

bool AppendFile::readAt(int64_t offset, std::size_t count, std::string& out, std::string& error) const
{
    out.assign(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const uint64_t at = uint64_t(offset) + got;
        OVERLAPPED where{};
        where.Offset = DWORD(at & 0xFFFFFFFFu);
        where.OffsetHigh = DWORD(at >> 32);
        const DWORD chunk = count - got > 0x10000000u ? 0x10000000u : DWORD(count - got);
        DWORD n = 0;
        if (!ReadFile(static_cast<HANDLE>(handle_), &out[got], chunk, &n, &where)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF)
                break;
            error = systemMessage(code);
            return false;
        }
        if (n == 0)
            break;
        got += n;
    }
    out.resize(got);
    return true;
}

bool AppendFile::appendAndSync(const std::string& text, std::string& error)
{
    const int64_t before = size();
    std::string why;
    std::size_t done = 0;
    while (done < text.size() && why.empty()) {
        // Both offsets all ones: at the end of the file, as the file is then.
        OVERLAPPED atEnd{};
        atEnd.Offset = 0xFFFFFFFFu;
        atEnd.OffsetHigh = 0xFFFFFFFFu;
        const std::size_t left = text.size() - done;
        const DWORD chunk = left > 0x10000000u ? 0x10000000u : DWORD(left);
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), text.data() + done, chunk, &written, &atEnd))
            why = systemMessage(GetLastError());
        else if (written == 0)
            why = "the file took only part of the row";
        done += written;
    }
    if (why.empty() && !FlushFileBuffers(static_cast<HANDLE>(handle_)))
        why = systemMessage(GetLastError());
    if (why.empty())
        return true;
    LARGE_INTEGER to{};
    to.QuadPart = before;
    if (before < 0 || !SetFilePointerEx(static_cast<HANDLE>(handle_), to, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(static_cast<HANDLE>(handle_)))
        why += "; the part written stays in the file";
    error = why;
    return false;
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
    // A FIFO would block the open and a device never ends: only a regular file, or none yet.
    struct stat st;
    if (::stat(utf8Path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }
    // Non-blocking, for what replaced the file in between; checked again below.
    int fd = ::open(utf8Path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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

bool AppendFile::readAt(int64_t offset, std::size_t count, std::string& out, std::string& error) const
{
    out.assign(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd_, &out[got], count - got, off_t(offset + int64_t(got)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    out.resize(got);
    return true;
}

bool AppendFile::appendAndSync(const std::string& text, std::string& error)
{
    const int64_t before = size();
    // One write for the whole text; after a short one the rest is tried once more, which
    // either completes it or says why (disk full, file size limit).
    std::string why;
    std::size_t done = 0;
    for (int tries = 0; done < text.size() && tries < 2 && why.empty();) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            why = std::strerror(errno);
        if (n >= 0) {
            done += std::size_t(n);
            ++tries;
        }
    }
    if (done < text.size() && why.empty())
        why = "the file took only part of the row";
    if (why.empty() && ::fsync(fd_) != 0 && errno != EINVAL)
        why = std::strerror(errno);
    if (why.empty())
        return true;
    if (before < 0 || ::ftruncate(fd_, off_t(before)) != 0)
        why += "; the part written stays in the file";
    error = why;
    return false;
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
