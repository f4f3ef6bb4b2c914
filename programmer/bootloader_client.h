// Bootloader protocol client: the STM32 USART bootloader commands over a Link.
// Every failure is thrown as ProgError carrying the status code the interface returns.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "link.h"

namespace vbprog {

class ProgError : public std::runtime_error {
public:
    ProgError(int status, const std::string& what) : std::runtime_error(what), status(status) {}
    int status;
};

namespace cmd {
constexpr uint8_t Get = 0x00;
constexpr uint8_t GetVersion = 0x01;
constexpr uint8_t GetId = 0x02;
constexpr uint8_t ReadMemory = 0x11;
constexpr uint8_t Go = 0x21;
constexpr uint8_t WriteMemory = 0x31;
constexpr uint8_t Erase = 0x43;
constexpr uint8_t ExtendedErase = 0x44;
}  // namespace cmd

// Largest Write Memory / Read Memory block.
constexpr uint32_t kMaxBlock = 256;

constexpr uint8_t ACK = 0x79;
constexpr uint8_t NACK = 0x1F;
// The first byte to a bootloader: it sets the rate, and is answered with ACK.
constexpr uint8_t SYNC = 0x7F;

struct BootloaderInfo {
    uint8_t version = 0;                 // protocol version, 0x31 = 3.1
    std::vector<uint8_t> commands;       // as listed by Get
    bool supports(uint8_t c) const;
};

class BootloaderClient {
public:
    explicit BootloaderClient(Link& link) : link_(link) {}

    // 0x7F until ACK, or NACK from a bootloader that an earlier connection synchronised.
    // Throws PROG_ERR_NO_ANSWER.
    void synchronise(int attempts = 5);
    // For a bootloader that this process left synchronised: 0x7F 0x80 form a complete
    // (unknown) frame, so the answer comes at once instead of after a sync timeout. A module
    // that was reset meanwhile takes the 0x7F as its sync and is handled too. Falls back to
    // synchronise() when neither answer comes.
    void resynchronise();

    // Get, Get Version and Get ID are asked again (up to three times) when an answer is
    // refused, cut short or damaged.
    BootloaderInfo get();
    uint8_t getVersion();
    uint16_t getId();

    // Every command starts on a clean line: what arrived unasked is dropped first. A command
    // byte that is refused (or answered with garbage) is sent once more after a
    // resynchronisation; only a second refusal counts, and for Read, Write, Erase and Go that
    // means readout protection.
    // 1..256 bytes. A NACK of the address is a refused read.
    void readMemory(uint32_t address, uint8_t* out, size_t length);
    // The same read twice, two separate commands whose answers must each end where their
    // length says (bytes after one are a second bootloader or a byte out of step: read again,
    // and a read failure if it persists); answers that differ are read a third time and two
    // that agree are taken; none agreeing is a read failure (PROG_ERR_READ), since Read Memory
    // answers carry no checksum. For what must not be misread: identifiers, geometry.
    void readMemoryTwice(uint32_t address, uint8_t* out, size_t length);
    // 4..256 bytes, a multiple of 4, to RAM or to flash whose erased value is `erased`.
    // Rides through line errors: a refused frame is sent again (the bootloader acts on
    // nothing it refuses); an answer lost or garbled after the data frame is settled by
    // reading the block back: equal is done, still erased is written again, anything else
    // fails (a unit that took data is never programmed twice). A bounded number of tries.
    void writeMemory(uint32_t address, const uint8_t* data, size_t length, int erased = -1);
    // Page erase with Erase (0x43, pages < 256) or Extended Erase (0x44); never a mass erase.
    // Refused or unanswered, the same erase is sent again: erasing twice is harmless.
    void erasePages(const std::vector<uint32_t>& pages, bool extended);
    void go(uint32_t address);

    // Once a module is identified, an ACK to a sync byte means its bootloader started again:
    // a reset, a brown-out, or another module on the adapter. Watched, that ACK throws
    // PROG_ERR_MODULE_CHANGED, and every command after it throws the same until the caller
    // has identified the module again and watches anew (or stops watching).
    void watchForRestart(bool on)
    {
        watching_ = on;
        restarted_ = false;
    }
    bool restarted() const { return restarted_; }

    // Where recoveries from line errors are told, one sentence each.
    void setNotes(std::function<void(const std::string&)> notes) { notes_ = std::move(notes); }

    // Host-side wait for an erase of `pages` pages to be acknowledged.
    static Millis eraseTimeout(size_t pages);

    // Signs that answers and questions were out of step: bytes nobody asked for, dropped
    // before a command, and command bytes that had to be sent again. Only ever grows.
    unsigned irregularities() const { return irregularities_; }
    // The one way a step is tried again: `step` up to `attempts` times; after each failure but
    // the last `afterFailure` runs (it recovers the line, and may end the step as done or
    // throw). Protection and another module are never tried again.
    enum class Retry { Again, Done };
    static void withRetries(int attempts, const std::function<void()>& step,
                            const std::function<Retry(const ProgError&)>& afterFailure);

    // Waits until the line has been quiet for `quiet`, dropping (and counting) what arrives.
    void settle(Millis quiet);
    // Before an answer is asked again: the line quiet, the bootloader back in step. Answers
    // out of step by one byte look like changed flash.
    void realign();

private:
    enum class Step { Command, Address, Data };
    // One Write Memory; `dataSent` tells whether its data frame went out.
    void writeOnce(uint32_t address, const uint8_t* data, size_t length, bool& dataSent);
    void readOnce(uint32_t address, uint8_t* out, size_t length);
    void eraseOnce(const std::vector<uint8_t>& block, uint8_t code, const char* name, size_t pages);
    void note(const std::string& text) const;
    // The answer to `code` at `step` was lost or damaged: the bootloader may wait for the
    // frame that follows. Sets the bytes realign() sends first to end that frame refused.
    void expectRefusal(uint8_t code, Step step);
    void sendAddress(uint8_t code, const char* name, uint32_t address);
    // Runs `ask` (a question that changes nothing on the module) up to three times, realigned
    // after each line error; `what` names it in the notes.
    void askAgainOnLineErrors(const std::string& what, const std::function<void()>& ask);
    // realign() after `failure`; rethrows `failure` when the module does not answer.
    void recoverFrom(const ProgError& failure);
    void sendCommand(uint8_t code, const char* name);
    void dropStale();
    // The answer byte to a frame, -1 for silence, or Link::kDamagedByte; a dead port throws.
    int answer(Millis timeout, const char* name);
    [[noreturn]] void refused(int answer, uint8_t code, const char* name, Step step, uint32_t address);
    // Get and Get ID: the command, then a count N, N + 1 bytes and ACK; returns the bytes.
    std::vector<uint8_t> countedReply(uint8_t code, const char* name);
    void sendBlock(const std::vector<uint8_t>& block, Millis ackTimeout, uint8_t code, const char* name, Step step,
                   uint32_t address);
    // Waits for ACK; NACK and silence become the status fitting the command and step.
    void expectAck(Millis timeout, uint8_t code, const char* name, Step step, uint32_t address);
    void writeRaw(const std::vector<uint8_t>& bytes, const char* name);
    void readRaw(uint8_t* out, size_t length, Millis timeout, const char* name);
    Millis replyTimeout(size_t bytes) const;

    // A sync byte answered with ACK: throws when watching.
    void syncAcknowledged();
    // Errors no retry may ride through.
    static bool endsRetries(const ProgError& e);

    Link& link_;
    bool watching_ = false;
    bool restarted_ = false;
    unsigned irregularities_ = 0;
    std::vector<uint8_t> unfinished_;
    std::function<void(const std::string&)> notes_;
};

}  // namespace vbprog
