// The USART system-memory bootloader as a byte-in / byte-out state machine. No I/O and no
// clock: the caller feeds the bytes the host sent and takes the reply chunks, each with the
// flash busy time that precedes it, and does the wire timing itself.
#pragma once

#include "memory.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vbsim {

constexpr uint8_t ACK = 0x79;
constexpr uint8_t NACK = 0x1F;
constexpr uint8_t SYNC = 0x7F;

// Flash 0x08000000..0x080007FF: page 0 of the 2 KiB parts, holds the module identifiers.
constexpr uint32_t GUARDED_START = 0x08000000;
constexpr uint32_t GUARDED_END = 0x08000800;

struct Faults {
    bool noSync = false;
    unsigned nackWrite = 0;                 // NACK the k-th Write Memory (1-based) and every later one at its address, 0 = off
    unsigned nackWriteOnce = 0;             // NACK the k-th Write Memory's data once, as line noise would
    unsigned loseWriteAck = 0;              // program the k-th Write Memory's data but lose its ACK
    std::optional<uint32_t> corruptRead;    // flip a bit of this address in read data
    std::optional<unsigned> corruptReadTimes; // only in the first N answers that hold it
    std::optional<unsigned> stopAfter;      // go silent after this many commands
    bool readoutProtected = false;
    std::optional<uint16_t> idOnce;         // the first Get ID answers this product ID
    std::optional<uint32_t> erasePageInstead; // the first page erase hits this page, not the first asked
    unsigned strayAck = 0;                  // an ACK nobody asked for before the K-th Write Memory's answer
    unsigned nackCommand = 0;               // NACK the K-th command frame, as line noise would
    std::optional<uint32_t> doubleAckRead;  // an ACK too many before the data of every read that covers this
                                            // address, as from a second bootloader on the line
};

struct Stats {
    std::map<std::string, unsigned> commands; // by name
    unsigned acks = 0;
    unsigned nacks = 0;
    unsigned syncs = 0;
    unsigned ignoredBeforeSync = 0;
    unsigned pagesErased = 0;
    unsigned massErases = 0;
    uint64_t bytesWritten = 0;
    uint64_t bytesRead = 0;
    std::vector<std::string> guardedTouches;
};

struct ReplyChunk {
    double busySeconds = 0; // flash work before the first byte goes out
    std::vector<uint8_t> bytes;
};

class Bootloader {
public:
    Bootloader(Memory &memory, uint16_t reportedPid, Faults faults = {});

    // A hardware reset: the protocol starts over and waits for its 0x7F (rate measured anew).
    // Flash, option bytes and the counts survive.
    void reset();

    void feed(uint8_t byte);
    void feed(const std::vector<uint8_t> &bytes);
    // Reply produced since the last call.
    std::vector<ReplyChunk> takeReply();

    bool synchronised() const { return state_ != State::WaitSync && state_ != State::Silent; }
    bool silent() const { return state_ == State::Silent; }
    bool readoutProtected() const { return rdp_; }
    bool applicationRunning() const { return running_; }
    const Stats &stats() const { return stats_; }

    std::function<void(const std::string &)> onLog; // one line per command
    std::function<void(uint32_t)> onGo;              // after the Go ACK, before the jump

private:
    enum class State {
        WaitSync,
        Command,
        Address,        // 5 bytes, for Read / Write / Go
        ReadLength,     // N, ~N
        WriteLength,    // N
        WriteData,      // N+1 data + checksum
        EraseCount,     // 0x43: N
        EraseGlobal,    // 0x43: the 00 after FF
        ErasePages,     // 0x43: pages + checksum
        ExtEraseCount,  // 0x44: Nh Nl
        ExtEraseSpecial,// 0x44: checksum after FFFx
        ExtErasePages,  // 0x44: 16-bit pages + checksum
        WpCount,        // 0x63: N
        WpSectors,      // 0x63: sectors + checksum
        Silent,         // not answering any more (fault, or the application runs)
    };

    void step();
    void expect(State s, size_t n);
    void command(uint8_t cmd);
    void address();
    void readLength();
    void writeData();
    void erasePages(std::vector<uint32_t> pages);
    void extEraseCount();
    void extEraseSpecial();
    void extErasePages();
    void erase43Pages();
    void wpSectors();
    void systemReset();

    void send(std::vector<uint8_t> bytes, double busy = 0);
    void ack(double busy = 0) { send({ACK}, busy); }
    void finish(bool ok, const std::string &detail = {}, double busy = 0);
    void log(const std::string &line);
    void noteGuarded(const std::string &what);
    // The whole flash erased (the identifiers with it), counted and noted as `what`, and
    // acknowledged after the model's mass-erase time.
    void massErase(bool evenProtected, const std::string &what);
    double programTime(uint32_t addr, uint32_t len) const;
    bool commandSupported(uint8_t cmd) const;
    std::vector<uint8_t> commandList() const;
    static std::string commandName(uint8_t cmd);

    Memory &mem_;
    const DeviceModel &model_;
    uint16_t reportedPid_;
    Faults faults_;
    bool rdp_;
    bool running_ = false;

    State state_ = State::WaitSync;
    size_t need_ = 0;
    std::vector<uint8_t> buf_;
    uint8_t cmd_ = 0;
    uint32_t addr_ = 0;
    uint32_t len_ = 0; // Extended Erase count or special code
    unsigned commandsSeen_ = 0;
    unsigned writesSeen_ = 0;
    std::optional<uint32_t> refusingAddress_;   // --fault-nack-write: the address that keeps refusing
    unsigned getIdsSeen_ = 0;
    unsigned corruptedReads_ = 0;
    bool eraseRedirected_ = false;

    std::vector<ReplyChunk> out_;
    Stats stats_;
};

std::string hex32(uint32_t v);

} // namespace vbsim
