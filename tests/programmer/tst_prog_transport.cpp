// Serial transport over a pseudo terminal that the test owns: deadlines, failures, threads.
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "boot_entry.h"
#include "fake_link.h"
#include "flash_session.h"
#include "parity_marks.h"
#include "programmer_api.h"
#include "serial_transport.h"
#include "session_error.h"

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

// The refusal of an open that must fail.
TransportError refusal(Link& link, const PortSettings& s)
{
    std::vector<std::string> notes;
    try {
        link.open(s, notes);
    } catch (const TransportError& e) {
        return e;
    }
    link.close();
    return TransportError(TransportError::Io, "opened " + s.name);
}

// Run in a child process as an ordinary user (nobody, when the test runs as root): a file of
// its own that not even it may open, refused through a session, then opened up to everyone.
// Lines: status, cause, recorded group, the user's group, hint at the failure, hint after.
std::string refusedThenLoosened(const std::string& port)
{
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        return "cannot leave root\n";
    const int fd = ::open(port.c_str(), O_CREAT | O_WRONLY, 0);
    if (fd < 0)
        return "cannot create " + port + "\n";
    ::close(fd);
    FlashSession session;
    const int status = session.connect(settingsFor(port));
    const std::string atFailure = session.lastError().hint;
    ::chmod(port.c_str(), 0666);
    const std::string later =
        hintFor(status, {Operation::Connect, port, "", 115200, false, false, session.openFailure()});
    const group* own = ::getegid() == 0 ? nullptr : ::getgrgid(::getegid());
    return std::to_string(status) + "\n" + std::to_string(int(session.openFailure().cause)) + "\n" +
           session.openFailure().group + "\n" + (own ? own->gr_name : "") + "\n" + atFailure + "\n" + later + "\n";
}

}  // namespace

class TestProgTransport : public QObject {
    Q_OBJECT

private slots:
    void exchangesBytes();
    void everyReadEndsByItsDeadline();
    void openedOnOneThreadUsedOnAnother();
    void reportsPortFailures();
    void openFailuresSayWhy();
    void refusedPortKeepsItsCause();
    void sessionRecordsWhyThePortDidNotOpen();
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

// Each refusal is classified where it happens, its message as it always was.
void TestProgTransport::openFailuresSayWhy()
{
    SerialLink link;
    const TransportError absent = refusal(link, settingsFor("/dev/vbf-no-such-port"));
    QCOMPARE(absent.kind, TransportError::Open);
    QCOMPARE(absent.failure.cause, OpenFailure::Absent);
    QCOMPARE(std::string(absent.what()), std::string("cannot open /dev/vbf-no-such-port: No such file or directory"));

    Pty pty;
    SerialLink holder;
    std::vector<std::string> notes;
    holder.open(settingsFor(pty.slave), notes);
    const TransportError held = refusal(link, settingsFor(pty.slave));
    QCOMPARE(held.failure.cause, OpenFailure::InUse);
    QCOMPARE(std::string(held.what()), "cannot open " + pty.slave + ": port in use (another program has it open)");
    holder.close();

    // Opened, but no terminal: refused after the lock, the descriptor handed back.
    QTemporaryFile plain;
    QVERIFY(plain.open());
    const std::string file = plain.fileName().toStdString();
    const TransportError notATerminal = refusal(link, settingsFor(file));
    QCOMPARE(notATerminal.failure.cause, OpenFailure::Other);
    QVERIFY2(std::string(notATerminal.what()).rfind("cannot open " + file + ": ", 0) == 0, notATerminal.what());
    QVERIFY(!link.isOpen());

    PortSettings nineBits = settingsFor(pty.slave);
    nineBits.dataBits = 9;
    const TransportError settings = refusal(link, nineBits);
    QCOMPARE(settings.failure.cause, OpenFailure::Other);
    QCOMPARE(std::string(settings.what()), "cannot configure " + pty.slave + ": 9 data bits");
    QCOMPARE(refusal(link, settingsFor("")).failure.cause, OpenFailure::Other);

    for (const TransportError* e : {&absent, &held, &notATerminal, &settings})
        QVERIFY2(e->failure.group.empty(), e->what());
    // Only a refused open has a cause at all.
    QCOMPARE(TransportError(TransportError::Timeout, "read timed out").failure.cause, OpenFailure::None);
}

// The hint for a port refused for permission is built from what the transport recorded then:
// the device opened up since (or gone, or replaced) does not change the sentence.
void TestProgTransport::refusedPortKeepsItsCause()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(::chmod(dir.path().toLocal8Bit().constData(), 0777), 0);
    const std::string port = dir.path().toStdString() + "/ttyVBF0";
    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        const std::string report = refusedThenLoosened(port);
        const bool sent = ::write(pipeFds[1], report.data(), report.size()) == ssize_t(report.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int exitStatus = 0;
    QCOMPARE(::waitpid(child, &exitStatus, 0), child);
    QVERIFY(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);

    const QStringList lines = QString::fromStdString(report).split('\n');
    QVERIFY2(lines.size() >= 6, report.c_str());
    QCOMPARE(lines[0].toInt(), int(PROG_ERR_PORT_OPEN));
    QCOMPARE(lines[1].toInt(), int(OpenFailure::Denied));
    QCOMPARE(lines[2], lines[3]);  // the group the device belongs to: the creator's own
    const QString atFailure = lines[4], later = lines[5];
    const QString join = lines[3].isEmpty() || lines[3] == "dialout"
                             ? QString("join the dialout group (or the group that owns the device), e.g. with sudo usermod -aG dialout")
                             : "join the group " + lines[3] + " that owns it, e.g. with sudo usermod -aG " + lines[3];
    QCOMPARE(atFailure, QString::fromStdString("The serial port " + port + " cannot be opened: permission denied; ") + join +
                            " $USER, and log in again.");
    QCOMPARE(later, atFailure);
    struct stat st {};
    QCOMPARE(::stat(port.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0666));  // the device was opened up before the later hint
}

// The session keeps what the link said when it refused the port, also when a boot sequence
// opened the port for it, and forgets it on the next operation.
void TestProgTransport::sessionRecordsWhyThePortDidNotOpen()
{
    auto owned = std::make_unique<FakeLink>();
    FakeLink& fake = *owned;
    FlashSession session({}, std::move(owned));
    fake.refuseOpen = OpenFailure{OpenFailure::Denied, "uucp"};
    QCOMPARE(session.connect(settingsFor("/dev/vbf-no-such-port")), int(PROG_ERR_PORT_OPEN));
    QCOMPARE(session.openFailure().cause, OpenFailure::Denied);
    QCOMPARE(session.openFailure().group, std::string("uucp"));
    QCOMPARE(session.lastError().hint,
             std::string("The serial port /dev/vbf-no-such-port cannot be opened: permission denied; join the group uucp "
                         "that owns it, e.g. with sudo usermod -aG uucp $USER, and log in again."));

    const auto boot = bootSequence("direct");
    QVERIFY2(boot.ok(), boot.error().what.c_str());
    fake.refuseOpen = OpenFailure{OpenFailure::InUse, {}};
    QCOMPARE(BootEntry(boot.value()).connect(session, settingsFor("fake0"), {}), int(PROG_ERR_PORT_OPEN));
    QCOMPARE(session.openFailure().cause, OpenFailure::InUse);

    fake.refuseOpen.reset();
    QCOMPARE(session.connect(settingsFor("fake0")), int(PROG_ERR_NO_ANSWER));
    QCOMPARE(session.openFailure().cause, OpenFailure::None);
    QCOMPARE(fake.opens, 3);
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
