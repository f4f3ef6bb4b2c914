// The C functions of the programming library's interface, on top of the transport, the
// bootloader client, the image parser, the device table and the download plan.
#include "programmer_api.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bootloader_client.h"
#include "device_table.h"
#include "download_plan.h"
#include "firmware_image.h"
#include "serial_transport.h"
#include "text_format.h"

using namespace vbprog;

namespace {

// Pages per erase command: keeps each wait short enough that a pulled cable shows within seconds.
constexpr size_t kPagesPerErase = 32;
// Biggest firmware file taken in: far above any flash this library knows.
constexpr uintmax_t kMaxFileSize = 64u * 1024 * 1024;
// Biggest single readMemory.
constexpr unsigned kMaxRead = 16u * 1024 * 1024;

struct Library {
    std::recursive_mutex mutex;
    displayCallBacks callbacks{nullptr, nullptr, nullptr};
    int verbosity = 1;
    std::string loadersPath;

    // The current port list and the one before it: a caller still holding the previous
    // list's pointer across one rescan reads valid memory.
    std::vector<usartConnectParameters> ports;
    std::vector<usartConnectParameters> retiredPorts;

    SerialLink link;
    BootloaderClient client{link};
    bool connected = false;
    // The port whose bootloader our last connection left synchronised (no Go since).
    std::string synchronisedPort;
    BootloaderInfo boot;
    const DeviceInfo* device = nullptr;
    uint32_t flashSize = 0;
    generalInf info{};

    // Read buffers handed out in turn, so the last few stay valid.
    std::array<std::vector<uint8_t>, 4> readBuffers;
    size_t nextReadBuffer = 0;
};

Library& lib()
{
    static Library l;
    return l;
}

std::filesystem::path pathFromWide(const wchar_t* w)
{
#if defined(_WIN32)
    return std::filesystem::path(std::wstring(w));
#else
    return std::filesystem::path(wideToUtf8(w));
#endif
}

void say(MSGTYPE type, const std::string& text)
{
    Library& l = lib();
    if (type >= Verbosity_1 && type <= Verbosity_3 && int(type) - int(Verbosity_1) + 1 > l.verbosity)
        return;
    if (l.callbacks.logMessage)
        l.callbacks.logMessage(int(type), utf8ToWideLossy(text).c_str());
}

std::string fmt(const char* f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

void progressStart()
{
    if (lib().callbacks.initProgressBar)
        lib().callbacks.initProgressBar();
}

// Progress in bytes; tiny totals are scaled so that a bar always has at least 10 steps.
void progress(uint64_t done, uint64_t total)
{
    if (!lib().callbacks.loadBar || total == 0)
        return;
    const uint64_t scale = total < 10 ? (10 + total - 1) / total : 1;
    lib().callbacks.loadBar(int(done * scale), int(total * scale));
}

void closeLink(Library& l)
{
    l.link.close();
    l.connected = false;
    l.device = nullptr;
}

void copyText(char* dst, size_t size, const std::string& src)
{
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

// Cuts a UTF-8 name to `max` bytes without splitting a character.
std::string cutName(const std::string& name, size_t max)
{
    if (name.size() <= max)
        return name;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
        --n;
    return name.substr(0, n);
}

usartConnectParameters portRecord(const std::string& name)
{
    usartConnectParameters p;
    std::memset(&p, 0, sizeof p);
    copyText(p.portName, sizeof p.portName, cutName(name, sizeof p.portName - 1));
    p.baudrate = 115200;
    p.parity = EVEN;
    p.dataBits = 8;
    p.stopBits = 1.0f;
    p.flowControl = OFF;
    p.noinitBits = 0;
    return p;
}

std::string describePages(const std::vector<uint32_t>& pages, const DeviceInfo& d)
{
    const uint32_t lo = d.flashBase + pages.front() * d.eraseUnit;
    const uint32_t hi = d.flashBase + (pages.back() + 1) * d.eraseUnit - 1;
    return fmt("%zu page%s (%u..%u, 0x%08X..0x%08X)", pages.size(), pages.size() == 1 ? "" : "s", pages.front(),
               pages.back(), lo, hi);
}

int identify(Library& l, bool wasSynchronised)
{
    if (wasSynchronised)
        l.client.resynchronise();
    else
        l.client.synchronise();
    try {
        l.boot = l.client.get();
    } catch (const ProgError& e) {
        // A bootloader caught mid-frame by the sync answers garbage first; one more round.
        say(Verbosity_1, std::string("Get failed (") + e.what() + "), synchronising again");
        l.client.synchronise();
        l.boot = l.client.get();
    }
    l.client.getVersion();
    say(Verbosity_1, fmt("Bootloader protocol version %u.%u", l.boot.version >> 4, l.boot.version & 0x0F));

    const uint16_t pid = l.client.getId();
    const DeviceInfo* d = findDevice(pid);
    if (!d) {
        say(Error, fmt("Product ID 0x%03X is not supported", pid));
        return PROG_ERR_DEVICE_UNSUPPORTED;
    }

    uint32_t size = 0;
    if (d->flashSizeRegister) {
        uint8_t raw[2] = {0, 0};
        try {
            l.client.readMemory(d->flashSizeRegister, raw, 2);
            size = decodeFlashSize(*d, uint16_t(raw[0] | raw[1] << 8));
            if (size)
                say(Verbosity_1, fmt("Flash size %u KiB (read at 0x%08X)", size / 1024, d->flashSizeRegister));
        } catch (const ProgError& e) {
            if (e.status == PROG_ERR_PROTECTED) {
                say(Error, "Readout protection is active: the module's flash cannot be read or written. "
                           "Removing it would erase the whole flash, the identifiers included, so this tool never does.");
                return PROG_ERR_PROTECTED;
            }
            if (e.status != PROG_ERR_READ)
                throw;
        }
    }
    if (!size) {
        size = d->maxFlashSize;
        say(Verbosity_1, fmt("Flash size not readable, assuming the largest of the line: %u KiB", size / 1024));
    }

    l.device = d;
    l.flashSize = size;
    std::memset(&l.info, 0, sizeof l.info);
    l.info.deviceId = pid;
    l.info.flashSize = int32_t(size);
    copyText(l.info.type, sizeof l.info.type, "MCU");
    copyText(l.info.cpu, sizeof l.info.cpu, d->cpu);
    copyText(l.info.name, sizeof l.info.name, d->name);
    copyText(l.info.series, sizeof l.info.series, d->series);
    copyText(l.info.description, sizeof l.info.description, d->description);
    copyText(l.info.revisionId, sizeof l.info.revisionId, "");
    return PROG_OK;
}

int readFile(const std::filesystem::path& path, std::string& out)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
        say(Error, "Cannot open the file " + path.u8string() + ": it does not exist or is not a file");
        return PROG_ERR_FILE_MISSING;
    }
    if (size > kMaxFileSize) {
        say(Error, "The file " + path.u8string() + " is too large for a firmware image");
        return PROG_ERR_FILE_INVALID;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        say(Error, "Cannot open the file " + path.u8string());
        return PROG_ERR_FILE_MISSING;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        say(Error, "Cannot read the file " + path.u8string());
        return PROG_ERR_FILE_MISSING;
    }
    return PROG_OK;
}

int download(Library& l, const std::filesystem::path& path, uint32_t address, bool erase, bool verify)
{
    const auto started = std::chrono::steady_clock::now();
    const std::string shown = path.filename().u8string();

    // The whole file is read and checked before the device is touched.
    std::string text;
    if (int rc = readFile(path, text))
        return rc;
    ParseResult parsed;
    const FileFormat format = fileFormatOf(shown);
    if (format == FileFormat::IntelHex) {
        parsed = parseIntelHex(text);
    } else if (format == FileFormat::Binary) {
        parsed = loadBinary(text, address);
    } else {
        say(Error, "Unsupported file type of " + shown + ": only Intel HEX (.hex) and binary (.bin) files can be downloaded");
        return PROG_ERR_FILE_INVALID;
    }
    if (!parsed.ok) {
        say(Error, shown + ": " + parsed.error);
        return PROG_ERR_FILE_INVALID;
    }
    for (const auto& w : parsed.image.warnings)
        say(Warning, shown + ": " + w);

    if (!l.connected || !l.device) {
        say(Error, "Download refused: no bootloader connection is open");
        return PROG_ERR_NOT_CONNECTED;
    }
    const DeviceInfo& d = *l.device;
    if (!l.boot.supports(cmd::WriteMemory) || (verify && !l.boot.supports(cmd::ReadMemory))) {
        say(Error, "The bootloader does not offer Write Memory and Read Memory");
        return PROG_ERR_DEVICE_UNSUPPORTED;
    }
    const bool extended = l.boot.supports(cmd::ExtendedErase);
    if (erase && !extended && !l.boot.supports(cmd::Erase)) {
        say(Error, "The bootloader offers no erase command");
        return PROG_ERR_DEVICE_UNSUPPORTED;
    }

    PlanResult planned = makeDownloadPlan(parsed.image, d, l.flashSize, address, erase);
    if (!planned.ok) {
        say(Error, shown + ": " + planned.error + "; nothing was changed on the device");
        return planned.status;
    }
    const DownloadPlan& plan = planned.plan;
    if (erase && !extended && plan.pages.back() > 0xFF) {
        say(Error, fmt("Page %u cannot be named with the Erase command (up to 255); nothing was changed on the device",
                       plan.pages.back()));
        return PROG_ERR_DEVICE_UNSUPPORTED;
    }
    say(Info, fmt("Downloading %s: %llu bytes in %zu blocks from 0x%08X", shown.c_str(),
                  static_cast<unsigned long long>(plan.dataBytes), plan.blocks.size(), plan.blocks.front().address));

    const char* phase = "erase";
    uint32_t at = 0;
    try {
        if (erase) {
            say(Info, "Erasing " + describePages(plan.pages, d) + (extended ? " with Extended Erase" : " with Erase"));
            for (const auto& chunk : splitPages(plan.pages, kPagesPerErase)) {
                at = d.flashBase + chunk.front() * d.eraseUnit;
                try {
                    l.client.erasePages(chunk, extended);
                } catch (const ProgError& e) {
                    say(Error, "Erasing " + describePages(chunk, d) + " failed: " + e.what());
                    return e.status;
                }
            }
            say(Verbosity_1, "Erase done");
        } else {
            say(Info, "Erase skipped");
        }

        phase = "write";
        progressStart();
        progress(0, plan.bytesToWrite);
        uint64_t done = 0;
        for (const auto& blk : plan.blocks) {
            at = blk.address;
            l.client.writeMemory(blk.address, blk.data.data(), blk.data.size());
            done += blk.data.size();
            progress(done, plan.bytesToWrite);
        }
        say(Info, fmt("Written %llu bytes (%llu of them from the file) at 0x%08X..0x%08X",
                      static_cast<unsigned long long>(plan.bytesToWrite), static_cast<unsigned long long>(plan.dataBytes),
                      plan.blocks.front().address,
                      plan.blocks.back().address + uint32_t(plan.blocks.back().data.size()) - 1));

        if (verify) {
            phase = "verification";
            progressStart();
            progress(0, plan.bytesToWrite);
            std::vector<uint8_t> back;
            done = 0;
            for (const auto& blk : plan.blocks) {
                at = blk.address;
                back.assign(blk.data.size(), 0);
                l.client.readMemory(blk.address, back.data(), back.size());
                const auto diff = std::mismatch(back.begin(), back.end(), blk.data.begin());
                if (diff.first != back.end()) {
                    const uint32_t bad = blk.address + uint32_t(diff.first - back.begin());
                    say(Error, fmt("Verification failed at 0x%08X: read 0x%02X, expected 0x%02X", bad, *diff.first,
                                   *diff.second));
                    return PROG_ERR_WRITE_VERIFY;
                }
                done += blk.data.size();
                progress(done, plan.bytesToWrite);
            }
            say(GreenInfo, fmt("Verified %llu bytes", static_cast<unsigned long long>(plan.bytesToWrite)));
        }
    } catch (const ProgError& e) {
        say(Error, fmt("Download failed during %s at 0x%08X: ", phase, at) + e.what());
        return e.status;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    say(GreenInfo, fmt("File download complete (%.1f s)", seconds));
    return PROG_OK;
}

}  // namespace

extern "C" {

void PROGRAMMER_API_CALL setDisplayCallbacks(displayCallBacks callbacks)
{
    std::lock_guard<std::recursive_mutex> g(lib().mutex);
    lib().callbacks = callbacks;
}

void PROGRAMMER_API_CALL setVerbosityLevel(int level)
{
    std::lock_guard<std::recursive_mutex> g(lib().mutex);
    lib().verbosity = std::clamp(level, 0, 3);
}

int PROGRAMMER_API_CALL getUsartList(usartConnectParameters** usartList)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
#if defined(_WIN32)
    const char sep = ';';
#else
    const char sep = ':';
#endif
    // Ports named on purpose come first, so that a caller that takes the first entry
    // (the window does) starts on them.
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    };
    if (const char* extra = std::getenv("VBF_EXTRA_PORTS")) {
        std::stringstream ss(extra);
        std::string item;
        while (std::getline(ss, item, sep))
            add(item);
    }
    for (const auto& name : listSystemPorts())
        add(name);
    l.retiredPorts = std::move(l.ports);
    l.ports.clear();
    for (const auto& n : names)
        l.ports.push_back(portRecord(n));
    if (usartList)
        *usartList = l.ports.empty() ? nullptr : l.ports.data();
    return int(l.ports.size());
}

void PROGRAMMER_API_CALL setLoadersPath(const char* path)
{
    std::lock_guard<std::recursive_mutex> g(lib().mutex);
    lib().loadersPath = path ? path : "";
}

int PROGRAMMER_API_CALL connectUsartBootloader(usartConnectParameters p)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    closeLink(l);

    PortSettings s;
    s.name.assign(p.portName, strnlen(p.portName, sizeof p.portName));
    s.baudrate = p.baudrate;
    s.parity = int(p.parity);
    s.dataBits = p.dataBits;
    s.stopBits = p.stopBits;
    s.flowControl = int(p.flowControl);

    // Nothing resets the module between two connections of ours, so a bootloader we left
    // synchronised on this port is still synchronised.
    const bool wasSynchronised = l.synchronisedPort == s.name;
    l.synchronisedPort.clear();

    std::vector<std::string> notes;
    try {
        l.link.open(s, notes);
    } catch (const TransportError& e) {
        say(Error, std::string("Serial port error: ") + e.what());
        return PROG_ERR_PORT_OPEN;
    }
    say(Verbosity_1, fmt("Opened %s at %u baud, %d%c%s", s.name.c_str(), s.baudrate, s.dataBits,
                         s.parity == 1 ? 'O' : s.parity == 2 ? 'N' : 'E', s.stopBits > 1.4f ? "2" : "1"));
    for (const auto& n : notes)
        say(Verbosity_1, n);

    int rc = PROG_OK;
    try {
        rc = identify(l, wasSynchronised);
    } catch (const ProgError& e) {
        say(Error, e.status == PROG_ERR_NO_ANSWER ? std::string(e.what()) : std::string("Connection failed: ") + e.what());
        rc = e.status;
    }
    if (rc != PROG_OK) {
        closeLink(l);
        return rc;
    }
    l.connected = true;
    l.synchronisedPort = s.name;
    say(Info, fmt("Connected to %s (product ID 0x%03X), %d KiB flash", l.info.name, l.info.deviceId, l.info.flashSize / 1024));
    return PROG_OK;
}

generalInf* PROGRAMMER_API_CALL getDeviceGeneralInf()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    return l.connected ? &l.info : nullptr;
}

int PROGRAMMER_API_CALL readMemory(unsigned int address, unsigned char** data, unsigned int size)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (!data || size == 0 || size > kMaxRead || uint64_t(address) + size > 0x100000000ull) {
        say(Error, fmt("Read of %u bytes at 0x%08X refused: bad arguments", size, address));
        return PROG_ERR_BAD_ARGUMENT;
    }
    if (!l.connected) {
        say(Error, "Read refused: no bootloader connection is open");
        return PROG_ERR_NOT_CONNECTED;
    }
    std::vector<uint8_t> buf(size);
    uint32_t at = address;
    try {
        for (unsigned off = 0; off < size; off += kMaxBlock) {
            at = address + off;
            l.client.readMemory(at, buf.data() + off, std::min<unsigned>(kMaxBlock, size - off));
        }
    } catch (const ProgError& e) {
        say(Error, fmt("Reading %u bytes at 0x%08X failed at 0x%08X: ", size, address, at) + e.what());
        return e.status;
    }
    auto& slot = l.readBuffers[l.nextReadBuffer];
    l.nextReadBuffer = (l.nextReadBuffer + 1) % l.readBuffers.size();
    slot = std::move(buf);
    *data = slot.data();
    say(Verbosity_2, fmt("Read %u bytes at 0x%08X", size, address));
    return PROG_OK;
}

int PROGRAMMER_API_CALL downloadFile(const wchar_t* filePath, unsigned int address, unsigned int skipErase,
                                     unsigned int verify, const wchar_t* binPath)
{
    (void)binPath;
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (!filePath || !*filePath) {
        say(Error, "Download refused: no file given");
        return PROG_ERR_FILE_MISSING;
    }
    try {
        return download(l, pathFromWide(filePath), address, skipErase == 0, verify != 0);
    } catch (const std::exception& e) {
        say(Error, std::string("Download failed: ") + e.what());
        return PROG_ERR_LINK_LOST;
    }
}

int PROGRAMMER_API_CALL execute(unsigned int address)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (!l.connected) {
        say(Error, "Start refused: no bootloader connection is open");
        return PROG_ERR_NOT_CONNECTED;
    }
    try {
        l.client.go(address);
    } catch (const ProgError& e) {
        say(Error, fmt("Starting the application at 0x%08X failed: ", address) + e.what());
        return e.status;
    }
    say(Info, fmt("Application started at 0x%08X", address));
    // The application runs now; the next connection meets a fresh bootloader only after a reset.
    l.synchronisedPort.clear();
    closeLink(l);
    return PROG_OK;
}

void PROGRAMMER_API_CALL disconnect()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (l.link.isOpen())
        say(Verbosity_1, "Serial port closed");
    closeLink(l);
}

void PROGRAMMER_API_CALL deleteInterfaceList()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    l.retiredPorts = std::move(l.ports);
    l.ports.clear();
}

}  // extern "C"
