// The command line of vorna-flash.
#pragma once

#include <string>

namespace vf {

enum class Command { Help, Version, Ports, Keys, Flash };

struct Options {
    Command command = Command::Help;
    std::string port;
    std::string file;
    std::string logPath;
    bool json = false;
    bool verify = true;
    bool verbose = false;
};

struct ParsedCommandLine {
    bool ok = false;
    Options options;
    std::string error;  // one sentence when !ok
};

ParsedCommandLine parseCommandLine(int argc, const char* const* argv);

const char* usageText();

// "vorna-flash", a blank and the project's version, with a line end.
const char* versionText();

}  // namespace vf
