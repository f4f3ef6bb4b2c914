// Motorola S-record reader.
#pragma once

#include <string_view>

#include "firmware_image.h"

namespace vbprog {

// S0 header (first, if at all), S1/S2/S3 data with 16-, 24- and 32-bit addresses, S5/S6
// record counts (checked where present), S7/S8/S9 termination with the start address.
// Checksums, lengths and overlaps as strict as the Intel HEX reader, the same line ends, and
// refusals that name the line ("line N: ...").
Result<FirmwareImage> parseSRecords(std::string_view text);

}  // namespace vbprog
