// A flash session: one module on one serial port. It owns its link and bootloader client
// and keeps no state outside itself, so sessions on different ports run on different
// threads at once. Every operation returns a PROG_* status and throws nothing; what
// happens is told through the callbacks given to the session.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bootloader_client.h"
#include "device_identity.h"
#include "device_table.h"
#include "download_plan.h"
#include "firmware_image.h"
#include "flash_layout.h"
#include "identifier_guard.h"
#include "progress.h"
#include "session_error.h"
#include "serial_transport.h"

namespace vbprog {

struct SessionCallbacks {
    // A message of Level `type` (status.h), UTF-8, unfiltered.
    std::function<void(int type, const std::string& text)> message;
    // Every phase reports Started, then Progress, then Finished or Failed.
    ProgressReport progress;
};

// A firmware file read whole and parsed, before any device is touched.
struct FirmwareFile {
    std::string content;        // the file's bytes exactly as read
    FirmwareImage image;
};

// The bytes of `path`, read whole; kFileMissing, or kFileInvalid for a file too large.
Result<std::string> readFirmwareBytes(const std::filesystem::path& path);
// `content`, the bytes of `path`, parsed by the name's format (.hex/.ihx/.ihex, or .bin
// placed at `binAddress`); kFileInvalid with the sentence naming the file.
Result<FirmwareImage> parseFirmware(std::string_view content, const std::filesystem::path& path, uint32_t binAddress);
// Both.
Result<FirmwareFile> loadFirmwareFile(const std::filesystem::path& path, uint32_t binAddress);

struct ConnectedDevice {
    uint16_t pid = 0;
    const DeviceInfo* device = nullptr;
    uint32_t flashSize = 0;     // bytes
    BootloaderInfo boot;
    uint8_t versionAgain = 0;   // the protocol version as Get Version reports it
    // Why the module's own answers about itself disagree (a sentence naming the product ID
    // and what to check); nothing is erased or written while it is set. Empty when they agree.
    std::string untrusted;
    // The chip's unique ID, where the device table knows where it lies and it could be read:
    // what tells this module from another put in on the same port.
    std::optional<UniqueId> uniqueId;
};

struct ModuleIdentifiers {
    uint8_t devEui[kDevEuiSize];
    uint8_t joinEui[kJoinEuiSize];
    uint8_t appKey[kAppKeySize];
};

struct DownloadOptions {
    uint32_t startAddress = kApplicationStart;   // the image must lie at or above it
    bool erase = true;                           // false: the pages are taken as they are
    bool verify = true;                          // read every block back
};

// What a download did, also when it failed.
struct DownloadReport {
    uint64_t planned = 0;       // bytes the plan writes (data plus padding)
    uint64_t dataBytes = 0;     // bytes the image carries
    uint64_t written = 0;       // bytes whose Write Memory the module acknowledged
    uint64_t verified = 0;      // bytes read back equal
    double seconds = 0;
    bool touched = false;       // an erase or a write was sent: the module may have changed
    bool restored = false;      // the identifier page changed and was put back, reading back equal
    unsigned restarts = 0;      // downloads begun again after the same chip's bootloader started again
};

class FlashSession {
public:
    // Without a link the session talks over a serial port of its own.
    explicit FlashSession(SessionCallbacks callbacks = {}, std::unique_ptr<Link> link = nullptr);
    ~FlashSession();
    FlashSession(const FlashSession&) = delete;
    FlashSession& operator=(const FlashSession&) = delete;

    void setCallbacks(SessionCallbacks callbacks);

    // Opens the port and identifies the module: sync, Get, Get Version, Get ID, flash size.
    // A port the caller opened through link() (to drive its modem lines first, say) is
    // taken as it is, not opened again.
    int connect(const PortSettings& settings);
    bool isConnected() const { return connected_; }
    const ConnectedDevice& device() const { return device_; }

    // Any number of bytes, in blocks the bootloader takes.
    int read(uint32_t address, uint8_t* out, uint32_t size);
    int readIdentifiers(ModuleIdentifiers& out);

    // Erases the pages the image touches, writes it and reads it back. `shownName` names the
    // file in messages.
    int download(const FirmwareImage& image, const std::string& shownName, const DownloadOptions& options = {},
                 DownloadReport* report = nullptr);

    // Go to `address`; the link is closed after it.
    int start(uint32_t address);
    void close();

    // How the last operation failed: its status (also returned), the error message, the
    // user's hint and the address where one applies. Empty after a success.
    const SessionError& lastError() const { return error_; }
    // Why the last operation's port did not open, as the link said; None when it opened.
    const OpenFailure& openFailure() const { return openFailure_; }
    // For a caller that opens the port through link(): why it did not open.
    void noteOpenFailure(const OpenFailure& why) { openFailure_ = why; }

    // The session's link, for what comes before connect(): the modem lines of a board
    // wired for bootloader entry.
    Link& link() { return *link_; }

private:
    void beginOperation();
    // Records the error value of an operation that ends with `status`; returns `status`.
    int conclude(int status, Operation operation, const std::string& file = {});
    int connectLink(const PortSettings& settings);
    int readBlocks(uint32_t address, uint8_t* out, uint32_t size);
    int runChecked(const FirmwareImage& image, const std::string& shownName, const DownloadOptions& options,
                   DownloadReport* report);
    int startApplication(uint32_t address);

    void say(int type, const std::string& text) const;
    // What went wrong, where it went wrong: kept as the operation's error and told as an
    // Error message.
    void sayError(const std::string& text);
    // Started on construction; Failed on destruction unless finish() came first (an
    // exception or an early return fails the phase too).
    class PhaseReport;
    void report(const ProgressEvent& event) const;
    void closeLink();

    int identify(bool wasSynchronised);
    void synchroniseAndGet(bool wasSynchronised);
    int readFlashSize(const DeviceInfo& d, uint32_t& size);

    int checkDownloadable(bool erase, bool verify);
    int runDownload(const DownloadPlan& plan, bool erase, bool verify, DownloadReport& report);
    // One pass of erase, write and verify; on a restart the page saved by the first pass
    // is checked first. Throws ProgError(PROG_ERR_MODULE_CHANGED) when the bootloader started again.
    int downloadOnce(const DownloadPlan& plan, bool erase, bool verify, DownloadReport& report);
    // After the bootloader started again: whether the same chip answers (product ID, unique
    // ID, identifiers as this session read them). `found` says what answered. Watches again
    // only when it is the same chip.
    bool sameModuleAgain(std::string& found);
    // The identifier page: checks before the first erase, after the erase phase and after
    // the last write. Each returns PROG_OK to go on.
    int guardBeforeErase(const DownloadPlan& plan);
    int guardAfterErase(const DownloadPlan& plan);
    int guardAfterWrite(const DownloadPlan& plan, bool verify);
    int guardCheck(IdentifierGuard::Since since, const std::string& phase);
    int erasePhase(const DownloadPlan& plan, bool extended);
    int writePhase(const DownloadPlan& plan, DownloadReport& report);
    int verifyPhase(const DownloadPlan& plan, DownloadReport& report);

    SessionCallbacks callbacks_;
    std::unique_ptr<Link> link_;
    BootloaderClient client_{*link_};
    bool connected_ = false;
    // The port whose bootloader our last connection left synchronised (no Go since):
    // nothing resets the module between two connections of ours.
    std::string synchronisedPort_;
    ConnectedDevice device_;
    // The identifier page as read before this download's first erase.
    std::optional<IdentifierGuard> guard_;
    unsigned irregularitiesBeforeWrite_ = 0;
    // The identifier block as this session last read it.
    std::optional<std::array<uint8_t, kIdentifierSize>> identifiers_;
    // The step of the download under way, for what is said when the module starts again.
    const char* stage_ = "download";
    PortSettings settings_;
    SessionError error_;
    OpenFailure openFailure_;
    // The operation's error message and failing address, for error_.
    std::string errorText_;
    std::optional<uint32_t> errorAddress_;
    // What the operation did to the module, for the hint.
    bool touched_ = false;
    bool restored_ = false;
};

}  // namespace vbprog
