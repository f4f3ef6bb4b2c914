// The C functions of the programming library's interface: a thin layer over one
// process-wide flash session, with the port list and the buffers the interface hands out.
#include "programmer_api.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "flash_session.h"
#include "status.h"
#include "serial_transport.h"
#include "text_format.h"

using namespace vbprog;

// The library's statuses and message levels are the interface's numbers; the window and the
// tool rely on them, so each is checked here, where the two meet.
constexpr bool agree(std::initializer_list<std::pair<int, int>> pairs)
{
    for (const auto& p : pairs)
        if (p.first != p.second)
            return false;
    return true;
}
static_assert(agree({
                     {kOk, PROG_OK}, {kNotConnected, PROG_ERR_NOT_CONNECTED}, {kNoAnswer, PROG_ERR_NO_ANSWER},
                     {kPortOpen, PROG_ERR_PORT_OPEN}, {kFileMissing, PROG_ERR_FILE_MISSING},
                     {kDeviceUnsupported, PROG_ERR_DEVICE_UNSUPPORTED}, {kLinkLost, PROG_ERR_LINK_LOST},
                     {kFileInvalid, PROG_ERR_FILE_INVALID}, {kBadArgument, PROG_ERR_BAD_ARGUMENT},
                     {kReadRefused, PROG_ERR_READ}, {kWriteVerify, PROG_ERR_WRITE_VERIFY},
                     {kEraseRefused, PROG_ERR_ERASE}, {kOutOfRange, PROG_ERR_OUT_OF_RANGE},
                     {kProtected, PROG_ERR_PROTECTED}, {kIdentifiersChanged, PROG_ERR_IDENTIFIERS},
                     {kIdentity, PROG_ERR_IDENTITY}, {kModuleChanged, PROG_ERR_MODULE_CHANGED}}),
              "library statuses are the interface's");
static_assert(agree({
                     {kNormal, Normal}, {kInfo, Info}, {kSuccess, GreenInfo}, {kTitle, Title},
                     {kWarning, Warning}, {kError, Error}, {kDetail1, Verbosity_1}, {kDetail2, Verbosity_2},
                     {kDetail3, Verbosity_3}, {kSuccessQuiet, GreenInfoNoPopup}, {kWarningQuiet, WarningNoPopup},
                     {kErrorQuiet, ErrorNoPopup}}),
              "library message levels are the interface's");

namespace {

// Biggest single readMemory of the interface (the library reads it in protocol blocks).
constexpr unsigned kMaxInterfaceRead = 16u * 1024 * 1024;

struct Library {
    std::recursive_mutex mutex;
    displayCallBacks callbacks{nullptr, nullptr, nullptr};
    int verbosity = 1;
    std::string loadersPath;

    // The current port list and the one before it: a caller still holding the previous
    // list's pointer across one rescan reads valid memory.
    std::vector<usartConnectParameters> ports;
    std::vector<usartConnectParameters> retiredPorts;

    // The one session behind the interface; its callbacks read `callbacks` at call time.
    FlashSession session;
    generalInf info{};

    // The error of the last call that can fail; empty after a success.
    std::wstring lastError;

    // Read buffers handed out in turn, so the last few stay valid.
    std::array<std::vector<uint8_t>, 4> readBuffers;
    size_t nextReadBuffer = 0;

    Library();
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

// The interface has one bar: it shows the write, then the verification, each in bytes from
// a fresh start. Tiny totals are scaled so that a bar always has at least 10 steps.
void progress(const ProgressEvent& e)
{
    if (e.phase != Phase::Write && e.phase != Phase::Verify)
        return;
    const displayCallBacks& cb = lib().callbacks;
    if (e.state == ProgressEvent::Started && cb.initProgressBar)
        cb.initProgressBar();
    if ((e.state != ProgressEvent::Started && e.state != ProgressEvent::Progress) || !cb.loadBar || e.total == 0)
        return;
    const uint64_t scale = e.total < 10 ? (10 + e.total - 1) / e.total : 1;
    cb.loadBar(int(e.done * scale), int(e.total * scale));
}

Library::Library()
{
    SessionCallbacks cb;
    cb.message = [](int type, const std::string& text) { say(MSGTYPE(type), text); };
    cb.progress = progress;
    session.setCallbacks(std::move(cb));
}

// The outcome of a call: its status, with its error kept for getLastErrorMessage.
int concluded(int status, const std::string& error)
{
    lib().lastError = status == PROG_OK ? std::wstring() : utf8ToWideLossy(error);
    return status;
}

int sessionConcluded(int status)
{
    return concluded(status, lib().session.lastError().what);
}

int refused(int status, const std::string& error)
{
    say(Error, error);
    return concluded(status, error);
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

void fillInfo(generalInf& info, const ConnectedDevice& c)
{
    std::memset(&info, 0, sizeof info);
    info.deviceId = c.pid;
    info.flashSize = int32_t(c.flashSize);
    copyText(info.type, sizeof info.type, "MCU");
    copyText(info.cpu, sizeof info.cpu, c.device->cpu);
    copyText(info.name, sizeof info.name, c.device->name);
    copyText(info.series, sizeof info.series, c.device->series);
    copyText(info.description, sizeof info.description, c.device->description);
    copyText(info.revisionId, sizeof info.revisionId, "");
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
    // Ports named on purpose come first, so that a caller that takes the first entry
    // (the window does) starts on them.
    const std::vector<std::string> names = listPorts();
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
    PortSettings s;
    s.name.assign(p.portName, strnlen(p.portName, sizeof p.portName));
    s.baudrate = p.baudrate;
    s.parity = int(p.parity);
    s.dataBits = p.dataBits;
    s.stopBits = p.stopBits;
    s.flowControl = int(p.flowControl);
    const int rc = l.session.connect(s);
    if (rc == PROG_OK)
        fillInfo(l.info, l.session.device());
    return sessionConcluded(rc);
}

generalInf* PROGRAMMER_API_CALL getDeviceGeneralInf()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    return l.session.isConnected() ? &l.info : nullptr;
}

int PROGRAMMER_API_CALL readMemory(unsigned int address, unsigned char** data, unsigned int size)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (!data || size == 0 || size > kMaxInterfaceRead || uint64_t(address) + size > 0x100000000ull)
        return refused(PROG_ERR_BAD_ARGUMENT, fmt("Read of %u bytes at 0x%08X refused: bad arguments", size, address));
    std::vector<uint8_t> buf(l.session.isConnected() ? size : 0);
    if (int rc = l.session.read(address, buf.data(), size))
        return sessionConcluded(rc);
    auto& slot = l.readBuffers[l.nextReadBuffer];
    l.nextReadBuffer = (l.nextReadBuffer + 1) % l.readBuffers.size();
    slot = std::move(buf);
    *data = slot.data();
    return concluded(PROG_OK, {});
}

int PROGRAMMER_API_CALL downloadFile(const wchar_t* filePath, unsigned int address, unsigned int skipErase,
                                     unsigned int verify, const wchar_t* binPath)
{
    (void)binPath;
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    if (!filePath || !*filePath)
        return refused(PROG_ERR_FILE_MISSING, "Download refused: no file given");
    try {
        // The whole file is read and checked before the device is touched.
        const std::filesystem::path path = pathFromWide(filePath);
        const Result<FirmwareFile> file = loadFirmwareFile(path, address);
        if (!file)
            return refused(file.error().status, file.error().what);
        return sessionConcluded(l.session.download(file->image, path.filename().u8string(),
                                                   DownloadOptions{address, skipErase == 0, verify != 0}));
    } catch (const std::exception& e) {
        // Not the link's fault (the session answers for the link): the window must not be
        // told that the module stopped answering.
        return refused(PROG_ERR_BAD_ARGUMENT, std::string("Download refused: ") + e.what());
    }
}

int PROGRAMMER_API_CALL execute(unsigned int address)
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    return sessionConcluded(l.session.start(address));
}

void PROGRAMMER_API_CALL disconnect()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    l.session.close();
}

void PROGRAMMER_API_CALL deleteInterfaceList()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    l.retiredPorts = std::move(l.ports);
    l.ports.clear();
}

const wchar_t* PROGRAMMER_API_CALL getLastErrorMessage()
{
    Library& l = lib();
    std::lock_guard<std::recursive_mutex> g(l.mutex);
    return l.lastError.c_str();
}

}  // extern "C"
