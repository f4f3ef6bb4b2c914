#include "station_hook.h"

#include <algorithm>
#include <chrono>
#include <thread>

#if defined(_WIN32)
#include "text_format.h"
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace vf {

#if defined(_WIN32)

namespace {

// One argument as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
            out += c;
            backslashes = 0;
        } else {
            out.append(backslashes, L'\\');
            out += c;
            backslashes = 0;
        }
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

}  // namespace

HookOutcome runHook(const std::string& program, const std::vector<std::string>& arguments, unsigned timeoutSeconds,
                    const std::atomic<bool>* stop, const std::function<void()>& onStop)
{
    HookOutcome r;
    std::wstring line = quoted(vbprog::utf8ToWideLossy(program));
    for (const std::string& a : arguments)
        line += L" " + quoted(vbprog::utf8ToWideLossy(a));
    const std::wstring app = vbprog::utf8ToWideLossy(program);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    if (!CreateProcessW(app.c_str(), buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi)) {
        r.error = "Windows error " + std::to_string(GetLastError());
        return r;
    }
    r.started = true;
    CloseHandle(pi.hThread);
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeoutSeconds) * 1000;
    bool told = false;
    DWORD waited = WAIT_TIMEOUT;
    while (waited == WAIT_TIMEOUT) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        waited = WaitForSingleObject(pi.hProcess, DWORD(std::min<ULONGLONG>(deadline - now, 50)));
        if (!told && stop && *stop && onStop) {
            told = true;
            onStop();
        }
    }
    if (waited == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        r.killed = true;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        r.exitCode = int(code);
    }
    CloseHandle(pi.hProcess);
    return r;
}

#else

HookOutcome runHook(const std::string& program, const std::vector<std::string>& arguments, unsigned timeoutSeconds,
                    const std::atomic<bool>* stop, const std::function<void()>& onStop)
{
    HookOutcome r;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    // A group of its own: a hanging program is killed with whatever it started, and the
    // station's Ctrl-C does not reach it.
    posix_spawnattr_setpgroup(&attr, 0);
    // The station ignores SIGPIPE; the program gets the default its own writes expect.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        r.error = std::strerror(err);
        return r;
    }
    r.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    bool told = false;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (!told && stop && *stop && onStop) {
            told = true;
            onStop();
        }
        if (w < 0 && errno != EINTR) {
            r.error = std::strerror(errno);
            return r;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            r.killed = true;
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // posix_spawnp reports a program it cannot execute as exit 127 on some systems.
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

#endif

std::string hookProblem(const std::string& program, const HookOutcome& o, unsigned timeoutSeconds)
{
    if (!o.started)
        return "The result program " + program + " could not be started (" + o.error + ").";
    if (o.killed)
        return "The result program " + program + " was still running after " + std::to_string(timeoutSeconds) +
               " s and was stopped.";
    if (o.exitCode != 0)
        return "The result program " + program + " ended with status " + std::to_string(o.exitCode) + ".";
    return {};
}

}  // namespace vf
