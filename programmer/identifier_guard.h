// The page that holds DevEUI, JoinEUI and AppKey, kept through a download. No plan ever
// erases or writes it, but a misread product ID or an erase list damaged on the line can;
// so a copy is read before the first erase, the identifier block is compared after the
// erase phase and after the last write, and a changed page is put back exactly as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bootloader_client.h"
#include "device_table.h"
#include "flash_layout.h"
#include "progress.h"

namespace vbprog {

// "DevEUI 70b3d57ed005a1b2, JoinEUI 70b3d57ed0000001, AppKey 2b7e...": a 32-byte block.
std::string identifiersText(const uint8_t* block);

class IdentifierGuard {
public:
    explicit IdentifierGuard(BootloaderClient& client) : client_(client) {}

    // Reads the whole page, every block twice. Throws ProgError when it cannot be read
    // consistently; nothing has been changed then.
    void save(const DeviceInfo& device, bool extendedErase);
    bool isSaved() const { return !page_.empty(); }

    // Reads the identifier block back after `phase` ("the erase", "the last write").
    // PROG_OK when it equals the copy. Otherwise puts the saved page back and returns
    // PROG_ERR_IDENTIFIERS; when the block cannot be read, the reading failure's status.
    // Either way `message` says what happened, whether the page was restored, and the saved
    // identifiers.
    // A restore is reported to `report` as the Restore phase.
    int check(const std::string& phase, std::string& message, const ProgressReport& report = {});

    const std::vector<uint8_t>& page() const { return page_; }
    std::string savedIdentifiers() const;
    // Time the guard took so far: the copy, the checks and any restore.
    double seconds() const { return seconds_; }

private:
    std::vector<uint8_t> readTwice(uint32_t address, uint32_t length);
    // Writes the saved page back, erasing only what needs it; false with `why` on failure.
    bool restore(std::string& why, const ProgressReport& report);
    bool restoreUnits(std::string& why, const std::function<void(ProgressEvent::State, uint64_t)>& tell);

    BootloaderClient& client_;
    const DeviceInfo* device_ = nullptr;
    bool extended_ = true;
    std::vector<uint8_t> page_;
    double seconds_ = 0;
};

}  // namespace vbprog
