// Firmware image: a firmware file turned into the address ranges that carry data.
// Nothing here knows about devices; the download plan decides what may go where.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vbprog {

class FirmwareImage {
public:
    // Contiguous runs of data, keyed by start address; never overlapping or touching.
    using Segments = std::map<uint32_t, std::vector<uint8_t>>;

    const Segments& segments() const { return segments_; }
    bool empty() const { return segments_.empty(); }
    uint64_t byteCount() const;
    uint32_t lowestAddress() const;         // image must not be empty
    uint64_t endAddress() const;            // one past the highest byte

    // Copies the image bytes that fall into [address, address + out.size()) over `out`;
    // addresses without data keep what `out` held.
    void overlay(uint32_t address, std::vector<uint8_t>& out) const;

    // Source line of the record that put `address` into the image; 0 when unknown.
    int lineOf(uint32_t address) const;

    std::optional<uint32_t> startAddress;   // from a 03/05 record, if any
    std::vector<std::string> warnings;      // accepted oddities, one text each

    // Building. Both return false (and set *conflict to the old byte) when a byte is
    // already set to another value.
    bool add(uint32_t address, const uint8_t* data, size_t length, int line,
             uint32_t* conflictAddress = nullptr, uint8_t* conflictOld = nullptr, uint8_t* conflictNew = nullptr);

private:
    friend struct ImageAssembly;   // the HEX reader's one-pass builder

    struct Origin {
        uint32_t address;
        uint32_t length;
        int line;
    };
    Segments segments_;
    std::vector<Origin> origins_;
    bool sameBytesWarned_ = false;
};

enum class FileFormat { IntelHex, Binary, Unsupported };

// By the file name's extension, in any case: .hex, .ihx or .ihex, and .bin.
FileFormat fileFormatOf(std::string_view fileName);

// Intel HEX (all six record types, checksums, CRLF/LF/CR line ends). A refusal is
// kFileInvalid with "line N: ..." (and `line` N) or a reason of the whole file (`line` 0).
Result<FirmwareImage> parseIntelHex(std::string_view text);

// A raw binary image placed at `address`.
Result<FirmwareImage> loadBinary(std::string_view bytes, uint32_t address);

}  // namespace vbprog
