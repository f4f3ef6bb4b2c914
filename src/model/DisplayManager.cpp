#include "DisplayManager.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include <QString>

#include "programmer_api.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const int DEFAULT_ATTRIBUTE = 15;
const std::size_t LOG_BUFFER_SIZE = 256;

#if defined(_WIN32)
HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
#endif

std::atomic<unsigned int> verbosityLevel{0};
std::atomic<int> colourOverride{-1};

// The library may report from the download thread while the tool logs; one message at a
// time keeps colour, text and reset together.
std::mutex outputMutex;

#if !defined(_WIN32)
bool coloursWanted()
{
    const int mode = colourOverride.load();
    if (mode >= 0)
        return mode != 0;
    return isatty(fileno(stdout)) != 0;
}

#endif

void setColour(int attribute)
{
#if defined(_WIN32)
    // Text still in the stream buffer must come out in the colour it was written in.
    fflush(stdout);
    SetConsoleTextAttribute(console, static_cast<WORD>(attribute));
#else
    if (coloursWanted())
        fputs(ansiColourSequence(attribute), stdout);
#endif
}

void resetColour()
{
#if defined(_WIN32)
    fflush(stdout);
    SetConsoleTextAttribute(console, static_cast<WORD>(DEFAULT_ATTRIBUTE));
#else
    // The terminal's own default rather than bright white, so a shell is left as it was.
    if (coloursWanted())
        fputs("\033[0m", stdout);
#endif
    fflush(stdout);
}

#if defined(_WIN32)
// A console takes wide text as it is; false when standard output is not one (redirected).
bool writeToConsole(const wchar_t* str)
{
    const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
        return false;
    std::wstring text = str ? str : L"";
    text += L'\n';
    fflush(stdout);
    DWORD written = 0;
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return true;
}
#endif

bool shouldPrint(int msgType)
{
    const unsigned int level = verbosityLevel.load();
    switch (msgType) {
    case Verbosity_1:
        return level != 0;
    case Verbosity_2:
        return level > 1;
    case Verbosity_3:
        return level == 3;
    default:
        return true;
    }
}

// A cut text must not end in the middle of a UTF-8 sequence.
void trimPartialUtf8(char* buffer, std::size_t length)
{
    std::size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(buffer[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0)
        return;
    const unsigned char lead = static_cast<unsigned char>(buffer[start - 1]);
    std::size_t needed = 1;
    if ((lead & 0xE0) == 0xC0)
        needed = 2;
    else if ((lead & 0xF0) == 0xE0)
        needed = 3;
    else if ((lead & 0xF8) == 0xF0)
        needed = 4;
    if (needed > 1 && length - (start - 1) < needed)
        buffer[start - 1] = '\0';
}

}  // namespace

int messageColour(int msgType)
{
    switch (msgType) {
    case Normal:
        return 15;
    case Info:
        return 7;
    case GreenInfo:
        return 2;
    case Title:
        return 11;
    case Warning:
        return 14;
    case Error:
        return 4;
    case Verbosity_1:
    case Verbosity_2:
    case Verbosity_3:
        return 3;
    case GreenInfoNoPopup:
        return 15;
    case WarningNoPopup:
        return 14;
    case ErrorNoPopup:
        return 4;
    default:
        return DEFAULT_ATTRIBUTE;
    }
}

const char* ansiColourSequence(int attribute)
{
    // Console attribute bits: blue 1, green 2, red 4, intensity 8; ANSI colour numbers
    // count red 1, green 2, blue 4.
    static const char* const normal[8] = {"\033[30m", "\033[34m", "\033[32m", "\033[36m",
                                          "\033[31m", "\033[35m", "\033[33m", "\033[37m"};
    static const char* const bright[8] = {"\033[90m", "\033[94m", "\033[92m", "\033[96m",
                                          "\033[91m", "\033[95m", "\033[93m", "\033[97m"};
    const int colour = attribute & 7;
    return (attribute & 8) ? bright[colour] : normal[colour];
}

void setDisplayVerbosity(unsigned int level)
{
    verbosityLevel.store(level);
}

unsigned int displayVerbosity()
{
    return verbosityLevel.load();
}

void setDisplayColourOverride(int mode)
{
    colourOverride.store(mode < 0 ? -1 : (mode ? 1 : 0));
}

void DisplayMessage(int msgType, const wchar_t* str)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    setColour(messageColour(msgType));
    if (shouldPrint(msgType)) {
#if defined(_WIN32)
        if (!writeToConsole(str))
#endif
        {
            // glibc fixes a stream's orientation at its first output, and the C run-time's
            // wide output on Windows drops what the code page lacks; so the library's wide
            // texts are printed narrow, as UTF-8, on the same stream as everything else.
            std::string text;
            if (str)
                text = QString::fromWCharArray(str).toStdString();
            text += '\n';
            fwrite(text.data(), 1, text.size(), stdout);
        }
    }
    resetColour();
}

void logMessage(int msgType, const char* str, ...)
{
    char buffer[LOG_BUFFER_SIZE];
    buffer[0] = '\0';
    if (str) {
        va_list args;
        va_start(args, str);
        const int length = vsnprintf(buffer, sizeof buffer, str, args);
        va_end(args);
        if (length < 0)
            buffer[0] = '\0';
        else if (static_cast<std::size_t>(length) >= sizeof buffer)
            trimPartialUtf8(buffer, sizeof buffer - 1);
    }

    std::lock_guard<std::mutex> lock(outputMutex);
    setColour(messageColour(msgType));
    printf("%s", buffer);
    resetColour();
}

void InitPBar()
{
}

