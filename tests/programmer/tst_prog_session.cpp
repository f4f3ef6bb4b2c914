// Flash sessions against simulated modules: several at once, what a failed download
// reports, and a rate the bootloader does not take.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "flash_session.h"
#include "module_job.h"
#include "hex_tools.h"
#include "programmer_api.h"
#include "sim_process.h"
#include "status.h"

using namespace vbprog;

namespace {

using Clock = std::chrono::steady_clock;

PortSettings at(const QString& port, uint32_t baud = 115200)
{
    PortSettings s;
    s.name = port.toStdString();
    s.baudrate = baud;
    return s;
}

// What one session's callbacks saw; each session has its own, on its own thread.
struct Trace {
    std::mutex mutex;
    QStringList messages;
    Clock::time_point firstProgress{}, lastProgress{};
    uint64_t lastTotal = 0;
    // "erase started", "write failed": every event but Progress, in order.
    QStringList phases;
    std::vector<ProgressEvent> events;

    SessionCallbacks callbacks()
    {
        SessionCallbacks cb;
        cb.message = [this](int, const std::string& text) {
            std::lock_guard<std::mutex> g(mutex);
            messages << QString::fromStdString(text);
        };
        cb.progress = [this](const ProgressEvent& e) {
            std::lock_guard<std::mutex> g(mutex);
            events.push_back(e);
            static const char* const states[] = {"started", "", "finished", "failed"};
            if (e.state != ProgressEvent::Progress)
                phases << QString("%1 %2").arg(phaseName(e.phase), states[e.state]);
            if (e.phase != Phase::Write && e.phase != Phase::Verify)
                return;
            if (firstProgress == Clock::time_point{})
                firstProgress = Clock::now();
            lastProgress = Clock::now();
            lastTotal = e.total;
        };
        return cb;
    }
    QString all() const { return messages.join('\n'); }
};

}  // namespace

class TestProgSession : public QObject {
    Q_OBJECT

private slots:
    void twoSessionsRunAtOnce();
    void fileRefusalsCarryStatusLineAndName_data();
    void fileRefusalsCarryStatusLineAndName();
    void failedDownloadReportsWhatWasWritten_data();
    void failedDownloadReportsWhatWasWritten();
    void rateTheBootloaderDoesNotTake();
    void readsIdentifiersOnlyWhenConnected();
    void moduleJobNamesTheFailingStep_data();
    void moduleJobNamesTheFailingStep();
    void moduleJobLeavesAModuleTheCallerDeclines();

private:
    QTemporaryDir dir_;
};

void TestProgSession::twoSessionsRunAtOnce()
{
    // Two modules with real wire timing on two threads: both images exact, each session's
    // messages about its own port only, and the two write passes overlap in time (a lock
    // shared by the sessions would put one after the other).
    QTemporaryDir work;
    const QByteArray binA = patternBytes(12288, 21), binB = patternBytes(12288, 22);
    const QString pathA = writeFile(work, "a.bin", binA);
    const Result<FirmwareFile> fileA = loadFirmwareFile(pathA.toStdString(), kApplicationStart);
    const Result<FirmwareFile> fileB = loadFirmwareFile(writeFile(work, "b.bin", binB).toStdString(), kApplicationStart);
    QCOMPARE(fileA.error().status, int(PROG_OK));
    QCOMPARE(fileB.error().status, int(PROG_OK));
    QCOMPARE(QByteArray::fromStdString(fileA->content), binA);
    // What was read is what gets flashed, whatever happens to the file afterwards.
    writeFile(work, "a.bin", patternBytes(12288, 99));

    Sim simA(dir_, {"--baud", "115200"}), simB(dir_, {"--baud", "115200"});
    Trace traceA, traceB;
    int rcA = -99, rcB = -99;
    auto run = [](const std::string& port, const Result<FirmwareFile>& f, Trace& trace, int& rc) {
        FlashSession session(trace.callbacks());
        rc = session.connect(at(QString::fromStdString(port)));
        if (rc == PROG_OK)
            rc = session.download(f->image, "fw.bin");
        session.close();
    };
    std::thread a(run, simA.port().toStdString(), std::cref(fileA), std::ref(traceA), std::ref(rcA));
    std::thread b(run, simB.port().toStdString(), std::cref(fileB), std::ref(traceB), std::ref(rcB));
    a.join();
    b.join();
    QVERIFY2(rcA == PROG_OK, qPrintable(traceA.all()));
    QVERIFY2(rcB == PROG_OK, qPrintable(traceB.all()));
    QVERIFY(traceA.all().contains(simA.port()));
    QVERIFY(!traceA.all().contains(simB.port()));
    QVERIFY(!traceB.all().contains(simA.port()));
    QCOMPARE(traceA.lastTotal, uint64_t(binA.size()));
    QVERIFY(traceA.firstProgress < traceB.lastProgress && traceB.firstProgress < traceA.lastProgress);

    const QByteArray dumpA = simA.dump(), dumpB = simB.dump();
    QCOMPARE(dumpA.mid(0x800, binA.size()), binA);
    QCOMPARE(dumpB.mid(0x800, binB.size()), binB);
    QVERIFY(simA.log().contains("guarded-area: none"));
    QVERIFY(simB.log().contains("guarded-area: none"));
}

// A refused file's error value is made by the parser and passed on: the status, the line
// and the sentence, which names the file once.
void TestProgSession::fileRefusalsCarryStatusLineAndName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");   // none: the file is not there
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("says");

    const QByteArray good = intelHex(patternBytes(32, 3), kApplicationStart);
    QTest::newRow("missing") << "gone.hex" << QByteArray() << int(kFileMissing) << 0 << "Cannot open the file ";
    QTest::newRow("bad checksum") << "fw.hex" << hexLinear(0x0800) + "\n" + hexRecord(0, 0x800, "abcd", true) + "\n"
                                  << int(kFileInvalid) << 2 << "fw.hex: line 2: ";
    QTest::newRow("no end record") << "fw.hex" << good.left(good.lastIndexOf(':')) << int(kFileInvalid) << 0
                                   << "fw.hex: missing end-of-file record";
    QTest::newRow("empty binary") << "fw.bin" << QByteArray("") << int(kFileInvalid) << 0 << "fw.bin: the file is empty";
    QTest::newRow("unsupported") << "fw.txt" << good << int(kFileInvalid) << 0 << "Unsupported file type of fw.txt";
}

void TestProgSession::fileRefusalsCarryStatusLineAndName()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(int, line);
    QFETCH(QString, says);
    QTemporaryDir work;
    const QString path = content.isNull() ? work.filePath(name) : writeFile(work, name, content);
    const Result<FirmwareFile> f = loadFirmwareFile(path.toStdString(), kApplicationStart);
    QVERIFY(!f.ok());
    QCOMPARE(f.error().status, status);
    QCOMPARE(f.error().line, line);
    const QString what = QString::fromStdString(f.error().what);
    QVERIFY2(what.startsWith(says) && what.count(name) == 1, qPrintable(what));
}

void TestProgSession::failedDownloadReportsWhatWasWritten_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("status");
    QTest::addColumn<qulonglong>("written");
    QTest::addColumn<qulonglong>("verified");
    // Phases after the erase, which every row finishes.
    QTest::addColumn<QStringList>("lastPhases");
    QTest::addColumn<uint>("address");   // where the error value says it failed
    // 6000 bytes at 0x08000800: 24 blocks, the last one 112 bytes.
    QTest::newRow("third write refused") << QStringList{"--fault-nack-write", "3"} << int(PROG_ERR_WRITE_VERIFY)
                                         << qulonglong(512) << qulonglong(0)
                                         << QStringList{"write started", "write failed"} << 0x08000A00u;
    QTest::newRow("read-back differs in the fifth block")
        << QStringList{"--fault-corrupt-read", "0x08000C10"} << int(PROG_ERR_WRITE_VERIFY) << qulonglong(6000)
        << qulonglong(1024) << QStringList{"write started", "write finished", "verify started", "verify failed"} << 0x08000C10u;
    QTest::newRow("all well") << QStringList() << int(PROG_OK) << qulonglong(6000) << qulonglong(6000)
                              << QStringList{"write started", "write finished", "verify started", "verify finished"} << 0u;
}

void TestProgSession::failedDownloadReportsWhatWasWritten()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, status);
    QFETCH(qulonglong, written);
    QFETCH(qulonglong, verified);
    QFETCH(QStringList, lastPhases);
    QFETCH(uint, address);
    QTemporaryDir work;
    const Result<FirmwareFile> f = loadFirmwareFile(writeFile(work, "fw.bin", patternBytes(6000, 12)).toStdString(),
                                              kApplicationStart);
    Sim sim(dir_, simArgs);
    Trace trace;
    FlashSession session(trace.callbacks());
    QCOMPARE(session.connect(at(sim.port())), int(PROG_OK));
    DownloadReport report;
    report.written = 12345;   // must be reset by the download
    QCOMPARE(session.download(f->image, "fw.bin", {}, &report), status);
    QCOMPARE(report.planned, qulonglong(6000));
    QCOMPARE(report.written, written);
    QCOMPARE(report.verified, verified);

    // Each phase named, in order, ending as the download did; the erase reports its own pages.
    QCOMPARE(trace.phases, QStringList({"connect started", "connect finished", "identifier-page backup started",
                                        "identifier-page backup finished", "erase started", "erase finished"}) +
                               lastPhases);
    std::vector<ProgressEvent> erase;
    for (const ProgressEvent& e : trace.events)
        if (e.phase == Phase::Erase)
            erase.push_back(e);
    QVERIFY(erase.size() >= 3);
    QCOMPARE(erase.front().done, uint64_t(0));
    QCOMPARE(erase[1].state, ProgressEvent::Progress);
    QVERIFY(erase.back().total > 0);
    QCOMPARE(erase.back().done, erase.back().total);
    // One error value: the status returned, the error message said, the hint for it, the address.
    const SessionError& err = session.lastError();
    QCOMPARE(err.status, status);
    if (status != PROG_OK) {
        QVERIFY(trace.messages.contains(QString::fromStdString(err.what)));
        QCOMPARE(err.hint, hintFor(status, {Operation::Download, sim.port().toStdString(), "fw.bin", 115200}));
        QVERIFY(err.address);
        QCOMPARE(*err.address, address);
    } else {
        QVERIFY(err.what.empty() && err.hint.empty() && !err.address);
    }
    // A failed phase says how far it got.
    const ProgressEvent& last = trace.events.back();
    QCOMPARE(last.done, last.phase == Phase::Write ? written : verified);
    QCOMPARE(last.total, qulonglong(6000));
}

void TestProgSession::rateTheBootloaderDoesNotTake()
{
    // A part that cannot follow 921600: no answer within the connection's own bounds, and
    // since its bootloader measured the rate wrong, no answer at 115200 either until a reset.
    Sim slow(dir_, {"--max-baud", "115200"});
    Trace trace;
    FlashSession session(trace.callbacks());
    QElapsedTimer t;
    t.start();
    QCOMPARE(session.connect(at(slow.port(), 921600)), int(PROG_ERR_NO_ANSWER));
    QCOMPARE(session.connect(at(slow.port(), 115200)), int(PROG_ERR_NO_ANSWER));
    QVERIFY2(t.elapsed() < 20000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(!session.isConnected());
    QVERIFY(slow.log().contains("nothing is answered until a reset"));
    QCOMPARE(trace.phases, QStringList({"connect started", "connect failed", "connect started", "connect failed"}));

    // A part that takes the rate flashes at it.
    QTemporaryDir work;
    const QByteArray bin = patternBytes(4096, 5);
    const Result<FirmwareFile> f = loadFirmwareFile(writeFile(work, "fw.bin", bin).toStdString(), kApplicationStart);
    Sim fast(dir_, {"--max-baud", "921600", "--baud", "921600"});
    QCOMPARE(session.connect(at(fast.port(), 921600)), int(PROG_OK));
    QVERIFY(trace.all().contains("at 921600 baud"));
    QCOMPARE(session.download(f->image, "fw.bin"), int(PROG_OK));
    session.close();
    QCOMPARE(fast.dump().mid(0x800, bin.size()), bin);
}

void TestProgSession::readsIdentifiersOnlyWhenConnected()
{
    const QByteArray keys = patternBytes(32, 8);
    Sim sim(dir_, {"--keys", QString::fromLatin1(keys.toHex())});
    Trace trace;
    FlashSession session(trace.callbacks());
    ModuleIdentifiers ids{};
    QCOMPARE(session.readIdentifiers(ids), int(PROG_ERR_NOT_CONNECTED));
    QCOMPARE(session.connect(at(sim.port())), int(PROG_OK));
    QCOMPARE(session.readIdentifiers(ids), int(PROG_OK));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(&ids), sizeof ids), keys);
    QCOMPARE(session.start(kApplicationStart), int(PROG_OK));
    QCOMPARE(session.readIdentifiers(ids), int(PROG_ERR_NOT_CONNECTED));
}

void TestProgSession::moduleJobNamesTheFailingStep_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("identified");
    QTest::addColumn<QString>("says");   // in the user's sentence
    QTest::newRow("flashed") << QStringList{} << int(PROG_OK) << "" << true << "";
    QTest::newRow("no bootloader") << QStringList{"--fault-no-sync"} << int(PROG_ERR_NO_ANSWER) << "connect" << false
                                   << "No bootloader answers";
    // Silent after the unique ID: the identifiers are the step.
    QTest::newRow("gone at the identifiers") << QStringList{"--fault-stop-after", "8"} << int(PROG_ERR_LINK_LOST)
                                             << "read-keys" << false << "stopped answering";
    QTest::newRow("write refused") << QStringList{"--fault-nack-write", "2"} << int(PROG_ERR_WRITE_VERIFY) << "write"
                                   << true << "incomplete";
    QTest::newRow("read-back differs") << QStringList{"--fault-corrupt-read", "0x08000900"} << int(PROG_ERR_WRITE_VERIFY)
                                       << "verify" << true << "read-back differs";
    // Every phase ends well (the page is put back); the check after them is the download's.
    QTest::newRow("page changed") << QStringList{"--fault-erase-page", "0"} << int(PROG_ERR_IDENTIFIERS) << "download"
                                  << true << "can simply be flashed again";
}

void TestProgSession::moduleJobNamesTheFailingStep()
{
    // The one job every front end runs: the outcome says where it failed and why, in the
    // sentence the user reads, and carries what was read of the module.
    QFETCH(QStringList, simArgs);
    QFETCH(int, status);
    QFETCH(QString, step);
    QFETCH(bool, identified);
    QFETCH(QString, says);
    QTemporaryDir work;
    const QByteArray bin = patternBytes(6000, 14);
    const Result<FirmwareFile> f = loadFirmwareFile(writeFile(work, "fw.bin", bin).toStdString(), kApplicationStart);
    Sim sim(dir_, simArgs + QStringList{"--uid", "00112233445566778899aabb"});
    Trace trace;
    FlashSession session(trace.callbacks());
    ModuleJob job;
    job.port = at(sim.port());
    job.image = &f->image;
    job.file = "fw.bin";
    job.shownName = "fw.bin";
    const ModuleOutcome out = runModuleJob(session, job, trace.callbacks());
    session.close();
    QCOMPARE(out.status, status);
    QCOMPARE(QString::fromStdString(out.step), step);
    QCOMPARE(out.identified, identified);
    QCOMPARE(out.port, sim.port().toStdString());
    if (identified) {
        QCOMPARE(out.devEUI.size(), size_t(16));
        QCOMPARE(out.appKey.size(), size_t(32));
        QCOMPARE(out.uniqueId, std::string("00112233445566778899aabb"));
    }
    if (status == PROG_OK) {
        QCOMPARE(out.bytes, uint64_t(bin.size()));
        QVERIFY(out.error.hint.empty());
        QCOMPARE(sim.dump().mid(0x800, bin.size()), bin);
    } else {
        QCOMPARE(out.error.status, status);
        QVERIFY2(QString::fromStdString(out.error.hint).contains(says), out.error.hint.c_str());
        QVERIFY(!out.error.what.empty());
    }
}

void TestProgSession::moduleJobLeavesAModuleTheCallerDeclines()
{
    // Identified, then declined (a module already flashed in this insertion, say): nothing
    // is erased or written, and the outcome says it was skipped.
    QTemporaryDir work;
    const Result<FirmwareFile> f = loadFirmwareFile(writeFile(work, "fw.bin", patternBytes(3000, 15)).toStdString(),
                                              kApplicationStart);
    const QByteArray before = patternBytes(int(model(0x497).flash), 16);
    Sim sim(dir_, {}, before);
    FlashSession session;
    ModuleJob job;
    job.port = at(sim.port());
    job.image = &f->image;
    std::string seenDevEui;
    job.beforeDownload = [&](const ModuleOutcome& m) {
        seenDevEui = m.devEUI;
        return false;
    };
    const ModuleOutcome out = runModuleJob(session, job, {});
    session.close();
    QVERIFY(out.skipped && !out.ok());
    QCOMPARE(out.status, int(PROG_OK));
    QCOMPARE(seenDevEui, out.devEUI);
    QCOMPARE(sim.dump(), before);
    QVERIFY(sim.log().contains("pages-erased: 0"));
}

QTEST_GUILESS_MAIN(TestProgSession)
#include "tst_prog_session.moc"
