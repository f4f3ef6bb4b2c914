// The command line of vorna-flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vf {

enum class Command { Help, Version, Ports, Keys, Flash, Lines, Station, Verify, Read,
                     // The line's database.
                     Release, History, Report, Export, DbSync };

// What follows a download: nothing, the reset into the application, or the bootloader's Go.
enum class After { Stay, Run, Go };

struct Options {
    Command command = Command::Help;
    std::vector<std::string> ports;   // in the order given, each once
    bool allPorts = false;            // every port the system lists, resolved at run time
    uint32_t baud = 115200;
    std::string file;
    std::string logPath;
    bool json = false;
    bool verify = true;
    bool verbose = false;
    std::string boot;                 // --boot: a preset's name or steps; empty: no sequence
    After after = After::Stay;
    std::string afterSteps;           // --after with steps of its own (After::Run)
    // The lines command: 1 = asserted; held for holdSeconds.
    bool dtr = false, rts = false;
    unsigned holdSeconds = 10;
    // station
    unsigned count = 0;                 // modules in all before the station ends; 0: until Ctrl-C
    std::string onResult;               // program run after each module, no shell
    unsigned onResultTimeout = 10;      // seconds before a hanging one is killed
    std::string present;                // --present: cts, dsr, dcd or ri; empty: none
    bool presentActiveLow = false;      // given as !LINE: de-asserted while a module is in
    // flash, station, verify: where a raw binary goes; files of the other formats carry their own addresses
    uint32_t address = 0x08000800;
    bool addressGiven = false;
    // read: what is read, and where it goes (Intel HEX by the name's suffix, else raw)
    uint32_t readFrom = 0;
    uint32_t readSize = 0;
    std::string outFile;
    // The line's database
    std::string db;                     // --db URL; empty: none
    bool failOnDuplicate = false;       // --on-duplicate fail
    bool anyFirmware = false;           // flash a file that is not the current release
    bool releaseAdd = false;            // release add FILE (else release list)
    std::string releaseName;            // --name
    std::string key;                    // history: DevEUI or unique ID
    std::string since;                  // --since as given
    std::string html;                   // report --html FILE
    std::string format;                 // export --format tts-csv|jsonl
    std::string output;                 // export --output FILE; empty: standard output
};

struct ParsedCommandLine {
    bool ok = false;
    Options options;
    std::string error;  // one sentence when !ok
};

// More than one module may be handled: results come as a JSON array, lines carry the port.
inline bool manyModules(const Options& o)
{
    return o.allPorts || o.ports.size() > 1;
}

ParsedCommandLine parseCommandLine(int argc, const char* const* argv);

const char* usageText();

// "vorna-flash", a blank and the project's version, with a line end.
const char* versionText();

}  // namespace vf
