// Download plan: from an image and a device, which pages to erase and which blocks to write
// and read back. Every refusal happens here, before the device is touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bootloader_client.h"
#include "device_table.h"
#include "firmware_image.h"
#include "flash_layout.h"

namespace vbprog {

// Flash that no plan may erase or write, and what it holds ("the device identifiers").
struct ProtectedRange {
    uint32_t start;
    uint32_t end;   // one past
    std::string holds;
};

// The module's: its identifier block.
const std::vector<ProtectedRange>& moduleProtectedRanges();

struct WriteBlock {
    uint32_t address;
    std::vector<uint8_t> data;     // multiple of the write unit, inside one 256-byte row
};

struct DownloadPlan {
    std::vector<uint32_t> pages;   // erase page numbers, ascending, each once
    std::vector<WriteBlock> blocks;
    uint64_t bytesToWrite = 0;     // sum of the block sizes (data plus padding)
    uint64_t dataBytes = 0;        // bytes the file carries
};

// `flashSize` is the device's actual flash in bytes; `startAddress` the lowest address the
// download may touch (the application start). `erase` false leaves pages alone. No block
// written and no page erased overlaps a range of `keep`.
Result<DownloadPlan> makeDownloadPlan(const FirmwareImage& image, const DeviceInfo& device, uint32_t flashSize,
                                      uint32_t startAddress, bool erase,
                                      const std::vector<ProtectedRange>& keep = moduleProtectedRanges());

// What can be known of a placement before any device is known: data present, nothing below
// `startAddress`, nothing beyond the largest flash of the device table; the refusal
// otherwise; the plan checks the connected device's own flash later.
Result<void> checkPlacement(const FirmwareImage& image, uint32_t startAddress);

// Page numbers split into runs of at most `maxPerCommand`, for one erase command each.
std::vector<std::vector<uint32_t>> splitPages(const std::vector<uint32_t>& pages, size_t maxPerCommand);

}  // namespace vbprog
