// The page that holds DevEUI, JoinEUI and AppKey, kept through a download. No plan ever
// erases or writes it, but a misread product ID or an erase list damaged on the line can;
// so a copy is read before the first erase, every byte of it is known unchanged after the
// erase phase and after the last write, and a changed page is put back exactly as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bootloader_client.h"
#include "device_identity.h"
#include "device_table.h"
#include "flash_layout.h"
#include "progress.h"
#include "result.h"

namespace vbprog {

// "DevEUI 70b3d57ed005a1b2, JoinEUI 70b3d57ed0000001, AppKey 2b7e...": a 32-byte block.
std::string identifiersText(const uint8_t* block);

// Offset and length in the saved page of one read.
struct GuardSpan {
    uint32_t offset;
    uint32_t length;
};

// The reads that tell whether any erase unit of `page` (the saved copy, starting at the
// start of flash) was erased: per unit one byte the copy holds as non-erased, none for a
// unit that is all erased; witnesses close together joined into one read.
std::vector<GuardSpan> eraseWitnesses(const std::vector<uint8_t>& page, const DeviceInfo& device);

// Whether `now` can be the page the copy `saved` was read from after erases only: every byte
// equal to the copy or erased. For a chip whose unique ID is not known, a page that fails
// this may be another module's.
bool explainedByErases(const std::vector<uint8_t>& saved, const std::vector<uint8_t>& now, uint8_t erased);

class IdentifierGuard {
public:
    explicit IdentifierGuard(BootloaderClient& client) : client_(client) {}

    // Reads the whole page, every block twice, and the chip's unique ID where the device
    // table knows it. Throws ProgError when it cannot be read consistently; nothing has been
    // changed then.
    void save(const DeviceInfo& device, bool extendedErase);
    bool isSaved() const { return !page_.empty(); }

    // What may have happened since the copy: only erases (one byte per erase unit that the
    // copy holds as non-erased tells whether that unit was erased), or writes too (a write
    // sent astray can land anywhere: the whole page is compared).
    enum class Since { Erases, Writes };

    // Reads back what `since` needs after `phase` ("the erase", "the last write").
    // PROG_OK when it equals the copy. Otherwise puts the saved page back and returns
    // PROG_ERR_IDENTIFIERS; when the block cannot be read, the reading failure's status.
    // Either way `message` says what happened, whether the page was restored, and the saved
    // identifiers.
    // The page goes back only onto the chip it was read from: its unique ID is read again
    // before each erase unit is restored and after the last compare; another one throws
    // ProgError(PROG_ERR_MODULE_CHANGED) with nothing written. Without a unique ID a page
    // that erases alone cannot explain is not written back.
    // A restore is reported to `report` as the Restore phase.
    int check(Since since, const std::string& phase, std::string& message, const ProgressReport& report = {});


    const std::vector<uint8_t>& page() const { return page_; }
    const std::optional<UniqueId>& uniqueId() const { return uid_; }
    // Whether the last check() put the page back and found it equal on the same chip.
    bool restored() const { return restored_; }
    std::string savedIdentifiers() const;
    // Time the guard took so far: the copy, the checks and any restore.
    double seconds() const { return seconds_; }

private:
    // The first offset in `span` that reads different from the copy; a difference is read
    // again on a realigned line before it is believed. -1 when equal.
    long firstDifference(const GuardSpan& span, std::vector<uint8_t>& found);
    std::vector<uint8_t> readTwice(uint32_t address, uint32_t length);
    // Throws PROG_ERR_MODULE_CHANGED unless the chip's unique ID is the saved one (none known:
    // nothing to check).
    void expectSameChip(const char* before);
    // Writes the saved page back, erasing only what needs it. Throws PROG_ERR_MODULE_CHANGED
    // when another chip answers.
    Result<void> restore(const ProgressReport& report);
    Result<void> restoreUnits(const std::function<void(ProgressEvent::State, uint64_t)>& tell);
    // One erase unit at `off` back to the copy: read, erased if needed, written. Throws.
    void restoreUnit(uint32_t off, uint32_t len);

    BootloaderClient& client_;
    const DeviceInfo* device_ = nullptr;
    bool extended_ = true;
    std::vector<uint8_t> page_;
    std::optional<UniqueId> uid_;
    bool restored_ = false;
    double seconds_ = 0;
};

}  // namespace vbprog
