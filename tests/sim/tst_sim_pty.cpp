// The simulator program on its pty: link handling, state in and out, faults and timing,
// and stm32flash as an independent host.
#include "pty_client.h"

#include <QtTest>

namespace {

constexpr quint32 APP = 0x08000800;
constexpr int KEYS = 0x7E0;
const QByteArray demoKeys = QByteArray::fromHex("70b3d57ed005a1b270b3d57ed00000012b7e151628aed2a6abf7158809cf4f3c");
const QByteArray ACK(1, char(0x79));
const QByteArray NACK(1, char(0x1F));

QByteArray pattern(int n, int seed)
{
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = char((seed + i * 13 + (i >> 8)) & 0xFF);
    return b;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

struct ToolRun {
    int exitCode = -1;
    QString output;
};

ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs = 20000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    ToolRun r;
    if (!p.waitForStarted(5000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        r.output = QString::fromLocal8Bit(p.readAll()) + "\n(timed out)";
        return r;
    }
    r.output = QString::fromLocal8Bit(p.readAll());
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

} // namespace

class TestSimPty : public QObject {
    Q_OBJECT

private slots:
    void survivesReopening();
    void imageKeysAndDump();
    void idleTimeoutEndsIt();
    void faultsOnTheLine();
    void lineNoise_data();
    void lineNoise();
    void lineNoiseIsRepeatable();
    void controlSocket();
    void wiredResets_data();
    void wiredResets();
    void resetWithoutWiring();
    void modulesTakenOutAndPutIn();
    void wireAndFlashTiming();
    void wireTrace();
    void bridgeLatencyTimer();
    void stm32flashAsHost_data();
    void stm32flashAsHost();
};

void TestSimPty::survivesReopening()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("module");
    const QString logFile = dir.filePath("sim.log");
    SimProcess sim({"--link", link, "--log", logFile});
    QVERIFY(sim.started());
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.ptyPath());

    PtyClient c;
    QVERIFY(c.open(link));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x00, 0xFF}), 15).size(), 15);
    // The client goes away without reading the answer to its last command.
    QVERIFY(c.send(bytes({0x02, 0xFD})));
    QTest::qWait(100);
    c.close();
    QTest::qWait(100);

    QVERIFY(c.open(sim.ptyPath()));
    QCOMPARE(c.receive(1, 200), QByteArray()); // no stale reply
    // Still synchronised: 0x7F is the first byte of a frame, the second makes it a NACK.
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());
    QCOMPARE(c.exchange(bytes({0x7F}), 1), NACK);
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 5), bytes({0x79, 0x01, 0x04, 0x97, 0x79}));
    c.close();

    QCOMPARE(sim.terminate(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    const QString log = QString::fromLocal8Bit(readFile(logFile));
    QVERIFY2(log.contains("Link: client opened the port, bootloader still synchronised"), qPrintable(log));
    QVERIFY(log.contains("Command 0x7F NACK"));
    QVERIFY(log.contains("\nsummary: 4 commands, 3 ACK, 1 NACK, 1 sync\n"));
    QVERIFY(log.contains("\nguarded-area: none\n"));
}

void TestSimPty::imageKeysAndDump()
{
    QTemporaryDir dir;
    const QString small = dir.filePath("small.bin"), large = dir.filePath("large.bin"), dump = dir.filePath("dump.bin");
    QVERIFY(writeFile(small, pattern(1024, 1)));
    QVERIFY(writeFile(large, pattern(4096, 2)));

    {   // Image short of the identifiers: demo identifiers; the dump follows the flash on Go.
        SimProcess sim({"--image", small, "--dump", dump, "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
        QCOMPARE(c.exchange(bytes({0x31, 0xCE}), 1), ACK);
        QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
        QCOMPARE(c.exchange(dataFrame(pattern(16, 3)), 1), ACK);
        QCOMPARE(c.exchange(bytes({0x21, 0xDE}), 1), ACK);
        QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
        QTRY_VERIFY(QFileInfo::exists(dump));
        const QByteArray d = readFile(dump);
        QCOMPARE(d.size(), 256 * 1024);
        QCOMPARE(d.left(1024), pattern(1024, 1));
        QCOMPARE(d.mid(KEYS, 32), demoKeys);
        QCOMPARE(d.mid(int(APP - 0x08000000), 16), pattern(16, 3));
        QCOMPARE(d.mid(1024, KEYS - 1024), QByteArray(KEYS - 1024, char(0xFF)));
        QCOMPARE(sim.terminate(), 0);
        QVERIFY2(sim.log().contains("bytes-written: 16"), qPrintable(sim.log()));
    }
    {   // The image covers them: its own bytes stay.
        SimProcess sim({"--image", large, "--dump", dump, "--quiet"});
        QVERIFY(sim.started());
        QCOMPARE(sim.terminate(), 0);
        QCOMPARE(readFile(dump).left(4096), pattern(4096, 2));
    }
    {   // --keys wins over the image; L0 flash is erased to 0x00.
        const QString keys = "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210";
        SimProcess sim({"--pid", "0x447", "--image", large, "--keys", keys, "--dump", dump, "--quiet"});
        QVERIFY(sim.started());
        QCOMPARE(sim.terminate(), 0);
        const QByteArray d = readFile(dump);
        QCOMPARE(d.size(), 192 * 1024);
        QCOMPARE(d.mid(KEYS, 32), QByteArray::fromHex(keys.toLatin1()));
        QCOMPARE(d.left(KEYS), pattern(4096, 2).left(KEYS));
        QCOMPARE(d.mid(4096, 64), QByteArray(64, 0));
    }
    {   // An image larger than the flash is refused.
        QVERIFY(writeFile(large, QByteArray(129 * 1024, 1)));
        SimProcess sim({"--pid", "0x410", "--image", large});
        QVERIFY(!sim.started());
        QVERIFY(sim.waitForExit(5000));
        QCOMPARE(sim.process().exitCode(), 2);
    }
}

void TestSimPty::lineNoise_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("answer"); // to 0x7F, Get ID
    QTest::addColumn<QString>("counted");
    const QByteArray clean = bytes({0x79, 0x79, 0x01, 0x04, 0x97, 0x79});
    QTest::newRow("off") << QStringList{} << clean << QString();
    QTest::newRow("every bit flipped") << QStringList{"--noise-ber", "1"} << QByteArray()
                                       << "noise: to-module: 3 bytes, 24 bits flipped in 3 bytes, 0 dropped, 0 inserted; "
                                          "to-host: 0 bytes";
    QTest::newRow("every byte lost") << QStringList{"--noise-drop", "1"} << QByteArray()
                                     << "to-module: 3 bytes, 0 bits flipped in 0 bytes, 3 dropped";
    QTest::newRow("rates of zero") << QStringList{"--noise-ber", "0", "--noise-seed", "5"} << clean << QString();
}

void TestSimPty::lineNoise()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, answer);
    QFETCH(QString, counted);
    QTemporaryDir dir;
    const QString sock = dir.filePath("ctl");
    SimProcess sim(args << "--quiet" << "--control" << sock);
    QVERIFY(sim.started());
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    QVERIFY(c.send(bytes({0x7F, 0x02, 0xFD})));
    QCOMPARE(c.receive(answer.size() + 1, answer.isEmpty() ? 300 : 500), answer);
    // The counts so far, for a benchmark that reads them while it runs.
    const QString live = simControl(sock, "noise");
    QVERIFY2(counted.isEmpty() ? live == "ok off" : ("noise: " + live.mid(3)).contains(counted.section("; to-host", 0, 0)),
             qPrintable(live));
    QCOMPARE(sim.terminate(), 0);
    if (counted.isEmpty())
        QVERIFY2(!sim.log().contains("noise:"), qPrintable(sim.log()));
    else
        QVERIFY2(sim.log().contains(counted), qPrintable(sim.log()));
}

void TestSimPty::lineNoiseIsRepeatable()
{
    // The same seed and the same bytes from the host: the same bytes back, and the same counts.
    QByteArray traffic;
    for (int i = 0; i < 40; ++i)
        traffic += bytes({0x7F, 0x02, 0xFD, 0x00, 0xFF});
    const auto once = [&](const QString &seed, QString &counts) {
        SimProcess sim({"--noise-seed", seed, "--noise-ber", "0.02", "--noise-drop", "0.05", "--noise-insert", "0.05",
                        "--quiet"});
        PtyClient c;
        if (!sim.started() || !c.open(sim.ptyPath()))
            return QByteArray("no simulator");
        c.send(traffic);
        const QByteArray got = c.receive(4096, 400);
        sim.terminate();
        const QString log = sim.log();
        counts = log.mid(log.indexOf("noise:"));
        return got;
    };
    QString a, b, other;
    const QByteArray first = once("11", a);
    QVERIFY(!first.isEmpty());
    QCOMPARE(once("11", b), first);
    QCOMPARE(b, a);
    QVERIFY2(a.contains(" dropped") && !a.contains(" 0 bits flipped"), qPrintable(a));
    QVERIFY(once("12", other) != first);
}

void TestSimPty::controlSocket()
{
    QTemporaryDir dir;
    const QString sock = dir.filePath("ctl");
    SimProcess sim({"--control", sock, "--quiet"});
    QVERIFY(sim.started());
    QCOMPARE(simControl(sock, "ping"), QString("ok"));
    const QString state = simControl(sock, "state");
    QVERIFY2(state.startsWith("ok state=bootloader module=1 wiring=none dtr=0 rts=0 nrst=1 boot0=1 app-runs=0"),
             qPrintable(state));
    QVERIFY2(state.contains(" synced=0 ") && state.contains(" port=" + sim.ptyPath()), qPrintable(state));
    for (const char *bad : {"frobnicate", "lines dtr=2", "lines cts=1", "pins nrst=up", "serial low-latency=yes",
                               "remove now", "insert keys=00"})
        QVERIFY2(simControl(sock, bad).startsWith("error "), qPrintable(bad));
    // Lines alone do nothing to a module without a wiring.
    QCOMPARE(simControl(sock, "lines dtr=1 rts=1"), QString("ok dtr=1 rts=1"));
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QVERIFY(simControl(sock, "state").contains(" synced=1 "));
    QCOMPARE(sim.terminate(), 0);
    QVERIFY(!QFileInfo::exists(sock));

    SimProcess taken({"--control", sock, "--quiet"});
    QVERIFY(taken.started());
    SimProcess second({"--control", dir.filePath("no-such-dir/ctl"), "--quiet"});
    QVERIFY(!second.started());
    QVERIFY(second.waitForExit(5000));
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY(second.log().contains("cannot listen on"));
}

void TestSimPty::wiredResets_data()
{
    addWiredResetRows();
}

void TestSimPty::wiredResets()
{
    QFETCH(QString, wiring);
    QFETCH(QStringList, toBootloader);
    QFETCH(QStringList, toApplication);
    QFETCH(QString, holdReset);
    QTemporaryDir dir;
    const QString sock = dir.filePath("ctl");
    SimProcess sim({"--control", sock, "--wiring", wiring, "--startup-ms", "150", "--quiet"});
    QVERIFY(sim.started());
    const auto lines = [&](const QString &dr) {
        const QString a = simControl(sock, QString("lines dtr=%1 rts=%2").arg(dr[0]).arg(dr[1]));
        return a == QString("ok dtr=%1 rts=%2").arg(dr[0]).arg(dr[1]);
    };
    const auto state = [&](const QString &key) { return answerField(simControl(sock, "state"), key); };
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));

    // Powered up on a bench: the application runs, and never answers the bootloader's sync.
    if (wiring != "inverted") { // idle lines hold an inverted wiring's NRST low
        QCOMPARE(state("state"), QString("application"));
        QCOMPARE(state("app-runs"), QString("1"));
    }
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());

    // Into the bootloader: bytes in its start-up time are lost, then it takes its 0x7F.
    for (const QString &l : toBootloader)
        QVERIFY(lines(l));
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 50), QByteArray());
    QTest::qWait(150);
    QCOMPARE(state("state"), QString("bootloader"));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x31, 0xCE}), 1), ACK);
    QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
    QCOMPARE(c.exchange(dataFrame(pattern(16, 5)), 1), ACK);
    const QString runsBefore = state("app-runs");

    // Held in reset: silent, every byte lost.
    QVERIFY(lines(holdReset));
    QCOMPARE(state("state"), QString("reset"));
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 100), QByteArray());

    // Into the application: it counts, and does not answer.
    for (const QString &l : toApplication)
        QVERIFY(lines(l));
    QCOMPARE(state("state"), QString("application"));
    QCOMPARE(state("app-runs"), QString::number(runsBefore.toInt() + 1));
    QTest::qWait(200);
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());

    // Back into the bootloader: a fresh start that needs its 0x7F, and the flash kept.
    for (const QString &l : toBootloader)
        QVERIFY(lines(l));
    QTest::qWait(200);
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 200), QByteArray());
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x11, 0xEE}), 1), ACK);
    QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
    QCOMPARE(c.exchange(bytes({15, 0xF0}), 17), ACK + pattern(16, 5));
    QVERIFY(state("resets").toInt() >= 2);
    QVERIFY(state("lost").toInt() >= 4);
    QCOMPARE(sim.terminate(), 0);
    QVERIFY2(sim.log().contains("\napplication-runs: " + QString::number(runsBefore.toInt() + 1) + "\n"), qPrintable(sim.log()));
}

void TestSimPty::resetWithoutWiring()
{
    // A reset button on a module strapped into its bootloader: a fresh sync is needed; a
    // jumper moved to BOOT0 low starts the application; a tty open asserts both lines and
    // the last close lowers them again.
    QTemporaryDir dir;
    const QString sock = dir.filePath("ctl");
    SimProcess sim({"--control", sock, "--startup-ms", "0", "--quiet"});
    QVERIFY(sim.started());
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    QCOMPARE(simControl(sock, "open"), QString("ok dtr=1 rts=1"));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(simControl(sock, "pins nrst=0"), QString("ok nrst=0 boot0=1"));
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 200), QByteArray());
    QCOMPARE(simControl(sock, "pins nrst=wired"), QString("ok nrst=1 boot0=1"));
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 200), QByteArray()); // waits for 0x7F again
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(simControl(sock, "pins boot0=0 nrst=0"), QString("ok nrst=0 boot0=0"));
    QCOMPARE(simControl(sock, "pins nrst=wired"), QString("ok nrst=1 boot0=0"));
    QVERIFY(simControl(sock, "state").contains("state=application "));
    c.close();
    QTRY_VERIFY(simControl(sock, "state").contains(" dtr=0 rts=0 "));
    QCOMPARE(sim.terminate(), 0);
}

void TestSimPty::modulesTakenOutAndPutIn()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("port"), sock = dir.filePath("ctl"), dump = dir.filePath("dump.bin");
    const QString uid1 = "0102030405060708090a0b0c", uid2 = "a1a2a3a4a5a6a7a8a9aaabac";
    const QString keys2 = "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210";
    SimProcess sim({"--pid", "0x447", "--link", link, "--control", sock, "--dump", dump, "--uid", uid1, "--quiet"});
    QVERIFY(sim.started());
    // The L0's unique ID: three words, the third at +0x14.
    const auto readUid = [](PtyClient &c) {
        if (c.exchange(bytes({0x11, 0xEE}), 1) != ACK || c.exchange(addressFrame(0x1FF80050), 1) != ACK)
            return QString("no read");
        const QByteArray a = c.exchange(bytes({0x17, 0xE8}), 25).mid(1);
        return QString((a.mid(0, 8) + a.mid(0x14, 4)).toHex());
    };
    const auto readKeys = [](PtyClient &c) {
        if (c.exchange(bytes({0x11, 0xEE}), 1) != ACK || c.exchange(addressFrame(0x080007E0), 1) != ACK)
            return QString("no read");
        return QString(c.exchange(bytes({0x1F, 0xE0}), 33).mid(1).toHex());
    };
    const auto write = [](PtyClient &c, int seed) {
        return c.exchange(bytes({0x31, 0xCE}), 1) == ACK && c.exchange(addressFrame(APP), 1) == ACK &&
               c.exchange(dataFrame(pattern(16, seed)), 1) == ACK;
    };

    PtyClient c;
    QVERIFY(c.open(link));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(readUid(c), uid1);
    QVERIFY(write(c, 1));
    QCOMPARE(simControl(sock, "insert"), QString("error insert: module 1 is in; remove it first"));

    // Taken out with its adapter: the port vanishes, the module's flash is dumped.
    QCOMPARE(simControl(sock, "remove"), QString("ok module=1 port=gone"));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(readFile(dump).mid(int(APP - 0x08000000), 16), pattern(16, 1));
    QCOMPARE(readFile(dump).mid(KEYS, 32), demoKeys);
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());
    c.close();
    QVERIFY(simControl(sock, "state").startsWith("ok state=absent module=none "));
    QVERIFY(simControl(sock, "remove").startsWith("error "));

    // A new one with given identifiers: a new port at the same link, fresh flash.
    const QString in2 = simControl(sock, "insert keys=" + keys2 + " uid=" + uid2);
    QVERIFY2(in2.startsWith("ok module=2 port=/dev/pts/"), qPrintable(in2));
    QCOMPARE(answerField(in2, "uid"), uid2);
    QCOMPARE(answerField(in2, "keys"), keys2);
    QCOMPARE(QFileInfo(link).symLinkTarget(), answerField(in2, "port"));
    QVERIFY(c.open(link));
    QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 200), QByteArray()); // fresh: waits for 0x7F
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(readUid(c), uid2);
    QCOMPARE(readKeys(c), keys2);
    QVERIFY(write(c, 2));

    // Out of a fixed adapter: silent, the port stays; then another one, with random identifiers.
    QCOMPARE(simControl(sock, "remove keep-port"), QString("ok module=2 port=kept"));
    QCOMPARE(c.exchange(bytes({0x7F}), 1, 200), QByteArray());
    const QString in3 = simControl(sock, "insert");
    QVERIFY2(in3.startsWith("ok module=3 port=" + answerField(in2, "port") + " "), qPrintable(in3));
    QVERIFY(answerField(in3, "uid") != uid2 && answerField(in3, "uid").size() == 24);
    QVERIFY(answerField(in3, "keys") != keys2 && answerField(in3, "keys").size() == 64);
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(readUid(c), answerField(in3, "uid"));
    QCOMPARE(readKeys(c), answerField(in3, "keys"));
    QVERIFY(simControl(sock, "insert uid=xyz").startsWith("error "));

    // A module whose flash refuses its first write keeps refusing that address; only that module.
    QCOMPARE(simControl(sock, "remove keep-port"), QString("ok module=3 port=kept"));
    QVERIFY(simControl(sock, "insert fault=stuck").startsWith("error insert: "));
    QVERIFY(simControl(sock, "insert fault=write-refused").startsWith("ok module=4 "));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QVERIFY(!write(c, 4));
    QVERIFY(!write(c, 4));
    QCOMPARE(simControl(sock, "remove keep-port"), QString("ok module=4 port=kept"));
    QVERIFY(simControl(sock, "insert").startsWith("ok module=5 "));
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QVERIFY(write(c, 5));
    c.close();
    QCOMPARE(sim.terminate(), 0);

    // Each module's own dump.
    const QByteArray d2 = readFile(dump + ".2"), d3 = readFile(dump + ".3");
    QCOMPARE(d2.size(), 192 * 1024);
    QCOMPARE(d2.mid(KEYS, 32).toHex(), keys2.toLatin1());
    QCOMPARE(d2.mid(int(APP - 0x08000000), 16), pattern(16, 2));
    QCOMPARE(d2.left(KEYS), QByteArray(KEYS, 0)); // L0 flash erased to 0x00
    QCOMPARE(d3.mid(KEYS, 32).toHex(), answerField(in3, "keys").toLatin1());
    QCOMPARE(d3.mid(int(APP - 0x08000000), 16), QByteArray(16, 0));
    QCOMPARE(readFile(dump).mid(int(APP - 0x08000000), 16), pattern(16, 1)); // the first one's, kept
    QVERIFY2(sim.log().contains("Module 2 taken out; its summary:"), qPrintable(sim.log()));
}

void TestSimPty::idleTimeoutEndsIt()
{
    QElapsedTimer t;
    t.start();
    SimProcess sim({"--idle-timeout", "0.6", "--quiet"});
    QVERIFY(sim.started());
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    QTest::qWait(400);
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK); // a byte restarts the count
    QVERIFY(sim.waitForExit(5000));
    QVERIFY(t.elapsed() >= 900);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(sim.log().contains("guarded-area: none"));
}

void TestSimPty::faultsOnTheLine()
{
    {
        SimProcess sim({"--fault-no-sync", "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 300), QByteArray());
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 300), QByteArray());
        QCOMPARE(sim.terminate(), 0);
    }
    {
        SimProcess sim({"--fault-stop-after", "1", "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
        QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 5).size(), 5);
        QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 1, 300), QByteArray());
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 300), QByteArray());
        QCOMPARE(sim.terminate(), 0);
    }
    {
        SimProcess sim({"--fault-rdp", "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
        QCOMPARE(c.exchange(bytes({0x11, 0xEE}), 1), NACK);
        QCOMPARE(sim.terminate(), 0);
    }
}

void TestSimPty::wireAndFlashTiming()
{
    SimProcess sim({"--baud", "9600", "--quiet"});
    QVERIFY(sim.started());
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    const double byteMs = 11.0 * 1000 / 9600;
    QElapsedTimer t;
    t.start();
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x00, 0xFF}), 15).size(), 15);
    QVERIFY2(t.elapsed() >= qint64(18 * byteMs), qPrintable(QString::number(t.elapsed())));
    // Erase of four 2 KiB pages: about 22 ms each plus the bytes on the wire.
    QCOMPARE(c.exchange(bytes({0x44, 0xBB}), 1), ACK);
    t.restart();
    QCOMPARE(c.exchange(bytes({0x00, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x07}), 1), ACK);
    QVERIFY2(t.elapsed() >= qint64(4 * 22 + 12 * byteMs), qPrintable(QString::number(t.elapsed())));
    // A 64-byte read: 2 + 5 + 2 bytes out, 3 + 64 back.
    t.restart();
    QCOMPARE(c.exchange(bytes({0x11, 0xEE}), 1), ACK);
    QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x3F, 0xC0}), 65, 2000).size(), 65);
    QVERIFY2(t.elapsed() >= qint64(76 * byteMs), qPrintable(QString::number(t.elapsed())));
    QCOMPARE(sim.terminate(), 0);
}

void TestSimPty::wireTrace()
{
    // The bench reads each turnaround from the trace: no answer byte handed over before the
    // wire delivers it, and the due times those of the wire and the flash.
    QTemporaryDir dir;
    const QString tracePath = dir.filePath("wire.trace");
    SimProcess sim({"--baud", "115200", "--quiet", "--wire-trace", tracePath});
    QVERIFY(sim.started());
    PtyClient c;
    QVERIFY(c.open(sim.ptyPath()));
    const QByteArray data = pattern(256, 3);
    QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
    QCOMPARE(c.exchange(bytes({0x31, 0xCE}), 1), ACK);
    QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
    QCOMPARE(c.exchange(dataFrame(data), 1, 2000), ACK);
    QCOMPARE(c.exchange(bytes({0x11, 0xEE}), 1), ACK);
    QCOMPARE(c.exchange(addressFrame(APP), 1), ACK);
    QCOMPARE(c.exchange(bytes({0xFF, 0x00}), 257, 2000), ACK + data);
    QCOMPARE(sim.terminate(), 0);

    // One turn: the host's bytes read (first stamp, count), then the answer written.
    struct Turn {
        qint64 rxAt = -1;
        qint64 rxBytes = 0, txBytes = 0;
        qint64 firstDue = -1, lastDue = -1;
    };
    QList<Turn> turns;
    const QStringList lines = QString::fromLatin1(readFile(tracePath)).split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QStringList f = line.split(' ');
        if (f[0] == "rx" && f.size() == 3) {
            if (turns.isEmpty() || turns.last().txBytes > 0)
                turns.append(Turn{f[1].toLongLong(), 0, 0, -1, -1});
            turns.last().rxBytes += f[2].toLongLong();
        } else if (f[0] == "tx" && f.size() == 5 && !turns.isEmpty()) {
            Turn &t = turns.last();
            const qint64 at = f[1].toLongLong();
            t.txBytes += f[2].toLongLong();
            if (t.firstDue < 0)
                t.firstDue = f[3].toLongLong();
            t.lastDue = f[4].toLongLong();
            QVERIFY2(at >= t.lastDue, qPrintable("handed over before its time: " + line));
        } else {
            QFAIL(qPrintable("trace line: " + line));
        }
    }
    QCOMPARE(turns.size(), 7);
    const qint64 rx[] = {1, 2, 5, 258, 2, 5, 2}, tx[] = {1, 1, 1, 1, 1, 1, 257};
    for (int i = 0; i < 7; ++i) {
        QCOMPARE(turns[i].rxBytes, rx[i]);
        QCOMPARE(turns[i].txBytes, tx[i]);
    }
    const double byteNs = 11e9 / 115200;
    // The block's ACK: its 258 bytes in, 32 programming units of 82 us, the ACK itself out.
    QVERIFY(turns[3].firstDue - turns[3].rxAt >= qint64(259 * byteNs + 32 * 82e3) - 1000);
    // A long answer leaves back to back, one frame after the other.
    QVERIFY(qAbs(turns[6].lastDue - turns[6].firstDue - qint64(256 * byteNs)) <= 1000);
}

void TestSimPty::bridgeLatencyTimer()
{
    QTemporaryDir dir;
    const QString sock = dir.filePath("ctl");
    {
        // Turnarounds: each answer waits for the timer, which restarted when the last one
        // went out, so a round trip takes about one period.
        SimProcess sim({"--baud", "115200", "--latency-timer", "50", "--control", sock, "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
        const auto roundTrips = [&]() {
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < 8; ++i)
                if (c.exchange(bytes({0x01, 0xFE}), 5).size() != 5)
                    return qint64(-1);
            return t.elapsed();
        };
        const qint64 slow = roundTrips();
        QVERIFY2(slow >= 7 * 50, qPrintable(QString::number(slow)));
        // Low latency, as the bridge's driver sets it on TIOCSSERIAL: a 1 ms timer.
        QCOMPARE(simControl(sock, "serial low-latency=1"), QString("ok low-latency=1 latency-ms=1"));
        const qint64 fast = roundTrips();
        QVERIFY2(fast >= 0 && fast < 7 * 50 / 2, qPrintable(QString::number(fast)));
        QCOMPARE(simControl(sock, "serial low-latency=0"), QString("ok low-latency=0 latency-ms=50"));
        QCOMPARE(sim.terminate(), 0);
    }
    {
        // A long answer goes out in full 62-byte packets as they fill; the rest waits for
        // the timer.
        SimProcess sim({"--baud", "115200", "--latency-timer", "250", "--quiet"});
        QVERIFY(sim.started());
        PtyClient c;
        QVERIFY(c.open(sim.ptyPath()));
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 600), ACK);
        QCOMPARE(c.exchange(bytes({0x11, 0xEE}), 1, 600), ACK);
        QCOMPARE(c.exchange(addressFrame(APP), 1, 600), ACK);
        QCOMPARE(c.exchange(bytes({0xFF, 0x00}), 257, 150).size(), 4 * 62);
        QCOMPARE(c.receive(9, 30).size(), 0);
        QCOMPARE(c.receive(9, 600).size(), 9);
        QCOMPARE(sim.terminate(), 0);
    }
}

void TestSimPty::stm32flashAsHost_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<int>("flashKib");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<char>("erased");
    QTest::newRow("WL reporting L43x") << QStringList{"--report-pid", "0x435"} << "0x0435" << 256 << 2048 << char(0xFF);
    QTest::newRow("L0 cat. 5") << QStringList{"--pid", "0x447"} << "0x0447" << 192 << 128 << char(0x00);
    QTest::newRow("F1 medium density") << QStringList{"--pid", "0x410"} << "0x0410" << 128 << 1024 << char(0xFF);
}

void TestSimPty::stm32flashAsHost()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, deviceId);
    QFETCH(int, flashKib);
    QFETCH(int, pageSize);
    QFETCH(char, erased);
    const QString stm32flash = QStringLiteral(VBF_STM32FLASH), objcopy = QStringLiteral(VBF_OBJCOPY);
    if (!QFileInfo(stm32flash).isExecutable() || !QFileInfo(objcopy).isExecutable())
        QSKIP("stm32flash or objcopy not installed");

    QTemporaryDir dir;
    const QString bin = dir.filePath("app.bin"), hex = dir.filePath("app.hex");
    const QString back = dir.filePath("back.bin"), dump = dir.filePath("dump.bin"), logFile = dir.filePath("sim.log");
    const int size = 6000; // not a whole number of pages or blocks
    const QByteArray app = pattern(size, 7);
    QVERIFY(writeFile(bin, app));
    ToolRun r = runTool(objcopy, {"-I", "binary", "-O", "ihex", "--change-addresses", "0x08000800", bin, hex});
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    QVERIFY(readFile(hex).startsWith(":020000040800F2"));

    SimProcess sim(simArgs + QStringList{"--dump", dump, "--log", logFile});
    QVERIFY(sim.started());
    const QString port = sim.ptyPath();

    r = runTool(stm32flash, {"-m", "8n1", port});
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    QVERIFY2(r.output.contains("Device ID    : " + deviceId), qPrintable(r.output));

    r = runTool(stm32flash, {"-m", "8n1", "-w", hex, "-v", port});
    QVERIFY2(r.exitCode == 0 && r.output.contains("Done."), qPrintable(r.output));

    r = runTool(stm32flash, {"-m", "8n1", "-r", back, "-S", QString("0x08000800:%1").arg(size), port});
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    QCOMPARE(readFile(back), app);

    // Erase one page in the middle of the image.
    const int erasedAt = 0x1000;
    r = runTool(stm32flash, {"-m", "8n1", "-o", "-S", QString("0x%1:%2").arg(0x08000000 + erasedAt, 0, 16).arg(pageSize), port});
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));

    QCOMPARE(sim.terminate(), 0);
    const QByteArray d = readFile(dump);
    QCOMPARE(d.size(), flashKib * 1024);
    QCOMPARE(d.mid(KEYS, 32), demoKeys);
    QByteArray expected = app;
    expected.replace(erasedAt - 0x800, pageSize, QByteArray(pageSize, erased));
    QCOMPARE(d.mid(0x800, size), expected);
    QCOMPARE(d.mid(0x800 + size, 64), QByteArray(64, erased));
    const QString log = QString::fromLocal8Bit(readFile(logFile));
    QVERIFY2(log.contains("\nguarded-area: none\n"), qPrintable(log));
    QVERIFY(log.contains(QString("\nbytes-written: %1\n").arg(size)));
    QVERIFY(!log.contains("Write Memory NACK"));
}

QTEST_GUILESS_MAIN(TestSimPty)
#include "tst_sim_pty.moc"
