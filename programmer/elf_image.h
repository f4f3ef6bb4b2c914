// ELF reader: a linked 32-bit little-endian ARM program turned into the bytes its loadable
// segments carry, each at its load address.
#pragma once

#include <string_view>

#include "firmware_image.h"

namespace vbprog {

// Every PT_LOAD segment with file bytes, placed at its physical (load) address: a .data
// section that runs in RAM is written where the start-up code copies it from. Refused, with
// one sentence naming the segment: a header or table the file does not hold, a segment that
// loads into RAM, segments that overlap, and anything but a 32-bit little-endian ARM
// executable. Never reads outside `bytes`.
Result<FirmwareImage> parseElf(std::string_view bytes);

}  // namespace vbprog
