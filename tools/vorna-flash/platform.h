// What vorna-flash needs from the system, on POSIX systems and on Windows: the command
// line and file names as UTF-8 inside the program, wide on Windows at the system's edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace vf {

// The program's arguments as UTF-8. Windows hands a program its arguments in the ANSI code
// page, which loses characters; there they are taken from the wide command line instead,
// and the console is switched to UTF-8 output.
class Utf8CommandLine {
public:
    Utf8CommandLine(int argc, char** argv);
    int argc() const { return int(pointers_.size()) - 1; }
    const char* const* argv() const { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<const char*> pointers_;  // argv-style, ends with a null pointer
};

// True when standard error is an interactive terminal (a console on Windows).
bool stderrIsTerminal();

// A UTF-8 file name as the disk takes it (wide on Windows).
std::filesystem::path diskPath(const std::string& utf8);

// The size of a regular file; false for a missing file, a folder, a device.
bool regularFileSize(const std::string& utf8Path, std::uintmax_t& size);

// The current time in UTC, broken down.
std::tm utcNow();

// A file opened for appending, created readable and writable by its owner alone, that
// several programs may append to in turn, and read.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens or creates the file; refuses anything but a regular file, without waiting on
    // it. On failure returns false and sets `error` to the reason.
    bool open(const std::string& utf8Path, std::string& error);
    bool isOpen() const;
    void close();

    // While locked, other programs that lock the same file wait.
    void lock();
    void unlock();
    // The file's size now, or -1 when the system cannot say.
    int64_t size() const;
    // Up to `count` bytes from `offset` on; fewer at the end of the file.
    bool readAt(int64_t offset, std::size_t count, std::string& out, std::string& error) const;
    // Writes the text at the end of the file and flushes it to the disk, whole or not at
    // all: when it does not fit, the file is cut back to its size before.
    bool appendAndSync(const std::string& text, std::string& error);

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace vf
