// The programming library against the simulated module over its pseudo terminal.
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include "hex_tools.h"
#include "programmer_api.h"
#include "sim_process.h"

namespace {

// Flash content before the test: a pattern everywhere, so that untouched pages show.
QByteArray initialFlash(const Model& m)
{
    return patternBytes(int(m.flash), 77);
}

// What the flash must hold after a download of `data` (address -> byte): every page that
// carries data erased, then the data, padding with the erased value to whole write units.
QByteArray expectedFlash(const QByteArray& before, const Model& m, const QMap<uint32_t, uint8_t>& data)
{
    QByteArray out = before;
    QSet<uint32_t> pages;
    for (auto it = data.begin(); it != data.end(); ++it)
        pages.insert((it.key() - kFlashBase) / m.page);
    for (uint32_t p : pages)
        std::memset(out.data() + p * m.page, m.erased, m.page);
    for (auto it = data.begin(); it != data.end(); ++it)
        out[int(it.key() - kFlashBase)] = char(it.value());
    return out;
}

QMap<uint32_t, uint8_t> bytesAt(uint32_t address, const QByteArray& b)
{
    QMap<uint32_t, uint8_t> m;
    for (int i = 0; i < b.size(); ++i)
        m.insert(address + uint32_t(i), uint8_t(b[i]));
    return m;
}

void verifyCleanLog(const QString& log)
{
    QVERIFY2(log.contains("guarded-area: none"), qPrintable(log.right(400)));
    QVERIFY(log.contains("mass-erases: 0"));
    QVERIFY(!log.contains("Readout Unprotect"));
}

}  // namespace

class TestProgSim : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listsExtraPorts();
    void identifiesModels_data();
    void identifiesModels();
    void connectsTwiceWithoutResetAndReadsIdentifiers();
    void reconnectsToAModuleResetInBetween();
    void flashesFilesOfSeveralShapes_data();
    void flashesFilesOfSeveralShapes();
    void flashesRealFilesMovedUp();
    void flashesOnAnotherThread();
    void flashesWithWireTiming_data();
    void flashesWithWireTiming();
    void refusesWithFlashUnchanged_data();
    void refusesWithFlashUnchanged();
    void faultsEndInTheirOwnCode_data();
    void faultsEndInTheirOwnCode();
    void startsTheApplication();
    void lastErrorIsTheFailedCallsOwn();

private:
    QTemporaryDir dir_;
};

void TestProgSim::initTestCase()
{
    QVERIFY(dir_.isValid());
    setDisplayCallbacks({onInit, onMessage, onProgress});
    setVerbosityLevel(1);
}

void TestProgSim::init()
{
    seen.clear();
}

void TestProgSim::cleanup()
{
    ::disconnect();
    if (QTest::currentTestFailed() || qEnvironmentVariableIsSet("VBF_TEST_VERBOSE"))
        qInfo().noquote() << "library said:\n" << seen.all();
}

void TestProgSim::listsExtraPorts()
{
    Sim sim(dir_, {});
    QVERIFY(!sim.port().isEmpty());
    const QString longName = "/tmp/" + QString(120, 'x');
    qputenv("VBF_EXTRA_PORTS", (sim.port() + ":/tmp/vbf-second:" + longName + "::").toLocal8Bit());
    usartConnectParameters* list = nullptr;
    const int n = getUsartList(&list);
    QVERIFY(n >= 3);
    QStringList names;
    for (int i = 0; i < n; ++i) {
        names << QString::fromLocal8Bit(list[i].portName);
        QCOMPARE(list[i].baudrate, 115200u);
        QCOMPARE(list[i].parity, EVEN);
        QCOMPARE(list[i].dataBits, uint8_t(8));
        QCOMPARE(list[i].stopBits, 1.0f);
        QCOMPARE(list[i].flowControl, OFF);
        QCOMPARE(list[i].noinitBits, uint8_t(0));
        QVERIFY(memchr(list[i].portName, 0, sizeof list[i].portName) != nullptr);
    }
    // Named ports first, in their order, long names cut to the record's field.
    QCOMPARE(names.mid(0, 3), QStringList({sim.port(), "/tmp/vbf-second", longName.left(99)}));
    QCOMPARE(names.removeDuplicates(), 0);
    QVERIFY(!names.contains(""));
    deleteInterfaceList();
    qputenv("VBF_EXTRA_PORTS", "");
}

void TestProgSim::identifiesModels_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cpu");
    QTest::newRow("STM32WL") << 0x497 << "STM32WLE5" << "Cortex-M4";
    QTest::newRow("STM32L0") << 0x447 << "STM32L07x" << "Cortex-M0+";
    QTest::newRow("STM32F1") << 0x410 << "STM32F10x Medium-density" << "Cortex-M3";
}

void TestProgSim::identifiesModels()
{
    QFETCH(int, pid);
    QFETCH(QString, name);
    QFETCH(QString, cpu);
    Sim sim(dir_, {"--pid", QString("0x%1").arg(pid, 0, 16)});
    QVERIFY(getDeviceGeneralInf() == nullptr);
    QCOMPARE(connectTo(sim.port()), 0);
    const generalInf* gi = getDeviceGeneralInf();
    QVERIFY(gi);
    QCOMPARE(int(gi->deviceId), pid);
    QCOMPARE(gi->flashSize, int32_t(model(uint16_t(pid)).flash));
    QCOMPARE(QString(gi->type), QString("MCU"));
    QVERIFY2(QString(gi->name).startsWith(name), gi->name);
    QCOMPARE(QString(gi->cpu), cpu);
    QVERIFY(QString(gi->series).startsWith("STM32"));
    ::disconnect();
    QVERIFY(getDeviceGeneralInf() == nullptr);
}

void TestProgSim::connectsTwiceWithoutResetAndReadsIdentifiers()
{
    Sim sim(dir_, {});
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(connectTo(sim.port()), 0);
        unsigned char *dev = nullptr, *join = nullptr, *key = nullptr;
        QCOMPARE(readMemory(0x080007E0, &dev, 8), 0);
        QCOMPARE(readMemory(0x080007E8, &join, 8), 0);
        QCOMPARE(readMemory(0x080007F0, &key, 16), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(dev), 8).toHex(), QByteArray("70b3d57ed005a1b2"));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(join), 8).toHex(), QByteArray("70b3d57ed0000001"));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(key), 16).toHex(), QByteArray("2b7e151628aed2a6abf7158809cf4f3c"));
        ::disconnect();
        ::disconnect();   // harmless when closed
    }
    // Reads in several chunks, and the argument checks.
    QCOMPARE(connectTo(sim.port()), 0);
    unsigned char* big = nullptr;
    QCOMPARE(readMemory(0x08000700, &big, 0x300), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(big) + 0xE0, 8).toHex(), QByteArray("70b3d57ed005a1b2"));
    unsigned char* untouched = reinterpret_cast<unsigned char*>(1);
    QCOMPARE(readMemory(0x08000000, &untouched, 0), int(PROG_ERR_BAD_ARGUMENT));
    QCOMPARE(readMemory(0x08000000, nullptr, 4), int(PROG_ERR_BAD_ARGUMENT));
    QCOMPARE(untouched, reinterpret_cast<unsigned char*>(1));
    ::disconnect();
    QCOMPARE(readMemory(0x080007E0, &big, 8), int(PROG_ERR_NOT_CONNECTED));
    verifyCleanLog(sim.log());
}

void TestProgSim::reconnectsToAModuleResetInBetween()
{
    // The library remembers that it left this port's bootloader synchronised; a module that
    // was power-cycled meanwhile must still be found on the same port.
    const QString link = dir_.filePath("reset-port");
    {
        Sim first(dir_, {"--link", link});
        QCOMPARE(connectTo(link), 0);
        ::disconnect();
        QCOMPARE(connectTo(link), 0);
        ::disconnect();
        // The reconnection completed a frame of its own instead of waiting out a sync.
        const QString log = first.log();
        QVERIFY2(!log.contains("bad complement"), qPrintable(log.left(800)));
        QVERIFY(log.contains("unknown command"));
    }
    Sim second(dir_, {"--link", link});
    QCOMPARE(connectTo(link), 0);
    unsigned char* dev = nullptr;
    QCOMPARE(readMemory(0x080007E0, &dev, 8), 0);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(dev), 8).toHex(), QByteArray("70b3d57ed005a1b2"));
    ::disconnect();
    verifyCleanLog(second.log());
}

void TestProgSim::flashesFilesOfSeveralShapes_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("shape");
    for (int pid : {0x497, 0x447, 0x410}) {
        const QString m = QString::number(pid, 16);
        for (const char* shape : {"objcopy 16-byte records", "srec_cat 32-byte records", "gaps", "out of order",
                                  "odd length", "across 64 KiB", "binary"})
            QTest::newRow(qPrintable(m + " " + shape)) << pid << QString(shape);
    }
}

void TestProgSim::flashesFilesOfSeveralShapes()
{
    QFETCH(int, pid);
    QFETCH(QString, shape);
    const Model m = model(uint16_t(pid));
    QTemporaryDir work;
    QMap<uint32_t, uint8_t> data;
    QString file;

    auto fromBin = [&](const QByteArray& bin, uint32_t at, const QStringList& tool) {
        const QString in = writeFile(work, "in.bin", bin);
        file = work.filePath("fw.hex");
        QStringList args = tool;
        // Whole-argument placeholders: a random temporary path may contain "AT" or "IN" itself.
        for (auto& a : args)
            a = a == "IN" ? in : a == "OUT" ? file : a == "AT" ? QString("0x%1").arg(at, 0, 16) : a;
        const QString err = runTool(args.takeFirst(), args);
        QVERIFY2(err.isEmpty(), qPrintable(err));
        data.insert(bytesAt(at, bin));
    };
    const QStringList objcopy{"objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "AT", "IN", "OUT"};
    const QStringList srec{"srec_cat", "IN", "-binary", "-offset", "AT", "-o", "OUT", "-intel"};

    if (shape == "objcopy 16-byte records") {
        fromBin(patternBytes(5000, 1), kApp, objcopy);
    } else if (shape == "srec_cat 32-byte records") {
        fromBin(patternBytes(3000, 2), kApp + 0x100, srec);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readLine().startsWith(":02000004") && f.readLine().startsWith(":20"));
    } else if (shape == "gaps") {
        const QByteArray a = patternBytes(1000, 3), b = patternBytes(301, 4), c = patternBytes(5, 5);
        const QString fa = writeFile(work, "a.bin", a), fb = writeFile(work, "b.bin", b), fc = writeFile(work, "c.bin", c);
        file = work.filePath("fw.hex");
        const QString err = runTool("srec_cat", {fa, "-binary", "-offset", "0x08000800", fb, "-binary", "-offset",
                                                 "0x08005003", fc, "-binary", "-offset", "0x08005200", "-o", file, "-intel"});
        QVERIFY2(err.isEmpty(), qPrintable(err));
        data.insert(bytesAt(0x08000800, a));
        data.insert(bytesAt(0x08005003, b));
        data.insert(bytesAt(0x08005200, c));
    } else if (shape == "out of order") {
        fromBin(patternBytes(4096, 6), kApp, objcopy);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = f.readAll().split('\n');
        f.close();
        // Keep the 04 record first and the end record last; reverse the data records between.
        QList<QByteArray> body = lines.mid(1, lines.size() - 3);
        std::reverse(body.begin(), body.end());
        writeFile(work, "fw.hex", lines.first() + "\n" + body.join('\n') + "\n" + hexEof() + "\n");
    } else if (shape == "odd length") {
        fromBin(patternBytes(1001, 7), kApp + 0x40, objcopy);
    } else if (shape == "across 64 KiB") {
        fromBin(patternBytes(0x300, 8), 0x0800FE80, objcopy);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count(":02000004"), 2);
    } else if (shape == "binary") {
        const QByteArray bin = patternBytes(2222, 9);
        file = writeFile(work, "fw.bin", bin);
        data.insert(bytesAt(kApp, bin));
    }

    const QByteArray before = initialFlash(m);
    Sim sim(dir_, {"--pid", QString("0x%1").arg(pid, 0, 16)}, before);
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(download(file), 0);
    ::disconnect();

    // Progress: from 0 to the total while writing, then again while verifying.
    QVERIFY(seen.progress.size() >= 4);
    const int total = seen.progress.first().second;
    QVERIFY(total >= 10);
    QCOMPARE(seen.progress.first().first, 0);
    int reachedTotal = 0;
    for (int i = 0; i < seen.progress.size(); ++i) {
        QCOMPARE(seen.progress[i].second, total);
        if (seen.progress[i].first == total)
            ++reachedTotal;
        else if (i > 0 && seen.progress[i - 1].first != total)
            QVERIFY(seen.progress[i].first > seen.progress[i - 1].first);
    }
    QCOMPARE(reachedTotal, 2);
    QCOMPARE(seen.progress.last().first, total);
    QVERIFY2(seen.all().contains("Erasing") && seen.all().contains("Verified"), qPrintable(seen.all()));

    const QByteArray after = sim.dump();
    QCOMPARE(after.size(), before.size());
    const QByteArray expected = expectedFlash(before, m, data);
    if (after != expected) {
        for (int i = 0; i < after.size(); ++i)
            if (after[i] != expected[i])
                QFAIL(qPrintable(QString("flash differs first at 0x%1").arg(kFlashBase + uint32_t(i), 8, 16, QChar('0'))));
    }
    const QString log = sim.log();
    verifyCleanLog(log);
    QVERIFY(log.contains("Erase") && log.contains("Extended Erase") == (pid != 0x410));
}

void TestProgSim::flashesRealFilesMovedUp()
{
    const QString real = qEnvironmentVariable("VBF_SHARED_DIR") + "/testdata/real-hex/";
    if (!QFile::exists(real + "stm32f103-marlin-objcopy.hex"))
        QSKIP("real firmware files not present");
    QTemporaryDir work;
    for (const char* file : {"stm32f103-bluepill-objcopy.hex", "stm32c071-blinky-objcopy.hex", "stm32f103-marlin-objcopy.hex"}) {
        const QString name(file);
        seen.clear();
        // Unchanged they start at 0x08000000: refused, nothing erased.
        {
            Sim sim(dir_, {});
            QCOMPARE(connectTo(sim.port()), 0);
            QCOMPARE(download(real + name), int(PROG_ERR_OUT_OF_RANGE));
            ::disconnect();
            const QString log = sim.log();
            QVERIFY(log.contains("pages-erased: 0") && log.contains("bytes-written: 0"));
        }
        const QString moved = work.filePath(name);
        QString err = runTool("objcopy", {"-I", "ihex", "-O", "ihex", "--change-addresses", "0x800", real + name, moved});
        QVERIFY2(err.isEmpty(), qPrintable(err));
        const QString bin = work.filePath(name + ".bin");
        err = runTool("objcopy", {"-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", moved, bin});
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QFile bf(bin);
        QVERIFY(bf.open(QIODevice::ReadOnly));
        const QByteArray image = bf.readAll();

        Sim sim(dir_, {});
        QCOMPARE(connectTo(sim.port()), 0);
        QElapsedTimer t;
        t.start();
        QCOMPARE(download(moved), 0);
        qInfo("%s: %lld bytes flashed and verified in %lld ms", qPrintable(name), qlonglong(image.size()), t.elapsed());
        ::disconnect();
        const QByteArray after = sim.dump();
        QCOMPARE(after.mid(0x800, image.size()), image);
        QCOMPARE(after.mid(0x7E0, 8).toHex(), QByteArray("70b3d57ed005a1b2"));
        verifyCleanLog(sim.log());
    }
}

void TestProgSim::flashesOnAnotherThread()
{
    // As the tool does it: connect here, download on a pool thread, disconnect here.
    QTemporaryDir work;
    const QByteArray bin = patternBytes(9000, 11);
    const QString file = writeFile(work, "fw.bin", bin);
    Sim sim(dir_, {});
    QCOMPARE(connectTo(sim.port()), 0);
    int rc = 1;
    std::thread worker([&] { rc = download(file); });
    worker.join();
    QCOMPARE(rc, 0);
    ::disconnect();
    QCOMPARE(sim.dump().mid(0x800, bin.size()), bin);
}

void TestProgSim::flashesWithWireTiming_data()
{
    QTest::addColumn<int>("pid");
    QTest::newRow("STM32WL") << 0x497;
    QTest::newRow("STM32L0") << 0x447;
    QTest::newRow("STM32F1") << 0x410;
}

void TestProgSim::flashesWithWireTiming()
{
    // Real line time plus page-erase and programming times: every wait must cover them.
    QFETCH(int, pid);
    QTemporaryDir work;
    const QByteArray bin = patternBytes(8192, 14);
    const QString file = writeFile(work, "fw.bin", bin);
    Sim sim(dir_, {"--pid", QString("0x%1").arg(pid, 0, 16), "--baud", "115200"});
    QCOMPARE(connectTo(sim.port()), 0);
    QElapsedTimer t;
    t.start();
    QCOMPARE(download(file), 0);
    const qint64 ms = t.elapsed();
    qInfo("%d bytes erased, written and verified at 115200 baud in %lld ms", int(bin.size()), ms);
    // Line time alone is 2 x 32 x 268 bytes x 11 bits / 115200 = 1.64 s.
    QVERIFY(ms >= 1600);
    ::disconnect();
    QCOMPARE(sim.dump().mid(0x800, bin.size()), bin);
}

void TestProgSim::refusesWithFlashUnchanged_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    const QByteArray ela = hexLinear(0x0800);
    const QByteArray good = hexRecord(0, 0x0800, patternBytes(16, 1));
    const QByteArray eof = hexEof();
    auto hex = [](const QList<QByteArray>& l) { return l.join("\n") + "\n"; };

    QTest::newRow("identifiers") << QStringList() << "a.hex" << hex({ela, good, hexRecord(0, 0x07F0, "abcd"), eof})
                                 << int(PROG_ERR_OUT_OF_RANGE) << "below the application start";
    QTest::newRow("beyond flash") << QStringList() << "a.hex" << hex({ela, good, hexLinear(0x0804), hexRecord(0, 0, "abcd"), eof})
                                  << int(PROG_ERR_OUT_OF_RANGE) << "line 4: data at 0x08040000 is outside flash";
    QTest::newRow("beyond L0 flash") << QStringList{"--pid", "0x447"} << "a.hex" << hex({ela, good, hexLinear(0x0803), hexRecord(0, 0, "abcd"), eof})
                                     << int(PROG_ERR_OUT_OF_RANGE) << "outside flash";
    QTest::newRow("segment addresses") << QStringList() << "a.hex" << hex({hexRecord(2, 0, QByteArray::fromHex("F000")), hexRecord(0, 0x0800, "abcd"), eof})
                                       << int(PROG_ERR_OUT_OF_RANGE) << "below the application start";
    QTest::newRow("bad checksum late in file") << QStringList() << "a.hex" << hex({ela, good, good, hexRecord(0, 0x0900, "abcd", true), eof})
                                               << int(PROG_ERR_FILE_INVALID) << "line 4: checksum";
    QTest::newRow("missing end record") << QStringList() << "a.hex" << hex({ela, good})
                                        << int(PROG_ERR_FILE_INVALID) << "missing end-of-file record";
    // The content tells the format (a HEX file named .txt is read as HEX); text that is none
    // of the formats is never taken for a binary image.
    QTest::newRow("unsupported type") << QStringList() << "a.txt" << QByteArray("build 42: see notes\n")
                                      << int(PROG_ERR_FILE_INVALID) << "Unsupported file type";
    QTest::newRow("missing file") << QStringList() << "" << QByteArray() << int(PROG_ERR_FILE_MISSING) << "Cannot open";
    QTest::newRow("F4 reported") << QStringList{"--report-pid", "0x413"} << "a.hex" << hex({ela, good, eof})
                                 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "sectors";
    QTest::newRow("WB reported") << QStringList{"--report-pid", "0x495"} << "a.hex" << hex({ela, good, eof})
                                 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "4 KiB";
}

void TestProgSim::refusesWithFlashUnchanged()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QTemporaryDir work;
    const QString file = fileName.isEmpty() ? work.filePath("absent.hex") : writeFile(work, fileName, content);
    const QByteArray before = initialFlash(model(0x497)).left(int(model(simArgs.contains("0x447") ? 0x447 : 0x497).flash));
    Sim sim(dir_, simArgs, before);
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(download(file), status);
    QVERIFY2(seen.all().contains(reason), qPrintable(seen.all()));
    ::disconnect();
    QCOMPARE(sim.dump(), before);
    const QString log = sim.log();
    QVERIFY(log.contains("pages-erased: 0"));
    QVERIFY(!log.contains("Erase ACK") && !log.contains("Write Memory"));
    verifyCleanLog(log);
}

void TestProgSim::faultsEndInTheirOwnCode_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("connectStatus");
    QTest::addColumn<int>("downloadStatus");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no sync") << QStringList{"--fault-no-sync"} << int(PROG_ERR_NO_ANSWER) << 0 << "not in bootloader mode";
    QTest::newRow("readout protection") << QStringList{"--fault-rdp"} << int(PROG_ERR_PROTECTED) << 0 << "Readout protection is active";
    QTest::newRow("write refused") << QStringList{"--fault-nack-write", "3"} << 0 << int(PROG_ERR_WRITE_VERIFY) << "Write Memory at 0x08000A00 refused";
    QTest::newRow("corrupt read-back") << QStringList{"--fault-corrupt-read", "0x08000C10"} << 0 << int(PROG_ERR_WRITE_VERIFY) << "Verification failed at 0x08000C10";
    QTest::newRow("cable pulled while writing") << QStringList{"--fault-stop-after", "12"} << 0 << int(PROG_ERR_LINK_LOST) << "link lost";
    QTest::newRow("cable pulled while connecting") << QStringList{"--fault-stop-after", "2"} << int(PROG_ERR_LINK_LOST) << 0 << "link lost";
    QTest::newRow("unknown product") << QStringList{"--report-pid", "0x123"} << int(PROG_ERR_DEVICE_UNSUPPORTED) << 0 << "0x123 is not supported";
}

void TestProgSim::faultsEndInTheirOwnCode()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, connectStatus);
    QFETCH(int, downloadStatus);
    QFETCH(QString, reason);
    QTemporaryDir work;
    const QString file = writeFile(work, "fw.bin", patternBytes(6000, 12));
    Sim sim(dir_, simArgs);
    QElapsedTimer t;
    t.start();
    QCOMPARE(connectTo(sim.port()), connectStatus);
    if (connectStatus == 0) {
        QCOMPARE(download(file), downloadStatus);
        if (downloadStatus == PROG_ERR_LINK_LOST)
            QCOMPARE(download(file), int(PROG_ERR_LINK_LOST));   // and again, still bounded
    } else {
        QVERIFY(getDeviceGeneralInf() == nullptr);
        QCOMPARE(download(file), int(PROG_ERR_NOT_CONNECTED));
    }
    QVERIFY2(t.elapsed() < 15000, qPrintable(QString::number(t.elapsed())));
    QVERIFY2(seen.all().contains(reason), qPrintable(seen.all()));
    ::disconnect();
    verifyCleanLog(sim.log());
}

void TestProgSim::startsTheApplication()
{
    QTemporaryDir work;
    const QByteArray bin = patternBytes(512, 13);
    const QString file = writeFile(work, "fw.bin", bin);
    Sim sim(dir_, {});
    QCOMPARE(execute(kApp), int(PROG_ERR_NOT_CONNECTED));
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(download(file), 0);
    QCOMPARE(execute(kApp), 0);
    QVERIFY(getDeviceGeneralInf() == nullptr);   // the bootloader has left
    QCOMPARE(sim.dump().mid(0x800, bin.size()), bin);
    QVERIFY(sim.log().contains("Go"));
}

void TestProgSim::lastErrorIsTheFailedCallsOwn()
{
    // The window's box names the cause of the call that failed, from the library's own error
    // value, whatever else was said.
    Sim silent(dir_, {"--fault-no-sync"});
    QCOMPARE(connectTo(silent.port()), int(PROG_ERR_NO_ANSWER));
    const QString cause = QString::fromWCharArray(getLastErrorMessage());
    QVERIFY2(cause.startsWith("No answer from the bootloader on " + silent.port()), qPrintable(cause));
    QVERIFY(seen.messages.contains(cause));

    Sim sim(dir_, {});
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(QString::fromWCharArray(getLastErrorMessage()), QString());
    unsigned char* data = nullptr;
    QCOMPARE(readMemory(0x080007E0, &data, 0), int(PROG_ERR_BAD_ARGUMENT));
    QVERIFY(QString::fromWCharArray(getLastErrorMessage()).contains("refused: bad arguments"));
    QCOMPARE(download(dir_.filePath("no-such.hex")), int(PROG_ERR_FILE_MISSING));
    QVERIFY(QString::fromWCharArray(getLastErrorMessage()).startsWith("Cannot open the file"));
    QCOMPARE(readMemory(0x080007E0, &data, 32), 0);
    QCOMPARE(QString::fromWCharArray(getLastErrorMessage()), QString());
}

QTEST_GUILESS_MAIN(TestProgSim)
#include "tst_prog_sim.moc"
