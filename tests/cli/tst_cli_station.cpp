// vorna-flash station against simulated modules taken out and put in over the simulator's
// control socket: a stream of modules per port, each flashed once, byte-exact, with its
// identifiers kept; the yield summary, Ctrl-C, duplicate identities, the result program.
#include "../programmer/hex_tools.h"
#include "../sim/pty_client.h"
#include "captured_terminal.h"
#include "station_fixture.h"
#include "modem_env.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>


namespace {

const QByteArray kStationHeader = "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds,"
                                  "run_id,tool_version,attempt,failing_step,unique_id,duplicate\n";

QByteArray stationRow(const QString& devEui, const QString& uniqueId, const QByteArray& file = "app.hex")
{
    return "2024-01-01T00:00:00Z,p,0x497," + devEui.toLatin1() + ",,," + file + ",x,ok,1.000,r0,1.0,1,," +
           uniqueId.toLatin1() + ",\n";
}

}  // namespace

class TestCliStation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void twoPortsFourModulesEach();
    void interruptFinishesTheModuleFirst_data();
    void interruptFinishesTheModuleFirst();
    void readerGoneCostsOnlyTheOutput();
    void interruptCancelsALongBootWait();
    void interruptTellsWhatTheHookHolds();
    void duplicatesAndResultProgram();
    void moduleGoneSilentOnAKeptPort();
    void bootSequenceResetsEachModuleIn();
    void terminalRedrawsAndRings();
    void presenceInputTellsInAndOut();
    void bootloaderStartedAgainIsTheSameInsertion();
    void sameFailureAgainBacksOff();
    void logFullStopsTakingModules();
    void cutRowEndedAndReadBack();
    void rowsOfAnotherStationOnTheLogCount();
    void refusedCommandLines_data();
    void refusedCommandLines();

private:
    QTemporaryDir tmp_;
    QString appHex_;
    QByteArray appData_;
};

void TestCliStation::initTestCase()
{
    QVERIFY(tmp_.isValid());
    appData_ = randomBytes(8 * 1024 + 24);
    appHex_ = tmp_.filePath("app.hex");
    QFile f(appHex_);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(intelHex(appData_, 0x08000000 + APP_OFFSET)) > 0);
}

void TestCliStation::twoPortsFourModulesEach()
{
    QTemporaryDir dir;
    std::vector<std::unique_ptr<Jig>> jigs;
    for (int n = 1; n <= 2; ++n) {
        jigs.push_back(std::make_unique<Jig>(dir.path(), n, randomHex(32), randomHex(12)));
        QVERIFY(jigs.back()->sim->started());
    }
    const QString log = dir.filePath("station.csv");
    Station station({"station", "--port", jigs[0]->link, "--port", jigs[1]->link, appHex_, "--log", log, "--json"});
    // Each result line lets that port's operator swap the module; the second port's third
    // module refuses its first write.
    QList<QJsonObject> results;
    QMap<QString, int> seen;
    while (results.size() < 8) {
        const QByteArray line = station.nextLine(30000);
        QVERIFY2(!line.isEmpty(), station.err().constData());
        const QJsonObject r = parsed(line);
        QVERIFY2(!r.isEmpty(), line.constData());
        results << r;
        const int j = r["port"].toString() == jigs[0]->link ? 0 : 1;
        QCOMPARE(r["port"].toString(), jigs[j]->link);
        if (++seen[jigs[j]->link] < 4)
            QVERIFY(jigs[j]->swap(randomHex(32), randomHex(12), j == 1 && seen[jigs[j]->link] == 2 ? "write-refused" : ""));
    }
    station.interrupt();
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 4);  // the failed write's status

    int passes = 0;
    for (const QJsonObject& r : results) {
        const bool pass = r["result"].toString() == "PASS";
        passes += pass;
        if (!pass) {
            QCOMPARE(r["port"].toString(), jigs[1]->link);
            QCOMPARE(r["step"].toString(), QString("write"));
            QVERIFY(!r["cause"].toString().isEmpty());
            QCOMPARE(r["uniqueId"].toString(), jigs[1]->uids[2]);
        }
        QCOMPARE(r["attempt"].toInt(), 1);
        QCOMPARE(r["duplicate"].toString(), QString());
    }
    QCOMPARE(passes, 7);
    // With --json the summary is on standard error, standard output holds JSON Lines only.
    QVERIFY2(rest.isEmpty(), rest.constData());
    const QByteArray err = station.err();
    QVERIFY2(err.contains(jigs[0]->link.toUtf8() + ": 4 passed, 0 failed\n"), err.constData());
    QVERIFY2(err.contains(jigs[1]->link.toUtf8() + ": 3 passed, 1 failed (write-verify 1)\n"), err.constData());
    QVERIFY2(err.contains("all: 7 passed, 1 failed (write-verify 1); 8 modules, "), err.constData());

    // Every module's flash: the image where it belongs, its identifiers as they were.
    for (auto& jig : jigs) {
        QVERIFY(jig->sim->terminate() == 0);
        for (int m = 1; m <= 4; ++m) {
            const QByteArray d = readFile(jig->dumpOf(m));
            QVERIFY2(d.size() > APP_OFFSET + appData_.size(), qPrintable(jig->dumpOf(m)));
            QCOMPARE(d.mid(KEYS_OFFSET, 32).toHex(), jig->keys[m - 1].toLatin1());
            const bool refused = jig == jigs[1] && m == 3;
            QCOMPARE(d.mid(APP_OFFSET, appData_.size()) == appData_, !refused);
        }
    }
    // One row per module, each with its own unique ID: nothing flashed twice.
    const auto rows = csvRows(log);
    QCOMPARE(rows.size(), 8);
    QSet<QString> uids, runs;
    for (const auto& row : rows) {
        uids << row["unique_id"];
        runs << row["run_id"];
        QCOMPARE(row["tool_version"], QString(VBF_VERSION));
        QCOMPARE(row["failing_step"].isEmpty(), row["result"] == "ok");
    }
    QCOMPARE(uids, QSet<QString>(jigs[0]->uids.begin(), jigs[0]->uids.end()) +
                       QSet<QString>(jigs[1]->uids.begin(), jigs[1]->uids.end()));
    QCOMPARE(runs.size(), 1);
}

void TestCliStation::interruptFinishesTheModuleFirst_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << int(SIGINT);
    QTest::newRow("terminate") << int(SIGTERM);
    QTest::newRow("terminal closed") << int(SIGHUP);
}

void TestCliStation::interruptFinishesTheModuleFirst()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    // Wire timing, so that the write takes a second or two.
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12), {"--baud", "115200"});
    QVERIFY(jig.sim->started());
    const QString log = dir.filePath("station.csv");
    Station station({"station", "--port", jig.link, appHex_, "--json", "--log", log});
    QVERIFY2(station.waitForError("flashing", 15000), station.err().constData());
    // The write of 8 KiB at 115200 baud takes about a second; the signal lands inside it.
    QTest::qWait(500);
    station.interrupt(signal);
    const QJsonObject r = parsed(station.nextLine(20000));
    QCOMPARE(r["result"].toString(), QString("PASS"));
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    QVERIFY2(station.err().contains("all: 1 passed, 0 failed; 1 modules"), station.err().constData());
    const auto rows = csvRows(log);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["result"], QString("ok"));
    QCOMPARE(jig.sim->terminate(), 0);
    QCOMPARE(readFile(jig.dump).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliStation::readerGoneCostsOnlyTheOutput()
{
    QTemporaryDir dir;
    // The second port's module is on a timed wire: still writing when the first one's
    // PASS line meets a pipe whose reader has gone.
    Jig fast(dir.path(), 1, randomHex(32), randomHex(12));
    Jig slow(dir.path(), 2, randomHex(32), randomHex(12), {"--baud", "115200"});
    QVERIFY(fast.sim->started() && slow.sim->started());
    QProcess sh;
    sh.start("/bin/sh", {"-c", "\"$0\" station --port \"$1\" --port \"$2\" \"$3\" --count 2 | head -n 1",
                         VORNA_FLASH_PATH, fast.link, slow.link, appHex_});
    QVERIFY(sh.waitForFinished(30000));
    QVERIFY(sh.readAllStandardOutput().startsWith("Station run "));
    QCOMPARE(fast.sim->terminate(), 0);
    QCOMPARE(slow.sim->terminate(), 0);
    QCOMPARE(readFile(fast.dump).mid(APP_OFFSET, appData_.size()), appData_);
    QCOMPARE(readFile(slow.dump).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliStation::interruptCancelsALongBootWait()
{
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12), {"--wiring", "direct"});
    QVERIFY(jig.sim->started());
    // Reset held ten seconds: Ctrl-C comes inside the first hold.
    Station station({"station", "--port", jig.link, appHex_, "--json", "--boot", "dtr=1+rts=0,wait=10000,dtr=0"},
                    modemPreloadEnv(jig.link, jig.control));
    QTest::qWait(1500);
    QCOMPARE(answerField(simControl(jig.control, "state"), "state"), QString("reset"));
    QElapsedTimer t;
    t.start();
    station.interrupt();
    QByteArray rest;
    QCOMPARE(station.finish(&rest, 10000), 0);
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QVERIFY2(rest.isEmpty(), rest.constData());
    QVERIFY2(station.err().contains("all: 0 passed, 0 failed; 0 modules"), station.err().constData());
    QCOMPARE(jig.sim->terminate(), 0);
    QVERIFY(readFile(jig.dump).mid(APP_OFFSET, appData_.size()) != appData_);
}

void TestCliStation::interruptTellsWhatTheHookHolds()
{
    QTemporaryDir dir;
    const QString hook = dir.filePath("hook.sh");
    {
        QFile f(hook);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\nsleep 60\n");
        f.close();
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    Station station({"station", "--port", jig.link, appHex_, "--json", "--on-result", hook, "--on-result-timeout", "3"});
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    QElapsedTimer t;
    t.start();
    station.interrupt();
    QVERIFY2(station.waitForError("waiting for the --on-result command " + hook.toUtf8() + " to finish", 2000),
             station.err().constData());
    QByteArray rest;
    QCOMPARE(station.finish(&rest, 10000), 0);
    QVERIFY(t.elapsed() < 4500);
    QCOMPARE(station.err().count("waiting for the --on-result command"), 1);
    QVERIFY(station.err().contains("was still running after 3 s"));
}

void TestCliStation::duplicatesAndResultProgram()
{
    QTemporaryDir dir;
    const QString keysA = randomHex(32), keysB = randomHex(32);
    const QString devA = keysA.left(16), devB = keysB.left(16);
    // An earlier run flashed keysA on another module.
    const QString log = dir.filePath("station.csv");
    {
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds,run_id,tool_version,"
                "attempt,failing_step,unique_id,duplicate\n");
        f.write(("2024-01-01T00:00:00Z,p,0x497," + devA + ",,,app.hex,x,ok,1.000,r0,1.0,1,,aaaaaaaaaaaaaaaaaaaaaaaa,\n")
                    .toLatin1());
    }
    // The result program notes its arguments; for the second DevEUI it hangs.
    const QString calls = dir.filePath("calls.txt"), hook = dir.filePath("hook.sh");
    {
        QFile f(hook);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(("#!/bin/sh\necho \"$*\" >> '" + calls + "'\n[ \"$3\" = \"" + devB + "\" ] && sleep 60\nexit 0\n")
                    .toLatin1());
        f.close();
        QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    Jig jig(dir.path(), 1, keysA, randomHex(12));
    QVERIFY(jig.sim->started());
    QElapsedTimer t;
    t.start();
    Station station({"station", "--port", jig.link, appHex_, "--log", log, "--json", "--count", "3", "--on-result", hook,
                     "--on-result-timeout", "1"});
    QList<QJsonObject> results;
    const QString uidB1 = randomHex(12), uidB2 = randomHex(12);
    for (int i = 0; i < 3; ++i) {
        const QByteArray line = station.nextLine(30000);
        QVERIFY2(!line.isEmpty(), station.err().constData());
        results << parsed(line);
        if (i < 2)
            QVERIFY(jig.swap(keysB, i == 0 ? uidB1 : uidB2));
    }
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);  // --count ended it, no Ctrl-C
    QVERIFY(t.elapsed() < 40000);
    QCOMPARE(results[0]["duplicate"].toString(), QString("other-module"));  // the log's other module
    QCOMPARE(results[1]["duplicate"].toString(), QString());
    QCOMPARE(results[2]["duplicate"].toString(), QString("other-module"));  // this run's
    QCOMPARE(results[2]["devEUI"].toString(), devB);
    QVERIFY2(station.err().contains("DUPLICATE DevEUI"), station.err().constData());
    const auto rows = csvRows(log);
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows[1]["duplicate"], QString("other-module"));
    QCOMPARE(rows[3]["duplicate"], QString("other-module"));
    QCOMPARE(rows[3]["unique_id"], uidB2);

    // Called once per module with port, verdict, DevEUI and exit status; the hanging one stopped.
    const QList<QByteArray> called = readFile(calls).trimmed().split('\n');
    QCOMPARE(called.size(), 3);
    QCOMPARE(called[0], (jig.link + " PASS " + devA + " 0").toUtf8());
    QCOMPARE(called[1], (jig.link + " PASS " + devB + " 0").toUtf8());
    QCOMPARE(called[2], (jig.link + " PASS " + devB + " 0").toUtf8());
    QCOMPARE(station.err().count("was still running after 1 s"), 2);
}

void TestCliStation::moduleGoneSilentOnAKeptPort()
{
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    Station station({"station", "--port", jig.link, appHex_, "--json", "--count", "2"});
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    // The adapter stays: the station has to notice the silence before it takes the next one.
    QVERIFY(simControl(jig.control, "remove keep-port").startsWith("ok "));
    QTest::qWait(2500);
    QVERIFY(simControl(jig.control, "insert keys=" + randomHex(32)).startsWith("ok "));
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    QCOMPARE(jig.sim->terminate(), 0);
    QCOMPARE(readFile(jig.dumpOf(2)).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliStation::bootSequenceResetsEachModuleIn()
{
    QTemporaryDir dir;
    // Lines wired directly: a module runs its application until a reset puts it into the bootloader.
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12), {"--wiring", "direct"});
    QVERIFY(jig.sim->started());
    const auto state = [&](const QString& key) { return answerField(simControl(jig.control, "state"), key); };
    QCOMPARE(state("state"), QString("application"));
    Station station({"station", "--port", jig.link, appHex_, "--json", "--count", "2", "--boot", "direct", "--after", "run"},
                    modemPreloadEnv(jig.link, jig.control));
    QJsonObject r = parsed(station.nextLine(30000));
    QVERIFY2(r["result"].toString() == "PASS", station.err().constData());
    QCOMPARE(r["uniqueId"].toString(), jig.uids[0]);
    // Started after the pass: the run at power-up and the one --after run gave it.
    QCOMPARE(state("app-runs"), QString("2"));
    // Still in and running its firmware: never reset again, and no second flash comes of
    // it; only its port going tells that it went.
    const int resets = state("resets").toInt();
    QVERIFY(station.nextLine(3000).isEmpty());
    QCOMPARE(state("resets").toInt(), resets);
    QCOMPARE(state("state"), QString("application"));
    QVERIFY(station.waitForError("waiting for the module to be taken out (its port vanishes", 1000));
    QVERIFY(jig.swap(randomHex(32), randomHex(12)));
    r = parsed(station.nextLine(30000));
    station.waitForError("\x01", 10);
    QVERIFY2(r["result"].toString() == "PASS", station.err().constData());
    QCOMPARE(r["uniqueId"].toString(), jig.uids[1]);
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    QCOMPARE(state("app-runs"), QString("2"));
    QCOMPARE(jig.sim->terminate(), 0);
    for (int m = 1; m <= 2; ++m) {
        const QByteArray d = readFile(jig.dumpOf(m));
        QCOMPARE(d.mid(APP_OFFSET, appData_.size()), appData_);
        QCOMPARE(d.mid(KEYS_OFFSET, 32).toHex(), jig.keys[m - 1].toLatin1());
    }
}

void TestCliStation::terminalRedrawsAndRings()
{
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    CapturedTerminal term;
    QVERIFY(term.isOpen());
    QProcess p;
    term.attach(p);
    p.start(VORNA_FLASH_PATH, {"station", "--port", jig.link, appHex_, "--json", "--count", "2"});
    QVERIFY(p.waitForStarted(5000));
    QElapsedTimer t;
    t.start();
    bool swapped = false;
    while (p.state() != QProcess::NotRunning && t.elapsed() < 60000) {
        p.waitForFinished(20);
        term.drain();
        if (!swapped && p.canReadLine()) {
            QVERIFY(jig.swap(randomHex(32), randomHex(12), "write-refused"));
            swapped = true;
        }
    }
    term.drain();
    const QByteArray& drawn = term.drawn();
    QCOMPARE(p.exitCode(), 4);
    // The port's line redrawn in place through its states, one bell for the pass, three for the failure.
    for (const char* seen : {"waiting for a module", "flashing: write ", "PASS ", "FAIL (write", "remove the module",
                             "passed 1, failed 0", "passed 1, failed 1", "\x1b[1A\r\x1b[2K"})
        QVERIFY2(drawn.contains(seen), seen);
    QCOMPARE(drawn.count("\a\a\a"), 1);
    QCOMPARE(drawn.count('\a'), 4);
}

void TestCliStation::presenceInputTellsInAndOut()
{
    QTemporaryDir dir;
    // The jig's switch pulls DSR low while a module is in.
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12), {"--presence", "!dsr"});
    QVERIFY(jig.sim->started());
    const auto state = [&](const QString& key) { return answerField(simControl(jig.control, "state"), key); };
    Station station({"station", "--port", jig.link, appHex_, "--json", "--count", "2", "--after", "go", "--present", "!dsr"},
                    modemPreloadEnv(jig.link, jig.control));
    QJsonObject r = parsed(station.nextLine(30000));
    QVERIFY2(r["result"].toString() == "PASS", station.err().constData());
    QCOMPARE(state("app-runs"), QString("1"));
    QVERIFY(station.waitForError("waiting for the module to be taken out (--present !dsr drops", 5000));
    // Running its firmware on a port that stays: nothing touches it until the switch opens.
    QVERIFY(station.nextLine(2500).isEmpty());
    QCOMPARE(state("state"), QString("application"));
    QCOMPARE(state("app-runs"), QString("1"));
    QVERIFY(simControl(jig.control, "remove keep-port").startsWith("ok "));
    QTest::qWait(500);
    const QString uid = randomHex(12);
    QVERIFY(simControl(jig.control, "insert uid=" + uid).startsWith("ok "));
    r = parsed(station.nextLine(30000));
    QVERIFY2(r["result"].toString() == "PASS", station.err().constData());
    QCOMPARE(r["uniqueId"].toString(), uid);
    QCOMPARE(r["duplicate"].toString(), QString());
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    QCOMPARE(jig.sim->terminate(), 0);
    QCOMPARE(readFile(jig.dumpOf(2)).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliStation::bootloaderStartedAgainIsTheSameInsertion()
{
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    const QString log = dir.filePath("station.csv");
    Station station({"station", "--port", jig.link, appHex_, "--json", "--count", "2", "--log", log});
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    // The module's bootloader starts afresh twice, as after a Go or a brown-out: it answers
    // the next 0x7F as a new module would.
    for (int i = 0; i < 2; ++i) {
        QVERIFY(simControl(jig.control, "pins nrst=0").startsWith("ok "));
        QVERIFY(simControl(jig.control, "pins nrst=wired").startsWith("ok "));
        QVERIFY(station.nextLine(3000).isEmpty());
    }
    QVERIFY(station.waitForError("it is the same insertion and is not flashed again", 1000));
    QVERIFY(jig.swap(randomHex(32), randomHex(12)));
    const QJsonObject r = parsed(station.nextLine(30000));
    QCOMPARE(r["result"].toString(), QString("PASS"));
    QCOMPARE(r["uniqueId"].toString(), jig.uids[1]);
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    const auto rows = csvRows(log);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]["unique_id"], jig.uids[0]);
    QCOMPARE(rows[1]["unique_id"], jig.uids[1]);
    QCOMPARE(station.err().count("it is the same insertion"), 1);
}

void TestCliStation::sameFailureAgainBacksOff()
{
    // A device that acknowledges every byte: it looks like a fresh bootloader after each
    // failure, and fails the same way each time.
    int master = -1, slave = -1;
    char name[128] = {0};
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    std::atomic<bool> done{false};
    std::thread device([&] {
        while (!done) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                ::write(master, QByteArray(int(n), '\x79').constData(), size_t(n));
        }
    });
    Station station({"station", "--port", QString::fromLocal8Bit(name), appHex_, "--json"});
    QList<qint64> at;
    QElapsedTimer t;
    t.start();
    while (at.size() < 4 && t.elapsed() < 40000) {
        const QJsonObject r = parsed(station.nextLine(40000 - int(t.elapsed())));
        if (r.isEmpty())
            break;
        QCOMPARE(r["result"].toString(), QString("FAIL"));
        at << t.elapsed();
    }
    station.interrupt();
    QByteArray rest;
    station.finish(&rest, 20000);
    done = true;
    device.join();
    ::close(master);
    QCOMPARE(at.size(), 4);
    // Pauses of one, then two seconds more than the tries themselves take.
    QVERIFY2((at[3] - at[2]) - (at[1] - at[0]) > 1500, qPrintable(QString("%1 %2 %3 %4").arg(at[0]).arg(at[1]).arg(at[2]).arg(at[3])));
    QCOMPARE(station.err().count("the same failure again"), 1);
}

void TestCliStation::logFullStopsTakingModules()
{
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    const QString log = dir.filePath("station.csv");
    {
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(kStationHeader);
    }
    // Room for a few bytes more, as on a full disk.
    const rlim_t limit = rlim_t(kStationHeader.size() + 20);
    Station station({"station", "--port", jig.link, appHex_, "--log", log, "--json"},
                    QProcessEnvironment::systemEnvironment(), [limit] {
                        const struct rlimit r {limit, limit};
                        ::setrlimit(RLIMIT_FSIZE, &r);
                        ::signal(SIGXFSZ, SIG_IGN);
                    });
    // The module in hand is finished and reported; then the station ends by itself.
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    QByteArray rest;
    QCOMPARE(station.finish(&rest, 15000), 1);
    QVERIFY2(station.err().contains("is missing from it.") && station.err().contains("takes no new modules"),
             station.err().constData());
    QCOMPARE(readFile(log), kStationHeader);  // no part of the row
}

void TestCliStation::cutRowEndedAndReadBack()
{
    QTemporaryDir dir;
    const QString keys = randomHex(32), dev = keys.left(16);
    const QString log = dir.filePath("station.csv");
    // An earlier run flashed this DevEUI on another module; its last row was cut in a quoted field.
    const QByteArray before = kStationHeader + stationRow(dev, "aaaaaaaaaaaaaaaaaaaaaaaa") +
                              "2024-01-01T00:01:00Z,p,0x497," + dev.toLatin1() + ",,,\"C:\\fw, v2";
    {
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(before);
    }
    Jig jig(dir.path(), 1, keys, randomHex(12));
    QVERIFY(jig.sim->started());
    Station station({"station", "--port", jig.link, appHex_, "--log", log, "--json", "--count", "1"});
    const QJsonObject r = parsed(station.nextLine(30000));
    QVERIFY2(!r.isEmpty(), station.err().constData());
    QCOMPARE(r["duplicate"].toString(), QString("other-module"));
    QCOMPARE(r["attempt"].toInt(), 1);  // the cut row counts for nothing
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
    QVERIFY2(station.err().contains("ended in a row cut short"), station.err().constData());
    const QByteArray after = readFile(log);
    QVERIFY(after.startsWith(before + "\"\n"));
    QCOMPARE(csvRows(log).last()["unique_id"], jig.uids[0]);
}

void TestCliStation::rowsOfAnotherStationOnTheLogCount()
{
    QTemporaryDir dir;
    const QString log = dir.filePath("station.csv");
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    Station station({"station", "--port", jig.link, appHex_, "--log", log, "--json", "--count", "2"});
    QCOMPARE(parsed(station.nextLine(30000))["result"].toString(), QString("PASS"));
    // Meanwhile another station on the same log flashes the next module's DevEUI on another
    // module and appends its row as stations do, under the file's lock; the file's name has
    // a line break and looks like a formula.
    const QString keys = randomHex(32);
    {
        const int fd = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_APPEND);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX), 0);
        const QByteArray row = stationRow(keys.left(16), "cccccccccccccccccccccccc", "\"'=fw\n2.hex\"");
        QCOMPARE(::write(fd, row.constData(), size_t(row.size())), ssize_t(row.size()));
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
    QVERIFY(jig.swap(keys, randomHex(12)));
    const QJsonObject r = parsed(station.nextLine(30000));
    QCOMPARE(r["devEUI"].toString(), keys.left(16));
    QCOMPARE(r["duplicate"].toString(), QString("other-module"));
    QByteArray rest;
    QCOMPARE(station.finish(&rest), 0);
}

void TestCliStation::refusedCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("sentence");
    QTest::newRow("no file") << QStringList{"station", "--port", "/dev/null"} << "The station command needs the firmware file";
    QTest::newRow("count zero") << QStringList{"station", "--port", "p", "a.hex", "--count", "0"} << "--count needs a number";
    QTest::newRow("timeout zero") << QStringList{"station", "--port", "p", "a.hex", "--on-result", "x",
                                                 "--on-result-timeout", "0"}
                                  << "--on-result-timeout needs seconds from 1";
    QTest::newRow("count on flash") << QStringList{"flash", "--port", "p", "a.hex", "--count", "2"}
                                    << "The option --count does not apply to the flash command.";
    QTest::newRow("no-verify") << QStringList{"station", "--port", "p", "a.hex", "--no-verify"}
                               << "The option --no-verify does not apply to the station command.";
    QTest::newRow("flash log") << QStringList{"station", "--port", "p", "@APP@", "--log", "@FLASHLOG@"}
                               << "is not a station log";
}

void TestCliStation::refusedCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, sentence);
    // A log of the flash command has other columns; a station does not mix its rows into it.
    const QString flashLog = tmp_.filePath("flash.csv");
    QFile f(flashLog);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds\n");
    f.close();
    args.replaceInStrings("@APP@", appHex_);
    args.replaceInStrings("@FLASHLOG@", flashLog);
    QProcess p;
    p.start(VORNA_FLASH_PATH, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY2(p.readAllStandardError().contains(sentence.toUtf8()), qPrintable(sentence));
}

QTEST_GUILESS_MAIN(TestCliStation)
#include "tst_cli_station.moc"
