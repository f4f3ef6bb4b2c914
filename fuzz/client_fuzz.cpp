// Fuzz target: the bootloader client against a hostile device. The input's head picks a
// few client calls and their arguments; the rest scripts the device's answers. Every call
// must end in a bounded (virtual) time with a result or a ProgError, never anything else.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "bootloader_client.h"
#include "scripted_link.h"

namespace {

struct Head {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | byte();
        return v;
    }
};

[[noreturn]] void fault(const char* what, const char* detail)
{
    std::fprintf(stderr, "client fault: %s: %s\n", what, detail);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Head head{data, size};
    const int count = 1 + head.byte() % 4;
    struct Call {
        uint8_t kind;
        uint32_t address;
        uint16_t amount;
    };
    std::vector<Call> calls;
    for (int i = 0; i < count; ++i) {
        const uint8_t kind = head.byte();
        const uint32_t address = head.u32();
        const uint8_t high = head.byte();
        const uint16_t amount = uint16_t(high << 8 | head.byte());
        calls.push_back({kind, address, amount});
    }
    fuzzdev::script(data + head.pos, size - head.pos);

    fuzzdev::ScriptedLink link;
    std::vector<std::string> notes;
    link.open({"fuzz-device"}, notes);
    vbprog::BootloaderClient client(link);
    std::vector<uint8_t> buffer(260);

    for (const Call& c : calls) {
        fuzzdev::resetCounters();
        vbprog::Millis allowed(15000);
        const char* name = "?";
        try {
            switch (c.kind % 9) {
            case 0:
                name = "synchronise";
                client.synchronise(1 + c.amount % 5);
                break;
            case 1:
                name = "resynchronise";
                client.resynchronise();
                break;
            case 2: {
                name = "get";
                const vbprog::BootloaderInfo info = client.get();
                if (info.commands.size() > 255)
                    fault(name, "more commands than a count byte can announce");
                break;
            }
            case 3:
                name = "getVersion";
                client.getVersion();
                break;
            case 4:
                name = "getId";
                client.getId();
                break;
            case 5:
                name = "readMemory";
                // 0 and 257 must be refused before anything is sent.
                client.readMemory(c.address, buffer.data(), c.amount % 258);
                break;
            case 6:
                name = "writeMemory";
                client.writeMemory(c.address, buffer.data(), c.amount % 66 * 4);
                break;
            case 7:
            case 8: {
                name = "erasePages";
                std::vector<uint32_t> pages(c.amount % 300);
                for (size_t i = 0; i < pages.size(); ++i)
                    pages[i] = (c.address >> (i % 4 * 8)) & 0x1FF;
                allowed += vbprog::BootloaderClient::eraseTimeout(pages.size());
                client.erasePages(pages, c.kind % 9 == 8);
                break;
            }
            }
        } catch (const vbprog::ProgError& e) {
            if (e.status == 0 || std::string(e.what()).empty())
                fault(name, "ProgError without a status or a message");
        } catch (const std::exception& e) {
            fault(name, e.what());
        } catch (...) {
            fault(name, "unknown exception");
        }
        if (fuzzdev::waited() > allowed)
            fault(name, ("waited " + std::to_string(fuzzdev::waited().count()) + " ms").c_str());
        if (fuzzdev::calls() > 10000)
            fault(name, "more than 10000 calls into the link");
    }
    return 0;
}
