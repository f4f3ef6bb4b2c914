// The identifiers against a lying device and a faulty line: the identifier page guard, the
// identity checks, the client's line hygiene and the exclusive port, against the simulator.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "bootloader_client.h"
#include "device_table.h"
#include "hex_tools.h"
#include "identifier_guard.h"
#include "serial_transport.h"
#include "sim_process.h"

using namespace vbprog;

namespace {

constexpr int kPage = 0x800;   // 0x08000000..0x080007FF: the identifier page
constexpr int kIds = 0x7E0;

QString simPid(uint16_t pid)
{
    return QString("0x%1").arg(pid, 0, 16);
}

// The bootloader client on its own link, for driving the guard directly.
struct Direct {
    SerialLink link;
    BootloaderClient client{link};
    BootloaderInfo boot;
    bool open(const QString& port)
    {
        PortSettings s;
        s.name = port.toStdString();
        std::vector<std::string> notes;
        link.open(s, notes);
        client.synchronise();
        boot = client.get();
        return link.isOpen();
    }
};

// What the simulator logged from the moment the swapped-in module was put in: its keys and
// every command it was sent.
struct SwappedIn {
    QByteArray keys;     // hex
    QString log;         // from its insertion on
};
SwappedIn swappedIn(const QString& simLog)
{
    const int at = simLog.indexOf("Module event: ok module=2");
    if (at < 0)
        return {};
    const QString rest = simLog.mid(at);
    const int k = rest.indexOf("keys=");
    return {rest.mid(k + 5, 64).toLatin1(), rest};
}

}  // namespace

class TestProgGuard : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void downloadsKeepTheIdentifiers_data();
    void downloadsKeepTheIdentifiers();
    void vornaFlashEndsNonZero_data();
    void vornaFlashEndsNonZero();
    void guardPutsThePageBack_data();
    void guardPutsThePageBack();
    void guardCostAt115200();
    void identifiersAreReadTwice();
    void aSecondProgramGetsPortInUse();
    void aModuleSwappedInIsNeverWritten_data();
    void aModuleSwappedInIsNeverWritten();
    void guardWritesBackOnlyOntoItsChip();
    void aRestartedModuleIsFlashedAgain_data();
    void aRestartedModuleIsFlashedAgain();

private:
    QTemporaryDir dir_;
};

void TestProgGuard::initTestCase()
{
    QVERIFY(dir_.isValid());
    setDisplayCallbacks({onInit, onMessage, onProgress});
    setVerbosityLevel(1);
}

void TestProgGuard::init()
{
    seen.clear();
}

void TestProgGuard::cleanup()
{
    ::disconnect();
    if (QTest::currentTestFailed() || qEnvironmentVariableIsSet("VBF_TEST_VERBOSE"))
        qInfo().noquote() << "library said:\n" << seen.all();
}

void TestProgGuard::downloadsKeepTheIdentifiers_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("reasons");

    // A product ID misread as a neighbour's names another family's pages and registers.
    QTest::newRow("F1 answers Get ID as L4") << 0x410 << QStringList{"--report-pid", "0x415"} << true << int(PROG_ERR_IDENTITY)
                                             << QStringList{"product ID 0x415", "protocol 2.2, the STM32L4 bootloaders 3.1",
                                                            "flash-size register at 0x1FFF75E0 cannot be read"};
    QTest::newRow("L0 answers Get ID as F0") << 0x447 << QStringList{"--report-pid", "0x444"} << true << int(PROG_ERR_IDENTITY)
                                             << QStringList{"product ID 0x444", "flash-size register at 0x1FFFF7CC"};
    QTest::newRow("L0 answers Get ID as G0") << 0x447 << QStringList{"--report-pid", "0x467"} << true << int(PROG_ERR_IDENTITY)
                                             << QStringList{"product ID 0x467", "flash-size register at 0x1FFF75E0"};
    QTest::newRow("F1 answers Get ID as its smaller sibling")
        << 0x410 << QStringList{"--report-pid", "0x412"} << true << int(PROG_ERR_IDENTITY)
        << QStringList{"product ID 0x412", "no flash size of the line"};
    QTest::newRow("Get ID misread once") << 0x410 << QStringList{"--fault-id-once", "0x415"} << true << int(PROG_OK)
                                         << QStringList{"Verified"};
    // An erase list damaged on the line (two flips that cancel in the checksum) hits the
    // identifier page.
    QTest::newRow("WL erase hits page 0") << 0x497 << QStringList{"--fault-erase-page", "0"} << true
                                          << int(PROG_ERR_IDENTIFIERS) << QStringList{"found after the erase", "identifiers are intact"};
    QTest::newRow("F1 erase hits page 1") << 0x410 << QStringList{"--fault-erase-page", "1"} << true
                                          << int(PROG_ERR_IDENTIFIERS) << QStringList{"found after the erase", "identifiers are intact"};
    QTest::newRow("L0 erase hits page 15") << 0x447 << QStringList{"--fault-erase-page", "15"} << false
                                           << int(PROG_ERR_IDENTIFIERS) << QStringList{"found after the erase", "identifiers are intact"};
    // Below the identifier block: what the guard saved there is the module's too.
    QTest::newRow("F1 erase hits page 0") << 0x410 << QStringList{"--fault-erase-page", "0"} << true
                                          << int(PROG_ERR_IDENTIFIERS)
                                          << QStringList{"found after the erase: 0x080003FF", "identifiers are intact"};
    QTest::newRow("L0 erase hits page 0") << 0x447 << QStringList{"--fault-erase-page", "0"} << true
                                          << int(PROG_ERR_IDENTIFIERS)
                                          << QStringList{"found after the erase: 0x0800007F", "identifiers are intact"};
    QTest::newRow("L0 erase hits page 6") << 0x447 << QStringList{"--fault-erase-page", "6"} << false
                                          << int(PROG_ERR_IDENTIFIERS)
                                          << QStringList{"found after the erase: 0x0800037F", "identifiers are intact"};
    // Line hygiene.
    QTest::newRow("stray ACK while writing") << 0x497 << QStringList{"--fault-stray-ack", "3"} << true << int(PROG_OK)
                                             << QStringList{"Verified"};
    QTest::newRow("stray ACK hides a refused last write") << 0x497 << QStringList{"--fault-stray-ack", "24", "--fault-nack-write", "24"}
                                                          << false << int(PROG_ERR_WRITE_VERIFY) << QStringList{"out of step"};
    QTest::newRow("command byte refused once") << 0x497 << QStringList{"--fault-nack-command", "30"} << true << int(PROG_OK)
                                               << QStringList{"Verified"};
    // Line errors ridden through: a refused data frame is sent again; a block whose ACK was
    // lost reads back as written and is not written twice.
    QTest::newRow("data frame refused once") << 0x410 << QStringList{"--fault-nack-write-once", "5"} << true << int(PROG_OK)
                                             << QStringList{"Write Memory at 0x08000C00 failed", "sending it again", "Verified"};
    QTest::newRow("ACK of a written block lost") << 0x447 << QStringList{"--fault-lose-write-ack", "5"} << true << int(PROG_OK)
                                                 << QStringList{"0x08000C00 was lost", "reads back as written", "Verified"};
    QTest::newRow("read-back corrupted once") << 0x497 << QStringList{"--fault-corrupt-read", "0x08000C10", "--fault-corrupt-read-times", "1"}
                                              << true << int(PROG_OK) << QStringList{"differed once"};
}

void TestProgGuard::downloadsKeepTheIdentifiers()
{
    QFETCH(int, pid);
    QFETCH(QStringList, faults);
    QFETCH(bool, verify);
    QFETCH(int, status);
    QFETCH(QStringList, reasons);
    const Model m = model(uint16_t(pid));
    QTemporaryDir work;
    const QByteArray bin = patternBytes(6000, 21);   // 24 blocks of 256 bytes or less
    const QString file = writeFile(work, "fw.bin", bin);
    const QByteArray before = patternBytes(int(m.flash), 5);
    Sim sim(dir_, QStringList{"--pid", simPid(uint16_t(pid))} + faults, before);
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(download(file, verify ? 1 : 0), status);
    for (const QString& r : reasons)
        QVERIFY2(seen.all().contains(r), qPrintable(r));
    if (status == PROG_ERR_IDENTIFIERS) {
        // The identifiers as they were, in the message, so that they are never lost.
        const QByteArray ids = before.mid(kIds, 32).toHex();
        QVERIFY(seen.all().contains("DevEUI " + ids.left(16) + ", JoinEUI " + ids.mid(16, 16) + ", AppKey " + ids.mid(32)));
    }
    ::disconnect();
    const QByteArray after = sim.dump();
    QCOMPARE(after.left(kPage).toHex(), before.left(kPage).toHex());
    if (status == PROG_OK) {
        QCOMPARE(after.mid(kPage, bin.size()), bin);
        // Every block written once.
        QCOMPARE(sim.log().count("Write Memory address=0x08000C00 "), 1);
    }
    if (status == PROG_ERR_IDENTITY) {
        QCOMPARE(after, before);
        QVERIFY(sim.log().contains("pages-erased: 0"));
    }
}

void TestProgGuard::vornaFlashEndsNonZero_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("reason");
    QTest::newRow("neighbour's product ID") << 0x410 << QStringList{"--report-pid", "0x415"} << "product ID 0x415";
    // The page put back and read back equal: the module may simply be flashed again.
    QTest::newRow("erase of another page") << 0x497 << QStringList{"--fault-erase-page", "0"}
                                           << "the module can simply be flashed again";
    QTest::newRow("F1 erase below the identifiers") << 0x410 << QStringList{"--fault-erase-page", "0"}
                                                   << "identifiers are intact";
    QTest::newRow("L0 erase below the identifiers") << 0x447 << QStringList{"--fault-erase-page", "3"}
                                                   << "identifiers are intact";
    QTest::newRow("another module put in mid-write") << 0x497 << QStringList{"--swap-at", "write:5:300"}
                                                     << "nothing was written to it and its identifiers are untouched";
}

void TestProgGuard::vornaFlashEndsNonZero()
{
    // The bench tool as a bench runs it: exit status and the message on standard error.
    QFETCH(int, pid);
    QFETCH(QStringList, faults);
    QFETCH(QString, reason);
    const Model m = model(uint16_t(pid));
    QTemporaryDir work;
    const QString file = writeFile(work, "fw.bin", patternBytes(3000, 4));
    const QByteArray before = patternBytes(int(m.flash), 6);
    Sim sim(dir_, QStringList{"--pid", simPid(uint16_t(pid))} + faults, before);
    QProcess tool;
    tool.start(VORNA_FLASH_PATH, {"flash", "--port", sim.port(), file});
    QVERIFY(tool.waitForFinished(30000));
    const QString err = QString::fromUtf8(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), 5);
    QVERIFY2(err.contains(reason), qPrintable(err));
    QCOMPARE(sim.dump().left(kPage).toHex(), before.left(kPage).toHex());
}

void TestProgGuard::guardPutsThePageBack_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("held");
    for (int pid : {0x497, 0x447, 0x410}) {
        for (const char* damage : {"none", "erased", "rewritten", "first unit erased", "first unit rewritten"})
            QTest::newRow(qPrintable(simPid(uint16_t(pid)) + " " + damage)) << pid << QString(damage) << QStringList() << true;
    }
    // The first write of the restore is refused, every time: the message must still carry
    // the identifiers.
    QTest::newRow("restore refused") << 0x497 << "erased" << QStringList{"--fault-nack-write", "1"} << false;
    // Refused once, as line noise would, or its answer lost: the restore carries on.
    for (int pid : {0x497, 0x447}) {
        QTest::newRow(qPrintable(simPid(uint16_t(pid)) + " restore meets a NACK"))
            << pid << "erased" << QStringList{"--fault-nack-write-once", "1"} << true;
        QTest::newRow(qPrintable(simPid(uint16_t(pid)) + " restore loses an ACK"))
            << pid << "first unit erased" << QStringList{"--fault-lose-write-ack", "1"} << true;
    }
}

void TestProgGuard::guardPutsThePageBack()
{
    QFETCH(int, pid);
    QFETCH(QString, damage);
    QFETCH(QStringList, faults);
    QFETCH(bool, held);
    const Model m = model(uint16_t(pid));
    const DeviceInfo* device = findDevice(uint16_t(pid));
    QVERIFY(device);
    const QByteArray before = patternBytes(int(m.flash), 9);
    Sim sim(dir_, QStringList{"--pid", simPid(uint16_t(pid))} + faults, before);
    Direct d;
    QVERIFY(d.open(sim.port()));
    const bool extended = d.boot.supports(cmd::ExtendedErase);
    IdentifierGuard guard(d.client);
    guard.save(*device, extended);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(guard.page().data()), kPage), before.left(kPage));

    // The erase unit that holds the identifiers, or the first one (below them on F1 and L0):
    // erased, or erased and partly written anew.
    const bool first = damage.startsWith("first");
    const uint32_t unit = first ? 0 : kIds / m.page;
    if (damage != "none")
        d.client.erasePages({unit}, extended);
    const bool rewritten = damage.endsWith("rewritten");
    if (rewritten) {
        const QByteArray other = patternBytes(8, 99);
        d.client.writeMemory(first ? 0x08000010 : 0x080007E0, reinterpret_cast<const uint8_t*>(other.data()), 8);
    }
    std::string message;
    const int rc = rewritten ? guard.check(IdentifierGuard::Since::Writes, "the last write", message)
                             : guard.check(IdentifierGuard::Since::Erases, "the erase", message);
    const QString text = QString::fromStdString(message);
    if (damage == "none") {
        QCOMPARE(rc, int(PROG_OK));
        QVERIFY(message.empty());
    } else {
        QCOMPARE(rc, int(PROG_ERR_IDENTIFIERS));
        QVERIFY2(text.contains("Saved identifiers: " + QString::fromStdString(guard.savedIdentifiers())), qPrintable(text));
        QVERIFY2(text.contains(held ? "reads back equal" : "Writing the saved page back failed"), qPrintable(text));
    }
    if (held)
        QCOMPARE(guard.check(IdentifierGuard::Since::Writes, "the last write", message), int(PROG_OK));
    d.link.close();
    const QByteArray after = sim.dump();
    if (held)
        QCOMPARE(after.left(kPage).toHex(), before.left(kPage).toHex());
    // Nothing beyond the identifier page is touched by a restore.
    QCOMPARE(after.mid(kPage), before.mid(kPage));
}

void TestProgGuard::guardCostAt115200()
{
    // The figure for the report: the copy of the page and two checks at real line speed.
    Sim sim(dir_, {"--baud", "115200"}, patternBytes(int(model(0x497).flash), 3));
    Direct d;
    QVERIFY(d.open(sim.port()));
    IdentifierGuard guard(d.client);
    guard.save(*findDevice(0x497), true);
    const double saveSeconds = guard.seconds();
    std::string message;
    QCOMPARE(guard.check(IdentifierGuard::Since::Erases, "the erase", message), int(PROG_OK));
    QCOMPARE(guard.check(IdentifierGuard::Since::Writes, "the last write", message), int(PROG_OK));
    qInfo("identifier guard at 115200 baud: copy of the page %.3f s, two checks %.3f s, %.3f s in all", saveSeconds,
          guard.seconds() - saveSeconds, guard.seconds());
    // 16 reads of 256 bytes are 4288 bytes on the line: 0.41 s at 115200.
    QVERIFY(saveSeconds >= 0.4);
}

void TestProgGuard::identifiersAreReadTwice()
{
    // One corrupted answer: the two reads differ, a third decides, and the wrong identifier
    // is never shown; asked again, it reads true. A refused command byte is asked again,
    // not called protection.
    Sim sim(dir_, {"--fault-corrupt-read", "0x080007E9", "--fault-corrupt-read-times", "1", "--fault-nack-command", "9"});
    QCOMPARE(connectTo(sim.port()), 0);
    unsigned char* join = nullptr;
    QCOMPARE(readMemory(0x080007E8, &join, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(join), 8).toHex(), QByteArray("70b3d57ed0000001"));
    QVERIFY2(seen.all().contains("a third agrees"), qPrintable(seen.all()));
    QCOMPARE(readMemory(0x080007E8, &join, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(join), 8).toHex(), QByteArray("70b3d57ed0000001"));
    QVERIFY(!seen.all().contains("protection"));
    ::disconnect();
    QVERIFY(sim.log().contains("injected command fault"));
}

void TestProgGuard::aSecondProgramGetsPortInUse()
{
    Sim sim(dir_, {});
    QCOMPARE(connectTo(sim.port()), 0);

    // Another link of this process, then another process.
    SerialLink second;
    std::vector<std::string> notes;
    PortSettings s;
    s.name = sim.port().toStdString();
    QString refusal;
    try {
        second.open(s, notes);
    } catch (const TransportError& e) {
        refusal = e.what();
    }
    QVERIFY2(refusal.contains("port in use"), qPrintable(refusal));
    QVERIFY(!second.isOpen());
    QProcess other;
    other.start(VORNA_FLASH_PATH, {"keys", "--port", sim.port(), "--verbose"});
    QVERIFY(other.waitForFinished(20000));
    const QString err = QString::fromUtf8(other.readAllStandardError());
    QCOMPARE(other.exitCode(), 2);
    QVERIFY2(err.contains("port in use"), qPrintable(err));

    // Our link still works, and once it is closed the port is free.
    unsigned char* dev = nullptr;
    QCOMPARE(readMemory(0x080007E0, &dev, 8), 0);
    ::disconnect();
    other.start(VORNA_FLASH_PATH, {"keys", "--port", sim.port()});
    QVERIFY(other.waitForFinished(20000));
    QCOMPARE(other.exitCode(), 0);
    QVERIFY(other.readAllStandardOutput().contains("70b3d57ed005a1b2"));
}

void TestProgGuard::aModuleSwappedInIsNeverWritten_data()
{
    QTest::addColumn<QStringList>("sim");
    QTest::addColumn<QString>("during");
    // Swapped while connecting, B is the module the session identifies: B is flashed, with
    // its own identifiers.
    QTest::newRow("connect") << QStringList{"--swap-at", "get-id:2:200"} << QString();
    // Counted on the simulated WL: the connection reads the flash size and the unique ID twice
    // each; the page backup reads the unique ID twice and the page in 16 reads of 256 bytes,
    // twice.
    QTest::newRow("backup") << QStringList{"--swap-at", "read:12:300"} << "identifier-page backup";
    QTest::newRow("erase") << QStringList{"--swap-at", "erase:1:0"} << "erase";
    QTest::newRow("write, new module at once") << QStringList{"--swap-at", "write:10:0"} << "write";
    QTest::newRow("write, new module after 0.5 s") << QStringList{"--swap-at", "write:10:500"} << "write";
    QTest::newRow("write, new module after 1.5 s") << QStringList{"--swap-at", "write:10:1500"} << "write";
    QTest::newRow("verification") << QStringList{"--swap-at", "read:60:200"} << "verification";
    // The erase hits page 0 instead of page 1, and the guard writes the page back in 8 blocks.
    QTest::newRow("restore's first write") << QStringList{"--fault-erase-page", "0", "--swap-at", "write:1:200"}
                                           << "check after the erase";
    QTest::newRow("restore's last write") << QStringList{"--fault-erase-page", "0", "--swap-at", "write:8:0"}
                                          << "check after the erase";
}

void TestProgGuard::aModuleSwappedInIsNeverWritten()
{
    // Module A is pulled and module B, a freshly reset bootloader with its own keys, is put on
    // the same adapter: B must never be written, A's identity never lands on B.
    QFETCH(QStringList, sim);
    QFETCH(QString, during);
    QTemporaryDir work;
    const QByteArray bin = patternBytes(12000, 31);   // 47 blocks
    const QString file = writeFile(work, "fw.bin", bin);
    const QByteArray before = patternBytes(int(model(0x497).flash), 8);
    Sim a(dir_, sim, before);
    QCOMPARE(connectTo(a.port()), 0);
    const bool connecting = during.isEmpty();
    QCOMPARE(download(file), connecting ? int(PROG_OK) : int(PROG_ERR_MODULE_CHANGED));
    const QString said = seen.all();
    const QByteArray ids = before.mid(kIds, 32).toHex();
    if (connecting) {
        ::disconnect();
        const SwappedIn b = swappedIn(a.log());
        QFile dumpB(a.dumpPath() + ".2");
        QVERIFY(dumpB.open(QIODevice::ReadOnly));
        const QByteArray flashB = dumpB.readAll();
        QCOMPARE(flashB.mid(kIds, 32).toHex(), b.keys);
        QCOMPARE(flashB.mid(kPage, bin.size()), bin);
        QFile dumpA(a.dumpPath());
        QVERIFY(dumpA.open(QIODevice::ReadOnly));
        QCOMPARE(dumpA.readAll(), before);
        return;
    }
    QVERIFY2(said.contains("Another module answered on " + a.port() + " during the " + during), qPrintable(said));
    QVERIFY2(said.contains("its identifiers are untouched"), qPrintable(said));
    // The module taken out is named by what was saved of it.
    if (during != "identifier-page backup")
        QVERIFY2(said.contains("The module taken out had DevEUI " + ids.left(16)), qPrintable(said));
    QVERIFY(!said.contains("identifiers are intact"));
    ::disconnect();

    const QString log = a.log();
    const SwappedIn b = swappedIn(log);
    QVERIFY2(b.keys.size() == 64, qPrintable(log.right(3000)));
    QVERIFY2(!b.log.contains("Write Memory") && !b.log.contains("Erase"), qPrintable(b.log));
    QFile dumpB(a.dumpPath() + ".2");
    QVERIFY(dumpB.open(QIODevice::ReadOnly));
    const QByteArray flashB = dumpB.readAll();
    QCOMPARE(flashB.mid(kIds, 32).toHex(), b.keys);
    QVERIFY(flashB.mid(kIds, 32).toHex() != ids);
    QCOMPARE(flashB.mid(kPage, bin.size()), QByteArray(bin.size(), char(0xFF)));
}

void TestProgGuard::guardWritesBackOnlyOntoItsChip()
{
    // A client that does not watch for restarts follows module B when A is swapped during an
    // erase and erases B's page 0 instead: the guard, knowing A's unique ID, must not put A's
    // page onto B.
    const QByteArray before = patternBytes(int(model(0x497).flash), 12);
    Sim sim(dir_, {"--swap-at", "erase:1:0"}, before);
    Direct d;
    QVERIFY(d.open(sim.port()));
    IdentifierGuard guard(d.client);
    guard.save(*findDevice(0x497), true);
    QVERIFY(guard.uniqueId().has_value());
    d.client.erasePages({0}, true);
    std::string message;
    int status = PROG_OK;
    try {
        guard.check(IdentifierGuard::Since::Erases, "the erase", message);
    } catch (const ProgError& e) {
        status = e.status;
        message = e.what();
    }
    QCOMPARE(status, int(PROG_ERR_MODULE_CHANGED));
    QVERIFY2(QString::fromStdString(message).contains("another module"), message.c_str());
    QVERIFY(!guard.restored());
    d.link.close();
    const SwappedIn b = swappedIn(sim.log());
    QVERIFY(!b.log.contains("Write Memory"));
    QFile dumpB(sim.dumpPath() + ".2");
    QVERIFY(dumpB.open(QIODevice::ReadOnly));
    QVERIFY(dumpB.readAll().mid(kIds, 32) != before.mid(kIds, 32));
}

void TestProgGuard::aRestartedModuleIsFlashedAgain_data()
{
    QTest::addColumn<QString>("at");
    QTest::newRow("erase") << "erase:1:100";
    QTest::newRow("write") << "write:20:300";
    QTest::newRow("verification") << "read:60:100";
}

void TestProgGuard::aRestartedModuleIsFlashedAgain()
{
    // The same chip restarting (a brown-out, a loose contact) is identified again by its
    // unique ID; the download begins again with the erase and completes.
    QFETCH(QString, at);
    QTemporaryDir work;
    const QByteArray bin = patternBytes(12000, 32);
    const QString file = writeFile(work, "fw.bin", bin);
    const QByteArray before = patternBytes(int(model(0x497).flash), 11);
    Sim sim(dir_, {"--reset-at", at}, before);
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(download(file), int(PROG_OK));
    QVERIFY2(seen.all().contains("it is the same chip (unique ID"), qPrintable(seen.all()));
    QVERIFY(seen.all().contains("the download begins again with the erase"));
    ::disconnect();
    const QByteArray after = sim.dump();
    QCOMPARE(after.left(kPage).toHex(), before.left(kPage).toHex());
    QCOMPARE(after.mid(kPage, bin.size()), bin);
}

QTEST_GUILESS_MAIN(TestProgGuard)
#include "tst_prog_guard.moc"
