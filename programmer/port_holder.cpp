#include "port_holder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vbprog {

namespace {

// A /proc entry's number, or 0 for every other entry.
int pidOf(const std::string& name)
{
    if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::atoi(name.c_str());
}

// The program's name: its first argument's last part (comm is cut at 15 characters),
// else comm.
std::string programName(const std::filesystem::path& process)
{
    std::ifstream cmdline(process / "cmdline", std::ios::binary);
    std::string first;
    if (cmdline && std::getline(cmdline, first, '\0') && !first.empty()) {
        // A daemon that rewrote its title ("sshd: user@pts/0") keeps only its name.
        first = first.substr(0, first.find(": "));
        const std::size_t slash = first.find_last_of('/');
        first = slash == std::string::npos ? first : first.substr(slash + 1);
        if (!first.empty())
            return first;
    }
    std::ifstream comm(process / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::string linkTarget(const std::filesystem::path& link)
{
    char buffer[4096];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

// "MAJOR:MINOR:INODE" as /proc/locks writes the file a lock is on (hexadecimal device
// numbers, decimal inode).
std::string lockKey(const struct stat& st)
{
    std::ostringstream s;
    s << std::hex << major(st.st_dev) << ':' << minor(st.st_dev) << ':' << std::dec << st.st_ino;
    return s.str();
}

bool sameLockKey(const std::string& a, const std::string& b)
{
    // The kernel pads the device numbers to two digits; compare them as numbers.
    unsigned long a1, a2, b1, b2;
    unsigned long long ai, bi;
    return std::sscanf(a.c_str(), "%lx:%lx:%llu", &a1, &a2, &ai) == 3 &&
           std::sscanf(b.c_str(), "%lx:%lx:%llu", &b1, &b2, &bi) == 3 && a1 == b1 && a2 == b2 && ai == bi;
}

// CPU time this thread has used.
Millis threadTime()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return Millis(int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000);
}

}  // namespace

std::vector<PortHolder> findPortHolders(const std::string& device, const std::filesystem::path& procRoot, Millis budget)
{
    // The budget is this thread's own time, so that a loaded machine answers as fully as an
    // idle one; ten times as much on the clock is the most a refusal waits for it.
    const auto wallDeadline = std::chrono::steady_clock::now() + budget * 10;
    const Millis workStart = threadTime();
    auto spent = [&] {
        return threadTime() - workStart > budget || std::chrono::steady_clock::now() > wallDeadline;
    };
    std::vector<std::string> targets{device};
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(device, ec);
    if (!ec && resolved.string() != device)
        targets.push_back(resolved.string());
    const int self = int(::getpid());

    std::vector<PortHolder> found;
    auto add = [&found](int pid, const std::string& name, bool seen) {
        for (PortHolder& h : found)
            if (h.pid == pid) {
                h.seen = h.seen || seen;
                return;
            }
        found.push_back({pid, name, seen});
    };

    // Locks first: one small file, readable by everyone.
    struct stat st {};
    if (::stat(device.c_str(), &st) == 0) {
        const std::string key = lockKey(st);
        std::ifstream locks(procRoot / "locks");
        std::string line;
        while (std::getline(locks, line)) {
            // "1: FLOCK  ADVISORY  WRITE 4242 00:05:1067 0 EOF"; a waiter's line has "->".
            std::istringstream words(line);
            std::string number, kind, mode, access, pid, file;
            if (!(words >> number >> kind) || kind == "->" || !(words >> mode >> access >> pid >> file))
                continue;
            // A lock outlives its locker when the descriptor was handed on (flock(1) and
            // its command): a pid no longer running names nobody.
            const int p = pidOf(pid);
            std::error_code gone;
            if (p && p != self && sameLockKey(file, key) && std::filesystem::exists(procRoot / pid, gone))
                add(p, programName(procRoot / pid), true);
        }
    }

    // Newest first: the program a user started to look at the port is more likely among
    // them than the system's own, should the budget run out.
    // readdir itself: processes come and go while /proc is read, and an error on one entry
    // must not end the list.
    std::vector<int> pids;
    if (DIR* dir = ::opendir(procRoot.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (const int pid = pidOf(entry->d_name); pid && pid != self)
                pids.push_back(pid);
        ::closedir(dir);
    }
    std::sort(pids.rbegin(), pids.rend());

    std::vector<PortHolder> unseenManagers;
    for (const int pid : pids) {
        if (spent())
            break;
        const std::filesystem::path process = procRoot / std::to_string(pid);
        const std::filesystem::path fdFolder = process / "fd";
        DIR* fds = ::opendir(fdFolder.c_str());
        if (!fds) {
            // Another user's process: its name is public, its descriptors are not. One
            // that has just ended has neither.
            if (errno == ENOENT)
                continue;
            PortHolder h{pid, programName(process), false};
            if (isModemManager(h))
                unseenManagers.push_back(h);
            continue;
        }
        bool holds = false;
        unsigned looked = 0;
        while (const dirent* fd = holds ? nullptr : ::readdir(fds)) {
            if (++looked % 256 == 0 && spent())
                break;
            if (fd->d_name[0] == '.')
                continue;
            const std::string target = linkTarget(fdFolder / fd->d_name);
            holds = std::find(targets.begin(), targets.end(), target) != targets.end();
        }
        ::closedir(fds);
        if (holds)
            add(pid, programName(process), true);
    }
    // A manager that may hold it counts only when nothing that surely does was found.
    if (found.empty())
        found = unseenManagers;
    std::sort(found.begin(), found.end(), [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return found;
}

}  // namespace vbprog
