// vorna-flash: the bench's command-line flasher. It lists ports, reads a module's
// identifiers and flashes firmware through the same programming library as the window.
#include "benchlog.h"
#include "options.h"
#include "sha256.h"
#include "status.h"
#include "text.h"

#include "firmware_image.h"
#include "programmer_api.h"
#include "serial_transport.h"
#include "text_format.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>


namespace {

constexpr unsigned int APPLICATION_ADRESS = 0x08000800;
constexpr unsigned int DEV_EUI_ADRESS = 0x080007E0;
constexpr unsigned int JOIN_EUI_ADRESS = 0x080007E8;
constexpr unsigned int APP_KEY_ADRESS = 0x080007F0;
constexpr unsigned int DEV_EUI_SIZE = 8;
constexpr unsigned int JOIN_EUI_SIZE = 8;
constexpr unsigned int APP_KEY_SIZE = 16;
// Far above any image the module's flash can hold; keeps a wrong argument from eating memory.
constexpr std::size_t MAX_FIRMWARE_FILE = 64u * 1024 * 1024;

// Console state shared by the library's callbacks, which may run on any thread inside it.
struct Console {
    std::mutex mutex;
    bool verbose = false;
    bool showProgress = false;  // standard error is a terminal and a download runs
    bool barOnLine = false;     // the cursor stands at the end of a drawn bar
    int pass = 0;               // progress passes so far: writing, then verifying
    int lastPermille = -1;
    bool verify = true;
};
Console console;

void endBarLine()
{
    if (console.barOnLine) {
        std::fputc('\n', stderr);
        console.barOnLine = false;
    }
}

void onInitProgressBar()
{
    std::lock_guard<std::mutex> g(console.mutex);
    endBarLine();
    ++console.pass;
    console.lastPermille = -1;
}

void onLoadBar(int progress, int total)
{
    std::lock_guard<std::mutex> g(console.mutex);
    if (!console.showProgress || total <= 0)
        return;
    if (progress < 0)
        progress = 0;
    if (progress > total)
        progress = total;
    const int permille = int(int64_t(progress) * 1000 / total);
    if (permille == console.lastPermille)
        return;
    console.lastPermille = permille;
    constexpr int width = 40;
    const int filled = permille * width / 1000;
    const char* label = (console.pass >= 2 && console.verify) ? "Verifying" : "Writing  ";
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label, filled, "########################################",
                 width - filled, "", permille / 10);
    std::fflush(stderr);
    console.barOnLine = true;
}

void onLogMessage(int msgType, const wchar_t* text)
{
    const bool isError = msgType == Error || msgType == ErrorNoPopup;
    std::lock_guard<std::mutex> g(console.mutex);
    if (!console.verbose && !isError)
        return;
    // One line a message, whatever line breaks the library puts around its texts.
    std::string line = vbprog::wideToUtf8(text);
    const auto first = line.find_first_not_of(" \r\n\t");
    if (first == std::string::npos)
        return;
    line = line.substr(first, line.find_last_not_of(" \r\n\t") - first + 1) + "\n";
    endBarLine();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void finishProgress()
{
    std::lock_guard<std::mutex> g(console.mutex);
    endBarLine();
    console.showProgress = false;
}

void fail(const std::string& sentence)
{
    std::lock_guard<std::mutex> g(console.mutex);
    endBarLine();
    std::fprintf(stderr, "vorna-flash: %s\n", sentence.c_str());
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

usartConnectParameters portRecord(const std::string& port)
{
    usartConnectParameters p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.portName, port.data(), std::min(port.size(), sizeof p.portName - 1));
    p.baudrate = 115200;
    p.parity = EVEN;
    p.dataBits = 8;
    p.stopBits = 1.0f;
    p.flowControl = OFF;
    p.noinitBits = 0;
    return p;
}

std::string boundedText(const char* text, std::size_t size)
{
    return std::string(text, strnlen(text, size));
}

std::string pidText(uint16_t pid)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%03x", pid);
    return buf;
}

// --- ports -------------------------------------------------------------------------

int runPorts()
{
    usartConnectParameters* list = nullptr;
    const int count = getUsartList(&list);
    for (int i = 0; i < count && list; ++i) {
        const std::string name = boundedText(list[i].portName, sizeof list[i].portName);
        const std::string description = vbprog::describeSystemPort(name);
        if (description.empty())
            std::printf("%s\n", name.c_str());
        else
            std::printf("%s\t%s\n", name.c_str(), description.c_str());
    }
    deleteInterfaceList();
    if (count <= 0)
        std::fprintf(stderr, "vorna-flash: No serial port found; plug in the module's USB-serial adapter and try again.\n");
    return vf::EXIT_OK;
}

// --- connection and identifiers ----------------------------------------------------------

struct Module {
    uint16_t pid = 0;
    std::string name;
    std::string devEUI, joinEUI, appKey;
};

int readArea(unsigned int address, unsigned int size, std::string& hex)
{
    unsigned char* data = nullptr;
    const int rc = readMemory(address, &data, size);
    if (rc != PROG_OK)
        return rc;
    if (!data)
        return PROG_ERR_READ;
    hex = vf::toHex(data, size);
    return PROG_OK;
}

int connectModule(const std::string& port, Module& module)
{
    const int rc = connectUsartBootloader(portRecord(port));
    if (rc != PROG_OK) {
        disconnect();
        return rc;
    }
    if (const generalInf* info = getDeviceGeneralInf()) {
        module.pid = info->deviceId;
        module.name = boundedText(info->name, sizeof info->name);
    }
    return PROG_OK;
}

int readIdentifiers(Module& module)
{
    int rc = readArea(DEV_EUI_ADRESS, DEV_EUI_SIZE, module.devEUI);
    if (rc == PROG_OK)
        rc = readArea(JOIN_EUI_ADRESS, JOIN_EUI_SIZE, module.joinEUI);
    if (rc == PROG_OK)
        rc = readArea(APP_KEY_ADRESS, APP_KEY_SIZE, module.appKey);
    if (rc != PROG_OK)
        module.devEUI.clear(), module.joinEUI.clear(), module.appKey.clear();
    return rc;
}

// Opens the bench log before the module is touched, so that a log that cannot be
// written stops the run instead of losing the row of a flashed module.
bool openLog(const vf::Options& o, vf::BenchLog& log)
{
    if (o.logPath.empty())
        return true;
    std::string why;
    if (!log.open(o.logPath, why)) {
        fail("Cannot write the log file " + o.logPath + " (" + why + "); give a writable path to --log.");
        return false;
    }
    return true;
}

bool writeLog(const vf::Options& o, vf::BenchLog& log, const Module& module, const std::string& sha256, int status,
              double seconds)
{
    if (!log.isOpen())
        return true;
    vf::LogRow row;
    row.timeUtc = vf::utcTimestamp();
    row.port = o.port;
    row.productId = module.pid ? pidText(module.pid) : std::string();
    row.devEUI = module.devEUI;
    row.joinEUI = module.joinEUI;
    row.appKey = module.appKey;
    row.file = o.file;
    row.sha256 = sha256;
    row.result = vf::statusName(status);
    row.seconds = seconds;
    std::string why;
    if (!log.append(row, why)) {
        fail("Cannot append to the log file " + o.logPath + " (" + why + "); this module's row is missing from it.");
        return false;
    }
    return true;
}

int finish(const vf::Options& o, vf::BenchLog& log, const Module& module, const std::string& sha256, int status,
           double seconds, vf::Step step)
{
    if (status != PROG_OK)
        fail(vf::failureSentence(status, {step, o.port, o.file}));
    const bool logged = writeLog(o, log, module, sha256, status, seconds);
    if (status != PROG_OK)
        return vf::exitStatusFor(status);
    return logged ? vf::EXIT_OK : vf::EXIT_USAGE;
}

int runKeys(const vf::Options& o)
{
    vf::BenchLog log;
    if (!openLog(o, log))
        return vf::EXIT_USAGE;
    const auto start = std::chrono::steady_clock::now();
    Module module;
    int rc = connectModule(o.port, module);
    vf::Step step = vf::Step::Connect;
    if (rc == PROG_OK) {
        step = vf::Step::ReadKeys;
        rc = readIdentifiers(module);
        disconnect();
    }
    const double seconds = secondsSince(start);
    if (rc == PROG_OK) {
        if (o.json) {
            std::printf("{\"port\":%s,\"device\":{\"name\":%s,\"pid\":%s},\"devEUI\":%s,\"joinEUI\":%s,\"appKey\":%s}\n",
                        vf::jsonString(o.port).c_str(), vf::jsonString(module.name).c_str(),
                        vf::jsonString(pidText(module.pid)).c_str(), vf::jsonString(module.devEUI).c_str(),
                        vf::jsonString(module.joinEUI).c_str(), vf::jsonString(module.appKey).c_str());
        } else {
            std::printf("DevEUI: %s\nJoinEUI: %s\nAppKey: %s\n", module.devEUI.c_str(), module.joinEUI.c_str(),
                        module.appKey.c_str());
        }
        std::fflush(stdout);
    }
    return finish(o, log, module, {}, rc, seconds, step);
}

// --- flash -----------------------------------------------------------------------------

// Bytes the file puts into flash, as the library reads the file; 0 for a file it refuses.
std::size_t dataBytes(const std::string& content, const std::string& fileName)
{
    switch (vbprog::fileFormatOf(fileName)) {
    case vbprog::FileFormat::Binary:
        return content.size();
    case vbprog::FileFormat::IntelHex: {
        const vbprog::ParseResult parsed = vbprog::parseIntelHex(content);
        return parsed.ok ? std::size_t(parsed.image.byteCount()) : 0;
    }
    default:
        return 0;
    }
}

void printFlashJson(int status, std::size_t bytes, double seconds)
{
    std::printf("{\"result\":%s,\"code\":%d,\"bytes\":%zu,\"seconds\":%.3f}\n", vf::jsonString(vf::statusName(status)).c_str(),
                status, bytes, seconds);
    std::fflush(stdout);
}

int runFlash(const vf::Options& o)
{
    vf::BenchLog log;
    if (!openLog(o, log))
        return vf::EXIT_USAGE;
    const auto start = std::chrono::steady_clock::now();
    Module module;

    // The file is read here as well as by the library: the log names it by its SHA-256,
    // and a missing file is reported before the module is touched.
    std::string content;
    std::string sha256;
    std::size_t bytes = 0;
    int rc = PROG_OK;
    const auto widePath = vbprog::utf8ToWide(o.file);
    {
        struct stat st;
        std::ifstream in;
        const bool regular = widePath && ::stat(o.file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (regular && std::size_t(st.st_size) <= MAX_FIRMWARE_FILE)
            in.open(o.file, std::ios::binary);
        if (regular && std::size_t(st.st_size) > MAX_FIRMWARE_FILE) {
            rc = PROG_ERR_FILE_INVALID;
        } else if (!in.is_open()) {
            rc = PROG_ERR_FILE_MISSING;
        } else {
            std::ostringstream buffer;
            buffer << in.rdbuf();
            content = buffer.str();
            if (in.bad())
                rc = PROG_ERR_FILE_MISSING;
            else if (content.size() > MAX_FIRMWARE_FILE)
                rc = PROG_ERR_FILE_INVALID;
        }
    }
    if (rc == PROG_OK) {
        sha256 = vf::Sha256::hexDigest(content.data(), content.size());
        bytes = dataBytes(content, o.file);
    }

    vf::Step step = vf::Step::Download;
    if (rc == PROG_OK) {
        step = vf::Step::Connect;
        rc = connectModule(o.port, module);
        if (rc == PROG_OK && log.isOpen()) {
            step = vf::Step::ReadKeys;
            rc = readIdentifiers(module);
            if (rc != PROG_OK)
                disconnect();
        }
        if (rc == PROG_OK) {
            step = vf::Step::Download;
            {
                std::lock_guard<std::mutex> g(console.mutex);
                console.showProgress = isatty(STDERR_FILENO) == 1;
                console.verify = o.verify;
                console.pass = 0;
            }
            rc = downloadFile(widePath->c_str(), APPLICATION_ADRESS, 0, o.verify ? 1 : 0, L"");
            finishProgress();
            disconnect();
        }
    }
    const double seconds = secondsSince(start);
    if (o.json)
        printFlashJson(rc, bytes, seconds);
    else if (rc == PROG_OK)
        std::printf("Flashed %zu bytes%s in %.1f s.\n", bytes, o.verify ? " with verification" : " without verification",
                    seconds);
    return finish(o, log, module, sha256, rc, seconds, step);
}

}  // namespace

int main(int argc, char** argv)
{
    const vf::ParsedCommandLine cl = vf::parseCommandLine(argc, argv);
    if (!cl.ok) {
        std::fprintf(stderr, "vorna-flash: %s\n", cl.error.c_str());
        return vf::EXIT_USAGE;
    }
    const vf::Options& o = cl.options;
    if (o.command == vf::Command::Help || o.command == vf::Command::Version) {
        std::fputs(o.command == vf::Command::Help ? vf::usageText() : vf::versionText(), stdout);
        return vf::EXIT_OK;
    }

    console.verbose = o.verbose;
    displayCallBacks callbacks{onInitProgressBar, onLogMessage, onLoadBar};
    setDisplayCallbacks(callbacks);
    setVerbosityLevel(o.verbose ? 3 : 1);

    switch (o.command) {
    case vf::Command::Ports:
        return runPorts();
    case vf::Command::Keys:
        return runKeys(o);
    case vf::Command::Flash:
        return runFlash(o);
    case vf::Command::Help:
    case vf::Command::Version:
        break;
    }
    return vf::EXIT_OK;
}
