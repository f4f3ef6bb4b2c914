// Entering the bootloader through the modem lines: the probe a station looks for modules
// with, against the simulated module on its wiring, and the sentences of a failed entry.
// Runs under the modem-line preload library, which hands the lines of the simulator's pty
// to its wiring.
#include <QtTest>

#include <chrono>
#include <thread>

#include "boot_entry.h"
#include "fake_link.h"
#include "flash_session.h"
#include "programmer_api.h"
#include "serial_transport.h"
#include "sim_process.h"

using namespace vbprog;

namespace {

QString answerName(SyncAnswer a)
{
    switch (a) {
    case SyncAnswer::Ack:
    case SyncAnswer::Nack: return "answered";
    case SyncAnswer::Silent: return "silent";
    case SyncAnswer::Failed: return "failed";
    }
    return {};
}

QString probeName(BootEntry::Probe p)
{
    switch (p) {
    case BootEntry::Probe::Answered: return "answered";
    case BootEntry::Probe::Silent: return "silent";
    case BootEntry::Probe::NoLines: return "no-lines";
    case BootEntry::Probe::Failed: return "failed";
    }
    return {};
}

BootEntry entry(const std::string& text)
{
    const auto sequence = bootSequence(text);
    if (!sequence)
        qFatal("%s", sequence.error().what.c_str());
    return BootEntry(sequence.value());
}

// A simulator on a link of its own whose lines the preload library hands to its wiring.
struct WiredSim {
    QTemporaryDir dir;
    QString link = dir.filePath("port");
    Sim sim;
    explicit WiredSim(const QStringList& extra)
        : sim(dir, QStringList{"--link", dir.filePath("port"), "--control", dir.filePath("ctl")} + extra)
    {
        qputenv("VBF_SIM_PTY", link.toLocal8Bit());
        qputenv("VBF_SIM_CONTROL", dir.filePath("ctl").toLocal8Bit());
    }
};

bool openLink(SerialLink& link, const QString& port)
{
    std::vector<std::string> notes;
    try {
        link.open({port.toStdString()}, notes);
        return true;
    } catch (const TransportError&) {
        return false;
    }
}

bool namesNoControl(const QString& text)
{
    return !text.contains("--") && !text.contains("vorna-flash");
}

}  // namespace

class TestProgBoot : public QObject {
    Q_OBJECT

private slots:
    void probeAgainstTheWiredModule_data();
    void probeAgainstTheWiredModule();
    void probeOnAVanishedPort();
    void probeOnAPortWithoutLines();
    void probeStoppedResetsNothing();
    void holdsGrowPerAttempt();
    void failedEntrySentences_data();
    void failedEntrySentences();
};

void TestProgBoot::probeAgainstTheWiredModule_data()
{
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QString>("sequence");  // empty: one sync alone
    QTest::addColumn<QString>("expected");
    // Without a wiring the simulated module sits in its bootloader; with one it starts in
    // its application (auto-reset leaves the pins alone while both lines are idle).
    QTest::newRow("bootloader, sync alone") << "none" << "" << "answered";
    QTest::newRow("application, sync alone") << "auto-reset" << "" << "silent";
    QTest::newRow("reset into the bootloader") << "auto-reset" << "auto-reset" << "answered";
    QTest::newRow("direct reset into the bootloader") << "direct" << "direct" << "answered";
    QTest::newRow("inverted reset into the bootloader") << "inverted" << "inverted" << "answered";
    // The wrong preset releases NRST with BOOT0 low: the application starts, nothing answers.
    QTest::newRow("wrong preset, application") << "auto-reset" << "inverted" << "silent";
}

void TestProgBoot::probeAgainstTheWiredModule()
{
    QFETCH(QString, wiring);
    QFETCH(QString, sequence);
    QFETCH(QString, expected);
    WiredSim w({"--wiring", wiring});
    QVERIFY(!w.sim.port().isEmpty());
    SerialLink link;
    QVERIFY(openLink(link, w.link));
    if (sequence.isEmpty()) {
        QCOMPARE(answerName(syncProbe(link)), expected);
        return;
    }
    const BootEntry boot = entry(sequence.toStdString());
    QCOMPARE(probeName(boot.probe(link, 0)), expected);
    // Probes follow each other on the one open link, the holds longer each time.
    QCOMPARE(probeName(boot.probe(link, 1)), expected);
}

void TestProgBoot::probeOnAVanishedPort()
{
    QTemporaryDir dir;
    Sim sim(dir, {});
    QVERIFY(!sim.port().isEmpty());
    SerialLink link;
    QVERIFY(openLink(link, sim.port()));
    QCOMPARE(answerName(syncProbe(link)), QString("answered"));
    sim.stop();
    QCOMPARE(answerName(syncProbe(link)), QString("failed"));
}

void TestProgBoot::probeOnAPortWithoutLines()
{
    // A pty that is not the preload library's refuses the modem ioctls; the port stays
    // usable for a sync alone.
    QTemporaryDir dir;
    Sim sim(dir, {});
    QVERIFY(!sim.port().isEmpty());
    SerialLink link;
    QVERIFY(openLink(link, sim.port()));
    QCOMPARE(probeName(entry("direct").probe(link, 0)), QString("no-lines"));
    QVERIFY(link.isOpen());
    QCOMPARE(answerName(syncProbe(link)), QString("answered"));
}

void TestProgBoot::probeStoppedResetsNothing()
{
    FakeLink link;
    std::vector<std::string> notes;
    link.open({"fake0"}, notes);
    link.lineChanges.clear();
    const BootEntry boot = entry("dtr=1,wait=5000,dtr=0");
    std::atomic<bool> stop{true};
    QCOMPARE(probeName(boot.probe(link, 0, &stop)), QString("silent"));
    QVERIFY(link.lineChanges.empty());

    // Set during the hold: the wait ends there and the reset is never finished.
    stop = false;
    const auto started = std::chrono::steady_clock::now();
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const BootEntry::Probe p = boot.probe(link, 0, &stop);
    stopper.join();
    QCOMPARE(probeName(p), QString("silent"));
    QVERIFY(std::chrono::steady_clock::now() - started < std::chrono::milliseconds(2000));
    QCOMPARE(link.lineChanges.size(), size_t(1));  // dtr=1, never dtr=0
}

void TestProgBoot::holdsGrowPerAttempt()
{
    // Each try doubles the holds of the one before, then the cycle begins again: a module
    // that needs long holds is reached, and an empty jig is not reset ever more slowly.
    const int expected[] = {1, 2, 4, 1, 2, 4, 1};
    for (unsigned attempt = 0; attempt < 7; ++attempt)
        QCOMPARE(BootEntry::holdFactor(attempt), expected[attempt]);
}

void TestProgBoot::failedEntrySentences_data()
{
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<bool>("refuseLines");
    QTest::addColumn<bool>("ownWords");
    QTest::addColumn<QString>("ends");
    const QString noLines = "The boot sequence direct needs DTR and RTS, but fake0 has no modem lines (DTR, RTS) to set; ";
    QTest::newRow("direct, silent")
        << "direct" << false << false << " If DTR and RTS reach NRST and BOOT0 through inverters, the inverted sequence may fit.";
    QTest::newRow("inverted, silent")
        << "inverted" << false << false << " If DTR and RTS reach NRST and BOOT0 without inverters, the direct sequence may fit.";
    QTest::newRow("custom, silent") << "dtr=1,wait=10,dtr=0" << false << false
                                    << " Check the wiring of DTR and RTS with a meter; with inverters on the lines try the "
                                       "inverted preset.";
    QTest::newRow("no lines")
        << "direct" << true << false
        << noLines + "connect the module's bootloader by hand (BOOT0 high, reset) without a boot sequence.";
    // A front end's own words stand where the library's would.
    QTest::newRow("direct, own words")
        << "direct" << false << true << " If DTR and RTS reach NRST and BOOT0 through inverters, pick inverted.";
    QTest::newRow("custom, own words")
        << "dtr=1,wait=10,dtr=0" << false << true << " Measure the lines; with inverters on the lines try the inverted preset.";
    QTest::newRow("no lines, own words") << "direct" << true << true << noLines + "reset by hand.";
}

void TestProgBoot::failedEntrySentences()
{
    QFETCH(QString, sequence);
    QFETCH(bool, refuseLines);
    QFETCH(bool, ownWords);
    QFETCH(QString, ends);
    auto owned = std::make_unique<FakeLink>();
    owned->refuseLines = refuseLines;
    FakeLink& fake = *owned;
    QStringList errors, all;
    SessionCallbacks callbacks;
    callbacks.message = [&](int type, const std::string& text) {
        all << QString::fromStdString(text);
        if (type == Error)
            errors << QString::fromStdString(text);
    };
    FlashSession session(callbacks, std::move(owned));
    const auto parsed = bootSequence(sequence.toStdString());
    QVERIFY2(parsed, parsed.error().what.c_str());
    RemedyWords words;
    if (ownWords)
        words = [](Remedy r) {
            switch (r) {
            case Remedy::TryInverted: return std::string("pick inverted");
            case Remedy::CheckWiring: return std::string("measure the lines");
            case Remedy::EnterByHand: return std::string("reset by hand");
            default: return std::string();
            }
        };
    const int status = BootEntry(parsed.value(), words).connect(session, {"fake0"}, callbacks);
    QCOMPARE(status, refuseLines ? int(PROG_ERR_PORT_OPEN) : int(PROG_ERR_NO_ANSWER));
    // The tries before the last one are details: errors are the last connect's own and the
    // entry's sentence after it.
    QCOMPARE(errors.size(), refuseLines ? 1 : 2);
    QVERIFY2(errors.last().endsWith(ends), qPrintable(errors.last()));
    if (!ownWords)
        for (const QString& text : all)
            QVERIFY2(namesNoControl(text), qPrintable(text));
    if (refuseLines)
        return;
    QVERIFY(fake.lineChanges.size() >= 3 * 2);
    if (sequence == "direct") {
        // Three tries, each with holds twice as long as the one before.
        QVERIFY2(all.join('\n').contains("Boot sequence direct (dtr=1+rts=0,wait=400,dtr=0), then 320 ms"),
                 qPrintable(all.join('\n')));
        QVERIFY(errors.last().contains("tried 3 times with holds up to 4 times as long"));
    }
}

QTEST_GUILESS_MAIN(TestProgBoot)
#include "tst_prog_boot.moc"
