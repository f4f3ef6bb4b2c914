#include "fakeprog.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

struct State {
    std::vector<usartConnectParameters> ports;
    int connectResult = 0;
    std::deque<int> connectQueue;
    std::vector<std::pair<int, std::wstring>> connectMessages;
    generalInf deviceInfo{};
    std::map<unsigned int, unsigned char> memory;
    int readResult = 0;
    int downloadResult = 0;
    std::vector<std::pair<int, int>> progress;
    std::vector<std::pair<int, std::wstring>> messages;
    std::chrono::milliseconds delay{0};
    bool hold = false;
    int downloadsInside = 0;
    int downloadsStarted = 0;
    int executeResult = 0;
    // The last error message the last call that can fail told, as the real library keeps it.
    std::wstring lastError;

    bool connected = false;
    int verbosity = -1;
    displayCallBacks callbacks{nullptr, nullptr, nullptr};
    std::string loaders;

    std::vector<fakeprog::Call> calls;
    std::vector<fakeprog::DownloadCall> downloads;
    std::vector<usartConnectParameters> connectRecords;

    // Handed out to the caller; freed as the library's contract allows.
    usartConnectParameters* list = nullptr;
    std::size_t listSize = 0;
    unsigned char* readBuffer = nullptr;
    generalInf handedInfo{};
};

std::mutex mutex;
std::condition_variable gate;
State state;

// The error a call's scripted messages carry: the last of the error kinds, trimmed.
std::wstring errorOf(const std::vector<std::pair<int, std::wstring>>& messages)
{
    std::wstring error;
    for (const auto& [type, text] : messages) {
        if (type != Error && type != ErrorNoPopup)
            continue;
        const size_t first = text.find_first_not_of(L" \t\r\n");
        if (first != std::wstring::npos)
            error = text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
    }
    return error;
}

void freeList()
{
    if (state.list) {
        // Poisoned before it goes, so a stale read that slips past the sanitizer still shows.
        std::memset(static_cast<void*>(state.list), 0xA5, state.listSize * sizeof(usartConnectParameters));
        delete[] state.list;
    }
    state.list = nullptr;
    state.listSize = 0;
}

void freeReadBuffer()
{
    delete[] state.readBuffer;
    state.readBuffer = nullptr;
}

usartConnectParameters makeRecord(const std::string& name)
{
    usartConnectParameters record;
    std::memset(&record, 0, sizeof record);
    std::snprintf(record.portName, sizeof record.portName, "%s", name.c_str());
    record.baudrate = 115200;
    record.parity = EVEN;
    record.dataBits = 8;
    record.stopBits = 1.0f;
    record.flowControl = OFF;
    record.noinitBits = 0;
    return record;
}

std::string hex(unsigned int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text)
        out += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
    return out;
}

void record(const std::string& name, const std::string& args = std::string())
{
    state.calls.push_back({name, args});
}

}  // namespace

namespace fakeprog {

generalInf defaultDeviceInfo()
{
    generalInf info;
    std::memset(&info, 0, sizeof info);
    info.deviceId = 0x497;
    info.flashSize = 256 * 1024;
    std::snprintf(info.type, sizeof info.type, "%s", "MCU");
    std::snprintf(info.cpu, sizeof info.cpu, "%s", "Cortex-M4");
    std::snprintf(info.name, sizeof info.name, "%s", "STM32WLxx");
    std::snprintf(info.series, sizeof info.series, "%s", "STM32WL");
    std::snprintf(info.description, sizeof info.description, "%s", "ARM 32-bit Cortex-M4 based device");
    std::snprintf(info.revisionId, sizeof info.revisionId, "%s", "Rev Z");
    return info;
}

void reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    freeList();
    freeReadBuffer();
    state.ports.clear();
    state.connectResult = 0;
    state.connectQueue.clear();
    state.connectMessages.clear();
    state.deviceInfo = defaultDeviceInfo();
    state.memory.clear();
    state.readResult = 0;
    state.downloadResult = 0;
    state.progress.clear();
    state.messages.clear();
    state.delay = std::chrono::milliseconds(0);
    state.hold = false;
    state.downloadsStarted = 0;
    state.executeResult = 0;
    state.connected = false;
    state.verbosity = -1;
    state.callbacks = displayCallBacks{nullptr, nullptr, nullptr};
    state.loaders.clear();
    state.calls.clear();
    state.downloads.clear();
    state.connectRecords.clear();
    gate.notify_all();
}

void setPorts(const std::vector<std::string>& names)
{
    std::vector<usartConnectParameters> records;
    for (const std::string& name : names)
        records.push_back(makeRecord(name));
    setPortRecords(records);
}

void setPortRecords(const std::vector<usartConnectParameters>& records)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.ports = records;
}

void setConnectResult(int result)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.connectResult = result;
}

void queueConnectResults(const std::vector<int>& results)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.connectQueue.insert(state.connectQueue.end(), results.begin(), results.end());
}

void setConnectMessages(const std::vector<std::pair<int, std::wstring>>& messages)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.connectMessages = messages;
}

void setDeviceInfo(const generalInf& info)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.deviceInfo = info;
}

void setMemory(unsigned int address, const std::vector<unsigned char>& bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        state.memory[address + static_cast<unsigned int>(i)] = bytes[i];
}

void setReadResult(int result)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.readResult = result;
}

void setDownloadResult(int result)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.downloadResult = result;
}

void setDownloadProgress(const std::vector<std::pair<int, int>>& reports)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.progress = reports;
}

void setDownloadMessages(const std::vector<std::pair<int, std::wstring>>& messages)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.messages = messages;
}

void setDownloadDelay(std::chrono::milliseconds perReport)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.delay = perReport;
}

void holdDownloads()
{
    std::lock_guard<std::mutex> lock(mutex);
    state.hold = true;
}

void releaseDownloads()
{
    std::lock_guard<std::mutex> lock(mutex);
    state.hold = false;
    gate.notify_all();
}

bool waitForDownloadStarted(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return gate.wait_for(lock, timeout, [] { return state.downloadsStarted > 0; });
}

void setExecuteResult(int result)
{
    std::lock_guard<std::mutex> lock(mutex);
    state.executeResult = result;
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.calls;
}

std::vector<std::string> callNames()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> names;
    for (const Call& call : state.calls)
        names.push_back(call.name);
    return names;
}

int callCount(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    int count = 0;
    for (const Call& call : state.calls)
        count += call.name == name ? 1 : 0;
    return count;
}

void clearCalls()
{
    std::lock_guard<std::mutex> lock(mutex);
    state.calls.clear();
    state.downloads.clear();
    state.connectRecords.clear();
    state.downloadsStarted = 0;
}

std::vector<DownloadCall> downloads()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.downloads;
}

std::vector<usartConnectParameters> connectRecords()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.connectRecords;
}

bool isConnected()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.connected;
}

int libraryVerbosity()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.verbosity;
}

displayCallBacks registeredCallbacks()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.callbacks;
}

std::string loadersPath()
{
    std::lock_guard<std::mutex> lock(mutex);
    return state.loaders;
}

}  // namespace fakeprog

extern "C" {

void PROGRAMMER_API_CALL setDisplayCallbacks(displayCallBacks callbacks)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("setDisplayCallbacks");
    state.callbacks = callbacks;
}

void PROGRAMMER_API_CALL setVerbosityLevel(int level)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("setVerbosityLevel", std::to_string(level));
    state.verbosity = level;
}

int PROGRAMMER_API_CALL getUsartList(usartConnectParameters** usartList)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("getUsartList");
    if (!usartList)
        return 0;
    freeList();
    if (state.ports.empty()) {
        *usartList = nullptr;
        return 0;
    }
    state.listSize = state.ports.size();
    state.list = new usartConnectParameters[state.listSize];
    std::memcpy(static_cast<void*>(state.list), state.ports.data(), state.listSize * sizeof(usartConnectParameters));
    *usartList = state.list;
    return static_cast<int>(state.listSize);
}

void PROGRAMMER_API_CALL setLoadersPath(const char* path)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("setLoadersPath", path ? path : "(null)");
    state.loaders = path ? path : "";
}

int PROGRAMMER_API_CALL connectUsartBootloader(usartConnectParameters usartParameters)
{
    std::unique_lock<std::mutex> lock(mutex);
    char name[sizeof usartParameters.portName + 1];
    std::memcpy(name, usartParameters.portName, sizeof usartParameters.portName);
    name[sizeof usartParameters.portName] = '\0';
    record("connectUsartBootloader", name);
    state.connectRecords.push_back(usartParameters);
    int result = state.connectResult;
    if (!state.connectQueue.empty()) {
        result = state.connectQueue.front();
        state.connectQueue.pop_front();
    }
    state.connected = result == 0;
    state.lastError = errorOf(state.connectMessages);

    const auto messages = state.connectMessages;
    const displayCallBacks callbacks = state.callbacks;
    lock.unlock();
    for (const auto& message : messages)
        if (callbacks.logMessage)
            callbacks.logMessage(message.first, message.second.c_str());
    return result;
}

generalInf* PROGRAMMER_API_CALL getDeviceGeneralInf()
{
    std::lock_guard<std::mutex> lock(mutex);
    record("getDeviceGeneralInf");
    if (!state.connected)
        return nullptr;
    state.handedInfo = state.deviceInfo;
    return &state.handedInfo;
}

int PROGRAMMER_API_CALL readMemory(unsigned int address, unsigned char** data, unsigned int size)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("readMemory", hex(address) + ", " + std::to_string(size));
    state.lastError.clear();
    if (!data || size == 0)
        return PROG_ERR_BAD_ARGUMENT;
    if (!state.connected)
        return PROG_ERR_NOT_CONNECTED;
    if (state.readResult != 0)
        return state.readResult;
    freeReadBuffer();
    state.readBuffer = new unsigned char[size];
    for (unsigned int i = 0; i < size; ++i) {
        const auto it = state.memory.find(address + i);
        state.readBuffer[i] = it == state.memory.end() ? 0xFF : it->second;
    }
    *data = state.readBuffer;
    return 0;
}

int PROGRAMMER_API_CALL downloadFile(const wchar_t* filePath, unsigned int address, unsigned int skipErase,
                                     unsigned int verify, const wchar_t* binPath)
{
    std::vector<std::pair<int, std::wstring>> messages;
    std::vector<std::pair<int, int>> progress;
    std::chrono::milliseconds delay;
    displayCallBacks callbacks;
    int result;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record("downloadFile", narrow(filePath) + ", " + hex(address) + ", " + std::to_string(skipErase) + ", " +
                                   std::to_string(verify) + ", \"" + narrow(binPath) + "\"");
        fakeprog::DownloadCall call;
        call.path = filePath ? filePath : L"";
        call.address = address;
        call.skipErase = skipErase;
        call.verify = verify;
        call.binPath = binPath ? binPath : L"";
        call.binPathWasNull = binPath == nullptr;
        call.thread = std::this_thread::get_id();
        state.downloads.push_back(call);
        state.lastError = errorOf(state.messages);
        if (!filePath)
            return PROG_ERR_BAD_ARGUMENT;
        if (!state.connected)
            return PROG_ERR_NOT_CONNECTED;
        messages = state.messages;
        progress = state.progress;
        delay = state.delay;
        callbacks = state.callbacks;
        result = state.downloadResult;
        ++state.downloadsInside;
        ++state.downloadsStarted;
        gate.notify_all();
    }

    // Callbacks run unlocked, on this thread, as the real library's do.
    if (callbacks.initProgressBar)
        callbacks.initProgressBar();
    for (const auto& message : messages)
        if (callbacks.logMessage)
            callbacks.logMessage(message.first, message.second.c_str());

    {
        std::unique_lock<std::mutex> lock(mutex);
        gate.wait(lock, [] { return !state.hold; });
    }

    for (const auto& report : progress) {
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        if (callbacks.loadBar)
            callbacks.loadBar(report.first, report.second);
    }

    std::lock_guard<std::mutex> lock(mutex);
    --state.downloadsInside;
    return result;
}

int PROGRAMMER_API_CALL execute(unsigned int address)
{
    std::lock_guard<std::mutex> lock(mutex);
    record("execute", hex(address));
    state.lastError.clear();
    if (!state.connected)
        return PROG_ERR_NOT_CONNECTED;
    // The bootloader has left; the link is gone.
    state.connected = false;
    freeReadBuffer();
    return state.executeResult;
}

void PROGRAMMER_API_CALL disconnect()
{
    std::lock_guard<std::mutex> lock(mutex);
    record("disconnect");
    state.connected = false;
    freeReadBuffer();
}

void PROGRAMMER_API_CALL deleteInterfaceList()
{
    std::lock_guard<std::mutex> lock(mutex);
    record("deleteInterfaceList");
    freeList();
}

const wchar_t* PROGRAMMER_API_CALL getLastErrorMessage()
{
    // Not recorded: asking changes nothing the tests compare.
    std::lock_guard<std::mutex> lock(mutex);
    return state.lastError.c_str();
}

}  // extern "C"
