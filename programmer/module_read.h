// Reading a module without changing it: its flash compared with a firmware image, or a range
// of its memory read whole. Both go through the session's reads only; no erase or write
// command is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "flash_session.h"
#include "status.h"

namespace vbprog {

struct CompareReport {
    uint64_t compared = 0;                    // bytes of the image read back so far
    uint64_t differing = 0;                   // of those, bytes the flash holds otherwise
    std::optional<uint32_t> firstDifference;  // lowest address that differs
};

// Reads the flash under every byte of `image` and compares. Read answers carry no checksum,
// so a block that differs is read again, and a third time when the two disagree, each byte
// taken as two of the three reads say: a byte garbled on the line is not reported as the
// flash's. kOk whether or not bytes differ (the report says); a failed read's status otherwise.
// Progress as Phase::Verify, in bytes.
int compareWithFlash(FlashSession& session, const FirmwareImage& image, CompareReport& report,
                     const ProgressReport& progress);

// Reads [address, address + size) into `out` (resized to what was read), with progress as
// Phase::Read, in bytes.
int readModuleMemory(FlashSession& session, uint32_t address, uint32_t size, std::vector<uint8_t>& out,
                     const ProgressReport& progress);

}  // namespace vbprog
