#include "output_file.h"

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

namespace {

std::string systemError(int code)
{
    return std::generic_category().message(code);
}

}  // namespace

OutputFile::~OutputFile()
{
    abandon();
}

void OutputFile::abandon()
{
#if defined(_WIN32)
    if (handle_)
        ::CloseHandle(handle_);
    handle_ = nullptr;
#else
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
#endif
    if (!temporary_.empty()) {
        std::error_code ec;
        std::filesystem::remove(temporary_, ec);
        temporary_.clear();
    }
}

bool OutputFile::begin(const std::string& utf8Path, bool secret, std::string& error)
{
    abandon();
    target_ = diskPath(utf8Path);
    std::error_code ec;
    // Through a link to the file it names: the rename below would replace the link itself.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(target_, ec))) {
        const std::filesystem::path resolved = std::filesystem::weakly_canonical(target_, ec);
        if (!ec)
            target_ = resolved;
    }
    const std::filesystem::file_status state = std::filesystem::status(target_, ec);
    if (std::filesystem::is_directory(state)) {
        error = "it is a folder";
        return false;
    }
    // A device or a pipe would be replaced by a plain file (as root, /dev/null itself).
    if (std::filesystem::exists(state) && !std::filesystem::is_regular_file(state)) {
        error = "it is a device, a pipe or a socket, not a file";
        return false;
    }
    std::random_device random;
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 8; ++attempt) {
        const auto name = std::filesystem::path("." + target_.filename().u8string() + "." + std::to_string(random()) + ".part");
        const std::filesystem::path candidate = folder / name;
#if defined(_WIN32)
        (void)secret;
        HANDLE h = ::CreateFileW(candidate.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = h;
            temporary_ = candidate;
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            error = "cannot create a file in its folder (Windows error " + std::to_string(::GetLastError()) + ")";
            return false;
        }
#else
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, secret ? 0600 : 0666);
        if (fd >= 0) {
            fd_ = fd;
            temporary_ = candidate;
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create a file in its folder (" + systemError(errno) + ")";
            return false;
        }
#endif
    }
    error = "cannot find a free temporary name in its folder";
    return false;
}

bool OutputFile::commit(const std::string& bytes, std::string& error)
{
    size_t done = 0;
#if defined(_WIN32)
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD n = DWORD(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!::WriteFile(handle_, bytes.data() + done, n, &wrote, nullptr) || wrote == 0) {
            error = "cannot write it (Windows error " + std::to_string(::GetLastError()) + ")";
            abandon();
            return false;
        }
        done += wrote;
    }
    ::FlushFileBuffers(handle_);
    ::CloseHandle(handle_);
    handle_ = nullptr;
#else
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write it (" + systemError(n < 0 ? errno : ENOSPC) + ")";
            abandon();
            return false;
        }
        done += size_t(n);
    }
    const bool synced = ::fsync(fd_) == 0;
    const int syncError = errno;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) {
        error = "cannot write it (" + systemError(synced ? errno : syncError) + ")";
        abandon();
        return false;
    }
#endif
    std::error_code ec;
    std::filesystem::rename(temporary_, target_, ec);
    if (ec) {
        error = "cannot put it in place (" + ec.message() + ")";
        abandon();
        return false;
    }
    temporary_.clear();
    return true;
}

}  // namespace vf
