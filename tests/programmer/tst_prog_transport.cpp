// Serial transport over a pseudo terminal that the test owns: deadlines, failures, threads.
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fake_link.h"
#include "flash_session.h"
#include "parity_marks.h"
#include "programmer_api.h"
#include "serial_transport.h"

using namespace vbprog;
using Clock = std::chrono::steady_clock;

namespace {

struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        int s = -1;
        char name[128] = {0};
        if (openpty(&master, &s, name, nullptr, nullptr) == 0) {
            slave = name;
            ::close(s);   // the link opens it by name
        }
    }
    ~Pty()
    {
        closeMaster();
    }
    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void send(const std::string& s) const
    {
        QCOMPARE(::write(master, s.data(), s.size()), ssize_t(s.size()));
    }
    std::string receive(size_t n) const
    {
        std::string out;
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (out.size() < n && Clock::now() < until) {
            char b[256];
            const ssize_t k = ::read(master, b, std::min(sizeof b, n - out.size()));
            if (k > 0)
                out.append(b, size_t(k));
        }
        return out;
    }
};

PortSettings settingsFor(const std::string& name)
{
    PortSettings s;
    s.name = name;
    return s;
}

}  // namespace

class TestProgTransport : public QObject {
    Q_OBJECT

private slots:
    void exchangesBytes();
    void everyReadEndsByItsDeadline();
    void openedOnOneThreadUsedOnAnother();
    void reportsPortFailures();
    void openLeavesModemLinesIdle();
    void linesDrivenBeforeConnectStay();
    void ptyRefusesModemLines();
    void parityMarksDecoded_data();
    void parityMarksDecoded();
    void everyByteValueCrossesAMarkingPort();
    void refusedOpenLeavesTheHoldersTerminal();
};

void TestProgTransport::parityMarksDecoded_data()
{
    constexpr int D = ParityMarks::kDamaged;
    QTest::addColumn<bool>("marking");
    QTest::addColumn<QList<QByteArray>>("chunks");   // as the port hands them over
    QTest::addColumn<QList<int>>("bytes");           // what the link reads
    QTest::newRow("plain") << true << QList<QByteArray>{"\x01\x7F\x79"} << QList<int>{0x01, 0x7F, 0x79};
    QTest::newRow("erased flash") << true << QList<QByteArray>{QByteArray(8, '\xFF')}
                                  << QList<int>{0xFF, 0xFF, 0xFF, 0xFF};
    QTest::newRow("0xFF then 0x00 is data") << true << QList<QByteArray>{QByteArray("\xFF\xFF\x00\x41", 4)}
                                            << QList<int>{0xFF, 0x00, 0x41};
    QTest::newRow("parity error") << true << QList<QByteArray>{QByteArray("\x41\xFF\x00\x7B\x42", 5)}
                                  << QList<int>{0x41, D, 0x42};
    QTest::newRow("break") << true << QList<QByteArray>{QByteArray("\xFF\x00\x00\x79", 4)} << QList<int>{D, 0x79};
    QTest::newRow("damaged 0xFF") << true << QList<QByteArray>{QByteArray("\xFF\x00\xFF\xFF\xFF", 5)}
                                  << QList<int>{D, 0xFF};
    QTest::newRow("0xFF pair split") << true << QList<QByteArray>{"\xFF", QByteArray("\xFF\x00", 2)}
                                     << QList<int>{0xFF, 0x00};
    QTest::newRow("mark split after 0xFF") << true << QList<QByteArray>{"\xFF", QByteArray(1, '\0'), "\x42"}
                                           << QList<int>{D};
    QTest::newRow("mark split before its byte") << true << QList<QByteArray>{QByteArray("\xFF\x00", 2), "\x42\x43"}
                                                << QList<int>{D, 0x43};
    QTest::newRow("stray 0xFF taken as data") << true << QList<QByteArray>{"\xFF\x41"} << QList<int>{0xFF, 0x41};
    QTest::newRow("not marking") << false << QList<QByteArray>{QByteArray("\xFF\x00\x41\xFF\xFF", 5)}
                                 << QList<int>{0xFF, 0x00, 0x41, 0xFF, 0xFF};
}

void TestProgTransport::parityMarksDecoded()
{
    QFETCH(bool, marking);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<int>, bytes);
    ParityMarks m;
    m.setMarking(marking);
    QList<int> got;
    for (const QByteArray& c : chunks) {
        m.feed(reinterpret_cast<const uint8_t*>(c.constData()), size_t(c.size()));
        for (int b; (b = m.next()) != ParityMarks::kNeedMore;)
            got << b;
    }
    QCOMPARE(got, bytes);
    QCOMPARE(m.buffered(), size_t(0));
    const uint8_t half = 0xFF;
    m.feed(&half, 1);
    QCOMPARE(m.next(), marking ? ParityMarks::kNeedMore : 0xFF);
    m.clear();
    QCOMPARE(m.buffered(), size_t(0));
}

// The port marks line errors, so the terminal doubles every 0xFF it passes on: each value,
// and erased flash above all, must still read as sent, also when a read ends mid-pair.
void TestProgTransport::everyByteValueCrossesAMarkingPort()
{
    Pty pty;
    QVERIFY(!pty.slave.empty());
    SerialLink link;
    std::vector<std::string> notes;
    link.open(settingsFor(pty.slave), notes);
    for (const auto& n : notes)
        QVERIFY2(n.find("not marked") == std::string::npos, n.c_str());

    std::string sent;
    for (int v = 0; v < 256; ++v)
        sent += char(v);
    sent += std::string(300, '\xFF') + std::string("\xFF\x00\x41", 3);
    std::thread peer([&] {
        for (size_t at = 0; at < sent.size(); at += 97) {
            pty.send(sent.substr(at, 97));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string got(sent.size(), '\0');
    // Odd pieces, so that reads end inside a doubled 0xFF.
    for (size_t at = 0; at < got.size();) {
        const size_t n = std::min<size_t>(got.size() - at, 1 + at % 7);
        link.read(reinterpret_cast<uint8_t*>(&got[at]), n, Millis(1000));
        at += n;
    }
    peer.join();
    QCOMPARE(QByteArray::fromStdString(got).toHex(), QByteArray::fromStdString(sent).toHex());
    QCOMPARE(link.readByte(Millis(20)), -1);
}

// A second program on a held port is refused before it changes the terminal the two
// share. Root passes TIOCEXCL, so only the lock stops it; as root (or with TIOCEXCL
// cleared) a terminal set by the refused open would lose its parity marking.
void TestProgTransport::refusedOpenLeavesTheHoldersTerminal()
{
    Pty pty;
    QVERIFY(!pty.slave.empty());
    SerialLink holder;
    std::vector<std::string> notes;
    holder.open(settingsFor(pty.slave), notes);
    termios before{};
    QCOMPARE(::tcgetattr(pty.master, &before), 0);  // a pty master reads its slave's settings
    QVERIFY(before.c_iflag & PARMRK);
    QVERIFY(before.c_iflag & INPCK);

    for (int attempt = 0; attempt < 2; ++attempt) {
        SerialLink second;
        try {
            second.open(settingsFor(pty.slave), notes);
            QFAIL("a second link opened a held port");
        } catch (const TransportError& e) {
            QCOMPARE(e.kind, TransportError::Open);
            QVERIFY2(std::string(e.what()).find("port in use") != std::string::npos, e.what());
        }
        QVERIFY(!second.isOpen());
    }
    termios after{};
    QCOMPARE(::tcgetattr(pty.master, &after), 0);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(::cfgetispeed(&after), ::cfgetispeed(&before));

    // Erased flash still reads as erased flash on the holder's link.
    const std::string sent = std::string(6, '\xFF') + std::string("\xFF\x00\x79", 3);
    pty.send(sent);
    std::string got(sent.size(), '\0');
    holder.read(reinterpret_cast<uint8_t*>(&got[0]), got.size(), Millis(1000));
    QCOMPARE(QByteArray::fromStdString(got).toHex(), QByteArray::fromStdString(sent).toHex());
}

void TestProgTransport::exchangesBytes()
{
    Pty pty;
    QVERIFY(!pty.slave.empty());
    SerialLink link;
    std::vector<std::string> notes;
    link.open(settingsFor(pty.slave), notes);
    QVERIFY(link.isOpen());
    QCOMPARE(link.portName(), pty.slave);

    const uint8_t out[] = {0x7F, 0x00, 0xFF, 0x0A, 0x0D, 0x11, 0x13};   // raw: no line or flow translation
    link.write(out, sizeof out, Millis(500));
    QCOMPARE(pty.receive(sizeof out), std::string(reinterpret_cast<const char*>(out), sizeof out));

    // A reply split over several writes is gathered into one read.
    std::thread peer([&] {
        pty.send(std::string("\x79\x0D", 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.send(std::string("\x0A\x1F", 2));
    });
    uint8_t in[4] = {0};
    link.read(in, 4, Millis(1000));
    peer.join();
    QCOMPARE(in[0], uint8_t(0x79));
    QCOMPARE(in[1], uint8_t(0x0D));
    QCOMPARE(in[2], uint8_t(0x0A));
    QCOMPARE(in[3], uint8_t(0x1F));

    // Stale bytes are dropped before a new exchange.
    pty.send("garbage");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    link.discardInput();
    QCOMPARE(link.readByte(Millis(50)), -1);

    QCOMPARE(link.wireTime(10472).count(), 1000);   // 11 bits a byte at 115200 baud
    link.close();
    QVERIFY(!link.isOpen());
    link.close();   // harmless twice
}

void TestProgTransport::everyReadEndsByItsDeadline()
{
    Pty pty;
    SerialLink link;
    std::vector<std::string> notes;
    link.open(settingsFor(pty.slave), notes);
    for (int timeout : {20, 200}) {
        const auto t0 = Clock::now();
        uint8_t b[8];
        bool timedOut = false;
        try {
            link.read(b, sizeof b, Millis(timeout));
        } catch (const TransportError& e) {
            timedOut = e.kind == TransportError::Timeout;
        }
        const auto ms = std::chrono::duration_cast<Millis>(Clock::now() - t0).count();
        QVERIFY(timedOut);
        QVERIFY2(ms >= timeout - 2 && ms < timeout + 300, qPrintable(QString::number(ms)));
    }
    // Part of the answer, then silence: still bounded.
    pty.send("abc");
    const auto t0 = Clock::now();
    uint8_t b[8];
    QVERIFY_THROWS_EXCEPTION(TransportError, link.read(b, sizeof b, Millis(150)));
    QVERIFY(Clock::now() - t0 < std::chrono::milliseconds(600));
    // The link is usable after a timeout.
    pty.send("z");
    QCOMPARE(link.readByte(Millis(500)), int('z'));
}

void TestProgTransport::openedOnOneThreadUsedOnAnother()
{
    Pty pty;
    SerialLink link;
    std::vector<std::string> notes;
    link.open(settingsFor(pty.slave), notes);
    int got = -2;
    std::thread worker([&] {
        const uint8_t ping = 0x7F;
        link.write(&ping, 1, Millis(500));
        got = link.readByte(Millis(1000));
    });
    QCOMPARE(pty.receive(1), std::string("\x7F"));
    pty.send("\x79");
    worker.join();
    QCOMPARE(got, 0x79);
    // And back on this thread.
    pty.send("\x1F");
    QCOMPARE(link.readByte(Millis(500)), 0x1F);
}

void TestProgTransport::reportsPortFailures()
{
    SerialLink link;
    std::vector<std::string> notes;
    try {
        link.open(settingsFor("/dev/vbf-no-such-port"), notes);
        QFAIL("opened a missing port");
    } catch (const TransportError& e) {
        QCOMPARE(e.kind, TransportError::Open);
        QVERIFY(QString(e.what()).contains("/dev/vbf-no-such-port"));
    }
    QVERIFY_THROWS_EXCEPTION(TransportError, link.open(settingsFor(""), notes));

    {
        Pty pty;
        PortSettings s = settingsFor(pty.slave);
        s.dataBits = 9;
        QVERIFY_THROWS_EXCEPTION(TransportError, link.open(s, notes));
        QVERIFY(!link.isOpen());
    }

    // The other end goes away (the cable is pulled): reads fail or time out, never hang.
    Pty pty;
    link.open(settingsFor(pty.slave), notes);
    pty.closeMaster();
    const auto t0 = Clock::now();
    uint8_t b = 0;
    QVERIFY_THROWS_EXCEPTION(TransportError, link.read(&b, 1, Millis(300)));
    QVERIFY(Clock::now() - t0 < std::chrono::milliseconds(800));
}

// A board wired DTR->NRST is held in reset while DTR is asserted; every open must leave
// both lines de-asserted, and a port without lines is still usable.
void TestProgTransport::openLeavesModemLinesIdle()
{
    struct Case {
        const char* name;
        bool refuse;
        size_t changes;
        size_t notes;
    };
    for (const Case& c : {Case{"lines", false, 1, 0}, Case{"no lines", true, 0, 1}}) {
        FakeLink link;
        link.refuseLines = c.refuse;
        std::vector<std::string> notes;
        link.open(settingsFor("fake0"), notes);
        QVERIFY2(link.isOpen(), c.name);
        QCOMPARE(link.lineChanges.size(), c.changes);
        if (c.changes) {
            QVERIFY(!link.lineChanges[0].dtr);
            QVERIFY(!link.lineChanges[0].rts);
        }
        QCOMPARE(notes.size(), c.notes);
        if (c.notes)
            QVERIFY2(QString::fromStdString(notes[0]).contains("fake0 has no modem lines"), notes[0].c_str());
    }
}

// Lines put into a boot state before connect() are not undone by a second open.
void TestProgTransport::linesDrivenBeforeConnectStay()
{
    auto owned = std::make_unique<FakeLink>();
    FakeLink& fake = *owned;
    FlashSession session({}, std::move(owned));
    std::vector<std::string> notes;
    session.link().open(settingsFor("fake0"), notes);
    session.link().setModemLines({true, true});
    // Nothing answers on the fake: the connection fails, but only after using the open port.
    QCOMPARE(session.connect(settingsFor("fake0")), int(PROG_ERR_NO_ANSWER));
    QCOMPARE(fake.opens, 1);
    QCOMPARE(fake.lineChanges.size(), size_t(2));
    QVERIFY(fake.lineChanges.back().dtr && fake.lineChanges.back().rts);
    // A port of another name is opened afresh, its lines idle.
    QCOMPARE(session.connect(settingsFor("fake1")), int(PROG_ERR_NO_ANSWER));
    QCOMPARE(fake.opens, 2);
    QVERIFY(!fake.lineChanges.back().dtr && !fake.lineChanges.back().rts);
}

// A pty has no modem lines: a plain sentence, and opening still succeeds with a note.
void TestProgTransport::ptyRefusesModemLines()
{
    Pty pty;
    SerialLink link;
    std::vector<std::string> notes;
    link.open(settingsFor(pty.slave), notes);
    QVERIFY(link.isOpen());
    const auto noted = std::find_if(notes.begin(), notes.end(),
                                    [](const std::string& n) { return n.find("DTR and RTS") != std::string::npos; });
    QVERIFY(noted != notes.end());
    QVERIFY2(noted->find(pty.slave + " has no modem lines") != std::string::npos, noted->c_str());
    try {
        link.setModemLines({true, false});
        QFAIL("a pty took a modem-line change");
    } catch (const TransportError& e) {
        QCOMPARE(e.kind, TransportError::Io);
        QCOMPARE(std::string(e.what()), pty.slave + " has no modem lines (DTR, RTS) to set");
    }
}

QTEST_GUILESS_MAIN(TestProgTransport)
#include "tst_prog_transport.moc"
