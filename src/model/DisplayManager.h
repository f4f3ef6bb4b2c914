#pragma once

// The console side of the device layer: the programming library's message and progress-bar
// callbacks, and the tool's own formatted log. Everything goes to standard output, coloured
// per message type (console attributes on Windows, ANSI sequences on a terminal elsewhere,
// plain text when redirected).

#include <QString>

// The library's message callback: the text and a line feed, filtered by verbosity.
void DisplayMessage(int msgType, const wchar_t* str);

// The tool's log, formatted like printf into 256 bytes (longer texts are cut); no line
// feed is added.
void logMessage(int msgType, const char* str, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The library's progress-bar start callback; it writes nothing.
void InitPBar();

// Console text attribute (blue 1, green 2, red 4, intensity 8) of a message type.
int messageColour(int msgType);

// The ANSI sequence that shows a console attribute on a terminal.
const char* ansiColourSequence(int attribute);

// The module's own verbosity (0 by default; nothing in the tool changes it). For tests.
void setDisplayVerbosity(unsigned int level);
unsigned int displayVerbosity();

// Whether colours are written: -1 decides per call (a terminal gets them, a file or pipe
// does not), 0 never, 1 always. For tests.
void setDisplayColourOverride(int mode);
