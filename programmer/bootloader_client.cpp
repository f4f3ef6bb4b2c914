#include "bootloader_client.h"

#include <algorithm>

#include "status.h"
#include "text_format.h"

namespace vbprog {

namespace {

// Base allowance for one answer: USB serial bridges add latency per turnaround.
constexpr Millis kAnswerSlack{500};
// The bootloader answers the sync byte within a millisecond once it runs.
constexpr Millis kSyncWait{300};
// A bootloader at a frame's start answers a complete unknown command within a millisecond;
// silence for this long means the byte opened a frame.
constexpr Millis kParityWait{60};
// A Write Memory block is ACKed after programming; 256 bytes by word on L0 take ~0.2 s.
constexpr Millis kWriteWait{1000};
// Silence after the last byte of a Read Memory answer that tells it came alone.
constexpr Millis kFrameQuiet{5};
// Tries of one write or erase met by line errors: a module that is gone fails them all
// within a few seconds.
constexpr int kFrameAttempts = 3;

// What the client must know of each command it sends. The refusal frames end a wait that a
// lost answer can leave: each is refused for its checksum where the bootloader waits for
// that frame, and read as pairs of refused command bytes where it waits for a command.
// Pages 0xFE and 0xFFFE are far from the identifiers, and 0xFF is what erased flash holds.
struct CommandInfo {
    uint8_t code;
    bool addressed;          // an address frame follows the command byte
    bool protectable;        // refused with readout protection active
    int refusedStatus;       // what a NACK of its address or data means
    std::vector<uint8_t> endAfterCommand;
    std::vector<uint8_t> endAfterAddress;
};

const CommandInfo& commandInfo(uint8_t code)
{
    static const std::vector<uint8_t> kAddressEnd{0x00, 0x00, 0x00, 0x00, 0x01};
    static const CommandInfo table[] = {
        {cmd::ReadMemory, true, true, kReadRefused, kAddressEnd, {0x00, 0x00}},
        {cmd::WriteMemory, true, true, kWriteVerify, kAddressEnd, {0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
        {cmd::Go, true, true, kBadArgument, kAddressEnd, {}},
        {cmd::Erase, false, true, kEraseRefused, {0x00, 0xFE, 0x00}, {}},
        {cmd::ExtendedErase, false, true, kEraseRefused, {0x00, 0x00, 0xFF, 0xFE, 0x00}, {}},
    };
    // Get, Get Version and Get ID: a command byte alone, nothing to end.
    static const CommandInfo question{0, false, false, kLinkLost, {}, {}};
    for (const CommandInfo& c : table)
        if (c.code == code)
            return c;
    return question;
}

std::vector<uint8_t> addressFrame(uint32_t a)
{
    std::vector<uint8_t> f{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    f.push_back(uint8_t(f[0] ^ f[1] ^ f[2] ^ f[3]));
    return f;
}

}  // namespace

bool BootloaderInfo::supports(uint8_t c) const
{
    return std::find(commands.begin(), commands.end(), c) != commands.end();
}

Millis BootloaderClient::eraseTimeout(size_t pages)
{
    // Worst page erase is ~25 ms on L4/WL and ~40 ms on F1; four times that and a second.
    return Millis(1000 + 150 * pages);
}

Millis BootloaderClient::replyTimeout(size_t bytes) const
{
    return kAnswerSlack + link_.wireTime(bytes);
}

void BootloaderClient::writeRaw(const std::vector<uint8_t>& bytes, const char* name)
{
    try {
        link_.write(bytes.data(), bytes.size(), replyTimeout(bytes.size()));
    } catch (const TransportError& e) {
        throw ProgError(kLinkLost, std::string("link lost while sending ") + name + ": " + e.what());
    }
}

void BootloaderClient::readRaw(uint8_t* out, size_t length, Millis timeout, const char* name)
{
    try {
        link_.read(out, length, timeout);
    } catch (const TransportError& e) {
        if (e.kind == TransportError::Damaged)
            throw ProgError(kLinkLost,
                            std::string("the answer to ") + name + " was damaged on the line: " + e.what());
        throw ProgError(kLinkLost, std::string("no answer to ") + name + " (" + e.what() + "): link lost");
    }
}

void BootloaderClient::syncAcknowledged()
{
    if (!watching_)
        return;
    restarted_ = true;
    link_.discardInput();
    throw ProgError(kModuleChanged,
                    "the bootloader on " + link_.portName() +
                        " answered a sync byte with ACK, so it started again (a reset, a brown-out or another module)");
}

bool BootloaderClient::endsRetries(const ProgError& e)
{
    return e.status == kProtected || e.status == kModuleChanged;
}

void BootloaderClient::synchronise(int attempts)
{
    link_.discardInput();
    for (int i = 0; i < attempts; ++i) {
        int b = -1;
        try {
            link_.write(&SYNC, 1, kAnswerSlack);
            b = link_.readByte(kSyncWait + link_.wireTime(2));
        } catch (const TransportError& e) {
            throw ProgError(kLinkLost, std::string("serial port failed during synchronisation: ") + e.what());
        }
        // ACK: freshly synchronised. NACK: already synchronised, the 0x7F ended a pending frame.
        // Silence: the 0x7F started a frame; the next one completes it.
        if (b == ACK)
            syncAcknowledged();
        if (b == ACK || b == NACK) {
            // Some bootloaders send a second ACK.
            link_.discardInput();
            return;
        }
    }
    throw ProgError(kNoAnswer,
                    "No answer from the bootloader on " + link_.portName() + " after " + std::to_string(attempts) +
                        " attempts: the module is not in bootloader mode, this is the wrong port, or the adapter "
                        "does not use even parity");
}

void BootloaderClient::resynchronise()
{
    link_.discardInput();
    const uint8_t probe[2] = {0x7F, 0x80};
    const uint8_t complement = 0x7F;
    int b = -1;
    try {
        link_.write(probe, 2, kAnswerSlack);
        b = link_.readByte(kSyncWait + link_.wireTime(3));
        if (b == ACK) {
            // Reset in between: 0x7F was the sync and 0x80 waits as a command byte; its
            // complement completes that frame, which the bootloader refuses.
            link_.write(&complement, 1, kAnswerSlack);
            b = link_.readByte(kSyncWait + link_.wireTime(2));
            syncAcknowledged();
        }
    } catch (const TransportError& e) {
        throw ProgError(kLinkLost, std::string("serial port failed during synchronisation: ") + e.what());
    }
    // The NACK ends a whole frame and the input was clean before the probe: nothing more
    // is on its way, so there is no quiet time to wait out.
    if (b == NACK)
        return;
    synchronise();
}

int BootloaderClient::answer(Millis timeout, const char* name)
{
    try {
        return link_.readByte(timeout);
    } catch (const TransportError& e) {
        throw ProgError(kLinkLost, std::string("link lost during ") + name + ": " + e.what());
    }
}

void BootloaderClient::expectAck(Millis timeout, uint8_t code, const char* name, Step step, uint32_t address)
{
    const int b = answer(timeout, name);
    if (b != ACK)
        refused(b, code, name, step, address);
}

void BootloaderClient::refused(int b, uint8_t code, const char* name, Step step, uint32_t address)
{
    const CommandInfo& c = commandInfo(code);
    const std::string at = step == Step::Command || !c.addressed ? std::string() : " at " + hex8(address);
    if (b < 0)
        throw ProgError(kLinkLost, std::string("no answer to ") + name + at + ": link lost");
    if (b == Link::kDamagedByte)
        throw ProgError(kLinkLost, std::string("the answer to ") + name + at + " was damaged on the line");
    if (b != NACK)
        throw ProgError(kLinkLost, std::string("unexpected answer ") + hex2(unsigned(b)) + " to " + name + at);

    // NACK. Some products send a second one; it must not pass for the next answer.
    // Step::Command here means a command byte refused twice.
    link_.discardInput();
    if (step == Step::Command && c.protectable)
        throw ProgError(kProtected,
                        std::string(name) + " refused twice, also after a resynchronisation: readout protection is active");
    throw ProgError(c.refusedStatus, std::string(name) + at + " refused (NACK)");
}

void BootloaderClient::dropStale()
{
    irregularities_ += unsigned(link_.dropPending());
}

void BootloaderClient::settle(Millis quiet)
{
    try {
        // Bounded: a line that never goes quiet is dropped in at most 256 bytes' worth of waits.
        for (int i = 0; i < 256 && link_.readByte(quiet) >= 0; ++i)
            ++irregularities_;
    } catch (const TransportError& e) {
        throw ProgError(kLinkLost, std::string("link lost: ") + e.what());
    }
}

void BootloaderClient::realign()
{
    // A bootloader that took a frame whose answer we lost waits for the next one; the
    // resynchronisation's bytes would feed it instead (a page count of 0x7F80 is waited
    // out for ever). A frame it must refuse ends the wait and changes nothing.
    if (!unfinished_.empty()) {
        settle(Millis(20));
        writeRaw(unfinished_, "the end of an unanswered frame");
        unfinished_.clear();
    }
    settle(Millis(20));
    resynchronise();
    // The probe's NACK can come from a frame that its 0x7F completed (a byte of ours lost on
    // the line); its 0x80 then waits as a command byte. A lone 0x7F tells: the complement
    // of that 0x80 is answered at once, else it waits itself and 0x80 completes it.
    const uint8_t half[2] = {0x7F, 0x80};
    try {
        link_.write(&half[0], 1, kAnswerSlack);
        int b = link_.readByte(kParityWait + link_.wireTime(2));
        if (b == ACK)
            syncAcknowledged();
        if (b < 0) {
            link_.write(&half[1], 1, kAnswerSlack);
            b = link_.readByte(kSyncWait + link_.wireTime(2));
        }
        if (b != NACK)
            synchronise();
    } catch (const TransportError& e) {
        throw ProgError(kLinkLost, std::string("serial port failed during synchronisation: ") + e.what());
    }
}

void BootloaderClient::sendCommand(uint8_t code, const char* name)
{
    if (restarted_)
        throw ProgError(kModuleChanged, std::string(name) + " not sent: the module on " + link_.portName() +
                                                     " has not been identified again since its bootloader started again");
    dropStale();
    writeRaw({code, uint8_t(code ^ 0xFF)}, name);
    int b = answer(replyTimeout(3), name);
    if (b == ACK)
        return;
    if (b != NACK)
        expectRefusal(code, Step::Command);
    const bool firstRefused = b == NACK;
    if (b >= 0) {
        // A NACK or garbage may come from line noise or bytes out of step: the bootloader
        // waits for a new command after either, so realign and ask once more.
        ++irregularities_;
        note(std::string(name) + ": the command was answered with " +
             (b == NACK ? std::string("NACK") : b == Link::kDamagedByte ? std::string("a damaged byte") : hex2(unsigned(b))) +
             "; sending it again");
        realign();
        writeRaw({code, uint8_t(code ^ 0xFF)}, name);
        b = answer(replyTimeout(3), name);
        if (b == ACK)
            return;
        if (b != NACK)
            expectRefusal(code, Step::Command);
    }
    // Step::Command: the command byte itself was refused twice, or met silence or garbage;
    // no address was sent yet, so none is named.
    refused(b, code, name, firstRefused || b != NACK ? Step::Command : Step::Data, 0);
}

void BootloaderClient::sendBlock(const std::vector<uint8_t>& block, Millis ackTimeout, uint8_t code, const char* name,
                                 Step step, uint32_t address)
{
    writeRaw(block, name);
    expectAck(ackTimeout + link_.wireTime(block.size()), code, name, step, address);
}

std::vector<uint8_t> BootloaderClient::countedReply(uint8_t code, const char* name)
{
    sendCommand(code, name);
    uint8_t n = 0;
    readRaw(&n, 1, replyTimeout(1), name);
    std::vector<uint8_t> bytes(size_t(n) + 1);
    readRaw(bytes.data(), bytes.size(), replyTimeout(bytes.size() + 1), name);
    expectAck(replyTimeout(1), code, name, Step::Data, 0);
    return bytes;
}

void BootloaderClient::withRetries(int attempts, const std::function<void()>& step,
                                   const std::function<Retry(const ProgError&)>& afterFailure)
{
    for (int attempt = 1;; ++attempt) {
        try {
            step();
            return;
        } catch (const ProgError& e) {
            // Protection, another module, or the tries used up: as it is.
            if (endsRetries(e) || attempt == attempts)
                throw;
            if (afterFailure(e) == Retry::Done)
                return;
        }
    }
}

void BootloaderClient::askAgainOnLineErrors(const std::string& what, const std::function<void()>& ask)
{
    // Asking changes nothing: a refused frame or an answer cut short or damaged is asked again.
    withRetries(kFrameAttempts, ask, [&](const ProgError& e) {
        note(what + " failed (" + e.what() + "); asking again");
        recoverFrom(e);
        return Retry::Again;
    });
}

BootloaderInfo BootloaderClient::get()
{
    std::vector<uint8_t> rest;
    askAgainOnLineErrors("Get", [&] { rest = countedReply(cmd::Get, "Get"); });
    BootloaderInfo info;
    info.version = rest[0];
    info.commands.assign(rest.begin() + 1, rest.end());
    return info;
}

uint8_t BootloaderClient::getVersion()
{
    uint8_t r[3];
    askAgainOnLineErrors("Get Version", [&] {
        sendCommand(cmd::GetVersion, "Get Version");
        readRaw(r, 3, replyTimeout(4), "Get Version");
        expectAck(replyTimeout(1), cmd::GetVersion, "Get Version", Step::Data, 0);
    });
    return r[0];
}

uint16_t BootloaderClient::getId()
{
    std::vector<uint8_t> id;
    askAgainOnLineErrors("Get ID", [&] { id = countedReply(cmd::GetId, "Get ID"); });
    // The product ID is the last two bytes, MSB first.
    uint16_t pid = id.back();
    if (id.size() >= 2)
        pid = uint16_t(id[id.size() - 2] << 8 | id.back());
    return pid;
}

void BootloaderClient::readMemory(uint32_t address, uint8_t* out, size_t length)
{
    if (length == 0 || length > kMaxBlock)
        throw ProgError(kBadArgument, "Read Memory of " + std::to_string(length) + " bytes");
    askAgainOnLineErrors("Read Memory at " + hex8(address), [&] { readOnce(address, out, length); });
}

void BootloaderClient::readOnce(uint32_t address, uint8_t* out, size_t length)
{
    sendCommand(cmd::ReadMemory, "Read Memory");
    sendAddress(cmd::ReadMemory, "Read Memory", address);
    const uint8_t n = uint8_t(length - 1);
    writeRaw({n, uint8_t(n ^ 0xFF)}, "Read Memory");
    expectAck(replyTimeout(1), cmd::ReadMemory, "Read Memory", Step::Data, address);
    readRaw(out, length, replyTimeout(length), "Read Memory");
}

void BootloaderClient::readMemoryTwice(uint32_t address, uint8_t* out, size_t length)
{
    // Read answers carry no checksum, and a second bootloader on the line, or a byte out of
    // step, shifts two reads alike: an answer counts only when nothing follows its last byte.
    const auto framedRead = [&](uint8_t* into) {
        readMemory(address, into, length);
        const unsigned before = irregularities_;
        settle(kFrameQuiet + link_.wireTime(2));
        return irregularities_ == before;
    };
    std::vector<uint8_t> again(length);
    for (int round = 1;; ++round) {
        const bool first = framedRead(out);
        const bool second = framedRead(again.data());
        if (first && second)
            break;
        if (round == kFrameAttempts)
            throw ProgError(kReadRefused, "the answers to Read Memory at " + hex8(address) +
                                               " kept coming with bytes nobody asked for (a second bootloader on "
                                               "the line?), so what was read cannot be trusted");
        note("An answer to Read Memory at " + hex8(address) + " came with bytes nobody asked for; reading again");
        realign();
    }
    if (std::equal(again.begin(), again.end(), out))
        return;
    // One answer was damaged on the line: a third read decides, two that agree are taken.
    std::vector<uint8_t> third(length);
    realign();
    const bool framed = framedRead(third.data());
    if (framed && (std::equal(third.begin(), third.end(), out) || std::equal(third.begin(), third.end(), again.begin()))) {
        note("Two reads of " + std::to_string(length) + " bytes at " + hex8(address) +
             " differed; a third agrees with one of them");
        std::copy(third.begin(), third.end(), out);
        return;
    }
    throw ProgError(kReadRefused, "three reads of " + std::to_string(length) + " bytes at " + hex8(address) +
                                       " gave different answers: the line is not reliable");
}

void BootloaderClient::recoverFrom(const ProgError& failure)
{
    // A module that no longer answers fails as the step that met it did.
    try {
        realign();
    } catch (const ProgError& e) {
        if (e.status == kModuleChanged)
            throw;
        throw failure;
    }
}

void BootloaderClient::note(const std::string& text) const
{
    if (notes_)
        notes_(text);
}

void BootloaderClient::writeOnce(uint32_t address, const uint8_t* data, size_t length, bool& dataSent)
{
    sendCommand(cmd::WriteMemory, "Write Memory");
    sendAddress(cmd::WriteMemory, "Write Memory", address);
    std::vector<uint8_t> block;
    block.reserve(length + 2);
    block.push_back(uint8_t(length - 1));
    uint8_t x = block[0];
    for (size_t i = 0; i < length; ++i) {
        block.push_back(data[i]);
        x ^= data[i];
    }
    block.push_back(x);
    dataSent = true;
    sendBlock(block, kWriteWait, cmd::WriteMemory, "Write Memory", Step::Data, address);
}

void BootloaderClient::writeMemory(uint32_t address, const uint8_t* data, size_t length, int erased)
{
    if (length == 0 || length > kMaxBlock || length % 4 != 0)
        throw ProgError(kBadArgument, "Write Memory of " + std::to_string(length) + " bytes");
    std::vector<uint8_t> back(length);
    bool dataSent = false;
    withRetries(
        kFrameAttempts,
        [&] {
            dataSent = false;
            writeOnce(address, data, length, dataSent);
        },
        [&](const ProgError& e) {
            // A refused frame: nothing was written. Refused data can also mean a unit that is
            // not erased, which the next try shows again.
            const bool refused = !dataSent || e.status == kWriteVerify;
            recoverFrom(e);
            if (refused) {
                note("Write Memory at " + hex8(address) + " failed (" + e.what() + "); sending it again");
                return Retry::Again;
            }
            // The data frame went out and its answer was lost: did the block take it?
            readMemoryTwice(address, back.data(), length);
            if (std::equal(back.begin(), back.end(), data)) {
                note("The answer to Write Memory at " + hex8(address) + " was lost (" + e.what() +
                     "); the block reads back as written");
                return Retry::Done;
            }
            if (erased < 0 || !std::all_of(back.begin(), back.end(), [&](uint8_t b) { return b == uint8_t(erased); }))
                throw ProgError(kWriteVerify, "the answer to Write Memory at " + hex8(address) +
                                                           " was lost and the block reads back neither as written "
                                                           "nor as erased");
            note("The answer to Write Memory at " + hex8(address) + " was lost (" + e.what() +
                 "); the block is still erased, writing it again");
            return Retry::Again;
        });
}

void BootloaderClient::eraseOnce(const std::vector<uint8_t>& block, uint8_t code, const char* name, size_t pages)
{
    sendCommand(code, name);
    sendBlock(block, eraseTimeout(pages), code, name, Step::Data, 0);
}

void BootloaderClient::erasePages(const std::vector<uint32_t>& pages, bool extended)
{
    if (pages.empty())
        return;
    const char* name = extended ? "Extended Erase" : "Erase";
    std::vector<uint8_t> block;
    if (extended) {
        if (pages.size() > 0xFFF0)
            throw ProgError(kBadArgument, "too many pages for one Extended Erase");
        const uint16_t n = uint16_t(pages.size() - 1);
        block.push_back(uint8_t(n >> 8));
        block.push_back(uint8_t(n));
        for (uint32_t p : pages) {
            if (p > 0xFFFF)
                throw ProgError(kDeviceUnsupported, "page " + std::to_string(p) + " has no Extended Erase number");
            block.push_back(uint8_t(p >> 8));
            block.push_back(uint8_t(p));
        }
    } else {
        // N = 0xFF would be the global erase: at most 255 pages a command.
        if (pages.size() > 255)
            throw ProgError(kBadArgument, "too many pages for one Erase");
        block.push_back(uint8_t(pages.size() - 1));
        for (uint32_t p : pages) {
            if (p > 0xFF)
                throw ProgError(kDeviceUnsupported, "page " + std::to_string(p) + " has no Erase number");
            block.push_back(uint8_t(p));
        }
    }
    uint8_t x = 0;
    for (uint8_t b : block)
        x ^= b;
    block.push_back(x);
    const uint8_t code = extended ? cmd::ExtendedErase : cmd::Erase;
    withRetries(
        kFrameAttempts, [&] { eraseOnce(block, code, name, pages.size()); },
        [&](const ProgError& e) {
            // Refused: nothing was erased; unanswered: the same pages once more.
            note(std::string(name) + " of " + std::to_string(pages.size()) + " page" + (pages.size() == 1 ? "" : "s") +
                 " failed (" + e.what() + "); sending it again");
            recoverFrom(e);
            return Retry::Again;
        });
}

void BootloaderClient::sendAddress(uint8_t code, const char* name, uint32_t address)
{
    try {
        sendBlock(addressFrame(address), kAnswerSlack, code, name, Step::Address, address);
    } catch (const ProgError& e) {
        // Refused (NACK), it waits for a command; unanswered, it may wait for what follows.
        if (e.status == kLinkLost)
            expectRefusal(code, Step::Address);
        throw;
    }
}

void BootloaderClient::expectRefusal(uint8_t code, Step step)
{
    const CommandInfo& c = commandInfo(code);
    if (step == Step::Command)
        unfinished_ = c.endAfterCommand;
    else if (step == Step::Address)
        unfinished_ = c.endAfterAddress;
}

void BootloaderClient::go(uint32_t address)
{
    sendCommand(cmd::Go, "Go");
    sendBlock(addressFrame(address), kAnswerSlack, cmd::Go, "Go", Step::Address, address);
}

}  // namespace vbprog
