// The file that `read` writes: under a temporary name beside it, renamed over it once whole,
// so that a failed read or write leaves nothing, and never half a file.
#pragma once

#include <filesystem>
#include <string>

namespace vf {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();   // an uncommitted file is removed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file beside `utf8Path`; `secret`: readable and writable by its
    // owner alone (it holds AppKeys). False with the reason when the folder takes no file.
    bool begin(const std::string& utf8Path, bool secret, std::string& error);
    // Writes `bytes`, flushes them to the disk and renames the file to its name.
    bool commit(const std::string& bytes, std::string& error);

private:
    void abandon();
    std::filesystem::path target_, temporary_;
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace vf
