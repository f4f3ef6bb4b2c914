// The programming library's interface: the one contract between the tool and whichever
// programming library is linked (ours in the program, a scriptable fake in the tests).
//
// Records have the library's exact binary layout (little-endian, checked below), because
// callers copy them whole and hand them back by value.
#pragma once

#include <cstddef>
#include <cstdint>

enum usartParity : uint32_t {
    EVEN = 0,
    ODD = 1,
    NONE = 2,
};

enum usartFlowControl : uint32_t {
    OFF = 0,
    HARDWARE = 1,
    SOFTWARE = 2,
};

// Message types of the display callback and of the tool's own console log.
enum MSGTYPE : uint32_t {
    Normal = 0,
    Info = 1,
    GreenInfo = 2,
    Title = 3,
    Warning = 4,
    Error = 5,
    Verbosity_1 = 6,
    Verbosity_2 = 7,
    Verbosity_3 = 8,
    GreenInfoNoPopup = 9,
    WarningNoPopup = 10,
    ErrorNoPopup = 11,
};

struct usartConnectParameters {
    char portName[100];            // NUL-terminated
    uint32_t baudrate;
    usartParity parity;
    uint8_t dataBits;
    float stopBits;
    usartFlowControl flowControl;
    uint8_t noinitBits;
};

struct generalInf {
    uint16_t deviceId;             // product ID from Get ID, e.g. 0x497
    int32_t flashSize;             // bytes
    char type[4];                  // NUL-terminated texts from here on
    char cpu[20];
    char name[100];
    char series[100];
    char description[150];
    char revisionId[100];
};

struct displayCallBacks {
    void (*initProgressBar)();
    void (*logMessage)(int msgType, const wchar_t* str);
    void (*loadBar)(int progress, int total);
};

static_assert(sizeof(float) == 4, "stopBits is a 32-bit float");
static_assert(sizeof(usartConnectParameters) == 124, "port record layout");
static_assert(offsetof(usartConnectParameters, portName) == 0, "port record layout");
static_assert(offsetof(usartConnectParameters, baudrate) == 100, "port record layout");
static_assert(offsetof(usartConnectParameters, parity) == 104, "port record layout");
static_assert(offsetof(usartConnectParameters, dataBits) == 108, "port record layout");
static_assert(offsetof(usartConnectParameters, stopBits) == 112, "port record layout");
static_assert(offsetof(usartConnectParameters, flowControl) == 116, "port record layout");
static_assert(offsetof(usartConnectParameters, noinitBits) == 120, "port record layout");

static_assert(sizeof(generalInf) == 484, "device record layout");
static_assert(offsetof(generalInf, deviceId) == 0, "device record layout");
static_assert(offsetof(generalInf, flashSize) == 4, "device record layout");
static_assert(offsetof(generalInf, type) == 8, "device record layout");
static_assert(offsetof(generalInf, cpu) == 12, "device record layout");
static_assert(offsetof(generalInf, name) == 32, "device record layout");
static_assert(offsetof(generalInf, series) == 132, "device record layout");
static_assert(offsetof(generalInf, description) == 232, "device record layout");
static_assert(offsetof(generalInf, revisionId) == 382, "device record layout");

// Status codes. Every int-returning function returns one of these; 0 is success.
// The window tells apart only PROG_ERR_WRITE_VERIFY (-10); the command-line tool maps
// them to its exit statuses.
enum ProgrammerStatus : int {
    PROG_OK = 0,
    PROG_ERR_NOT_CONNECTED = -1,     // no bootloader connection is open
    PROG_ERR_NO_ANSWER = -2,         // port opened, but no bootloader answered the sync
                                     // (not in bootloader mode, wrong port, or no even parity)
    PROG_ERR_PORT_OPEN = -3,         // the port cannot be opened or configured
    PROG_ERR_FILE_MISSING = -4,      // the firmware file cannot be opened
    PROG_ERR_DEVICE_UNSUPPORTED = -5,// product ID unknown, or its erase unit would hit the guarded area
    PROG_ERR_LINK_LOST = -6,         // the bootloader stopped answering during an operation
    PROG_ERR_FILE_INVALID = -7,      // malformed or unsupported file
    PROG_ERR_BAD_ARGUMENT = -8,      // null pointer, zero size and the like
    PROG_ERR_READ = -9,              // a read was refused
    PROG_ERR_WRITE_VERIFY = -10,     // a write was refused, or read-back differs
    PROG_ERR_ERASE = -11,            // an erase was refused
    PROG_ERR_OUT_OF_RANGE = -12,     // data outside the flash, or below the start address
    PROG_ERR_PROTECTED = -13,        // readout protection is active
    PROG_ERR_IDENTIFIERS = -14,      // the identifier page changed during a download; the message says
                                     // whether the saved page was put back, and gives the identifiers
    PROG_ERR_IDENTITY = -15,         // the module's answers about itself disagree (product ID, bootloader,
                                     // flash size): nothing is erased on a guessed layout
    PROG_ERR_MODULE_CHANGED = -16,   // the bootloader restarted mid-session (a reset, a brown-out or another
                                     // module) and the module could not be identified as the same chip:
                                     // nothing more was written to it
};

#if defined(_WIN32)
#define PROGRAMMER_API_CALL __cdecl
#else
#define PROGRAMMER_API_CALL
#endif

extern "C" {

// Registers the three callbacks; later calls may invoke them on whichever thread is
// inside the library.
void PROGRAMMER_API_CALL setDisplayCallbacks(displayCallBacks callbacks);

// The library's own message verbosity (0 quiet .. 3 everything).
void PROGRAMMER_API_CALL setVerbosityLevel(int level);

// Lists the serial ports. Stores a pointer to `count` library-owned records in *usartList
// and returns count (0 when there is none; *usartList may then be null). The records stay
// valid until the next getUsartList or deleteInterfaceList.
int PROGRAMMER_API_CALL getUsartList(usartConnectParameters** usartList);

// Where external loaders would be found; kept for interface compatibility.
void PROGRAMMER_API_CALL setLoadersPath(const char* path);

// Opens the port of the record, synchronises with the bootloader and identifies the device.
// 0 when connected; the link then stays open until disconnect().
int PROGRAMMER_API_CALL connectUsartBootloader(usartConnectParameters usartParameters);

// Library-owned information on the connected device; null when nothing is connected.
generalInf* PROGRAMMER_API_CALL getDeviceGeneralInf();

// Reads `size` bytes at `address`. On success *data points to a library-owned buffer of that
// many bytes, valid until the next readMemory or disconnect(); callers never free it.
// On failure *data is left unchanged.
int PROGRAMMER_API_CALL readMemory(unsigned int address, unsigned char** data, unsigned int size);

// Downloads a firmware file (Intel HEX, or .bin placed at `address`) over the open link.
// Nothing below `address` is ever erased or written. skipErase 0 erases the pages the image
// touches first; verify 1 reads everything back and compares. Progress goes to loadBar.
// `binPath` is unused (empty text). 0 success, PROG_ERR_WRITE_VERIFY for a refused write or
// a mismatch, another negative code for any other failure.
int PROGRAMMER_API_CALL downloadFile(const wchar_t* filePath, unsigned int address, unsigned int skipErase,
                                     unsigned int verify, const wchar_t* binPath);

// Starts the code at `address` (Go). The bootloader leaves, so the link is closed afterwards.
int PROGRAMMER_API_CALL execute(unsigned int address);

// Closes the link; does nothing when none is open.
void PROGRAMMER_API_CALL disconnect();

// Releases the list of getUsartList.
void PROGRAMMER_API_CALL deleteInterfaceList();

// An extension of this library: what went wrong in the last call of connectUsartBootloader,
// readMemory, downloadFile or execute, as the error message the display callback got; empty
// when that call succeeded. Library-owned, valid until the next of those calls.
const wchar_t* PROGRAMMER_API_CALL getLastErrorMessage();

}  // extern "C"
