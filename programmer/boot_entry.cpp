#include "boot_entry.h"

#include "bootloader_client.h"
#include "flash_session.h"
#include "status.h"

#include <chrono>

namespace vbprog {

namespace {

// Longest a bootloader takes to answer one 0x7F, with margin.
constexpr Millis kSyncAnswerWait{300};

// `clause` opening a sentence.
std::string sentenceStart(std::string clause)
{
    if (!clause.empty() && clause[0] >= 'a' && clause[0] <= 'z')
        clause[0] = char(clause[0] - 'a' + 'A');
    return clause;
}

}  // namespace

SyncAnswer syncProbe(Link& link)
{
    using Clock = std::chrono::steady_clock;
    try {
        link.dropPending();  // what a running application said is not an answer
        link.write(&SYNC, 1, Millis(100));
        const auto until = Clock::now() + kSyncAnswerWait + link.wireTime(2);
        while (Clock::now() < until) {
            const int b = link.readByte(std::chrono::duration_cast<Millis>(until - Clock::now()) + Millis(1));
            if (b == ACK)
                return SyncAnswer::Ack;
            if (b == NACK)
                return SyncAnswer::Nack;
            if (b < 0)
                break;
        }
        return SyncAnswer::Silent;
    } catch (const TransportError& e) {
        return e.kind == TransportError::Timeout ? SyncAnswer::Silent : SyncAnswer::Failed;
    }
}

BootEntry::BootEntry(BootSequence sequence, RemedyWords words)
    : sequence_(std::move(sequence)), words_(std::move(words))
{
}

int BootEntry::holdFactor(unsigned attempt)
{
    return 1 << (attempt % kBootAttempts);
}

BootEntry::Probe BootEntry::probe(Link& link, unsigned attempt, const std::atomic<bool>* stop) const
{
    const int factor = holdFactor(attempt);
    try {
        if (!runSteps(link, sequence_.enter, factor, stop))
            return Probe::Silent;
    } catch (const TransportError& e) {
        return e.kind == TransportError::Open ? Probe::Failed : Probe::NoLines;
    }
    if (!waitUnlessStopped(Millis(kBootloaderStartupMs * factor), stop))
        return Probe::Silent;
    switch (syncProbe(link)) {
    case SyncAnswer::Ack:
    case SyncAnswer::Nack: return Probe::Answered;
    case SyncAnswer::Silent: return Probe::Silent;
    case SyncAnswer::Failed: break;
    }
    return Probe::Failed;
}

int BootEntry::connect(FlashSession& session, const PortSettings& settings, const SessionCallbacks& callbacks,
                       const std::atomic<bool>* stop) const
{
    auto say = [&](int type, const std::string& text) {
        if (callbacks.message)
            callbacks.message(type, text);
    };
    // An attempt that is tried again is no error yet.
    SessionCallbacks quiet = callbacks;
    quiet.message = [&say](int type, const std::string& text) {
        say(type == kError ? int(kDetail1) : type, text);
    };
    int status = kNoAnswer;
    for (unsigned attempt = 0; attempt < unsigned(kBootAttempts); ++attempt) {
        const int factor = holdFactor(attempt);
        Link& link = session.link();
        std::vector<std::string> notes;
        try {
            if (!link.isOpen() || link.portName() != settings.name)
                link.open(settings, notes);
            for (const auto& n : notes)
                say(kDetail1, n);
            if (!runSteps(link, sequence_.enter, factor, stop)) {
                link.close();
                return kNotConnected;
            }
        } catch (const TransportError& e) {
            if (e.kind == TransportError::Open) {
                session.noteOpenFailure(e.failure);
                say(kError, std::string("Serial port error: ") + e.what());
                return kPortOpen;
            }
            link.close();
            say(kError, "The boot sequence " + sequence_.name + " needs DTR and RTS, but " + e.what() + "; " +
                           remedyText(Remedy::EnterByHand, words_) + ".");
            return kPortOpen;
        }
        say(kDetail1, "Boot sequence " + sequence_.name + " (" + stepsText(sequence_.enter, factor) + "), then " +
                             std::to_string(kBootloaderStartupMs * factor) + " ms for the bootloader to start");
        if (!waitUnlessStopped(Millis(kBootloaderStartupMs * factor), stop)) {
            link.close();
            return kNotConnected;
        }
        const bool last = attempt + 1 == unsigned(kBootAttempts);
        session.setCallbacks(last ? callbacks : quiet);
        status = session.connect(settings);
        session.setCallbacks(callbacks);
        if (status != kNoAnswer)
            return status;
        if (!last)
            say(kInfo, "No answer after the boot sequence; trying again with holds " + std::to_string(factor * 2) +
                          " times as long");
    }
    std::string text = "The bootloader stayed silent after the boot sequence " + sequence_.name + " (" +
                       stepsText(sequence_.enter) + "), tried " + std::to_string(kBootAttempts) +
                       " times with holds up to " + std::to_string(holdFactor(kBootAttempts - 1)) +
                       " times as long.";
    if (sequence_.name == "direct")
        text += " If DTR and RTS reach NRST and BOOT0 through inverters, " + remedyText(Remedy::TryInverted, words_) + ".";
    else if (sequence_.name == "inverted")
        text += " If DTR and RTS reach NRST and BOOT0 without inverters, " + remedyText(Remedy::TryDirect, words_) + ".";
    else
        text += " " + sentenceStart(remedyText(Remedy::CheckWiring, words_)) +
                "; with inverters on the lines try the inverted preset.";
    say(kError, text);
    return status;
}

}  // namespace vbprog
