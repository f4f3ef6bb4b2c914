#include "flash_session.h"

#include "latency_timer.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "device_identity.h"
#include "status.h"
#include "text_format.h"

namespace vbprog {

namespace {

// Pages per erase command: keeps each wait short enough that a pulled cable shows within seconds.
constexpr size_t kPagesPerErase = 32;
// Biggest firmware file taken in: far above any flash this library knows.
constexpr uintmax_t kMaxFileSize = 64u * 1024 * 1024;

std::string describePages(const std::vector<uint32_t>& pages, const DeviceInfo& d)
{
    const uint32_t lo = d.flashBase + pages.front() * d.eraseUnit;
    const uint32_t hi = d.flashBase + (pages.back() + 1) * d.eraseUnit - 1;
    return fmt("%zu page%s (%u..%u, 0x%08X..0x%08X)", pages.size(), pages.size() == 1 ? "" : "s", pages.front(),
               pages.back(), lo, hi);
}

// A file name as messages can carry it: POSIX names are bytes, not always UTF-8.
std::string shownPath(const std::filesystem::path& p)
{
    return wideToUtf8(utf8ToWideLossy(p.u8string()).c_str());
}

}  // namespace

Result<std::string> readFirmwareBytes(const std::filesystem::path& path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec))
        return failure(kFileMissing, "Cannot open the file " + shownPath(path) + ": it does not exist or is not a file");
    if (size > kMaxFileSize)
        return failure(kFileInvalid, "The file " + shownPath(path) + " is too large for a firmware image");

    std::ifstream in(path, std::ios::binary);
    if (!in)
        return failure(kFileMissing, "Cannot open the file " + shownPath(path));
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return failure(kFileMissing, "Cannot read the file " + shownPath(path));
    // The file may have grown between the size check and the read.
    if (content.size() > kMaxFileSize)
        return failure(kFileInvalid, "The file " + shownPath(path) + " is too large for a firmware image");
    return content;
}

Result<FirmwareImage> parseFirmware(std::string_view content, const std::filesystem::path& path, uint32_t binAddress)
{
    const std::string shown = shownPath(path.filename());
    const FileFormat format = fileFormatOf(shown);
    if (format == FileFormat::Unsupported)
        return failure(kFileInvalid, "Unsupported file type of " + shown +
                                         ": only Intel HEX (.hex) and binary (.bin) files can be downloaded");
    Result<FirmwareImage> parsed =
        format == FileFormat::IntelHex ? parseIntelHex(content) : loadBinary(content, binAddress);
    if (!parsed) {
        SessionError e = parsed.error();
        e.what = shown + ": " + e.what;
        return e;
    }
    return parsed;
}

Result<FirmwareFile> loadFirmwareFile(const std::filesystem::path& path, uint32_t binAddress)
{
    Result<std::string> bytes = readFirmwareBytes(path);
    if (!bytes)
        return bytes.error();
    Result<FirmwareImage> parsed = parseFirmware(bytes.value(), path, binAddress);
    if (!parsed)
        return parsed.error();
    return FirmwareFile{std::move(bytes).value(), std::move(parsed).value()};
}

FlashSession::FlashSession(SessionCallbacks callbacks, std::unique_ptr<Link> link)
    : callbacks_(std::move(callbacks)), link_(link ? std::move(link) : std::make_unique<SerialLink>())
{
    client_.setNotes([this](const std::string& text) { say(kDetail1, text); });
}

FlashSession::~FlashSession()
{
    closeLink();
}

void FlashSession::setCallbacks(SessionCallbacks callbacks)
{
    callbacks_ = std::move(callbacks);
}

void FlashSession::say(int type, const std::string& text) const
{
    if (callbacks_.message)
        callbacks_.message(type, text);
}

void FlashSession::sayError(const std::string& text)
{
    errorText_ = text;
    say(kError, text);
}

const char* phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Connect: return "connect";
    case Phase::IdentifierBackup: return "identifier-page backup";
    case Phase::Erase: return "erase";
    case Phase::Write: return "write";
    case Phase::Verify: return "verify";
    case Phase::Restore: return "restore";
    }
    return "?";
}

void FlashSession::report(const ProgressEvent& event) const
{
    if (callbacks_.progress)
        callbacks_.progress(event);
}

class FlashSession::PhaseReport {
public:
    PhaseReport(const FlashSession& session, Phase phase, uint64_t total)
        : session_(session), phase_(phase), total_(total)
    {
        session_.report({phase_, ProgressEvent::Started, 0, total_});
    }
    ~PhaseReport()
    {
        if (!finished_)
            session_.report({phase_, ProgressEvent::Failed, done_, total_});
    }
    PhaseReport(const PhaseReport&) = delete;
    PhaseReport& operator=(const PhaseReport&) = delete;

    void progress(uint64_t done)
    {
        done_ = done;
        session_.report({phase_, ProgressEvent::Progress, done_, total_});
    }
    void finish()
    {
        finished_ = true;
        session_.report({phase_, ProgressEvent::Finished, done_, total_});
    }

private:
    const FlashSession& session_;
    Phase phase_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool finished_ = false;
};

void FlashSession::closeLink()
{
    client_.watchForRestart(false);
    identifiers_.reset();
    link_->close();
    connected_ = false;
    device_ = ConnectedDevice{};
}

void FlashSession::close()
{
    if (link_->isOpen())
        say(kDetail1, "Serial port closed");
    closeLink();
}

// --- connection ---------------------------------------------------------------------------

void FlashSession::beginOperation()
{
    errorText_.clear();
    errorAddress_.reset();
    openFailure_ = {};
    touched_ = restored_ = false;
}

int FlashSession::conclude(int status, Operation operation, const std::string& file)
{
    error_ = SessionError{};
    if (status != kOk)
        error_ = SessionError{status, errorText_,
                              hintFor(status, {operation, settings_.name, file, settings_.baudrate, !touched_, restored_, openFailure_}),
                              errorAddress_};
    return status;
}

int FlashSession::connect(const PortSettings& s)
{
    beginOperation();
    settings_ = s;
    return conclude(connectLink(s), Operation::Connect);
}

int FlashSession::connectLink(const PortSettings& s)
{
    // A link opened by the caller (and not yet connected) keeps the line state it was given.
    const bool openedByCaller = !connected_ && link_->isOpen() && link_->portName() == s.name;
    if (!openedByCaller)
        closeLink();
    const bool wasSynchronised = synchronisedPort_ == s.name;
    synchronisedPort_.clear();

    PhaseReport phase(*this, Phase::Connect, 0);
    std::vector<std::string> notes;
    if (!openedByCaller) {
        try {
            link_->open(s, notes);
        } catch (const TransportError& e) {
            openFailure_ = e.failure;
            sayError(std::string("Serial port error: ") + e.what());
            return kPortOpen;
        }
    }
    say(kDetail1, fmt("Opened %s at %u baud, %d%c%s", s.name.c_str(), s.baudrate, s.dataBits,
                         s.parity == 1 ? 'O' : s.parity == 2 ? 'N' : 'E', s.stopBits > 1.4f ? "2" : "1"));
    for (const auto& n : notes)
        say(kDetail1, n);
    const std::string latency = latencyAdviceOnce(s.name);
    if (!latency.empty())
        say(kWarningQuiet, latency);

    int rc = kOk;
    try {
        rc = identify(wasSynchronised);
    } catch (const ProgError& e) {
        sayError(e.status == kNoAnswer ? std::string(e.what()) : std::string("Connection failed: ") + e.what());
        rc = e.status;
    } catch (const TransportError& e) {
        sayError(std::string("Connection failed: ") + e.what());
        rc = kLinkLost;
    }
    if (rc != kOk) {
        closeLink();
        return rc;
    }
    connected_ = true;
    synchronisedPort_ = s.name;
    // From here an ACK to a sync is a module that has to be identified again.
    client_.watchForRestart(true);
    phase.finish();
    if (device_.untrusted.empty())
        say(kInfo, fmt("Connected to %s (product ID 0x%03X), %d KiB flash", device_.device->name, device_.pid,
                      int(device_.flashSize / 1024)));
    else
        say(kInfo, fmt("Connected to a module that reports %s (product ID 0x%03X); its flash layout is not trusted",
                      device_.device->name, device_.pid));
    return kOk;
}

void FlashSession::synchroniseAndGet(bool wasSynchronised)
{
    if (wasSynchronised)
        client_.resynchronise();
    else
        client_.synchronise();
    try {
        device_.boot = client_.get();
    } catch (const ProgError& e) {
        // A bootloader caught mid-frame by the sync answers garbage first; one more round.
        say(kDetail1, std::string("Get failed (") + e.what() + "), synchronising again");
        client_.synchronise();
        device_.boot = client_.get();
    }
    device_.versionAgain = client_.getVersion();
    say(kDetail1, fmt("Bootloader protocol version %u.%u", device_.boot.version >> 4, device_.boot.version & 0x0F));
}

int FlashSession::identify(bool wasSynchronised)
{
    synchroniseAndGet(wasSynchronised);
    // Get ID carries no checksum: one flipped bit names another family.
    const uint16_t pid = readProductIdTwice(client_);
    const DeviceInfo* d = findDevice(pid);
    if (!d) {
        sayError(fmt("Product ID 0x%03X is not supported", pid));
        return kDeviceUnsupported;
    }
    uint32_t size = 0;
    if (int rc = readFlashSize(*d, size))
        return rc;
    device_.pid = pid;
    device_.device = d;
    device_.flashSize = size;
    // readFlashSize left what is wrong with the size, if anything; the sentence names it all.
    std::string problems = bootloaderMismatch(*d, device_.boot.version, device_.versionAgain, device_.boot.commands);
    if (!device_.untrusted.empty())
        problems += (problems.empty() ? "" : ", and ") + device_.untrusted;
    device_.untrusted = problems.empty() ? std::string() : untrustedGeometrySentence(pid, *d, problems);
    // Reading stays possible (the identifiers sit at fixed addresses); erasing does not.
    if (!device_.untrusted.empty())
        say(kWarning, device_.untrusted);
    device_.uniqueId = readUniqueId(client_, *d);
    if (device_.uniqueId)
        say(kDetail1, "Unique ID " + toHex(device_.uniqueId->data(), device_.uniqueId->size()));
    return kOk;
}

int FlashSession::readFlashSize(const DeviceInfo& d, uint32_t& size)
{
    FlashSizeReading r;
    try {
        r = readFlashSizeRegister(client_, d);
    } catch (const ProgError& e) {
        if (e.status == kProtected) {
            sayError("Readout protection is active: the module's flash cannot be read or written. "
                     "Removing it would erase the whole flash, the identifiers included, so this tool never does.");
            return kProtected;
        }
        throw;
    }
    size = r.bytes;
    if (size) {
        say(kDetail1, fmt("Flash size %u KiB (read at 0x%08X)", size / 1024, d.flashSizeRegister));
        return kOk;
    }
    // Refusals below compare against the largest of the line; nothing is erased on it.
    size = d.maxFlashSize;
    device_.untrusted = r.problem;
    return kOk;
}

// --- reading --------------------------------------------------------------------------------

int FlashSession::read(uint32_t address, uint8_t* out, uint32_t size)
{
    beginOperation();
    return conclude(readBlocks(address, out, size), Operation::ReadKeys);
}

int FlashSession::readBlocks(uint32_t address, uint8_t* out, uint32_t size)
{
    if (!connected_) {
        sayError("Read refused: no bootloader connection is open");
        return kNotConnected;
    }
    uint32_t at = address;
    try {
        for (uint32_t off = 0; off < size; off += kMaxBlock) {
            at = address + off;
            const uint32_t n = std::min<uint32_t>(kMaxBlock, size - off);
            // Read answers carry no checksum: identifiers are shown and logged only when two
            // reads agree.
            if (at < kIdentifierEnd && uint64_t(at) + n > kIdentifierStart)
                client_.readMemoryTwice(at, out + off, n);
            else
                client_.readMemory(at, out + off, n);
        }
    } catch (const ProgError& e) {
        errorAddress_ = at;
        sayError(fmt("Reading %u bytes at 0x%08X failed at 0x%08X: ", size, address, at) + e.what());
        return e.status;
    }
    say(kDetail2, fmt("Read %u bytes at 0x%08X", size, address));
    return kOk;
}

int FlashSession::readIdentifiers(ModuleIdentifiers& out)
{
    static_assert(sizeof(ModuleIdentifiers) == kIdentifierEnd - kIdentifierStart, "identifier block");
    static_assert(kDevEuiAddress == kIdentifierStart && kAppKeyAddress + 16 == kIdentifierEnd, "identifier block");
    uint8_t block[sizeof(ModuleIdentifiers)];
    beginOperation();
    if (int rc = readBlocks(kIdentifierStart, block, sizeof block))
        return conclude(rc, Operation::ReadKeys);
    error_ = SessionError{};
    identifiers_.emplace();
    std::copy(block, block + sizeof block, identifiers_->begin());
    std::copy_n(block + (kDevEuiAddress - kIdentifierStart), kDevEuiSize, out.devEui);
    std::copy_n(block + (kJoinEuiAddress - kIdentifierStart), kJoinEuiSize, out.joinEui);
    std::copy_n(block + (kAppKeyAddress - kIdentifierStart), kAppKeySize, out.appKey);
    return kOk;
}

// --- download -------------------------------------------------------------------------------

int FlashSession::checkDownloadable(bool erase, bool verify)
{
    if (!connected_ || !device_.device) {
        sayError("Download refused: no bootloader connection is open");
        return kNotConnected;
    }
    const BootloaderInfo& boot = device_.boot;
    if (!boot.supports(cmd::WriteMemory) || (verify && !boot.supports(cmd::ReadMemory))) {
        sayError("The bootloader does not offer Write Memory and Read Memory");
        return kDeviceUnsupported;
    }
    if (erase && !boot.supports(cmd::ExtendedErase) && !boot.supports(cmd::Erase)) {
        sayError("The bootloader offers no erase command");
        return kDeviceUnsupported;
    }
    return kOk;
}

int FlashSession::download(const FirmwareImage& image, const std::string& shown, const DownloadOptions& options,
                           DownloadReport* report)
{
    beginOperation();
    return conclude(runChecked(image, shown, options, report), Operation::Download, shown);
}

int FlashSession::runChecked(const FirmwareImage& image, const std::string& shown, const DownloadOptions& options,
                             DownloadReport* report)
{
    const bool erase = options.erase;
    const bool verify = options.verify;
    const auto started = std::chrono::steady_clock::now();
    DownloadReport local;
    DownloadReport& r = report ? *report : local;
    r = DownloadReport{};

    for (const auto& w : image.warnings)
        say(kWarning, shown + ": " + w);
    if (int rc = checkDownloadable(erase, verify))
        return rc;
    const DeviceInfo& d = *device_.device;
    const bool extended = device_.boot.supports(cmd::ExtendedErase);

    const Result<DownloadPlan> planned = makeDownloadPlan(image, d, device_.flashSize, options.startAddress, erase);
    if (!planned) {
        sayError(shown + ": " + planned.error().what + "; nothing was changed on the device");
        return planned.error().status;
    }
    const DownloadPlan& plan = planned.value();
    if (erase && !extended && plan.pages.back() > 0xFF) {
        sayError(fmt("Page %u cannot be named with the Erase command (up to 255); nothing was changed on the device",
                     plan.pages.back()));
        return kDeviceUnsupported;
    }
    if (!device_.untrusted.empty()) {
        sayError(device_.untrusted);
        return kIdentity;
    }
    r.planned = plan.bytesToWrite;
    r.dataBytes = plan.dataBytes;
    say(kInfo, fmt("Downloading %s: %llu bytes in %zu blocks from 0x%08X", shown.c_str(),
                  static_cast<unsigned long long>(plan.dataBytes), plan.blocks.size(), plan.blocks.front().address));

    int rc = kOk;
    try {
        rc = runDownload(plan, erase, verify, r);
    } catch (const ProgError& e) {
        sayError(std::string("Download failed: ") + e.what());
        rc = e.status;
    } catch (const TransportError& e) {
        sayError(std::string("Download failed: ") + e.what());
        rc = kLinkLost;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    r.touched = touched_;
    r.restored = restored_;
    if (rc == kOk)
        say(kSuccess, fmt("File download complete (%.1f s)", r.seconds));
    return rc;
}

int FlashSession::runDownload(const DownloadPlan& plan, bool erase, bool verify, DownloadReport& report)
{
    // A module that keeps starting again has a power or contact fault; twice is enough.
    constexpr unsigned kRestarts = 2;
    guard_.reset();
    for (;;) {
        try {
            return downloadOnce(plan, erase, verify, report);
        } catch (const ProgError& e) {
            if (e.status != kModuleChanged)
                throw;
            // Seen as an ACK to a sync, nothing was sent to the new bootloader; seen by the
            // guard's unique ID, writes may have reached it, but never its identifier page.
            const bool bySync = client_.restarted();
            const std::string port = settings_.name;
            say(kDetail1, std::string("During the ") + stage_ + ": " + e.what());
            std::string found;
            if (!sameModuleAgain(found)) {
                const std::string saved =
                    guard_ && guard_->isSaved() ? " The module taken out had " + guard_->savedIdentifiers() + "." : "";
                sayError("Another module answered on " + port + " during the " + stage_ + " (" + found +
                             "), so the download stopped: " +
                             (bySync ? "nothing was written to it" : "nothing was written to its identifier page") +
                             " and its identifiers are untouched." + saved);
                closeLink();
                return kModuleChanged;
            }
            if (!erase || report.restarts == kRestarts) {
                sayError("The module on " + port + " started again during the " + stage_ + " (" + found + ")" +
                             (erase ? ", again and again; check its power and its contacts, and flash again"
                                    : "; without the erase the blocks written so far cannot be written again, so "
                                      "flash it again with the erase"));
                return kLinkLost;
            }
            ++report.restarts;
            say(kWarning, "The module on " + port + " started again during the " + stage_ +
                             " (a reset or a brown-out); it is the same chip (" + found +
                             "), so the download begins again with the erase");
            report.written = report.verified = 0;
        }
    }
}

bool FlashSession::sameModuleAgain(std::string& found)
{
    client_.watchForRestart(false);
    const DeviceInfo& d = *device_.device;
    try {
        client_.synchronise();
        const uint16_t pid = readProductIdTwice(client_);
        if (pid != device_.pid) {
            found = fmt("product ID 0x%03X, not 0x%03X", pid, device_.pid);
            return false;
        }
        if (device_.uniqueId) {
            const std::optional<UniqueId> now = readUniqueId(client_, d);
            if (now != device_.uniqueId) {
                found = "unique ID " + (now ? toHex(now->data(), now->size()) : std::string("unreadable")) + ", not " +
                        toHex(device_.uniqueId->data(), device_.uniqueId->size());
                return false;
            }
        }
        std::array<uint8_t, kIdentifierSize> block{};
        client_.readMemoryTwice(kIdentifierStart, block.data(), block.size());
        // With a unique ID a changed page is the guard's to put back; without one the
        // identifiers are all that tells the module.
        const uint8_t* known = identifiers_ ? identifiers_->data() : nullptr;
        if (guard_ && guard_->isSaved())
            known = guard_->page().data() + (kIdentifierStart - kGuardedPageStart);
        const bool pageKept = known && std::equal(block.begin(), block.end(), known);
        if (!device_.uniqueId && !pageKept) {
            found = known ? identifiersText(block.data()) + ", not " + identifiersText(known)
                          : "a chip without a known unique ID, and no identifiers read before to compare";
            return false;
        }
        if (device_.uniqueId && !pageKept && !(guard_ && guard_->isSaved())) {
            found = "its identifiers read " + identifiersText(block.data()) + " now";
            return false;
        }
        found = device_.uniqueId ? "unique ID " + toHex(device_.uniqueId->data(), device_.uniqueId->size())
                                 : "DevEUI " + toHex(block.data(), kDevEuiSize);
    } catch (const ProgError& e) {
        found = std::string("it does not answer as before: ") + e.what();
        return false;
    }
    client_.watchForRestart(true);
    return true;
}

int FlashSession::downloadOnce(const DownloadPlan& plan, bool erase, bool verify, DownloadReport& report)
{
    irregularitiesBeforeWrite_ = client_.irregularities();
    if (erase) {
        if (!guard_) {
            stage_ = "identifier-page backup";
            if (int rc = guardBeforeErase(plan))
                return rc;
        } else {
            // The same chip started again: its page as it was, or put back first.
            stage_ = "check after the restart";
            if (int rc = guardCheck(IdentifierGuard::Since::Writes, "the restart"))
                return rc;
        }
        stage_ = "erase";
        if (int rc = erasePhase(plan, device_.boot.supports(cmd::ExtendedErase)))
            return rc;
        stage_ = "check after the erase";
        if (int rc = guardAfterErase(plan))
            return rc;
    } else {
        say(kInfo, "Erase skipped");
    }
    stage_ = "write";
    if (int rc = writePhase(plan, report))
        return rc;
    stage_ = "check after the write";
    if (int rc = guardAfterWrite(plan, verify))
        return rc;
    stage_ = "verification";
    return verify ? verifyPhase(plan, report) : kOk;
}

// The identifier page is kept out of every plan; these are the places where a download
// checks that the module agrees. A copy of the page read before the first erase lets a
// page damaged anyway be put back.
int FlashSession::guardBeforeErase(const DownloadPlan&)
{
    guard_.emplace(client_);
    PhaseReport phase(*this, Phase::IdentifierBackup, kGuardedPageEnd - kGuardedPageStart);
    try {
        guard_->save(*device_.device, device_.boot.supports(cmd::ExtendedErase));
        phase.progress(guard_->page().size());
        phase.finish();
    } catch (const ProgError& e) {
        guard_.reset();
        if (e.status == kModuleChanged)
            throw;
        sayError(std::string("Reading the identifier page before the erase failed: ") + e.what() +
                     "; nothing was changed on the device");
        return e.status;
    }
    say(kDetail1, fmt("Identifier page 0x%08X..0x%08X saved", kGuardedPageStart, kGuardedPageEnd - 1));
    irregularitiesBeforeWrite_ = client_.irregularities();
    return kOk;
}

int FlashSession::guardCheck(IdentifierGuard::Since since, const std::string& phase)
{
    std::string message;
    const int rc = guard_->check(since, phase, message, [this](const ProgressEvent& e) { report(e); });
    restored_ = guard_->restored();
    if (rc != kOk)
        sayError(message);
    return rc;
}

int FlashSession::guardAfterErase(const DownloadPlan&)
{
    return guard_ ? guardCheck(IdentifierGuard::Since::Erases, "the erase") : kOk;
}

int FlashSession::guardAfterWrite(const DownloadPlan&, bool verify)
{
    if (guard_) {
        if (int rc = guardCheck(IdentifierGuard::Since::Writes, "the last write"))
            return rc;
        say(kDetail1, fmt("Identifier page checked after the erase and the last write (%.2f s in all)",
                             guard_->seconds()));
    }
    // A byte out of step can pair a refused write with an earlier ACK; only a read-back
    // tells then, and there is none without verification.
    const unsigned stray = client_.irregularities() - irregularitiesBeforeWrite_;
    if (stray && !verify) {
        sayError(fmt("The module's answers were out of step during the download (%u unexpected answer%s), so a "
                     "refused write may have passed for accepted; flash again with verification",
                     stray, stray == 1 ? "" : "s"));
        return kWriteVerify;
    }
    return kOk;
}

int FlashSession::erasePhase(const DownloadPlan& plan, bool extended)
{
    const DeviceInfo& d = *device_.device;
    say(kInfo, "Erasing " + describePages(plan.pages, d) + (extended ? " with Extended Erase" : " with Erase"));
    PhaseReport phase(*this, Phase::Erase, plan.pages.size());
    uint64_t erased = 0;
    for (const auto& chunk : splitPages(plan.pages, kPagesPerErase)) {
        try {
            touched_ = true;
            client_.erasePages(chunk, extended);
        } catch (const ProgError& e) {
            if (e.status == kModuleChanged)
                throw;
            sayError("Erasing " + describePages(chunk, d) + " failed: " + e.what());
            return e.status;
        }
        erased += chunk.size();
        phase.progress(erased);
    }
    phase.finish();
    say(kDetail1, "Erase done");
    return kOk;
}

int FlashSession::writePhase(const DownloadPlan& plan, DownloadReport& report)
{
    PhaseReport phase(*this, Phase::Write, plan.bytesToWrite);
    for (const auto& blk : plan.blocks) {
        try {
            touched_ = true;
            client_.writeMemory(blk.address, blk.data.data(), blk.data.size(), device_.device->erasedValue);
        } catch (const ProgError& e) {
            if (e.status == kModuleChanged)
                throw;
            errorAddress_ = blk.address;
            sayError(fmt("Download failed during write at 0x%08X: ", blk.address) + e.what());
            return e.status;
        }
        report.written += blk.data.size();
        phase.progress(report.written);
    }
    phase.finish();
    say(kInfo, fmt("Written %llu bytes (%llu of them from the file) at 0x%08X..0x%08X",
                  static_cast<unsigned long long>(plan.bytesToWrite), static_cast<unsigned long long>(plan.dataBytes),
                  plan.blocks.front().address,
                  plan.blocks.back().address + uint32_t(plan.blocks.back().data.size()) - 1));
    return kOk;
}

int FlashSession::verifyPhase(const DownloadPlan& plan, DownloadReport& report)
{
    PhaseReport phase(*this, Phase::Verify, plan.bytesToWrite);
    std::vector<uint8_t> back;
    for (const auto& blk : plan.blocks) {
        back.assign(blk.data.size(), 0);
        try {
            client_.readMemory(blk.address, back.data(), back.size());
        } catch (const ProgError& e) {
            if (e.status == kModuleChanged)
                throw;
            errorAddress_ = blk.address;
            sayError(fmt("Download failed during verification at 0x%08X: ", blk.address) + e.what());
            return e.status;
        }
        auto diff = std::mismatch(back.begin(), back.end(), blk.data.begin());
        if (diff.first != back.end()) {
            // Read answers carry no checksum: one more read on a realigned line before the
            // flash is called wrong.
            try {
                client_.realign();
                client_.readMemory(blk.address, back.data(), back.size());
            } catch (const ProgError& e) {
                if (e.status == kModuleChanged)
                    throw;
                errorAddress_ = blk.address;
                sayError(fmt("Download failed during verification at 0x%08X: ", blk.address) + e.what());
                return e.status;
            }
            if (std::equal(back.begin(), back.end(), blk.data.begin()))
                say(kDetail1, fmt("Read-back at 0x%08X differed once; read again, it agrees", blk.address));
            diff = std::mismatch(back.begin(), back.end(), blk.data.begin());
        }
        if (diff.first != back.end()) {
            const uint32_t bad = blk.address + uint32_t(diff.first - back.begin());
            errorAddress_ = bad;
            sayError(fmt("Verification failed at 0x%08X: read 0x%02X, expected 0x%02X", bad, *diff.first, *diff.second));
            return kWriteVerify;
        }
        report.verified += blk.data.size();
        phase.progress(report.verified);
    }
    phase.finish();
    say(kSuccess, fmt("Verified %llu bytes", static_cast<unsigned long long>(plan.bytesToWrite)));
    return kOk;
}

// --- start ----------------------------------------------------------------------------------

int FlashSession::start(uint32_t address)
{
    beginOperation();
    return conclude(startApplication(address), Operation::Connect);
}

int FlashSession::startApplication(uint32_t address)
{
    if (!connected_) {
        sayError("Start refused: no bootloader connection is open");
        return kNotConnected;
    }
    try {
        client_.go(address);
    } catch (const ProgError& e) {
        errorAddress_ = address;
        sayError(fmt("Starting the application at 0x%08X failed: ", address) + e.what());
        return e.status;
    }
    say(kInfo, fmt("Application started at 0x%08X", address));
    // The application runs now; the next connection meets a fresh bootloader only after a reset.
    synchronisedPort_.clear();
    closeLink();
    return kOk;
}

}  // namespace vbprog
