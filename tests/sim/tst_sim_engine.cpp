// The bootloader engine fed byte by byte, as the pty loop does.
#include "bootloader.h"
#include "line_noise.h"
#include "memory.h"
#include "options.h"
#include "sim_log.h"
#include "wire_clock.h"
#include "wiring.h"

#include <QtTest>

using namespace vbsim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t APP = 0x08000800;
constexpr uint32_t KEYS = 0x080007E0;

Bytes demoKeys()
{
    Bytes k;
    parseKeys("70b3d57ed005a1b270b3d57ed00000012b7e151628aed2a6abf7158809cf4f3c", k);
    return k;
}

Bytes addressFrame(uint32_t a)
{
    Bytes f{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    f.push_back(f[0] ^ f[1] ^ f[2] ^ f[3]);
    return f;
}

Bytes dataFrame(const Bytes &data)
{
    Bytes f{uint8_t(data.size() - 1)};
    uint8_t x = f[0];
    for (uint8_t b : data) {
        f.push_back(b);
        x ^= b;
    }
    f.push_back(x);
    return f;
}

Bytes extErasePages(const std::vector<uint16_t> &pages)
{
    const uint16_t n = uint16_t(pages.size() - 1);
    Bytes f{uint8_t(n >> 8), uint8_t(n)};
    for (uint16_t p : pages) {
        f.push_back(uint8_t(p >> 8));
        f.push_back(uint8_t(p));
    }
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

QByteArray hex(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())).toHex(' ');
}

// One simulated module with the identifiers in place, synchronised unless asked otherwise.
struct Module {
    Memory mem;
    Bootloader bl;
    QStringList log;
    QList<uint32_t> goAddresses;
    double busy = 0;

    explicit Module(uint16_t pid, Faults f = {}, bool sync = true, uint16_t reported = 0)
        : mem(*findDeviceModel(pid)), bl(mem, reported ? reported : pid, f)
    {
        mem.loadFlash(KEYS - 0x08000000, demoKeys());
        bl.onLog = [this](const std::string &l) { log << QString::fromStdString(l); };
        bl.onGo = [this](uint32_t a) { goAddresses << a; };
        if (sync)
            xfer({SYNC});
    }

    Bytes xfer(const Bytes &in)
    {
        Bytes out;
        busy = 0;
        for (uint8_t b : in) {
            bl.feed(b);
            for (const ReplyChunk &c : bl.takeReply()) {
                busy += c.busySeconds;
                out.insert(out.end(), c.bytes.begin(), c.bytes.end());
            }
        }
        return out;
    }

    Bytes cmd(uint8_t c) { return xfer({c, uint8_t(~c)}); }

    // Full Read Memory; returns everything the module sent.
    Bytes read(uint32_t a, unsigned len)
    {
        Bytes r = cmd(0x11);
        if (r != Bytes{ACK})
            return r;
        Bytes s = xfer(addressFrame(a));
        r.insert(r.end(), s.begin(), s.end());
        if (s != Bytes{ACK})
            return r;
        s = xfer({uint8_t(len - 1), uint8_t(~(len - 1))});
        r.insert(r.end(), s.begin(), s.end());
        return r;
    }

    Bytes readData(uint32_t a, unsigned len)
    {
        Bytes r = read(a, len);
        if (r.size() != len + 3)
            return {};
        return Bytes(r.begin() + 3, r.end());
    }

    // Full Write Memory; the module's answer to the last step it got to.
    uint8_t write(uint32_t a, const Bytes &data)
    {
        Bytes r = cmd(0x31);
        if (r != Bytes{ACK})
            return r.empty() ? 0 : r.back();
        r = xfer(addressFrame(a));
        if (r != Bytes{ACK})
            return r.empty() ? 0 : r.back();
        r = xfer(dataFrame(data));
        return r.size() == 1 ? r[0] : 0;
    }

    uint8_t extErase(const Bytes &frame)
    {
        if (cmd(0x44) != Bytes{ACK})
            return NACK;
        const Bytes r = xfer(frame);
        return r.size() == 1 ? r[0] : 0;
    }

    Bytes flash(uint32_t a, size_t n) const
    {
        const auto &f = mem.flash();
        return Bytes(f.begin() + (a - 0x08000000), f.begin() + (a - 0x08000000) + n);
    }

    bool ready() { return cmd(0x02).size() == 5; }
};

} // namespace

class TestSimEngine : public QObject {
    Q_OBJECT

private slots:
    void synchronisesOnceOnly();
    void identifiesEachModel_data();
    void identifiesEachModel();
    void rejectsBadCommandFrames();
    void readsMemoryAreas();
    void readRejectsBadFrames();
    void flashSizeRegister_data();
    void flashSizeRegister();
    void writesAndRejectsBadWrites();
    void flashProgramsOnlyErasedUnits();
    void extendedErase();
    void legacyErase();
    void guardedAreaIsReported();
    void readoutProtection();
    void writeProtection();
    void goLeavesTheBootloader();
    void halfSentFramesDoNotWedge_data();
    void halfSentFramesDoNotWedge();
    void injectedFaults();
    void eraseMisroutedBelowIdentifiers_data();
    void eraseMisroutedBelowIdentifiers();
    void lineNoise();
    void wiringDrivesPins_data();
    void wiringDrivesPins();
    void uniqueIdLayout_data();
    void uniqueIdLayout();
    void flashTimes();
    void waitForDueByte_data();
    void waitForDueByte();
    void options();
};

void TestSimEngine::synchronisesOnceOnly()
{
    Module m(0x497, {}, false);
    // Noise before the sync byte does not synchronise the part.
    QCOMPARE(m.xfer({0x00, 0x55}), Bytes{});
    QVERIFY(!m.bl.synchronised());
    QCOMPARE(m.xfer({SYNC}), Bytes{ACK});
    QVERIFY(m.bl.synchronised());
    // A second 0x7F starts a command frame: nothing until its second byte, then NACK.
    QCOMPARE(m.xfer({SYNC}), Bytes{});
    QCOMPARE(m.xfer({SYNC}), Bytes{NACK});
    QVERIFY(m.ready());
    QCOMPARE(m.bl.stats().syncs, 1u);
    QCOMPARE(m.bl.stats().ignoredBeforeSync, 2u);
}

void TestSimEngine::identifiesEachModel_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<int>("reported");
    QTest::addColumn<QByteArray>("get");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("id");
    QTest::newRow("WL") << 0x497 << 0 << QByteArray("79 0b 31 00 01 02 11 21 31 44 63 73 82 92 79")
                        << QByteArray("79 31 00 00 79") << QByteArray("79 01 04 97 79");
    QTest::newRow("L0") << 0x447 << 0 << QByteArray("79 0b 31 00 01 02 11 21 31 44 63 73 82 92 79")
                        << QByteArray("79 31 00 00 79") << QByteArray("79 01 04 47 79");
    QTest::newRow("F1") << 0x410 << 0 << QByteArray("79 0b 22 00 01 02 11 21 31 43 63 73 82 92 79")
                        << QByteArray("79 22 00 00 79") << QByteArray("79 01 04 10 79");
    QTest::newRow("WL as L43x") << 0x497 << 0x435
                                << QByteArray("79 0b 31 00 01 02 11 21 31 44 63 73 82 92 79")
                                << QByteArray("79 31 00 00 79") << QByteArray("79 01 04 35 79");
}

void TestSimEngine::identifiesEachModel()
{
    QFETCH(int, pid);
    QFETCH(int, reported);
    QFETCH(QByteArray, get);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, id);
    Module m(uint16_t(pid), {}, true, uint16_t(reported));
    QCOMPARE(hex(m.cmd(0x00)), get);
    QCOMPARE(hex(m.cmd(0x01)), version);
    QCOMPARE(hex(m.cmd(0x02)), id);
    QCOMPARE(m.log.last(), QStringLiteral("Get ID ACK"));
}

void TestSimEngine::rejectsBadCommandFrames()
{
    Module wl(0x497);
    QCOMPARE(wl.xfer({0x11, 0xEF}), Bytes{NACK}); // complement off by one
    QCOMPARE(wl.cmd(0x43), Bytes{NACK});          // the WL offers Extended Erase only
    QCOMPARE(wl.cmd(0xA1), Bytes{NACK});          // no Get Checksum on V3.1
    QCOMPARE(wl.cmd(0x50), Bytes{NACK});
    QVERIFY(wl.ready());
    Module f1(0x410);
    QCOMPARE(f1.cmd(0x44), Bytes{NACK});          // protocol 2.2 has plain Erase only
    QVERIFY(f1.ready());
    QVERIFY(wl.log.contains("Erase NACK (unknown command)"));
}

void TestSimEngine::readsMemoryAreas()
{
    Module m(0x497);
    const Bytes keys = m.readData(KEYS, 32);
    QCOMPARE(keys, demoKeys());
    QCOMPARE(m.read(KEYS, 32).size(), size_t(35)); // ACK ACK ACK + data, no trailing ACK
    QCOMPARE(m.readData(APP, 256), Bytes(256, 0xFF));
    // Last bytes of flash, bootloader-free RAM and system memory are readable.
    QCOMPARE(m.readData(0x0803FF00, 256).size(), size_t(256));
    QCOMPARE(m.readData(0x20002000, 16), Bytes(16, 0));
    QCOMPARE(m.readData(0x1FFF0000, 64).size(), size_t(64));
    QCOMPARE(m.bl.stats().bytesRead, uint64_t(32 + 32 + 256 + 256 + 16 + 64));
    QVERIFY(m.log.contains("Read Memory address=0x080007E0 length=32 ACK"));
}

void TestSimEngine::readRejectsBadFrames()
{
    Module m(0x497);
    QCOMPARE(m.cmd(0x11), Bytes{ACK});
    QCOMPARE(m.xfer({0x08, 0x00, 0x07, 0xE0, 0xEE}), Bytes{NACK}); // checksum should be EF
    QVERIFY(m.ready());
    // Outside every area: past the flash, the bootloader's own RAM, nothing at all.
    QCOMPARE(m.read(0x08040000, 4), (Bytes{ACK, NACK}));
    QCOMPARE(m.read(0x20001FFC, 4), (Bytes{ACK, NACK}));
    QCOMPARE(m.read(0x40000000, 4), (Bytes{ACK, NACK}));
    // Length complement wrong.
    QCOMPARE(m.cmd(0x11), Bytes{ACK});
    QCOMPARE(m.xfer(addressFrame(APP)), Bytes{ACK});
    QCOMPARE(m.xfer({0xFF, 0x01}), Bytes{NACK});
    // A start inside flash with a length running past its end.
    QCOMPARE(m.read(0x0803FF80, 256), (Bytes{ACK, ACK, NACK}));
    QVERIFY(m.ready());
    QCOMPARE(m.bl.stats().bytesRead, uint64_t(0));
}

void TestSimEngine::flashSizeRegister_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<uint>("address");
    QTest::addColumn<int>("kib");
    QTest::newRow("WL") << 0x497 << 0x1FFF75E0u << 256;
    QTest::newRow("L0") << 0x447 << 0x1FF8007Cu << 192;
    QTest::newRow("F1") << 0x410 << 0x1FFFF7E0u << 128;
}

void TestSimEngine::flashSizeRegister()
{
    QFETCH(int, pid);
    QFETCH(uint, address);
    QFETCH(int, kib);
    Module m{uint16_t(pid)};
    const Bytes v = m.readData(address, 2);
    QCOMPARE(v.size(), size_t(2));
    QCOMPARE(v[0] | v[1] << 8, kib);
}

void TestSimEngine::writesAndRejectsBadWrites()
{
    Module m(0x497);
    const Bytes block = pattern(256, 1);
    QCOMPARE(m.write(APP, block), ACK);
    QCOMPARE(m.flash(APP, 256), block);
    QCOMPARE(m.readData(APP, 256), block);
    QCOMPARE(m.write(0x20002000, pattern(8, 3)), ACK); // RAM
    QCOMPARE(m.readData(0x20002000, 8), pattern(8, 3));

    // Bad block checksum: NACK, nothing programmed.
    QCOMPARE(m.cmd(0x31), Bytes{ACK});
    QCOMPARE(m.xfer(addressFrame(0x08001000)), Bytes{ACK});
    Bytes bad = dataFrame(pattern(16, 9));
    bad.back() ^= 0x40;
    QCOMPARE(m.xfer(bad), Bytes{NACK});
    QCOMPARE(m.flash(0x08001000, 16), Bytes(16, 0xFF));

    QCOMPARE(m.write(0x08001000, pattern(6, 1)), NACK);   // length not a multiple of 4
    QCOMPARE(m.write(0x08001004, pattern(8, 1)), NACK);   // not on a double-word
    QCOMPARE(m.write(0x08001002, pattern(8, 1)), NACK);
    QCOMPARE(m.write(0x0803FFF8, pattern(16, 1)), NACK);  // runs past the end of flash
    QCOMPARE(m.write(0x08040000, pattern(8, 1)), NACK);   // past the end
    QCOMPARE(m.write(0x1FFF0000, pattern(8, 1)), NACK);   // system memory is ROM
    QCOMPARE(m.write(0x20000000, pattern(8, 1)), NACK);   // the bootloader's own RAM
    QCOMPARE(m.flash(0x08001000, 16), Bytes(16, 0xFF));
    QCOMPARE(m.flash(0x0803FFF8, 8), Bytes(8, 0xFF));
    QVERIFY(m.ready());
    QCOMPARE(m.bl.stats().bytesWritten, uint64_t(264));

    // The L0 programs words: 4-byte alignment is enough there.
    Module l0(0x447);
    QCOMPARE(l0.write(0x08000804, pattern(4, 1)), ACK);
    QCOMPARE(l0.write(0x08000902, pattern(4, 1)), NACK);
}

void TestSimEngine::flashProgramsOnlyErasedUnits()
{
    // WL: each double-word is programmable once per erase, whatever its content.
    Module wl(0x497);
    QCOMPARE(wl.write(APP, Bytes(8, 0xFF)), ACK);
    QCOMPARE(wl.write(APP, pattern(8, 1)), NACK);
    QCOMPARE(wl.flash(APP, 8), Bytes(8, 0xFF));
    // A block ending in the middle of a double-word programs that whole double-word.
    QCOMPARE(wl.write(0x08000900, pattern(12, 1)), ACK);
    QCOMPARE(wl.write(0x08000908, pattern(8, 1)), NACK);
    QCOMPARE(wl.flash(0x0800090C, 4), Bytes(4, 0xFF));
    QCOMPARE(wl.write(0x08000910, pattern(8, 1)), ACK);
    // The identifiers loaded at start are programmed flash too.
    QCOMPARE(wl.write(KEYS, Bytes(32, 0xFF)), NACK);
    QCOMPARE(wl.flash(KEYS, 32), demoKeys());
    // After erasing the page it takes new data.
    QCOMPARE(wl.extErase(extErasePages({1})), ACK);
    QCOMPARE(wl.write(APP, pattern(8, 1)), ACK);
    QCOMPARE(wl.flash(APP, 8), pattern(8, 1));

    // L0 erases to 0x00; only zero words can be programmed.
    Module l0(0x447);
    QCOMPARE(l0.readData(APP, 8), Bytes(8, 0x00));
    QCOMPARE(l0.write(APP, pattern(4, 1)), ACK);
    QCOMPARE(l0.write(APP, pattern(4, 2)), NACK);
    QCOMPARE(l0.flash(APP, 4), pattern(4, 1));

    // F1 erased value 0xFF, half-word rule.
    Module f1(0x410);
    QCOMPARE(f1.write(APP, pattern(4, 5)), ACK);
    QCOMPARE(f1.write(APP, pattern(4, 5)), NACK);
    QVERIFY(f1.log.last().contains("flash not erased"));
}

void TestSimEngine::extendedErase()
{
    Module m(0x497);
    for (uint32_t a = APP; a < APP + 3 * 2048; a += 256)
        QCOMPARE(m.write(a, pattern(256, uint8_t(a >> 8))), ACK);
    // Pages 1 and 3 only; page 2 and the identifiers stay.
    QCOMPARE(m.extErase(extErasePages({1, 3})), ACK);
    QCOMPARE(m.flash(APP, 2048), Bytes(2048, 0xFF));
    QCOMPARE(m.flash(APP + 2048, 256), pattern(256, uint8_t((APP + 2048) >> 8)));
    QCOMPARE(m.flash(APP + 4096, 2048), Bytes(2048, 0xFF));
    QCOMPARE(m.flash(KEYS, 32), demoKeys());
    QCOMPARE(m.bl.stats().pagesErased, 2u);
    QVERIFY(m.log.contains("Extended Erase pages=2 [1,3] ACK"));

    // Bad checksum or a page beyond the flash: NACK and nothing erased.
    Bytes bad = extErasePages({2});
    bad.back() ^= 1;
    QCOMPARE(m.extErase(bad), NACK);
    QCOMPARE(m.extErase(extErasePages({2, 128})), NACK);
    QCOMPARE(m.flash(APP + 2048, 256), pattern(256, uint8_t((APP + 2048) >> 8)));
    // More pages than the part has: refused on the count.
    QCOMPARE(m.extErase({0x00, 0x80}), NACK);
    // Reserved codes and bank erase on a single-bank part.
    QCOMPARE(m.extErase({0xFF, 0xF0, 0x0F}), NACK);
    QCOMPARE(m.extErase({0xFF, 0xFE, 0x01}), NACK);
    QCOMPARE(m.extErase({0xFF, 0xFF, 0x01}), NACK); // checksum must be 00
    QVERIFY(m.ready());
    QCOMPARE(m.flash(KEYS, 32), demoKeys());
    // Global mass erase wipes everything, identifiers included.
    QCOMPARE(m.extErase({0xFF, 0xFF, 0x00}), ACK);
    QCOMPARE(m.flash(KEYS, 32), Bytes(32, 0xFF));
    QCOMPARE(m.flash(APP + 2048, 256), Bytes(256, 0xFF));

    // The L0 bootloader offers no mass erase; pages erase to 0x00.
    Module l0(0x447);
    QCOMPARE(l0.write(0x08000800, pattern(128, 1)), ACK);
    QCOMPARE(l0.extErase({0xFF, 0xFF, 0x00}), NACK);
    QCOMPARE(l0.flash(0x08000800, 128), pattern(128, 1));
    QCOMPARE(l0.extErase(extErasePages({16})), ACK);
    QCOMPARE(l0.flash(0x08000800, 128), Bytes(128, 0x00));
    QCOMPARE(l0.flash(KEYS, 32), demoKeys());
    QCOMPARE(l0.extErase(extErasePages({1535})), ACK);
    QCOMPARE(l0.extErase(extErasePages({1536})), NACK);
}

void TestSimEngine::legacyErase()
{
    Module m(0x410);
    QCOMPARE(m.write(APP, pattern(64, 1)), ACK);
    QCOMPARE(m.write(APP + 1024, pattern(64, 2)), ACK);
    // Page 3 (0x08000C00) only, 1-byte page numbers with N in the checksum.
    QCOMPARE(m.cmd(0x43), Bytes{ACK});
    QCOMPARE(m.xfer({0x00, 0x03, 0x03}), Bytes{ACK});
    QCOMPARE(m.flash(APP, 64), pattern(64, 1));
    QCOMPARE(m.flash(APP + 1024, 64), Bytes(64, 0xFF));
    QCOMPARE(m.cmd(0x43), Bytes{ACK});
    QCOMPARE(m.xfer({0x00, 0x02, 0x03}), Bytes{NACK}); // checksum
    QCOMPARE(m.cmd(0x43), Bytes{ACK});
    QCOMPARE(m.xfer({0x00, 0x80, 0x80}), Bytes{NACK}); // page 128 does not exist
    QCOMPARE(m.flash(APP, 64), pattern(64, 1));
    // FF followed by something else than 00 is ACKed without erasing.
    QCOMPARE(m.cmd(0x43), Bytes{ACK});
    QCOMPARE(m.xfer({0xFF, 0x01}), Bytes{ACK});
    QCOMPARE(m.flash(APP, 64), pattern(64, 1));
    QVERIFY(m.bl.stats().guardedTouches.empty());
    QCOMPARE(m.cmd(0x43), Bytes{ACK});
    QCOMPARE(m.xfer({0xFF, 0x00}), Bytes{ACK});
    QCOMPARE(m.flash(APP, 64), Bytes(64, 0xFF));
    QCOMPARE(m.flash(KEYS, 32), Bytes(32, 0xFF));
    QCOMPARE(m.bl.stats().massErases, 1u);
}

void TestSimEngine::guardedAreaIsReported()
{
    Module l0(0x447);
    QCOMPARE(l0.extErase(extErasePages({16, 17})), ACK); // 0x08000800.. : outside
    QCOMPARE(l0.write(APP, pattern(64, 1)), ACK);
    QVERIFY(l0.bl.stats().guardedTouches.empty());
    QVERIFY(formatSummary(l0.bl.stats()).find("\nguarded-area: none\n") != std::string::npos);
    QCOMPARE(l0.extErase(extErasePages({15})), ACK); // holds 0x08000780..0x080007FF
    QCOMPARE(l0.flash(KEYS, 32), Bytes(32, 0x00));

    Module wl(0x497);
    QCOMPARE(wl.write(0x08000000, pattern(8, 1)), ACK);
    QCOMPARE(wl.extErase(extErasePages({0})), ACK);
    const std::string s = formatSummary(wl.bl.stats());
    QVERIFY2(s.find("\nguarded-area: TOUCHED") != std::string::npos, s.c_str());
    QVERIFY(s.find("write 0x08000000 length 8") != std::string::npos);
    QVERIFY(s.find("erase page 0") != std::string::npos);
    QVERIFY(s.find("pages-erased: 1\n") != std::string::npos);
    QVERIFY(s.find("bytes-written: 8\n") != std::string::npos);
    QVERIFY(s.find("Write Memory 1") != std::string::npos);
}

void TestSimEngine::readoutProtection()
{
    Faults f;
    f.readoutProtected = true;
    Module m(0x497, f);
    QCOMPARE(m.cmd(0x00).size(), size_t(15));
    QCOMPARE(m.cmd(0x01).size(), size_t(5));
    QCOMPARE(m.cmd(0x02).size(), size_t(5));
    for (uint8_t c : {0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82})
        QCOMPARE(m.cmd(c), Bytes{NACK});
    // Readout Unprotect: ACK, mass erase, ACK, reset.
    QCOMPARE(m.cmd(0x92), (Bytes{ACK, ACK}));
    QVERIFY(!m.bl.readoutProtected());
    QVERIFY(!m.bl.synchronised());
    QCOMPARE(m.flash(KEYS, 32), Bytes(32, 0xFF));
    QVERIFY(!m.bl.stats().guardedTouches.empty());
    QCOMPARE(m.xfer({SYNC}), Bytes{ACK});
    QCOMPARE(m.readData(KEYS, 32), Bytes(32, 0xFF));
    // Readout Protect sets it again after a reset.
    QCOMPARE(m.cmd(0x82), (Bytes{ACK, ACK}));
    QVERIFY(!m.bl.synchronised());
    QCOMPARE(m.xfer({SYNC}), Bytes{ACK});
    QCOMPARE(m.cmd(0x11), Bytes{NACK});
}

void TestSimEngine::writeProtection()
{
    Module m(0x497);
    QCOMPARE(m.write(APP + 2048, pattern(8, 1)), ACK);
    QCOMPARE(m.cmd(0x63), Bytes{ACK});
    QCOMPARE(m.xfer({0x00, 0x01, 0x01}), Bytes{ACK}); // page 1
    QVERIFY(!m.bl.synchronised());
    QCOMPARE(m.xfer({SYNC}), Bytes{ACK});
    // Writes and erases of the protected page are ACKed but change nothing.
    QCOMPARE(m.write(APP, pattern(8, 2)), ACK);
    QCOMPARE(m.flash(APP, 8), Bytes(8, 0xFF));
    QCOMPARE(m.extErase(extErasePages({2})), ACK);
    QCOMPARE(m.flash(APP + 2048, 8), Bytes(8, 0xFF));
    QCOMPARE(m.cmd(0x73), (Bytes{ACK, ACK}));
    QCOMPARE(m.xfer({SYNC}), Bytes{ACK});
    QCOMPARE(m.write(APP, pattern(8, 2)), ACK);
    QCOMPARE(m.flash(APP, 8), pattern(8, 2));
}

void TestSimEngine::goLeavesTheBootloader()
{
    Module m(0x497);
    QCOMPARE(m.cmd(0x21), Bytes{ACK});
    QCOMPARE(m.xfer(addressFrame(0x1FFF0000)), Bytes{NACK}); // system memory
    QCOMPARE(m.cmd(0x21), Bytes{ACK});
    QCOMPARE(m.xfer(addressFrame(APP)), Bytes{ACK});
    QCOMPARE(m.goAddresses, QList<uint32_t>{APP});
    QVERIFY(m.bl.applicationRunning());
    // The application does not talk bootloader.
    QCOMPARE(m.xfer({SYNC, 0x00, 0xFF}), Bytes{});
}

void TestSimEngine::halfSentFramesDoNotWedge_data()
{
    QTest::addColumn<QByteArray>("partial");
    const auto b = [](const Bytes &v) { return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size())); };
    Bytes w{0x31, 0xCE};
    Bytes wa = addressFrame(APP);
    wa.insert(wa.begin(), w.begin(), w.end());
    Bytes wd = wa;
    wd.push_back(0xFF);
    wd.insert(wd.end(), 11, 0x5A);
    QTest::newRow("command byte") << b({0x11});
    QTest::newRow("write, no address") << b(w);
    QTest::newRow("write, half an address") << b({0x31, 0xCE, 0x08, 0x00});
    QTest::newRow("write, 11 of 256 bytes") << b(wd);
    QTest::newRow("read, no length") << b({0x11, 0xEE, 0x08, 0x00, 0x08, 0x00, 0x00});
    QTest::newRow("erase list cut short") << b({0x44, 0xBB, 0x00, 0x05, 0x00, 0x01});
}

void TestSimEngine::halfSentFramesDoNotWedge()
{
    // A host that lost track sends 0xFF bytes until it sees a NACK; the part is then
    // waiting for a fresh command, as a real one is.
    QFETCH(QByteArray, partial);
    Module m(0x497);
    m.xfer(Bytes(partial.begin(), partial.end()));
    int sent = 0;
    Bytes r;
    while (sent < 300 && (r = m.xfer({0xFF})).empty())
        ++sent;
    QVERIFY2(!r.empty(), "no answer to 300 filler bytes");
    QCOMPARE(r.back(), NACK);
    QVERIFY(m.ready());
    QCOMPARE(m.flash(APP, 16), Bytes(16, 0xFF));
}

void TestSimEngine::injectedFaults()
{
    {
        Faults f;
        f.noSync = true;
        Module m(0x497, f, false);
        QCOMPARE(m.xfer({SYNC, SYNC, 0x00, 0xFF}), Bytes{});
    }
    {
        Faults f;
        f.nackWrite = 2;
        Module m(0x497, f);
        QCOMPARE(m.write(APP, pattern(8, 1)), ACK);
        QCOMPARE(m.write(APP + 8, pattern(8, 2)), NACK);
        QCOMPARE(m.write(APP + 16, pattern(8, 3)), ACK);
        QCOMPARE(m.flash(APP + 8, 8), Bytes(8, 0xFF));
        // A refusing unit refuses the write sent again too.
        QCOMPARE(m.write(APP + 8, pattern(8, 2)), NACK);
    }
    {
        // Refused once, as line noise would: sent again, it is taken.
        Faults f;
        f.nackWriteOnce = 1;
        Module m(0x497, f);
        QCOMPARE(m.write(APP, pattern(8, 1)), NACK);
        QCOMPARE(m.flash(APP, 8), Bytes(8, 0xFF));
        QCOMPARE(m.write(APP, pattern(8, 1)), ACK);
        QCOMPARE(m.flash(APP, 8), pattern(8, 1));
    }
    {
        // Programmed, but no answer.
        Faults f;
        f.loseWriteAck = 2;
        Module m(0x497, f);
        QCOMPARE(m.write(APP, pattern(8, 1)), ACK);
        QCOMPARE(m.write(APP + 8, pattern(8, 2)), uint8_t(0));
        QCOMPARE(m.flash(APP + 8, 8), pattern(8, 2));
    }
    {
        Faults f;
        f.corruptRead = KEYS + 9;
        Module m(0x497, f);
        Bytes expected = demoKeys();
        expected[9] ^= 0x01;
        QCOMPARE(m.readData(KEYS, 32), expected);
        QCOMPARE(m.flash(KEYS, 32), demoKeys()); // only the answer is corrupted
        const Bytes keys = demoKeys();
        QCOMPARE(m.readData(KEYS, 8), Bytes(keys.begin(), keys.begin() + 8));
    }
    {
        Faults f;
        f.stopAfter = 2;
        Module m(0x497, f);
        QCOMPARE(m.cmd(0x02).size(), size_t(5));
        QCOMPARE(m.read(KEYS, 4).size(), size_t(7)); // the second command completes
        QCOMPARE(m.cmd(0x02), Bytes{});
        QCOMPARE(m.xfer({SYNC}), Bytes{});
        QVERIFY(m.bl.silent());
    }
    {
        // The first erase lands on another page; later erases are as asked.
        Faults f;
        f.erasePageInstead = 0;
        Module m(0x497, f);
        QCOMPARE(m.write(APP, pattern(8, 1)), ACK);
        QCOMPARE(m.extErase(extErasePages({1})), ACK);
        QCOMPARE(m.flash(KEYS, 32), Bytes(32, 0xFF));
        QCOMPARE(m.flash(APP, 8), pattern(8, 1));
        QCOMPARE(m.extErase(extErasePages({1})), ACK);
        QCOMPARE(m.flash(APP, 8), Bytes(8, 0xFF));
    }
    {
        // Get ID lies once; one command frame is refused; a stray ACK precedes a write's answer.
        Faults f;
        f.idOnce = 0x415;
        f.nackCommand = 2;
        f.strayAck = 2;
        Module m(0x410, f);
        QCOMPARE(m.cmd(0x02), (Bytes{ACK, 0x01, 0x04, 0x15, ACK}));
        QCOMPARE(m.cmd(0x02), Bytes{NACK});
        QCOMPARE(m.cmd(0x02), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
        QCOMPARE(m.cmd(0x31), Bytes{ACK});
        QCOMPARE(m.xfer(addressFrame(APP)), Bytes{ACK});
        QCOMPARE(m.xfer(dataFrame(pattern(8, 1))), Bytes{ACK});
        QCOMPARE(m.cmd(0x31), (Bytes{ACK, ACK}));
    }
    {
        Faults f;
        f.corruptRead = KEYS;
        f.corruptReadTimes = 1;
        Module m(0x497, f);
        QVERIFY(m.readData(KEYS, 8) != m.flash(KEYS, 8));
        QCOMPARE(m.readData(KEYS, 8), m.flash(KEYS, 8));
    }
}

void TestSimEngine::eraseMisroutedBelowIdentifiers_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<int>("asked");  // the first application page
    QTest::addColumn<int>("hit");    // where the erase lands instead
    QTest::newRow("F1 page 0 (1 KiB, legacy erase)") << 0x410 << 2 << 0;
    QTest::newRow("L0 page 0 (128 B)") << 0x447 << 16 << 0;
    QTest::newRow("L0 page 14, just below the identifiers' page") << 0x447 << 16 << 14;
    QTest::newRow("WL far up") << 0x497 << 1 << 100;
}

void TestSimEngine::eraseMisroutedBelowIdentifiers()
{
    QFETCH(int, pid);
    QFETCH(int, asked);
    QFETCH(int, hit);
    Faults f;
    f.erasePageInstead = uint32_t(hit);
    Module m(uint16_t(pid), f);
    const DeviceModel &model = *findDeviceModel(uint16_t(pid));
    const uint32_t hitAddr = 0x08000000 + uint32_t(hit) * model.pageSize;
    const uint32_t askedAddr = 0x08000000 + uint32_t(asked) * model.pageSize;
    // Something of the module's own in the page that gets hit, and in the page asked for.
    m.mem.loadFlash(hitAddr - 0x08000000, pattern(model.pageSize, 3));
    m.mem.loadFlash(askedAddr - 0x08000000, pattern(16, 4));
    if (model.eraseCommand == 0x43) {
        QCOMPARE(m.cmd(0x43), Bytes{ACK});
        QCOMPARE(m.xfer({0x00, uint8_t(asked), uint8_t(asked)}), Bytes{ACK});
    } else {
        QCOMPARE(m.extErase(extErasePages({uint16_t(asked)})), ACK);
    }
    QCOMPARE(m.flash(hitAddr, model.pageSize), Bytes(model.pageSize, model.erasedValue));
    QCOMPARE(m.flash(askedAddr, 16), pattern(16, 4));
    QCOMPARE(m.flash(KEYS, 32), demoKeys());
    QCOMPARE(!m.bl.stats().guardedTouches.empty(), hitAddr < 0x08000800);
}

void TestSimEngine::lineNoise()
{
    const Bytes data = pattern(20000, 9);
    const auto run = [&](const NoiseSettings &s, Direction d) {
        LineNoise n(s);
        return n.apply(d, data.data(), data.size());
    };
    NoiseSettings s;
    s.seed = 42;
    s.bitErrorRate = 1e-3;
    s.dropRate = 2e-3;
    s.insertRate = 3e-3;

    // Off: the bytes as they were, nothing counted.
    LineNoise off(NoiseSettings{});
    QVERIFY(!off.active());
    QCOMPARE(off.apply(Direction::ToHost, data.data(), data.size()), data);
    QCOMPARE(off.counts(Direction::ToHost).flips, 0u);

    // One seed, one damage, whichever direction is served first; another seed differs.
    QCOMPARE(run(s, Direction::ToModule), run(s, Direction::ToModule));
    LineNoise both(s);
    both.apply(Direction::ToHost, data.data(), 100);
    QCOMPARE(both.apply(Direction::ToModule, data.data(), data.size()), run(s, Direction::ToModule));
    NoiseSettings other = s;
    other.seed = 43;
    QVERIFY(run(other, Direction::ToModule) != run(s, Direction::ToModule));

    // The counts add up and are near the rates (20000 bytes: generous bounds).
    LineNoise n(s);
    std::vector<std::string> events;
    const Bytes out = n.apply(Direction::ToModule, data.data(), data.size(), &events);
    const NoiseCounts &c = n.counts(Direction::ToModule);
    QCOMPARE(c.bytes, uint64_t(data.size()));
    QCOMPARE(out.size(), data.size() - c.drops + c.inserts);
    QCOMPARE(events.size(), size_t(c.damaged + c.drops + c.inserts));
    QVERIFY2(c.flips >= 100 && c.flips <= 230, qPrintable(QString::number(c.flips))); // ~160
    QVERIFY2(c.drops >= 20 && c.drops <= 65, qPrintable(QString::number(c.drops)));   // ~40
    QVERIFY2(c.inserts >= 35 && c.inserts <= 90, qPrintable(QString::number(c.inserts))); // ~60
    QCOMPARE(n.counts(Direction::ToHost).bytes, 0u);
    QVERIFY(n.summary().find("to-module: 20000 bytes, " + std::to_string(c.flips) + " bits flipped") == 0);

    // Bit errors alone keep the length and change single bits.
    NoiseSettings flipsOnly;
    flipsOnly.bitErrorRate = 1e-3;
    const Bytes flipped = run(flipsOnly, Direction::ToHost);
    QCOMPARE(flipped.size(), data.size());
    int changed = 0;
    for (size_t i = 0; i < data.size(); ++i)
        changed += flipped[i] != data[i];
    QVERIFY(changed > 0);

    // Parity flags: one per arriving byte (drops and spurious bytes too), set exactly where an
    // odd number of bits flipped: even parity catches one flip, not two. Asking for them
    // draws nothing, so a seed gives the same damage either way.
    std::vector<bool> flags;
    NoiseSettings heavy = s;
    heavy.bitErrorRate = 0.05;
    LineNoise withFlags(heavy), without(heavy);
    const Bytes arrived = withFlags.apply(Direction::ToHost, data.data(), data.size(), nullptr, &flags);
    QCOMPARE(flags.size(), arrived.size());
    QCOMPARE(without.apply(Direction::ToHost, data.data(), data.size()), arrived);

    NoiseSettings flipsHeavy;
    flipsHeavy.bitErrorRate = 0.05;
    LineNoise q(flipsHeavy);
    const Bytes damaged = q.apply(Direction::ToHost, data.data(), data.size(), nullptr, &flags);
    QCOMPARE(flags.size(), data.size());
    size_t odd = 0, even = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        const int bits = __builtin_popcount(unsigned(damaged[i] ^ data[i]));
        QCOMPARE(bool(flags[i]), bits % 2 == 1);
        odd += bits % 2 == 1;
        even += bits > 0 && bits % 2 == 0;
    }
    QVERIFY(odd > 0 && even > 0);
}

void TestSimEngine::wiringDrivesPins_data()
{
    // Lines as asserted (1) or not; pins as levels. An asserted line drives its pin low.
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QString>("pins"); // nrst,boot0 for dtr/rts = 00, 01, 10, 11
    QTest::newRow("none") << "none" << "11 11 11 11";
    QTest::newRow("direct") << "direct" << "11 10 01 00";
    QTest::newRow("inverted") << "inverted" << "00 01 10 11";
    QTest::newRow("auto-reset") << "auto-reset" << "10 00 11 10";
}

void TestSimEngine::wiringDrivesPins()
{
    QFETCH(QString, wiring);
    QFETCH(QString, pins);
    Wiring w{};
    QVERIFY(parseWiring(wiring.toStdString(), w));
    QCOMPARE(QString(wiringName(w)), wiring);
    QStringList got;
    for (int lines = 0; lines < 4; ++lines) {
        const Pins p = wiredPins(w, lines & 2, lines & 1);
        got << QString("%1%2").arg(int(p.nrstHigh)).arg(int(p.boot0High));
    }
    QCOMPARE(got.join(' '), pins);
    QVERIFY(!parseWiring("Direct", w));
}

void TestSimEngine::uniqueIdLayout_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<uint>("address");
    QTest::addColumn<QList<int>>("wordOffsets");
    QTest::newRow("F1 contiguous") << 0x410 << 0x1FFFF7E8u << QList<int>{0, 4, 8};
    QTest::newRow("L0 words at +0, +4, +0x14") << 0x447 << 0x1FF80050u << QList<int>{0, 4, 0x14};
    QTest::newRow("WL contiguous") << 0x497 << 0x1FFF7590u << QList<int>{0, 4, 8};
}

void TestSimEngine::uniqueIdLayout()
{
    QFETCH(int, pid);
    QFETCH(uint, address);
    QFETCH(QList<int>, wordOffsets);
    Module m{uint16_t(pid)};
    const uint8_t uid[12] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    m.mem.setUid(uid);
    const Bytes area = m.readData(address, 0x18);
    QCOMPARE(area.size(), size_t(0x18));
    Bytes got;
    for (int off : wordOffsets)
        got.insert(got.end(), area.begin() + off, area.begin() + off + 4);
    QCOMPARE(got, Bytes(uid, uid + 12));
    uint8_t back[12];
    m.mem.uid(back);
    QCOMPARE(Bytes(back, back + 12), Bytes(uid, uid + 12));
    // The flash-size register next to it is left alone.
    const DeviceModel &model = *findDeviceModel(uint16_t(pid));
    const Bytes size = m.readData(model.flashSizeRegister, 2);
    QCOMPARE(int(size[0] | size[1] << 8), int(model.flash.size() / 1024));
}

void TestSimEngine::flashTimes()
{
    Module wl(0x497);
    wl.write(APP, pattern(256, 1));
    QCOMPARE(wl.busy, 32 * 82e-6);
    wl.extErase(extErasePages({1, 2, 3}));
    QCOMPARE(wl.busy, 3 * 22.0e-3);
    Module l0(0x447);
    l0.write(APP, pattern(256, 1));
    QCOMPARE(l0.busy, 4 * 3.2e-3); // four half-pages
    l0.write(APP + 256 + 4, pattern(8, 1));
    QCOMPARE(l0.busy, 2 * 3.2e-3); // two words
    Module f1(0x410);
    f1.write(APP, pattern(256, 1));
    QCOMPARE(f1.busy, 128 * 52.5e-6);
}

void TestSimEngine::waitForDueByte_data()
{
    QTest::addColumn<qint64>("aheadNs"); // negative: overdue
    QTest::addColumn<bool>("pending");
    QTest::addColumn<int>("capMs");
    QTest::addColumn<qint64>("aheadUs"); // woken this much before the due time
    QTest::addColumn<qint64>("expectNs");
    // Waits that whole milliseconds would round up by most of one: each answer late.
    QTest::newRow("1.2 ms") << qint64(1'200'000) << true << 200 << qint64(0) << qint64(1'200'000);
    QTest::newRow("block ACK") << qint64(25'301'234) << true << 200 << qint64(0) << qint64(25'301'234);
    QTest::newRow("one byte") << qint64(95'486) << true << 200 << qint64(0) << qint64(95'486);
    QTest::newRow("due now") << qint64(0) << true << 200 << qint64(0) << qint64(0);
    QTest::newRow("overdue") << qint64(-3'000'000) << true << 200 << qint64(0) << qint64(0);
    QTest::newRow("nothing pending") << qint64(0) << false << 200 << qint64(0) << qint64(200'000'000);
    QTest::newRow("erase beyond the cap") << qint64(2'500'000'000) << true << 200 << qint64(0) << qint64(200'000'000);
    // The answer's end: a long wait stops short, the last sleep is a short one, and the last
    // stretch is waited out awake.
    QTest::newRow("answer's end") << qint64(25'301'234) << true << 200 << qint64(100) << qint64(24'901'234);
    QTest::newRow("answer's end, last sleep") << qint64(350'000) << true << 200 << qint64(100) << qint64(250'000);
    QTest::newRow("answer's end, awake") << qint64(60'000) << true << 200 << qint64(100) << qint64(0);
    QTest::newRow("nothing pending, none early") << qint64(0) << false << 200 << qint64(100) << qint64(200'000'000);
    QTest::newRow("seconds and nanoseconds") << qint64(1'500'000'007) << true << 2000 << qint64(0) << qint64(1'500'000'007);
}

void TestSimEngine::waitForDueByte()
{
    QFETCH(qint64, aheadNs);
    QFETCH(bool, pending);
    QFETCH(int, capMs);
    QFETCH(qint64, aheadUs);
    QFETCH(qint64, expectNs);
    const WireClock::time_point now = WireClock::now();
    std::optional<WireClock::time_point> due;
    if (pending)
        due = now + std::chrono::nanoseconds(aheadNs);
    const timespec w = waitForDue(now, due, std::chrono::milliseconds(capMs), std::chrono::microseconds(aheadUs));
    QVERIFY(w.tv_nsec >= 0 && w.tv_nsec < 1'000'000'000);
    QCOMPARE(qint64(w.tv_sec) * 1'000'000'000 + w.tv_nsec, expectNs);
}

void TestSimEngine::options()
{
    const auto parse = [](QStringList args, Options &o, std::string &err) {
        args.prepend("vbf-module-sim");
        std::vector<QByteArray> keep;
        std::vector<char *> argv;
        for (const QString &a : args)
            keep.push_back(a.toUtf8());
        for (auto &k : keep)
            argv.push_back(k.data());
        return parseOptions(int(argv.size()), argv.data(), o, err);
    };
    Options o;
    std::string err;
    QVERIFY(parse({"--pid", "0x447", "--report-pid", "435", "--baud", "115200", "--fault-nack-write", "3",
                   "--fault-corrupt-read", "080007E8", "--fault-stop-after", "0", "--idle-timeout", "0"},
                  o, err));
    QCOMPARE(o.pid, uint16_t(0x447));
    QCOMPARE(*o.reportPid, uint16_t(0x435));
    QCOMPARE(o.baud, 115200u);
    QCOMPARE(o.faults.nackWrite, 3u);
    QCOMPARE(*o.faults.corruptRead, 0x080007E8u);
    QCOMPARE(*o.faults.stopAfter, 0u);
    QCOMPARE(o.idleTimeout, 0.0);
    Options g;
    QVERIFY(parse({"--fault-id-once", "415", "--fault-erase-page", "0", "--fault-stray-ack", "7", "--fault-nack-command", "4",
                   "--fault-corrupt-read-times", "1", "--fault-nack-write-once", "5", "--fault-lose-write-ack", "6"},
                  g, err));
    QCOMPARE(g.faults.nackWriteOnce, 5u);
    QCOMPARE(g.faults.loseWriteAck, 6u);
    QCOMPARE(*g.faults.idOnce, uint16_t(0x415));
    QCOMPARE(*g.faults.erasePageInstead, 0u);
    QCOMPARE(g.faults.strayAck, 7u);
    QCOMPARE(g.faults.nackCommand, 4u);
    QCOMPARE(*g.faults.corruptReadTimes, 1u);
    Options nz;
    QVERIFY(nz.noise.seed == 1 && !nz.noise.active());
    QVERIFY(parse({"--noise-seed", "7", "--noise-ber", "1.5e-6", "--noise-drop", "1e-5", "--noise-insert", "0.5"}, nz, err));
    QCOMPARE(nz.noise.seed, uint64_t(7));
    QCOMPARE(nz.noise.bitErrorRate, 1.5e-6);
    QCOMPARE(nz.noise.dropRate, 1e-5);
    QCOMPARE(nz.noise.insertRate, 0.5);
    for (const QStringList &bad : {QStringList{"--pid", "0x123"}, {"--keys", "00"}, {"--baud", "0"},
                                   {"--baud", "fast"}, {"--fault-nack-write", "0"}, {"--image"}, {"--frobnicate"},
                                   {"--idle-timeout", "-1"}, {"--fault-stray-ack", "0"},
                                   {"--fault-nack-command", "0"}, {"--fault-erase-page", "x"},
                                   {"--fault-nack-write-once", "0"}, {"--fault-lose-write-ack", "x"},
                                   {"--noise-ber", "2"}, {"--noise-drop", "-0.1"}, {"--noise-insert", "x"},
                                   {"--noise-seed", "-1"}, {"--wiring", "dtr"}, {"--latency-timer", "256"},
                                   {"--uid", "0011"}, {"--startup-ms", "x"}, {"--control"}}) {
        Options x;
        err.clear();
        QVERIFY2(!parse(bad, x, err), qPrintable(bad.join(' ')));
        QVERIFY(!err.empty());
    }
}

QTEST_GUILESS_MAIN(TestSimEngine)
#include "tst_sim_engine.moc"
