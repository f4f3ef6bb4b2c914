// One module from its port to its verdict: put into its bootloader, identified, its
// identifiers and unique ID read, the firmware downloaded (identifier guard, erase, write,
// read-back) and started. Every front end that handles modules runs this one job and shows,
// logs and reports what it returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "boot_entry.h"
#include "flash_session.h"
#include "module_read.h"

namespace vbprog {

// What follows a download that succeeded.
enum class StartAfter {
    Stay,    // the bootloader stays; the port is left as the caller wants it
    Go,      // the bootloader's Go to the application
    Steps,   // a reset through the modem lines (`ModuleJob::startSteps`)
};

struct ModuleOutcome;

struct ModuleJob {
    PortSettings port;
    // Modem-line steps that put the module into its bootloader; none: it is there already.
    std::optional<BootSequence> boot;
    // Set from outside (a stop request): boot waits end there and nothing not yet begun starts.
    const std::atomic<bool>* stop = nullptr;
    bool readIdentifiers = true;
    // The firmware; none: the module is only identified.
    const FirmwareImage* image = nullptr;
    std::string file;        // as the user gave it, for the sentences
    std::string shownName;   // as messages name it
    DownloadOptions download;
    // With `image`: compare it with the module's flash instead of downloading it; nothing is
    // erased or written, and `start` does not apply.
    bool compareOnly = false;
    // Without `image`: read `readSize` bytes of the module's memory from `readFrom` into the
    // outcome's `memory`; 0 reads nothing.
    uint32_t readFrom = 0;
    uint32_t readSize = 0;
    StartAfter start = StartAfter::Stay;
    std::vector<BootStep> startSteps;
    // The front end's words for the advice in the failures' sentences.
    RemedyWords words;
    // Between identification and the download: false leaves the module as it is, with the
    // outcome marked `skipped`.
    std::function<bool(const ModuleOutcome&)> beforeDownload;
};

struct ModuleOutcome {
    std::string port;
    uint16_t pid = 0;
    std::string deviceName;
    bool identified = false;          // the identifiers were read, two agreeing reads each
    std::string devEUI, joinEUI, appKey;  // lower-case hex, empty until read
    std::string uniqueId;             // hex, empty where the chip's is unknown
    DownloadReport report;
    CompareReport compare;            // a compare: what was read back and how much differs
    std::vector<uint8_t> memory;      // a read: the bytes read
    // The image's on success, else those the module acknowledged; a compare's bytes compared,
    // a read's bytes read.
    uint64_t bytes = 0;
    double seconds = 0;
    int status = 0;                   // PROG_*
    // Where it failed: "connect", "read-keys", a download phase ("identifier-page backup",
    // "erase", "write", "verify", "restore"), "download" for a refusal before any phase,
    // "start", or for a compare and a read "verify" and "read". Empty on success.
    std::string step;
    Operation operation = Operation::Connect;
    SessionError error;               // the status, what happened and the user's sentence
    bool skipped = false;             // beforeDownload said no, or a stop came first
    bool ok() const { return status == 0 && !skipped; }
};

// Runs `job` on `session` (whose link the caller may have opened already); the session stays
// open afterwards for the caller to close or keep. Messages and progress go to `callbacks`.
ModuleOutcome runModuleJob(FlashSession& session, const ModuleJob& job, const SessionCallbacks& callbacks);

}  // namespace vbprog
