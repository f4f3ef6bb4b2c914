// The program a station runs after each module (a stack light, a database): started
// without a shell, bounded in time, its failure told but never the station's.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace vf {

struct HookOutcome {
    bool started = false;
    bool killed = false;     // still running at the deadline, so it was killed
    int exitCode = -1;       // when it ended by itself
    std::string error;       // why it could not start
    bool ok() const { return started && !killed && exitCode == 0; }
};

// Runs `program` with `arguments`, waiting at most `timeoutSeconds`; a program still
// running then is killed (with the processes it started, where the system allows). Its
// standard output goes to standard error, so that it cannot mix with JSON Lines.
// `stop` set while it runs does not cut it short (it is the station's report of the
// module); `onStop` is called once then, to say what the station waits for.
HookOutcome runHook(const std::string& program, const std::vector<std::string>& arguments, unsigned timeoutSeconds,
                    const std::atomic<bool>* stop = nullptr, const std::function<void()>& onStop = {});

// A sentence for anything but a clean exit; empty when the program exited with 0.
std::string hookProblem(const std::string& program, const HookOutcome& outcome, unsigned timeoutSeconds);

}  // namespace vf
