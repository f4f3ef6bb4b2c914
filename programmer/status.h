// How a library operation ended and how loud a message is, in the library's own words.
// Operations return a Status as an int, 0 for success; session callbacks get a Level. The C
// interface hands the same numbers to the window and checks there that they agree with its
// own.
#pragma once

namespace vbprog {

enum Status : int {
    kOk = 0,
    kNotConnected = -1,       // no bootloader connection is open
    kNoAnswer = -2,           // the port opened, but no bootloader answered the sync
    kPortOpen = -3,           // the port cannot be opened or configured
    kFileMissing = -4,        // the firmware file cannot be opened
    kDeviceUnsupported = -5,  // product ID unknown, or its erase unit would reach the identifiers
    kLinkLost = -6,           // the bootloader stopped answering during an operation
    kFileInvalid = -7,        // malformed or unsupported file
    kBadArgument = -8,        // a null pointer, a zero size and the like
    kReadRefused = -9,        // a read was refused
    kWriteVerify = -10,       // a write was refused, or the read-back differs
    kEraseRefused = -11,      // an erase was refused
    kOutOfRange = -12,        // data outside the flash, or below the start address
    kProtected = -13,         // readout protection is active
    kIdentifiersChanged = -14,// the identifier page changed during a download
    kIdentity = -15,          // the module's answers about itself disagree
    kModuleChanged = -16,     // the bootloader started again and the module was not identified as the same chip
    kDiffers = -17,           // the module's flash differs from the firmware file (a check that writes nothing);
                              // not returned by the C interface, which has no such check
};

// What a message is: shown always, a success, a warning or an error (each also without a
// box in the window), or a detail for a given verbosity.
enum Level : int {
    kNormal = 0,
    kInfo = 1,
    kSuccess = 2,
    kTitle = 3,
    kWarning = 4,
    kError = 5,
    kDetail1 = 6,
    kDetail2 = 7,
    kDetail3 = 8,
    kSuccessQuiet = 9,
    kWarningQuiet = 10,
    kErrorQuiet = 11,
};

}  // namespace vbprog
