// Which reader a firmware file needs: told by its content, not by its name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "firmware_image.h"

namespace vbprog {

// ELF by its magic number, Intel HEX by a first line that starts with ':', S-records by one
// that starts with S0..S9 (blank lines and a UTF-8 byte-order mark before it skipped);
// Binary for anything else.
FileFormat formatOfContent(std::string_view bytes);

// "ELF", "Intel HEX", "Motorola S-records", "binary".
const char* formatName(FileFormat format);

struct FirmwareRead {
    FileFormat format = FileFormat::Binary;   // the reader used
    FirmwareImage image;
};

// The reader the content asks for. Content of none of the three formats is read as the
// format its name claims (so a damaged app.hex is refused as HEX), else as a raw binary
// placed at `binAddress`, unless it is text and not named .bin: a text file of no known
// format is never written to a module. A refusal (kFileInvalid) names `fileName`.
Result<FirmwareRead> parseFirmware(std::string_view content, std::string_view fileName, uint32_t binAddress);

}  // namespace vbprog
