#include "bootloader.h"

#include <cstdio>

namespace vbsim {

std::string hex32(uint32_t v)
{
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", v);
    return s;
}

namespace {

std::string hex8(uint8_t v)
{
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", v);
    return s;
}

uint8_t xorOf(const std::vector<uint8_t> &v, size_t from, size_t to)
{
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i)
        x ^= v[i];
    return x;
}

// "1-32,40" style list of page numbers for the log.
std::string pageList(const std::vector<uint32_t> &pages)
{
    std::string s;
    for (size_t i = 0; i < pages.size();) {
        size_t j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        if (!s.empty())
            s += ',';
        s += std::to_string(pages[i]);
        if (j > i)
            s += '-' + std::to_string(pages[j]);
        i = j + 1;
    }
    return s;
}

} // namespace

Bootloader::Bootloader(Memory &memory, uint16_t reportedPid, Faults faults)
    : mem_(memory), model_(memory.model()), reportedPid_(reportedPid), faults_(faults),
      rdp_(faults.readoutProtected)
{
}

std::string Bootloader::commandName(uint8_t cmd)
{
    switch (cmd) {
    case 0x00: return "Get";
    case 0x01: return "Get Version";
    case 0x02: return "Get ID";
    case 0x11: return "Read Memory";
    case 0x21: return "Go";
    case 0x31: return "Write Memory";
    case 0x43: return "Erase";
    case 0x44: return "Extended Erase";
    case 0x63: return "Write Protect";
    case 0x73: return "Write Unprotect";
    case 0x82: return "Readout Protect";
    case 0x92: return "Readout Unprotect";
    default: return "Command " + hex8(cmd);
    }
}

std::vector<uint8_t> Bootloader::commandList() const
{
    return {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, model_.eraseCommand, 0x63, 0x73, 0x82, 0x92};
}

bool Bootloader::commandSupported(uint8_t cmd) const
{
    for (uint8_t c : commandList())
        if (c == cmd)
            return true;
    return false;
}

void Bootloader::reset()
{
    state_ = State::WaitSync;
    need_ = 0;
    buf_.clear();
    out_.clear();
    running_ = false;
}

void Bootloader::feed(const std::vector<uint8_t> &bytes)
{
    for (uint8_t b : bytes)
        feed(b);
}

void Bootloader::feed(uint8_t byte)
{
    switch (state_) {
    case State::Silent:
        return;
    case State::WaitSync:
        if (faults_.noSync)
            return;
        if (byte != SYNC) {
            // A real part would lock onto a wrong baud rate here; we only note it.
            if (stats_.ignoredBeforeSync++ == 0)
                log("Sync: ignored " + hex8(byte) + " before 0x7F");
            return;
        }
        ++stats_.syncs;
        ack();
        log("Sync ACK");
        expect(State::Command, 2);
        if (faults_.stopAfter && *faults_.stopAfter == 0) {
            log("Stopped answering (fault)");
            state_ = State::Silent;
        }
        return;
    default:
        buf_.push_back(byte);
        if (buf_.size() == need_)
            step();
    }
}

std::vector<ReplyChunk> Bootloader::takeReply()
{
    std::vector<ReplyChunk> r;
    r.swap(out_);
    return r;
}

void Bootloader::expect(State s, size_t n)
{
    state_ = s;
    need_ = n;
    buf_.clear();
}

void Bootloader::send(std::vector<uint8_t> bytes, double busy)
{
    out_.push_back({busy, std::move(bytes)});
}

void Bootloader::log(const std::string &line)
{
    if (onLog)
        onLog(line);
}

void Bootloader::noteGuarded(const std::string &what)
{
    stats_.guardedTouches.push_back(what);
}

void Bootloader::massErase(bool evenProtected, const std::string &what)
{
    mem_.massErase(evenProtected);
    ++stats_.massErases;
    stats_.pagesErased += model_.pageCount();
    noteGuarded(what);
    ack(model_.massEraseTime);
}

void Bootloader::finish(bool ok, const std::string &detail, double busy)
{
    if (!ok)
        send({NACK}, busy);
    ok ? ++stats_.acks : ++stats_.nacks;
    std::string line = commandName(cmd_);
    if (!detail.empty() && ok)
        line += ' ' + detail;
    line += ok ? " ACK" : " NACK";
    if (!detail.empty() && !ok)
        line += " (" + detail + ')';
    log(line);
    if (state_ != State::WaitSync && state_ != State::Silent)
        expect(State::Command, 2);
    if (faults_.stopAfter && commandsSeen_ >= *faults_.stopAfter && state_ != State::Silent) {
        log("Stopped answering (fault)");
        state_ = State::Silent;
    }
}

void Bootloader::step()
{
    switch (state_) {
    case State::Command:
        command(buf_[0]);
        break;
    case State::Address:
        address();
        break;
    case State::ReadLength:
        readLength();
        break;
    case State::WriteLength:
        expect(State::WriteData, size_t(buf_[0]) + 2);
        break;
    case State::WriteData:
        writeData();
        break;
    case State::EraseCount:
        if (buf_[0] == 0xFF)
            expect(State::EraseGlobal, 1);
        else
            expect(State::ErasePages, size_t(buf_[0]) + 2);
        break;
    case State::EraseGlobal:
        if (buf_[0] != 0x00) {
            // The part ACKs a malformed global erase without erasing anything.
            ack();
            finish(true, "global erase not confirmed, nothing erased");
        } else {
            massErase(false, "global erase");
            finish(true, "global");
        }
        break;
    case State::ErasePages:
        erase43Pages();
        break;
    case State::ExtEraseCount:
        extEraseCount();
        break;
    case State::ExtEraseSpecial:
        extEraseSpecial();
        break;
    case State::ExtErasePages:
        extErasePages();
        break;
    case State::WpCount:
        expect(State::WpSectors, size_t(buf_[0]) + 2);
        break;
    case State::WpSectors:
        wpSectors();
        break;
    case State::WaitSync:
    case State::Silent:
        break;
    }
}

void Bootloader::command(uint8_t cmd)
{
    const uint8_t complement = buf_[1];
    cmd_ = cmd;
    ++commandsSeen_;
    ++stats_.commands[commandName(cmd)];
    if (uint8_t(cmd ^ complement) != 0xFF)
        return finish(false, "bad complement " + hex8(complement));
    if (faults_.nackCommand && faults_.nackCommand == commandsSeen_)
        return finish(false, "injected command fault");
    if (!commandSupported(cmd))
        return finish(false, "unknown command");
    const bool allowedUnderRdp = cmd == 0x00 || cmd == 0x01 || cmd == 0x02 || cmd == 0x92;
    if (rdp_ && !allowedUnderRdp)
        return finish(false, "readout protection active");

    std::vector<uint8_t> reply;
    switch (cmd) {
    case 0x00: {
        const auto list = commandList();
        reply = {ACK, uint8_t(list.size()), model_.blVersion};
        reply.insert(reply.end(), list.begin(), list.end());
        reply.push_back(ACK);
        send(reply);
        return finish(true);
    }
    case 0x01:
        send({ACK, model_.blVersion, 0x00, 0x00, ACK});
        return finish(true);
    case 0x02: {
        const uint16_t pid = faults_.idOnce && getIdsSeen_++ == 0 ? *faults_.idOnce : reportedPid_;
        if (pid != reportedPid_)
            log("Get ID answered " + hex32(pid) + " (fault)");
        send({ACK, 0x01, uint8_t(pid >> 8), uint8_t(pid), ACK});
        return finish(true);
    }
    case 0x31:
        ++writesSeen_;
        if (faults_.strayAck && faults_.strayAck == writesSeen_) {
            send({ACK});
            log("Stray ACK sent (fault)");
        }
        [[fallthrough]];
    case 0x11:
    case 0x21:
        ack();
        return expect(State::Address, 5);
    case 0x43:
        ack();
        return expect(State::EraseCount, 1);
    case 0x44:
        ack();
        return expect(State::ExtEraseCount, 2);
    case 0x63:
        ack();
        return expect(State::WpCount, 1);
    case 0x73:
        ack();
        mem_.clearWriteProtection();
        ack(model_.pageEraseTime); // option bytes rewritten
        finish(true);
        return systemReset();
    case 0x82:
        ack();
        rdp_ = true;
        ack(model_.pageEraseTime);
        finish(true);
        return systemReset();
    case 0x92:
        ack();
        massErase(true, "readout unprotect (mass erase)");
        rdp_ = false;
        finish(true, "flash mass-erased");
        return systemReset();
    }
}

void Bootloader::systemReset()
{
    // Option bytes are reloaded by a reset; the host must synchronise again.
    log("System reset");
    expect(State::WaitSync, 0);
}

void Bootloader::address()
{
    const uint32_t a = uint32_t(buf_[0]) << 24 | uint32_t(buf_[1]) << 16 | uint32_t(buf_[2]) << 8 | buf_[3];
    if (xorOf(buf_, 0, 4) != buf_[4])
        return finish(false, "bad address checksum");
    addr_ = a;
    const Area area = mem_.areaOf(a);
    const std::string at = "address=" + hex32(a);
    switch (cmd_) {
    case 0x11:
        if (area == Area::None)
            return finish(false, at + " out of range");
        ack();
        return expect(State::ReadLength, 2);
    case 0x21:
        if (area != Area::Flash && area != Area::Ram)
            return finish(false, at + " not RAM or flash");
        ack();
        finish(true, at);
        running_ = true;
        if (onGo)
            onGo(a);
        log("Application started at " + hex32(a) + ", bootloader left");
        state_ = State::Silent;
        return;
    case 0x31: {
        if (area != Area::Flash && area != Area::Ram)
            return finish(false, at + " not writable");
        const uint32_t align = area == Area::Flash ? model_.addressAlign : 4;
        if (a % align != 0)
            return finish(false, at + " misaligned");
        ack();
        return expect(State::WriteLength, 1);
    }
    }
}

void Bootloader::readLength()
{
    const std::string at = "address=" + hex32(addr_);
    if (uint8_t(buf_[0] ^ buf_[1]) != 0xFF)
        return finish(false, at + " bad length complement");
    const uint32_t len = uint32_t(buf_[0]) + 1;
    std::vector<uint8_t> data;
    if (!mem_.read(addr_, len, data))
        return finish(false, at + " length=" + std::to_string(len) + " beyond the end of memory");
    if (faults_.corruptRead && *faults_.corruptRead >= addr_ && *faults_.corruptRead - addr_ < len &&
        (!faults_.corruptReadTimes || corruptedReads_++ < *faults_.corruptReadTimes))
        data[*faults_.corruptRead - addr_] ^= 0x01;
    std::vector<uint8_t> reply{ACK};
    if (faults_.doubleAckRead && *faults_.doubleAckRead >= addr_ && *faults_.doubleAckRead - addr_ < len) {
        reply.push_back(ACK);
        log("Read answered with a second ACK (fault)");
    }
    reply.insert(reply.end(), data.begin(), data.end());
    send(reply);
    stats_.bytesRead += len;
    finish(true, at + " length=" + std::to_string(len));
}

double Bootloader::programTime(uint32_t addr, uint32_t len) const
{
    if (mem_.areaOf(addr, len) != Area::Flash)
        return 0;
    const uint32_t unit = model_.writeUnit;
    uint32_t units = (addr + len - 1) / unit - addr / unit + 1;
    double t = 0;
    if (model_.fastProgramBytes) {
        const uint32_t fast = model_.fastProgramBytes;
        const uint32_t first = (addr + fast - 1) / fast * fast;
        const uint32_t chunks = first < addr + len ? (addr + len - first) / fast : 0;
        t += chunks * model_.fastProgramTime;
        units -= chunks * (fast / unit);
    }
    return t + units * model_.unitProgramTime;
}

void Bootloader::writeData()
{
    const uint32_t len = uint32_t(buf_.size()) - 1;
    std::string detail = "address=" + hex32(addr_) + " length=" + std::to_string(len);
    if (uint8_t(xorOf(buf_, 0, len) ^ uint8_t(len - 1)) != buf_[len])
        return finish(false, detail + " bad checksum");
    if (len % 4 != 0)
        return finish(false, detail + " not a multiple of 4");
    const Area area = mem_.areaOf(addr_, len);
    if (area != Area::Flash && area != Area::Ram)
        return finish(false, detail + " beyond the end of memory");
    if (faults_.nackWrite && faults_.nackWrite == writesSeen_)
        refusingAddress_ = addr_;
    if ((refusingAddress_ && *refusingAddress_ == addr_) || (faults_.nackWriteOnce && faults_.nackWriteOnce == writesSeen_))
        return finish(false, detail + " injected write fault");
    if (area == Area::Flash && addr_ < GUARDED_END && addr_ + len > GUARDED_START)
        noteGuarded("write " + hex32(addr_) + " length " + std::to_string(len));

    const std::vector<uint8_t> data(buf_.begin(), buf_.begin() + len);
    switch (mem_.program(addr_, data)) {
    case ProgramResult::Ok:
        stats_.bytesWritten += len;
        if (faults_.loseWriteAck && faults_.loseWriteAck == writesSeen_)
            return finish(true, detail + " programmed, its ACK lost (fault)");
        ack(programTime(addr_, len));
        return finish(true, detail);
    case ProgramResult::Protected:
        ack();
        return finish(true, detail + " write-protected, nothing programmed");
    case ProgramResult::NotErased:
        return finish(false, detail + " flash not erased", model_.unitProgramTime);
    }
}

void Bootloader::erasePages(std::vector<uint32_t> pages)
{
    if (faults_.erasePageInstead && !eraseRedirected_ && !pages.empty()) {
        log("Erase of page " + std::to_string(pages[0]) + " hits page " + std::to_string(*faults_.erasePageInstead) +
            " (fault)");
        pages[0] = *faults_.erasePageInstead;
        eraseRedirected_ = true;
    }
    for (uint32_t p : pages)
        if (p >= model_.pageCount())
            return finish(false, "page " + std::to_string(p) + " out of range");
    for (uint32_t p : pages) {
        mem_.erasePage(p);
        const uint32_t start = model_.flash.start + p * model_.pageSize;
        if (start < GUARDED_END && start + model_.pageSize > GUARDED_START)
            noteGuarded("erase page " + std::to_string(p));
    }
    stats_.pagesErased += unsigned(pages.size());
    ack(double(pages.size()) * model_.pageEraseTime);
    finish(true, "pages=" + std::to_string(pages.size()) + " [" + pageList(pages) + "]");
}

void Bootloader::erase43Pages()
{
    const size_t n = buf_.size() - 1;
    if (uint8_t(xorOf(buf_, 0, n) ^ uint8_t(n - 1)) != buf_[n])
        return finish(false, "bad checksum");
    std::vector<uint32_t> pages(buf_.begin(), buf_.begin() + n);
    erasePages(pages);
}

void Bootloader::extEraseCount()
{
    const uint32_t n = uint32_t(buf_[0]) << 8 | buf_[1];
    if (n >= 0xFFF0) {
        len_ = n;
        return expect(State::ExtEraseSpecial, 1);
    }
    if (n + 1 > model_.pageCount())
        return finish(false, "page count " + std::to_string(n + 1) + " too large");
    len_ = n;
    const uint8_t h = buf_[0], l = buf_[1];
    expect(State::ExtErasePages, 2 * (size_t(n) + 1) + 1);
    buf_.push_back(h); // keep the count in the checksum
    buf_.push_back(l);
    need_ += 2;
}

void Bootloader::extEraseSpecial()
{
    const uint8_t h = uint8_t(len_ >> 8), l = uint8_t(len_);
    if (uint8_t(h ^ l) != buf_[0])
        return finish(false, "bad checksum");
    if (len_ < 0xFFFD)
        return finish(false, "reserved code " + hex32(len_));
    if (!model_.massEraseSupported)
        return finish(false, "mass erase not supported");
    const uint32_t bank = 0xFFFF - len_; // 0 = all, 1 = bank 1, 2 = bank 2
    if (bank > model_.bankCount || (bank && model_.bankCount == 1))
        return finish(false, "no bank " + std::to_string(bank));
    if (bank == 0) {
        massErase(false, "mass erase");
        return finish(true, "mass erase");
    }
    const uint32_t perBank = model_.pageCount() / model_.bankCount;
    for (uint32_t p = (bank - 1) * perBank; p < bank * perBank; ++p)
        mem_.erasePage(p);
    stats_.pagesErased += perBank;
    if (bank == 1)
        noteGuarded("bank 1 erase");
    ack(model_.massEraseTime);
    finish(true, "bank " + std::to_string(bank) + " erase");
}

void Bootloader::extErasePages()
{
    const size_t n = buf_.size() - 1;
    if (xorOf(buf_, 0, n) != buf_[n])
        return finish(false, "bad checksum");
    std::vector<uint32_t> pages;
    for (size_t i = 2; i + 1 < n; i += 2)
        pages.push_back(uint32_t(buf_[i]) << 8 | buf_[i + 1]);
    erasePages(pages);
}

void Bootloader::wpSectors()
{
    const size_t n = buf_.size() - 1;
    if (uint8_t(xorOf(buf_, 0, n) ^ uint8_t(n - 1)) != buf_[n])
        return finish(false, "bad checksum");
    mem_.setWriteProtection(std::vector<uint8_t>(buf_.begin(), buf_.begin() + n));
    ack(model_.pageEraseTime);
    finish(true, "sectors=" + std::to_string(n));
    systemReset();
}

} // namespace vbsim
