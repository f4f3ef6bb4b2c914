// vorna-flash as a bench runs it: each command against the simulated module, its JSON and
// CSV output, and every exit status from a real cause.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "captured_terminal.h"
#include "modem_env.h"
#include "pty_client.h"

#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int APP_OFFSET = 0x800;  // application start relative to the flash base
const QByteArray KEYS = "0102030405060708" "a1a2a3a4a5a6a7a8" "f0e1d2c3b4a5968778695a4b3c2d1e0f";

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// The simulated module; always ended by its own PID.
class Sim {
public:
    explicit Sim(const QStringList& args, const QString& logFile = {})
    {
        QStringList all = args;
        all << "--idle-timeout" << "30";
        if (!logFile.isEmpty())
            all << "--log" << logFile << "--quiet";
        else
            all << "--quiet";
        proc_.setProgram(MODULE_SIM_PATH);
        proc_.setArguments(all);
        proc_.setProcessChannelMode(QProcess::SeparateChannels);
        proc_.start();
        if (!proc_.waitForStarted(5000))
            return;
        QElapsedTimer t;
        t.start();
        while (!proc_.canReadLine() && t.elapsed() < 5000)
            proc_.waitForReadyRead(100);
        pty_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }
    ~Sim() { stop(); }
    QString pty() const { return pty_; }
    // Ends the simulator, which writes its dump and summary on the way out.
    void stop()
    {
        if (proc_.state() == QProcess::NotRunning)
            return;
        const qint64 pid = proc_.processId();
        ::kill(pid_t(pid), SIGTERM);
        if (!proc_.waitForFinished(5000)) {
            ::kill(pid_t(pid), SIGKILL);
            proc_.waitForFinished(2000);
        }
    }

private:
    QProcess proc_;
    QString pty_;
};

// `inChild` runs in the child before vorna-flash starts (limits, signals).
Run runTool(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
            const std::function<void()>& inChild = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (inChild)
        p.setChildProcessModifier(inChild);
    p.start(VORNA_FLASH_PATH, args);
    Run r;
    if (!p.waitForStarted(5000))
        return r;
    if (!p.waitForFinished(30000)) {
        ::kill(pid_t(p.processId()), SIGKILL);
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Intel HEX from GNU objcopy, the producer a bench's build uses.
bool makeHex(const QByteArray& data, quint32 address, const QString& hexPath)
{
    const QString bin = hexPath + ".bin";
    QFile f(bin);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return false;
    f.close();
    return QProcess::execute("objcopy", {"-I", "binary", "-O", "ihex", "--change-addresses",
                                         "0x" + QString::number(address, 16), bin, hexPath}) == 0;
}

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (auto& c : b)
        c = char(QRandomGenerator::global()->generate());
    return b;
}

// Runs vorna-flash with standard error on a terminal of the test's own; returns what was drawn.
QByteArray runOnTerminal(const QStringList& args, int* exitCode)
{
    CapturedTerminal term;
    if (!term.isOpen())
        return {};
    QProcess p;
    term.attach(p);
    p.start(VORNA_FLASH_PATH, args);
    if (p.waitForStarted(5000)) {
        QElapsedTimer t;
        t.start();
        while (!p.waitForFinished(20) && t.elapsed() < 60000)
            term.drain();
        if (p.state() != QProcess::NotRunning) {
            ::kill(pid_t(p.processId()), SIGKILL);
            p.waitForFinished(2000);
        }
    }
    term.drain();
    *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    return term.drawn();
}

// A simulator with a control socket, wired as `wiring`, and the environment that hands
// vorna-flash's modem-line and serial ioctls on its pty to it.
struct WiredSim {
    QTemporaryDir dir;
    QString link = dir.filePath("port"), control = dir.filePath("ctl"), dump = dir.filePath("dump.bin");
    Sim sim;
    explicit WiredSim(const QStringList& extra)
        : sim(QStringList{"--link", dir.filePath("port"), "--control", dir.filePath("ctl"), "--dump",
                          dir.filePath("dump.bin")} + extra)
    {
    }
    QProcessEnvironment env() const { return modemPreloadEnv(link, control); }
    QString state(const QString& key) const { return answerField(simControl(control, "state"), key); }
    QByteArray flash()
    {
        sim.stop();
        return readFile(dump);
    }
};

// A linked Cortex-M program from the LLVM assembler and linker: vector table and code in
// flash from 0x08000800, `.data` run in RAM but loaded after the code, `.bss`, and whatever
// `extra` adds to the linker script. Empty when the tools fail.
QString linkElf(const QString& dir, const QString& name, const QString& sections, const QString& phdrs = QString())
{
    const QString source = dir + "/" + name + ".s", script = dir + "/" + name + ".ld", object = dir + "/" + name + ".o",
                  elf = dir + "/" + name + ".elf";
    QFile s(source), l(script);
    if (!s.open(QIODevice::WriteOnly) || !l.open(QIODevice::WriteOnly))
        return {};
    s.write("    .syntax unified\n    .thumb\n"
            "    .section .isr_vector,\"a\",%progbits\n    .word 0x20001000, reset + 1\n"
            "    .text\n    .global reset\n    .thumb_func\nreset:\n    ldr r0, =0x11223344\n    b reset\n    .ltorg\n"
            "    .fill 3000, 1, 0xA5\n"
            "    .section .data,\"aw\",%progbits\n    .word 0x55667788, 0x99AABBCC, 0xDDEEFF00\n"
            "    .section .ramfunc,\"ax\",%progbits\n    .word 0x0BADC0DE\n"
            "    .section .bss,\"aw\",%nobits\n    .space 256\n");
    l.write(("MEMORY { FLASH (rx) : ORIGIN = 0x08000800, LENGTH = 254K\n"
             "         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 64K }\n"
             "ENTRY(reset)\n" + phdrs + "SECTIONS {\n" + sections + "}\n").toUtf8());
    s.close();
    l.close();
    if (QProcess::execute("clang", {"--target=thumbv7m-none-eabi", "-c", source, "-o", object}) != 0 ||
        QProcess::execute("ld.lld", {"-T", script, object, "-o", elf}) != 0)
        return {};
    return elf;
}

// What objcopy makes of an ELF: its loadable bytes by load address, from the lowest.
QByteArray elfAsBinary(const QString& elf)
{
    const QString bin = elf + ".bin";
    if (QProcess::execute("llvm-objcopy", {"-O", "binary", elf, bin}) != 0)
        return {};
    return readFile(bin);
}

// The program headers linkElf's scripts put their sections in: no segment for the headers.
const QString PHDRS = "PHDRS { flash PT_LOAD; data PT_LOAD; ram PT_LOAD; }\n";
const QString FLASH_SECTIONS = "  .isr_vector : { KEEP(*(.isr_vector)) } > FLASH :flash\n"
                               "  .text : { *(.text*) } > FLASH :flash\n"
                               "  .data : { *(.data*) *(.ramfunc) } > RAM AT> FLASH :data\n"
                               "  .bss : { *(.bss*) } > RAM :ram\n";

// A flash of the simulated model 0x497 before anything is written: erased, with KEYS.
QByteArray erasedFlash(const QByteArray& app = QByteArray())
{
    QByteArray flash(256 * 1024, char(0xFF));
    flash.replace(0x7E0, 32, QByteArray::fromHex(KEYS));
    flash.replace(APP_OFFSET, app.size(), app);
    return flash;
}

QString writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

// The simulator's summary: which commands it was sent, and the counts.
QByteArray simSummaryLine(const QByteArray& log, const QByteArray& key)
{
    for (const QByteArray& line : log.split('\n'))
        if (line.startsWith(key + ":"))
            return line.mid(key.size() + 1).trimmed();
    return {};
}

// Nothing but reads reached the module: no erase, no write, no Go.
bool onlyReads(const QByteArray& log)
{
    const QByteArray commands = simSummaryLine(log, "commands");
    return !commands.isEmpty() && !commands.contains("Erase") && !commands.contains("Write") && !commands.contains("Go") &&
           simSummaryLine(log, "bytes-written") == "0" && simSummaryLine(log, "pages-erased") == "0";
}

QByteArray lastLine(const QByteArray& text)
{
    const QList<QByteArray> lines = text.trimmed().split('\n');
    return lines.isEmpty() ? QByteArray() : lines.last();
}

}  // namespace

class TestCliCommands : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void helpAndUsageErrors();
    void portsListsExtraPorts();
    void keysText();
    void keysJson();
    void flashWritesImageAndKeepsIdentifiers();
    void noVerifySkipsReadBack();
    void progressBarOnlyOnTerminal();
    void csvLogAppendsRows();
    void logThatCannotBeWrittenStopsFirst();
    void unusableLogRefusedAtOnce_data();
    void unusableLogRefusedAtOnce();
    void fullDiskLeavesNoPartOfARow();
    void exitStatusFromRealCauses_data();
    void exitStatusFromRealCauses();
    void severalModulesAtOnceOneFailing();
    void severalModulesRedrawnOnTerminal();
    void badFileRefusedBeforeAnyPort();
    void fileNameThatIsNotUtf8IsFlashed();
    void keysJsonErrorObject();
    void rateTheBootloaderDoesNotTake();
    void bootSequenceFlashesAndStartsFirmware_data();
    void bootSequenceFlashesAndStartsFirmware();
    void plainPresetOnInvertedWiringSuggestsInverted();
    void directWiringWithoutSequenceNotHeldInReset();
    void bootOnPortWithoutModemLines();
    void afterGoStartsTheApplication();
    void linesCommandHoldsTheLines();
    void bridgeGetsLowLatency();
    void damagedByteCostsARetry_data();
    void damagedByteCostsARetry();
    void noisyLineWithParityMarks();
    void secondProgramRefusedWhileFlashing();
    void stableNameWithoutItsAdapter();
    void flashOutlivesHangUpAndPipe_data();
    void flashOutlivesHangUpAndPipe();
    void garbledIdentityNeverPasses_data();
    void garbledIdentityNeverPasses();
    void elfFromTheLinkerFlashedAtLoadAddresses();
    void elfSegmentsRefusedBeforeAnyPort_data();
    void elfSegmentsRefusedBeforeAnyPort();
    void sRecordsOfEachAddressSize_data();
    void sRecordsOfEachAddressSize();
    void binaryWithAndWithoutAddress_data();
    void binaryWithAndWithoutAddress();
    void verifyReadsOnly_data();
    void verifyReadsOnly();
    void verifyNamesTheDifferingModule();
    void readIsByteExact_data();
    void readIsByteExact();
    void failedReadLeavesNoFile();

private:
    QTemporaryDir tmp_;
    QString appHex_;
    QByteArray appData_;
};

void TestCliCommands::initTestCase()
{
    QVERIFY(tmp_.isValid());
    appData_ = randomBytes(12 * 1024 + 40);  // ends inside a block and inside a page
    appHex_ = tmp_.filePath("app.hex");
    QVERIFY(makeHex(appData_, 0x08000000 + APP_OFFSET, appHex_));
}

void TestCliCommands::helpAndUsageErrors()
{
    const Run help = runTool({"--help"});
    QCOMPARE(help.exitCode, 0);
    for (const char* word : {"ports", "keys", "flash", "--port", "--json", "--no-verify", "--log", "--verbose"})
        QVERIFY2(help.out.contains(word), word);

    const QList<QStringList> bad = {{}, {"frobnicate"}, {"keys"}, {"flash", "--port", "/dev/null"}, {"keys", "--bogus"}};
    for (const auto& args : bad) {
        const Run r = runTool(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.startsWith("vorna-flash: ") && r.err.count('\n') == 1, r.err.constData());
    }
}

void TestCliCommands::portsListsExtraPorts()
{
    Sim sim({});
    QVERIFY(!sim.pty().isEmpty());
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("VBF_EXTRA_PORTS", sim.pty() + ":/tmp/vbf-no-such-port");
    const Run r = runTool({"ports"}, env);
    QCOMPARE(r.exitCode, 0);
    QStringList names;
    for (const QByteArray& line : r.out.split('\n'))
        if (!line.isEmpty())
            names << QString::fromLocal8Bit(line.split('\t').first());
    QVERIFY2(names.contains(sim.pty()), r.out.constData());
    QVERIFY(names.contains("/tmp/vbf-no-such-port"));
    QCOMPARE(names.removeDuplicates(), 0);

    // The same ports as JSON, in the same order; a pty has no USB identity, so its fields are null.
    const Run j = runTool({"ports", "--json"}, env);
    QCOMPARE(j.exitCode, 0);
    QJsonParseError error;
    const QJsonArray list = QJsonDocument::fromJson(j.out, &error).array();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QStringList jsonNames;
    for (const QJsonValue& v : list) {
        const QJsonObject o = v.toObject();
        jsonNames << o["port"].toString();
        QCOMPARE(o.keys().size(), 11);
        if (o["port"].toString() == sim.pty() || o["port"].toString() == "/tmp/vbf-no-such-port")
            for (const char* key : {"vid", "pid", "serial", "location", "bus", "address", "transport"})
                QVERIFY2(o[key].isNull(), key);
    }
    QCOMPARE(jsonNames, names);
}

// A stable name that finds no adapter fails before any port is opened, with the sentence
// the resolution gives; which adapter a real serial number finds, only hardware shows.
void TestCliCommands::stableNameWithoutItsAdapter()
{
    Sim sim({});
    for (const QStringList& args : {QStringList{"keys", "--port", "usb:VBF-NO-SUCH-ADAPTER"},
                                    QStringList{"keys", "--port", sim.pty(), "--port", "usb-path:9-9.9"}}) {
        const Run r = runTool(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.startsWith("vorna-flash: No port has the USB "), r.err.constData());
        QCOMPARE(r.err.count('\n'), 1);
    }
    // Plain names, by-id links included, are opened as they are.
    const QString link = tmp_.filePath("by-id-port");
    QVERIFY(QFile::link(sim.pty(), link));
    const Run r = runTool({"keys", "--port", link});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.startsWith("DevEUI: "));
}

void TestCliCommands::keysText()
{
    Sim sim({"--keys", KEYS});
    const Run r = runTool({"keys", "--port", sim.pty()});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, "DevEUI: " + KEYS.mid(0, 16) + "\nJoinEUI: " + KEYS.mid(16, 16) + "\nAppKey: " + KEYS.mid(32) + "\n");
    QVERIFY(r.err.isEmpty());
    // The library's messages only on request, a line each, and never on standard output.
    const Run v = runTool({"keys", "--verbose", "--port", sim.pty()});
    QCOMPARE(v.exitCode, 0);
    QCOMPARE(v.out, r.out);
    QVERIFY(v.err.count('\n') >= 2);
    QVERIFY(v.err.endsWith('\n'));

    Sim demo({});
    const Run d = runTool({"keys", "--port", demo.pty()});
    QCOMPARE(d.exitCode, 0);
    QVERIFY(d.out.contains("DevEUI: 70b3d57ed005a1b2\n"));
    QVERIFY(d.out.contains("AppKey: 2b7e151628aed2a6abf7158809cf4f3c\n"));
}

void TestCliCommands::keysJson()
{
    for (const char* pid : {"0x497", "0x447"}) {
        Sim sim({"--pid", pid, "--keys", KEYS});
        const Run r = runTool({"keys", "--json", "--port", sim.pty()});
        QCOMPARE(r.exitCode, 0);
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(r.out, &err);
        QCOMPARE(err.error, QJsonParseError::NoError);
        const QJsonObject o = doc.object();
        QCOMPARE(o.keys(), (QStringList{"appKey", "devEUI", "device", "joinEUI", "port"}));
        QCOMPARE(o["port"].toString(), sim.pty());
        QCOMPARE(o["devEUI"].toString(), QString(KEYS.mid(0, 16)));
        QCOMPARE(o["joinEUI"].toString(), QString(KEYS.mid(16, 16)));
        QCOMPARE(o["appKey"].toString(), QString(KEYS.mid(32)));
        const QJsonObject device = o["device"].toObject();
        QCOMPARE(device["pid"].toString(), QString(pid));
        QVERIFY(!device["name"].toString().isEmpty());
    }
}

void TestCliCommands::flashWritesImageAndKeepsIdentifiers()
{
    const QString dump = tmp_.filePath("flash-dump.bin");
    const QString simLog = tmp_.filePath("flash-sim.log");
    Run r;
    {
        Sim sim({"--keys", KEYS, "--dump", dump}, simLog);
        r = runTool({"flash", "--json", "--port", sim.pty(), appHex_});
    }
    QCOMPARE(r.exitCode, 0);
    QJsonParseError err;
    const QJsonObject o = QJsonDocument::fromJson(r.out, &err).object();
    QCOMPARE(err.error, QJsonParseError::NoError);
    QCOMPARE(o.keys(), (QStringList{"bytes", "code", "result", "seconds", "status"}));
    QCOMPARE(o["result"].toString(), QString("ok"));
    QCOMPARE(o["code"].toInt(-1), 0);
    QCOMPARE(o["bytes"].toInt(), appData_.size());
    QVERIFY(o["seconds"].toDouble(-1) >= 0);

    const QByteArray flash = readFile(dump);
    QCOMPARE(flash.mid(APP_OFFSET, appData_.size()), appData_);
    QCOMPARE(flash.mid(0x7E0, 32).toHex(), KEYS);
    QVERIFY2(readFile(simLog).contains("guarded-area: none"), readFile(simLog).constData());
}

void TestCliCommands::noVerifySkipsReadBack()
{
    auto bytesRead = [](const QByteArray& log) {
        for (const QByteArray& line : log.split('\n'))
            if (line.startsWith("bytes-read:"))
                return line.mid(11).trimmed().toLongLong();
        return -1LL;
    };
    const QString withLog = tmp_.filePath("verify.log"), withoutLog = tmp_.filePath("noverify.log");
    {
        Sim sim({}, withLog);
        QCOMPARE(runTool({"flash", "--port", sim.pty(), appHex_}).exitCode, 0);
    }
    {
        Sim sim({}, withoutLog);
        const Run r = runTool({"flash", "--no-verify", "--port", sim.pty(), appHex_});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("without verification"));
    }
    QVERIFY(bytesRead(readFile(withLog)) >= appData_.size());
    const qint64 noVerify = bytesRead(readFile(withoutLog));
    QVERIFY(noVerify >= 0 && noVerify < appData_.size());
}

void TestCliCommands::progressBarOnlyOnTerminal()
{
    {
        Sim sim({});
        const Run r = runTool({"flash", "--port", sim.pty(), appHex_});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(!r.err.contains('\r') && !r.err.contains('#'), r.err.constData());
    }
    // Standard error on a terminal: the bar is drawn there.
    int exitCode = -1;
    QByteArray drawn;
    {
        Sim sim({});
        drawn = runOnTerminal({"flash", "--port", sim.pty(), appHex_}, &exitCode);
    }
    QCOMPARE(exitCode, 0);
    QVERIFY2(drawn.contains("Writing") && drawn.contains("Verifying") && drawn.contains("100%"), drawn.constData());
    QVERIFY(drawn.contains('\r'));
}

void TestCliCommands::csvLogAppendsRows()
{
    const QString csv = tmp_.filePath("bench.csv");
    {
        Sim sim({"--keys", KEYS});
        QCOMPARE(runTool({"keys", "--port", sim.pty(), "--log", csv}).exitCode, 0);
        QCOMPARE(runTool({"flash", "--port", sim.pty(), appHex_, "--log", csv}).exitCode, 0);
    }
    {
        Sim sim({"--fault-no-sync"});
        QCOMPARE(runTool({"keys", "--port", sim.pty(), "--log", csv}).exitCode, 2);
    }
    QCOMPARE(QFileInfo(csv).permissions() & 0x7777,
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);

    const QList<QByteArray> lines = readFile(csv).split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QByteArray("time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds"));
    const QList<QByteArray> keys = lines[1].split(','), flash = lines[2].split(','), failed = lines[3].split(',');
    for (const auto* row : {&keys, &flash, &failed})
        QCOMPARE(row->size(), 10);
    QVERIFY(QDateTime::fromString(QString(keys[0]), Qt::ISODate).isValid());
    QCOMPARE(keys[2], QByteArray("0x497"));
    QCOMPARE(keys[3] + keys[4] + keys[5], KEYS);
    QCOMPARE(keys[6], QByteArray());
    QCOMPARE(keys[8], QByteArray("ok"));
    QCOMPARE(flash[5], KEYS.mid(32));
    QCOMPARE(flash[6], appHex_.toLocal8Bit());
    QCOMPARE(flash[7], QCryptographicHash::hash(readFile(appHex_), QCryptographicHash::Sha256).toHex());
    QCOMPARE(flash[8], QByteArray("ok"));
    QVERIFY(flash[9].toDouble() > 0);
    QCOMPARE(failed[8], QByteArray("no-answer"));
    QCOMPARE(failed[3], QByteArray());
}

void TestCliCommands::logThatCannotBeWrittenStopsFirst()
{
    const QString simLog = tmp_.filePath("unwritable-log-sim.log");
    Run r;
    {
        Sim sim({}, simLog);
        r = runTool({"flash", "--port", sim.pty(), appHex_, "--log", tmp_.path()});  // a folder
    }
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains("log"));
    QVERIFY2(readFile(simLog).contains("bytes-written: 0"), readFile(simLog).constData());
}

void TestCliCommands::unusableLogRefusedAtOnce_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("sentence");  // the last line, @LOG@ for the file's name
    for (const char* command : {"flash", "station"}) {
        // A FIFO blocks an open, a device never ends, standard output is the pipe to the caller.
        for (const char* log : {"@FIFO@", "/dev/zero", "@DIR@", "/dev/null", "/dev/stdout"})
            QTest::addRow("%s %s", command, log)
                << command << log
                << "vorna-flash: Cannot write the log file @LOG@ (not a regular file); give a writable path to --log.";
    }
    // Another program's file is left as it is: the firmware given for the log, a station's log.
    QTest::newRow("flash firmware") << "flash" << "@APP@"
                                    << "vorna-flash: The log file @LOG@ is not a log of the flash or keys command: its "
                                       "first line is \":020000040800F2\"; give a new file to --log.";
    QTest::newRow("flash station log")
        << "flash" << "@STATIONLOG@"
        << "vorna-flash: The log file @LOG@ is not a log of the flash or keys command: its first line is "
           "\"time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds,run_id,tool_version,att...\"; "
           "give a new file to --log.";
}

void TestCliCommands::unusableLogRefusedAtOnce()
{
    QFETCH(QString, command);
    QFETCH(QString, log);
    QFETCH(QString, sentence);
    const QString fifo = tmp_.filePath("log.fifo"), stationLog = tmp_.filePath("station-log.csv");
    if (!QFileInfo::exists(fifo))
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    {
        QFile f(stationLog);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds,run_id,tool_version,"
                "attempt,failing_step,unique_id,duplicate\n");
    }
    log.replace("@FIFO@", fifo).replace("@DIR@", tmp_.path()).replace("@APP@", appHex_).replace("@STATIONLOG@", stationLog);
    const bool regular = QFileInfo(log).isFile() && !log.startsWith("/dev/");
    const QByteArray before = regular ? readFile(log) : QByteArray();
    QElapsedTimer t;
    t.start();
    // No such port: a log checked after the port would end in a missing module (2).
    const Run r = runTool({command, "--port", "/dev/vbf-no-such-tty", appHex_, "--log", log});
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(QString::fromUtf8(lastLine(r.err)), sentence.replace("@LOG@", log));
    if (regular)
        QCOMPARE(readFile(log), before);
}

void TestCliCommands::fullDiskLeavesNoPartOfARow()
{
    // The file may grow by a few bytes only, as on a full disk: the row is not written at
    // all, the run says so, and the next run's row starts on a line of its own.
    const QString csv = tmp_.filePath("full.csv");
    const QByteArray before = "time_utc,port,product_id,dev_eui,join_eui,app_key,file,sha256,result,seconds\n"
                              "2024-01-01T00:00:00Z,p,0x497,,,,a.hex,x,ok,1.000\n";
    {
        QFile f(csv);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(before);
    }
    const rlim_t limit = rlim_t(before.size() + 16);
    const auto smallDisk = [limit] {
        const struct rlimit r {limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &r);
        ::signal(SIGXFSZ, SIG_IGN);  // a short write and EFBIG instead of the end
    };
    Sim sim({"--keys", KEYS});
    Run r = runTool({"flash", "--port", sim.pty(), appHex_, "--log", csv}, QProcessEnvironment::systemEnvironment(), smallDisk);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("Cannot append to the log file " + csv.toUtf8() + " (File too large); the row of " +
                            sim.pty().toUtf8() + " is missing from it."),
             r.err.constData());
    QCOMPARE(readFile(csv), before);

    r = runTool({"flash", "--port", sim.pty(), appHex_, "--log", csv});
    QCOMPARE(r.exitCode, 0);
    const QByteArray after = readFile(csv);
    QVERIFY(after.startsWith(before));
    const QList<QByteArray> added = after.mid(before.size()).split('\n');
    QCOMPARE(added.size(), 2);  // one row, then the end after its line break
    QCOMPARE(added[0].split(',').size(), 10);
    QCOMPARE(added[0].split(',')[3] + added[0].split(',')[4] + added[0].split(',')[5], KEYS);
}

void TestCliCommands::exitStatusFromRealCauses_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("file");  // for flash: which file
    QTest::addColumn<QString>("port");  // empty: the simulator's
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");  // in the tool's last sentence, when not empty

    QTest::newRow("no such port") << QStringList{} << "keys" << "" << "/dev/vbf-no-such-tty" << 2 << "";
    QTest::newRow("a file is no port") << QStringList{} << "flash" << "app" << "FILE" << 2 << "";
    QTest::newRow("bootloader silent") << QStringList{"--fault-no-sync"} << "keys" << "" << "" << 2 << "";
    QTest::newRow("firmware missing") << QStringList{} << "flash" << "missing" << "" << 3 << "";
    QTest::newRow("malformed hex") << QStringList{} << "flash" << "malformed" << "" << 3 << "";
    QTest::newRow("hex below application") << QStringList{} << "flash" << "low" << "" << 3 << "";
    QTest::newRow("write refused") << QStringList{"--fault-nack-write", "1"} << "flash" << "app" << "" << 4 << "";
    QTest::newRow("read-back differs") << QStringList{"--fault-corrupt-read", "0x08001000"} << "flash" << "app" << ""
                                       << 4 << "";
    // Stopped while the identifier page is read, before any erase: the module is as it was.
    QTest::newRow("cable pulled in flash") << QStringList{"--fault-stop-after", "20"} << "flash" << "app" << "" << 5
                                           << "so it is as it was";
    QTest::newRow("cable pulled in the erase") << QStringList{"--fault-stop-after", "28"} << "flash" << "app" << ""
                                               << 5 << "its application is incomplete";
    QTest::newRow("cable pulled in keys") << QStringList{"--fault-stop-after", "4"} << "keys" << "" << "" << 5 << "";
    // A second bootloader's ACK shifts both reads of the identifiers alike: they agree, and
    // are still no identity.
    QTest::newRow("second bootloader on the line") << QStringList{"--fault-double-ack-read", "0x080007E0"} << "keys"
                                                   << "" << "" << 5 << "";
    QTest::newRow("read protection keys") << QStringList{"--fault-rdp"} << "keys" << "" << "" << 5 << "";
    QTest::newRow("read protection flash") << QStringList{"--fault-rdp"} << "flash" << "app" << "" << 5 << "";
}

void TestCliCommands::exitStatusFromRealCauses()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, command);
    QFETCH(QString, file);
    QFETCH(QString, port);
    QFETCH(int, exitCode);
    QFETCH(QString, says);

    QString path = appHex_;
    if (file == "missing") {
        path = tmp_.filePath("no-such.hex");
    } else if (file == "malformed") {
        path = tmp_.filePath("malformed.hex");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(":020000040800F2\n:10080000THIS-IS-NOT-HEX-AT-ALL-0000000000\n:00000001FF\n");
    } else if (file == "low") {
        path = tmp_.filePath("low.hex");
        QVERIFY(makeHex(randomBytes(4096), 0x08000000, path));  // linked at the flash base
    }
    if (port == "FILE")
        port = appHex_;

    const QString simLog = tmp_.filePath("status-sim.log");
    QFile::remove(simLog);
    Run r;
    {
        Sim sim(simArgs, simLog);
        QVERIFY(!sim.pty().isEmpty());
        QStringList args{command, "--port", port.isEmpty() ? sim.pty() : port};
        if (command == "flash")
            args << "--json" << path;
        r = runTool(args);
    }
    QCOMPARE(r.exitCode, exitCode);
    // The tool's own sentence comes last; library errors may stand before it.
    const QByteArray sentence = lastLine(r.err);
    QVERIFY2(sentence.startsWith("vorna-flash: ") && sentence.endsWith("."), r.err.constData());
    QVERIFY2(says.isEmpty() || sentence.contains(says.toUtf8()), r.err.constData());
    // Nothing said of the module contradicts what the library said of it.
    if (r.err.contains("nothing was changed on the device"))
        QVERIFY2(!sentence.contains("incomplete"), r.err.constData());
    if (command == "flash") {
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        // The code is the exit status, the status its name.
        QCOMPARE(o["code"].toInt(-1), exitCode);
        QVERIFY(o["result"].toString() != "ok" && o["status"] == o["result"]);
    } else {
        QVERIFY(r.out.isEmpty());
    }
    const QByteArray log = readFile(simLog);
    if (!log.isEmpty())
        QVERIFY2(log.contains("guarded-area: none"), log.constData());
}

void TestCliCommands::severalModulesAtOnceOneFailing()
{
    // Four modules at once, the second refusing its fifth write and the fourth going silent
    // during the download: the others are flashed byte-exact with their identifiers kept,
    // each module has one whole CSV row and one JSON object, the refused one reports the
    // bytes it took, and the exit status is the highest of the failed ones.
    const QString csv = tmp_.filePath("several.csv");
    std::vector<std::unique_ptr<Sim>> sims;
    QStringList args{"flash", "--json", "--log", csv};
    QList<QByteArray> keys;
    for (int i = 0; i < 4; ++i) {
        keys << randomBytes(32).toHex();
        QStringList simArgs{"--keys", QString(keys.last()), "--dump", tmp_.filePath(QString("several-%1.bin").arg(i))};
        if (i == 1)
            simArgs << "--fault-nack-write" << "5";
        if (i == 3)
            simArgs << "--fault-stop-after" << "40";
        sims.push_back(std::make_unique<Sim>(simArgs, tmp_.filePath(QString("several-%1.log").arg(i))));
        QVERIFY(!sims.back()->pty().isEmpty());
        args << "--port" << sims.back()->pty();
    }
    const Run r = runTool(args << appHex_);
    for (auto& s : sims)
        s->stop();
    QCOMPARE(r.exitCode, 5);

    const QJsonArray results = QJsonDocument::fromJson(r.out).array();
    QCOMPARE(results.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QJsonObject o = results[i].toObject();
        QCOMPARE(o["port"].toString(), sims[size_t(i)]->pty());
        QCOMPARE(o["result"].toString(), QString(i == 1 ? "write-verify" : i == 3 ? "link-lost" : "ok"));
        if (i == 3)
            QVERIFY(o["bytes"].toInt() < appData_.size());
        else
            QCOMPARE(o["bytes"].toInt(), i == 1 ? 4 * 256 : appData_.size());
        const QByteArray flash = readFile(tmp_.filePath(QString("several-%1.bin").arg(i)));
        QCOMPARE(flash.mid(0x7E0, 32).toHex(), keys[i]);
        if (i == 0 || i == 2)
            QCOMPARE(flash.mid(APP_OFFSET, appData_.size()), appData_);
        QVERIFY(readFile(tmp_.filePath(QString("several-%1.log").arg(i))).contains("guarded-area: none"));
    }
    // The summary names the failed ports and only those.
    const QByteArray summary = lastLine(r.err);
    QVERIFY2(summary.startsWith("vorna-flash: 2 of 4 modules failed: " + sims[1]->pty().toLocal8Bit() + ": "), r.err.constData());
    QVERIFY(summary.contains(" " + sims[3]->pty().toLocal8Bit() + ": "));
    QVERIFY(!summary.contains(sims[0]->pty().toLocal8Bit() + ":") && !summary.contains(sims[2]->pty().toLocal8Bit() + ":"));

    const QList<QByteArray> lines = readFile(csv).trimmed().split('\n');
    QCOMPARE(lines.size(), 5);
    QStringList portsLogged;
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> row = lines[i].split(',');
        QCOMPARE(row.size(), 10);
        const int module = sims[0]->pty() == row[1] ? 0 : sims[1]->pty() == row[1] ? 1 : sims[2]->pty() == row[1] ? 2 : 3;
        portsLogged << QString(row[1]);
        QCOMPARE(row[3] + row[4] + row[5], keys[module]);
        QCOMPARE(row[7], QCryptographicHash::hash(readFile(appHex_), QCryptographicHash::Sha256).toHex());
        QCOMPARE(row[8], QByteArray(module == 1 ? "write-verify" : module == 3 ? "link-lost" : "ok"));
    }
    portsLogged.removeDuplicates();
    QCOMPARE(portsLogged.size(), 4);
}

void TestCliCommands::severalModulesRedrawnOnTerminal()
{
    // One line per module on a terminal, redrawn in place; a plain line per module otherwise.
    Sim a({"--baud", "230400"}), b({"--baud", "230400"});
    int exitCode = -1;
    const QByteArray drawn = runOnTerminal({"flash", "--port", a.pty(), "--port", b.pty(), appHex_}, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(drawn.contains("\x1b[2A"), drawn.right(400).constData());
    for (const Sim* s : {&a, &b}) {
        const QByteArray port = s->pty().toLocal8Bit();
        QVERIFY(drawn.contains(port + "  Writing"));
        QVERIFY(drawn.contains(port + "  Verifying"));
        QVERIFY(drawn.contains(port + "  done (ok"));
    }

    Sim c({}), d({});
    const Run r = runTool({"flash", "--port", c.pty(), "--port", d.pty(), appHex_});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(!r.err.contains('\r') && !r.err.contains('#'));
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].contains(": Flashed " + QByteArray::number(appData_.size()) + " bytes with verification"));
    QVERIFY(lines[2].startsWith("All 2 modules done"));
}

void TestCliCommands::badFileRefusedBeforeAnyPort()
{
    // A bad file is exit 3 whether or not a module is attached, and no port is opened.
    const QString low = tmp_.filePath("low-placed.hex");
    QVERIFY(makeHex(randomBytes(64), 0x08000000, low));
    const QString beyond = tmp_.filePath("beyond.hex");
    QVERIFY(makeHex(randomBytes(64), 0x0A000000, beyond));
    const QString empty = tmp_.filePath("empty.hex");
    {
        QFile f(empty);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(":00000001FF\n");
    }
    const QStringList files{low, beyond, empty, tmp_.filePath("absent.hex")};
    for (const QString& file : files) {
        const Run r = runTool({"flash", "--json", "--port", "/dev/vbf-no-such-tty", file});
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(QJsonDocument::fromJson(r.out).object()["code"].toInt() == 3, r.out.constData());
        QVERIFY2(lastLine(r.err).contains("firmware file"), r.err.constData());
    }
    const QString simLog = tmp_.filePath("badfile-sim.log");
    Run r;
    {
        Sim sim({}, simLog);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("VBF_EXTRA_PORTS", sim.pty());
        r = runTool({"flash", "--json", "--port", sim.pty(), "--port", "/dev/vbf-no-such-tty", low}, env);
    }
    QCOMPARE(r.exitCode, 3);
    const QJsonArray results = QJsonDocument::fromJson(r.out).array();
    QCOMPARE(results.size(), 2);
    QCOMPARE(results[0].toObject()["result"].toString(), QString("out-of-range"));
    QVERIFY2(readFile(simLog).contains("summary: 0 commands, 0 ACK, 0 NACK, 0 sync"), readFile(simLog).constData());
}

void TestCliCommands::fileNameThatIsNotUtf8IsFlashed()
{
    // POSIX file names are bytes: one that is not UTF-8 exists all the same. Made and passed by
    // the shell, since a QString cannot carry the byte.
    const QString dump = tmp_.filePath("latin1-dump.bin");
    Run r;
    {
        Sim sim({"--dump", dump}, tmp_.filePath("latin1-sim.log"));
        QProcess p;
        p.setWorkingDirectory(tmp_.path());
        p.start("/bin/sh", {"-c", "f=$(printf 'fw\\351.hex') && cp \"$1\" \"$f\" && exec \"$2\" flash --json --port \"$3\" \"$f\"",
                            "sh", appHex_, VORNA_FLASH_PATH, sim.pty()});
        QVERIFY(p.waitForFinished(30000));
        r.exitCode = p.exitCode();
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
    }
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QJsonParseError err;
    QCOMPARE(QJsonDocument::fromJson(r.out, &err).object()["result"].toString(), QString("ok"));
    QCOMPARE(err.error, QJsonParseError::NoError);
    QCOMPARE(readFile(dump).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliCommands::keysJsonErrorObject()
{
    Sim sim({"--fault-no-sync"});
    const Run r = runTool({"keys", "--json", "--port", sim.pty()});
    QCOMPARE(r.exitCode, 2);
    QJsonParseError err;
    const QJsonObject o = QJsonDocument::fromJson(r.out, &err).object();
    QCOMPARE(err.error, QJsonParseError::NoError);
    QCOMPARE(o.keys(), (QStringList{"code", "port", "result", "status"}));
    QCOMPARE(o["result"].toString(), QString("no-answer"));
    QCOMPARE(o["status"].toString(), QString("no-answer"));
    QCOMPARE(o["code"].toInt(), 2);
}

void TestCliCommands::rateTheBootloaderDoesNotTake()
{
    {
        // Too fast for the part: the sentence asks for a reset, and without one the usual
        // rate does not help either.
        Sim sim({"--max-baud", "115200"});
        const Run fast = runTool({"keys", "--baud", "921600", "--port", sim.pty()});
        QCOMPARE(fast.exitCode, 2);
        QVERIFY2(lastLine(fast.err).contains("at 921600 baud") && lastLine(fast.err).contains("reset"), fast.err.constData());
        QCOMPARE(runTool({"keys", "--port", sim.pty()}).exitCode, 2);
    }
    {
        const QString dump = tmp_.filePath("fast-dump.bin");
        Sim sim({"--max-baud", "921600", "--baud", "460800", "--dump", dump});
        const Run r = runTool({"flash", "--baud", "460800", "--port", sim.pty(), appHex_});
        QCOMPARE(r.exitCode, 0);
        sim.stop();
        QCOMPARE(readFile(dump).mid(APP_OFFSET, appData_.size()), appData_);
    }
}

void TestCliCommands::bootSequenceFlashesAndStartsFirmware_data()
{
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("direct") << "direct" << QStringList{"--boot", "direct", "--after", "run"};
    QTest::newRow("inverted") << "inverted" << QStringList{"--boot", "inverted", "--after", "run"};
    QTest::newRow("auto-reset") << "auto-reset" << QStringList{"--boot", "auto-reset", "--after", "run"};
    QTest::newRow("custom steps") << "direct"
                                  << QStringList{"--boot", "rts=0,dtr=1,wait=60,dtr=0", "--after",
                                                 "rts=1,dtr=1,wait=60,dtr=0"};
}

void TestCliCommands::bootSequenceFlashesAndStartsFirmware()
{
    QFETCH(QString, wiring);
    QFETCH(QStringList, args);
    WiredSim w({"--wiring", wiring, "--keys", KEYS});
    QVERIFY(!w.sim.pty().isEmpty());
    // A wired module starts in its application (or, inverted with the port closed, held in
    // reset): no jumper, no button puts it into its bootloader.
    QVERIFY(w.state("state") != "bootloader");
    const int runsBefore = w.state("app-runs").toInt();
    const Run r = runTool(QStringList{"flash", "--port", w.link, appHex_} + args, w.env());
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(w.state("app-runs").toInt(), runsBefore + 1);
    const QByteArray flash = w.flash();
    QCOMPARE(flash.mid(APP_OFFSET, appData_.size()), appData_);
    QCOMPARE(flash.mid(0x7E0, 32).toHex(), KEYS);
}

void TestCliCommands::plainPresetOnInvertedWiringSuggestsInverted()
{
    WiredSim w({"--wiring", "inverted"});
    const Run r = runTool({"keys", "--port", w.link, "--boot", "direct"}, w.env());
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("after the boot sequence direct (dtr=1+rts=0,wait=100,dtr=0), tried 3 times"),
             r.err.constData());
    QVERIFY2(r.err.contains("try --boot inverted"), r.err.constData());
    // Each attempt reset the module; none reached the bootloader.
    QCOMPARE(w.state("synced"), QString("0"));
    QVERIFY(w.state("resets").toInt() >= 3);
}

void TestCliCommands::directWiringWithoutSequenceNotHeldInReset()
{
    // Opening the port asserts DTR, which holds a directly wired NRST low; the idle state
    // set right after the open releases it, with BOOT0 high, into the bootloader.
    WiredSim w({"--wiring", "direct", "--keys", KEYS});
    const Run r = runTool({"flash", "--port", w.link, appHex_}, w.env());
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(w.flash().mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliCommands::bootOnPortWithoutModemLines()
{
    // A pty without the preload library refuses the modem ioctls, as Wine's COM port on one does.
    Sim sim({});
    const Run r = runTool({"keys", "--port", sim.pty(), "--boot", "direct"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("The boot sequence direct needs DTR and RTS, but " + sim.pty().toLocal8Bit() +
                            " has no modem lines"),
             r.err.constData());
}

void TestCliCommands::afterGoStartsTheApplication()
{
    WiredSim w({"--keys", KEYS});
    const int runsBefore = w.state("app-runs").toInt();
    const Run r = runTool({"flash", "--port", w.link, appHex_, "--after", "go"}, w.env());
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(w.state("app-runs").toInt(), runsBefore + 1);
}

void TestCliCommands::linesCommandHoldsTheLines()
{
    WiredSim w({"--wiring", "direct"});
    QProcess p;
    p.setProcessEnvironment(w.env());
    p.start(VORNA_FLASH_PATH, {"lines", "--port", w.link, "--dtr", "1", "--rts", "0", "--hold", "2"});
    QVERIFY(p.waitForReadyRead(5000));
    QVERIFY(p.readAllStandardOutput().contains("DTR asserted (pin low on common adapters), RTS de-asserted"));
    QCOMPARE(w.state("dtr") + w.state("rts"), QString("10"));
    QCOMPARE(w.state("state"), QString("reset"));
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 0);
}

void TestCliCommands::bridgeGetsLowLatency()
{
    WiredSim w({"--latency-timer", "16"});
    QCOMPARE(w.state("latency-ms"), QString("16"));
    const Run r = runTool({"keys", "--port", w.link, "--verbose"}, w.env());
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.err.contains(w.link.toLocal8Bit() + ": low latency set"), r.err.constData());
    QCOMPARE(w.state("low-latency"), QString("1"));
    QCOMPARE(w.state("latency-ms"), QString("1"));
}

void TestCliCommands::damagedByteCostsARetry_data()
{
    // Which byte from the module (counted from 0 over the whole run) arrives with a parity
    // error. The indexes are where these answers fall in a `keys` run and in a flash of the
    // 4 KiB image below; a change in what the tool asks moves them, and the note then says
    // which answer was hit instead.
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("damaged");
    QTest::addColumn<QString>("note");
    QTest::newRow("Get Version's ACK") << "keys" << 20 << "Get Version failed (the answer to Get Version was damaged";
    QTest::newRow("a byte of Get ID") << "keys" << 30 << "Get ID failed (the answer to Get ID was damaged";
    QTest::newRow("a byte of the identifiers") << "keys" << 94
                                                << "Read Memory at 0x080007E0 failed (the answer to Read Memory was damaged";
    QTest::newRow("Extended Erase's command ACK")
        << "flash" << 4245 << "Extended Erase: the command was answered with a damaged byte; sending it again";
    QTest::newRow("Extended Erase's last ACK")
        << "flash" << 4246 << "Extended Erase of 2 pages failed (the answer to Extended Erase was damaged";
    QTest::newRow("Write Memory's address ACK")
        << "flash" << 4252 << "Write Memory at 0x08000800 failed (the answer to Write Memory at 0x08000800 was damaged";
    QTest::newRow("Write Memory's data ACK")
        << "flash" << 4253 << "The answer to Write Memory at 0x08000800 was lost (the answer to Write Memory at "
                              "0x08000800 was damaged on the line); the block reads back as written";
}

// A byte the port flags as received with a parity error is never taken as data or as an
// answer: what it belonged to is asked or sent again, and the result is exact.
void TestCliCommands::damagedByteCostsARetry()
{
    QFETCH(QString, command);
    QFETCH(int, damaged);
    QFETCH(QString, note);
    static const QByteArray image = randomBytes(4096);
    const QString hex = tmp_.filePath("damage.hex");
    if (!QFileInfo::exists(hex))
        QVERIFY(makeHex(image, 0x08000000 + APP_OFFSET, hex));

    WiredSim w({"--keys", KEYS});
    auto env = w.env();
    env.insert("VBF_SIM_DAMAGE", QString::number(damaged));
    const Run r = runTool(command == "keys" ? QStringList{"keys", "--port", w.link, "--verbose"}
                                            : QStringList{"flash", "--port", w.link, "--verbose", hex},
                          env);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(r.err.contains(note.toUtf8()), r.err.constData());
    const QByteArray flash = w.flash();
    QCOMPARE(flash.mid(0x7E0, 32).toHex(), KEYS);
    if (command == "keys")
        QVERIFY2(r.out.contains("DevEUI: " + KEYS.left(16)), r.out.constData());
    else
        QCOMPARE(flash.mid(APP_OFFSET, image.size()), image);
}

// Line noise whose flips toward the host a UART flags (one bit in a byte, as even parity
// catches): every flagged byte is asked for again and the flash ends exact.
void TestCliCommands::noisyLineWithParityMarks()
{
    static const QByteArray image = randomBytes(4096);
    const QString hex = tmp_.filePath("noisy.hex");
    if (!QFileInfo::exists(hex))
        QVERIFY(makeHex(image, 0x08000000 + APP_OFFSET, hex));
    const QString marks = tmp_.filePath("parity.marks");
    WiredSim w({"--keys", KEYS, "--noise-seed", "1", "--noise-ber", "5e-5", "--parity-marks", marks});
    auto env = w.env();
    env.insert("VBF_SIM_MARKS", marks);
    const Run r = runTool({"flash", "--port", w.link, "--verbose", hex}, env);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArray flash = w.flash();
    QCOMPARE(flash.mid(APP_OFFSET, image.size()), image);
    QCOMPARE(flash.mid(0x7E0, 32).toHex(), KEYS);
    const int marked = readFile(marks).count('\n');
    QVERIFY2(marked > 0, "the seed flipped nothing toward the host");
    // Marks on bytes the tool had stopped reading (a read already given up) go unseen.
    const int seen = r.err.count("damaged on the line");
    QVERIFY2(seen > 0 && seen <= marked, r.err.constData());
    QVERIFY2(!r.err.contains("differed"), r.err.constData());
}

void TestCliCommands::secondProgramRefusedWhileFlashing()
{
    // Erased-flash runs and 0xFF 0x00 pairs: what the running flash misreads once a refused
    // second program has reset the terminal they share.
    QByteArray data = randomBytes(8 * 1024);
    for (int at = 0; at + 4 <= data.size(); at += 64)
        data.replace(at, 4, QByteArray("\xFF\xFF\xFF\x00", 4));
    const QString hex = tmp_.filePath("ff-runs.hex");
    QVERIFY(makeHex(data, 0x08000000 + APP_OFFSET, hex));
    const QString dump = tmp_.filePath("ff-runs.bin");
    Sim sim({"--keys", KEYS, "--dump", dump, "--baud", "115200"});
    QVERIFY(!sim.pty().isEmpty());
    QProcess flash;
    flash.start(VORNA_FLASH_PATH, {"flash", "--port", sim.pty(), hex});
    QVERIFY(flash.waitForStarted(5000));
    QTest::qWait(700);  // the write of 8 KiB on the timed wire takes about a second
    QVERIFY(flash.state() == QProcess::Running);
    for (const QStringList& second : {QStringList{"keys", "--port", sim.pty()}, QStringList{"flash", "--port", sim.pty(), hex}}) {
        const Run r = runTool(second);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("port in use"), r.err.constData());
        // The sentence names the flash that holds the port.
        QVERIFY2(r.err.contains("vorna-flash (pid " + QByteArray::number(flash.processId()) + ") has it open"),
                 r.err.constData());
    }
    QVERIFY(flash.waitForFinished(30000));
    QVERIFY2(flash.exitCode() == 0, flash.readAllStandardError().constData());
    sim.stop();
    QCOMPARE(readFile(dump).mid(APP_OFFSET, data.size()).toHex(), data.toHex());
}

void TestCliCommands::flashOutlivesHangUpAndPipe_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("terminal closed") << int(SIGHUP);
    QTest::newRow("reader gone") << int(SIGPIPE);
}

void TestCliCommands::flashOutlivesHangUpAndPipe()
{
    QFETCH(int, signal);
    const QString dump = tmp_.filePath("hangup.bin");
    Sim sim({"--keys", KEYS, "--dump", dump, "--baud", "115200"});
    QVERIFY(!sim.pty().isEmpty());
    QProcess flash;
    flash.start(VORNA_FLASH_PATH, {"flash", "--port", sim.pty(), appHex_});
    QVERIFY(flash.waitForStarted(5000));
    QTest::qWait(500);  // inside the write on the timed wire
    ::kill(pid_t(flash.processId()), signal);
    QVERIFY(flash.waitForFinished(30000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 0);
    sim.stop();
    QCOMPARE(readFile(dump).mid(APP_OFFSET, appData_.size()), appData_);
}

void TestCliCommands::garbledIdentityNeverPasses_data()
{
    QTest::addColumn<QString>("seed");
    for (const char* seed : {"1", "2", "3", "4", "5", "6"})
        QTest::newRow(seed) << QString(seed);
}

// Spurious bytes in the answers, as when a second bootloader shares the line: the
// identifiers are either the module's own or a failure, never an exit 0 with others.
void TestCliCommands::garbledIdentityNeverPasses()
{
    QFETCH(QString, seed);
    Sim sim({"--keys", KEYS, "--noise-insert", "0.03", "--noise-seed", seed});
    QVERIFY(!sim.pty().isEmpty());
    const Run r = runTool({"keys", "--json", "--port", sim.pty()});
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    if (r.exitCode == 0)
        QCOMPARE((o["devEUI"].toString() + o["joinEUI"].toString() + o["appKey"].toString()).toLatin1(), KEYS);
    else
        QVERIFY2(r.exitCode > 1 && o["devEUI"].toString().isEmpty(), r.out.constData());
}

void TestCliCommands::elfFromTheLinkerFlashedAtLoadAddresses()
{
    // .data runs at 0x20000000 but is loaded after the code: written there, as objcopy and
    // the start-up code see it; .bss has no bytes to write.
    const QString elf = linkElf(tmp_.path(), "linked", FLASH_SECTIONS, PHDRS);
    QVERIFY2(!elf.isEmpty(), "clang --target=thumbv7m-none-eabi and ld.lld are needed (scripts/setup.sh installs them)");
    const QByteArray image = elfAsBinary(elf);
    QVERIFY(image.size() > 3000);
    // .data's bytes follow the code in the image, not at 0x20000000 (llvm-objcopy would make
    // a file of 400 MiB from that).
    QVERIFY(image.indexOf(QByteArray::fromHex("88776655CCBBAA9900FFEEDD")) > 3000);
    const QString dump = tmp_.filePath("elf-dump.bin"), simLog = tmp_.filePath("elf-sim.log");
    {
        Sim sim({"--keys", KEYS, "--dump", dump}, simLog);
        const QString named = writeBytes(tmp_.filePath("linked-as-firmware"), readFile(elf));  // no name's word
        const Run r = runTool({"flash", "--json", "--port", sim.pty(), named});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QJsonDocument::fromJson(r.out).object()["bytes"].toInt(), image.size());
        const Run v = runTool({"verify", "--port", sim.pty(), elf});
        QVERIFY2(v.exitCode == 0, v.err.constData());
        QVERIFY2(v.out.contains("The module matches linked.elf: " + QByteArray::number(image.size()) + " bytes compared"),
                 v.out.constData());
    }
    const QByteArray flash = readFile(dump);
    QCOMPARE(flash.mid(APP_OFFSET, image.size()).toHex(), image.toHex());
    QCOMPARE(flash.mid(0x7E0, 32).toHex(), KEYS);
    QCOMPARE(uint8_t(flash[APP_OFFSET + image.size()]), uint8_t(0xFF));   // nothing for .bss
}

void TestCliCommands::elfSegmentsRefusedBeforeAnyPort_data()
{
    QTest::addColumn<QString>("sections");
    QTest::addColumn<QString>("phdrs");
    QTest::addColumn<QStringList>("says");
    // Code linked to run from RAM without a load address in flash.
    QTest::newRow("segment in RAM")
        << "  .isr_vector : { KEEP(*(.isr_vector)) } > FLASH :flash\n  .text : { *(.text*) } > FLASH :flash\n"
           "  .data : { *(.data*) } > RAM AT> FLASH :data\n  .ramfunc : { *(.ramfunc) } > RAM :ram\n"
        << PHDRS
        << QStringList{"segment 2: loads 4 bytes at 0x200", ", which is RAM, not flash; give its sections a load address in flash"};
    // The linker's own choice without PHDRS: the file and program headers loaded below the
    // first section, at the flash base, which holds the identifiers.
    QTest::newRow("headers at the flash base") << FLASH_SECTIONS << QString()
                                               << QStringList{"segment 1: data at 0x08000000 is below the application start 0x08000800"};
}

void TestCliCommands::elfSegmentsRefusedBeforeAnyPort()
{
    QFETCH(QString, sections);
    QFETCH(QString, phdrs);
    QFETCH(QStringList, says);
    const QString elf = linkElf(tmp_.path(), QString("refused-%1").arg(QTest::currentDataTag()).replace(' ', '-'), sections, phdrs);
    QVERIFY2(!elf.isEmpty(), "clang --target=thumbv7m-none-eabi and ld.lld are needed (scripts/setup.sh installs them)");
    const QString simLog = tmp_.filePath("elf-refused-sim.log");
    QFile::remove(simLog);
    Run r;
    {
        Sim sim({}, simLog);
        r = runTool({"flash", "--port", sim.pty(), elf});
    }
    QCOMPARE(r.exitCode, 3);
    for (const QString& part : says)
        QVERIFY2(r.err.contains(part.toUtf8()), r.err.constData());
    QVERIFY2(readFile(simLog).contains("summary: 0 commands"), readFile(simLog).constData());
}

void TestCliCommands::sRecordsOfEachAddressSize_data()
{
    // Each producer and address size; S1 and S2 cannot reach the application area, so those
    // files are refused before the port is opened, naming their first line of data.
    QTest::addColumn<QStringList>("producer");   // @IN@ the binary, @OUT@ the S-record file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("srec_cat S3")
        << QStringList{"srec_cat", "@IN@", "-Binary", "-offset", "0x08000800", "-o", "@OUT@", "-Motorola", "-Address_Length=4"}
        << 0 << "";
    QTest::newRow("objcopy S3") << QStringList{"objcopy", "-I", "binary", "-O", "srec", "--change-addresses", "0x08000800",
                                               "@IN@", "@OUT@"}
                                << 0 << "";
    QTest::newRow("srec_cat S2")
        << QStringList{"srec_cat", "@IN@", "-Binary", "-offset", "0x800", "-o", "@OUT@", "-Motorola", "-Address_Length=3"}
        << 3 << "line 2: data at 0x00000800 is below the application start 0x08000800";
    QTest::newRow("srec_cat S1")
        << QStringList{"srec_cat", "@IN@", "-Binary", "-offset", "0x800", "-o", "@OUT@", "-Motorola", "-Address_Length=2"}
        << 3 << "line 2: data at 0x00000800 is below the application start 0x08000800";
}

void TestCliCommands::sRecordsOfEachAddressSize()
{
    QFETCH(QStringList, producer);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const QByteArray data = randomBytes(5000);
    const QString in = writeBytes(tmp_.filePath("srec-in.bin"), data), out = tmp_.filePath("app.srec");
    QFile::remove(out);
    producer.replaceInStrings("@IN@", in).replaceInStrings("@OUT@", out);
    QCOMPARE(QProcess::execute(producer.takeFirst(), producer), 0);
    const QString dump = tmp_.filePath("srec-dump.bin"), simLog = tmp_.filePath("srec-sim.log");
    QFile::remove(simLog);
    Run r;
    {
        Sim sim({"--keys", KEYS, "--dump", dump}, simLog);
        r = runTool({"flash", "--port", sim.pty(), out});
    }
    QCOMPARE(r.exitCode, exitCode);
    if (exitCode == 0) {
        QCOMPARE(readFile(dump).mid(APP_OFFSET, data.size()).toHex(), data.toHex());
    } else {
        QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
        QVERIFY2(readFile(simLog).contains("summary: 0 commands"), readFile(simLog).constData());
    }
}

void TestCliCommands::binaryWithAndWithoutAddress_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("address");
    QTest::addColumn<int>("at");          // offset in the flash; -1: refused
    QTest::addColumn<QString>("says");
    QTest::newRow("default place") << "fw.bin" << QStringList{} << APP_OFFSET << "";
    QTest::newRow("at an address") << "fw.bin" << QStringList{"--address", "0x08004000"} << 0x4000 << "";
    QTest::newRow("no suffix, decimal address") << "firmware" << QStringList{"--address", "134234112"} << 0x4000 << "";
    QTest::newRow("onto the identifiers") << "fw.bin" << QStringList{"--address", "0x08000000"} << -1
                                          << "data at 0x08000000 is below the application start 0x08000800";
    QTest::newRow("a HEX file has its own") << "app.hex" << QStringList{"--address", "0x08004000"} << -1
                                            << "app.hex is Intel HEX and carries its own addresses; --address places raw binaries only";
}

void TestCliCommands::binaryWithAndWithoutAddress()
{
    QFETCH(QString, name);
    QFETCH(QStringList, address);
    QFETCH(int, at);
    QFETCH(QString, says);
    const QByteArray data = randomBytes(3000).prepend(QByteArray("\x00\x10\x00\x20", 4));
    const QString file = name.endsWith(".hex") ? appHex_ : writeBytes(tmp_.filePath(name), data);
    const QString dump = tmp_.filePath("bin-dump.bin"), simLog = tmp_.filePath("bin-sim.log");
    QFile::remove(simLog);
    Run r;
    {
        Sim sim({"--keys", KEYS, "--dump", dump}, simLog);
        r = runTool(QStringList{"flash", "--port", sim.pty(), file} + address);
    }
    if (at < 0) {
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.contains(says.toUtf8()), r.err.constData());
        QVERIFY2(readFile(simLog).contains("summary: 0 commands"), readFile(simLog).constData());
        return;
    }
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArray flash = readFile(dump);
    QCOMPARE(flash.mid(at, data.size()).toHex(), data.toHex());
    // Nothing else was written: the flash outside the image is as erased, the identifiers kept.
    QByteArray rest = flash;
    rest.replace(at, data.size(), QByteArray(data.size(), char(0xFF)));
    QCOMPARE(rest, erasedFlash());
}

void TestCliCommands::verifyReadsOnly_data()
{
    QTest::addColumn<int>("changedAt");    // offset in the image of a byte the module holds otherwise; -1: none
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("status");
    QTest::newRow("matching") << -1 << QStringList{} << 0 << "ok";
    QTest::newRow("one byte differs") << 0x10D2 << QStringList{} << 6 << "differs";
    QTest::newRow("last byte differs") << 12 * 1024 + 39 << QStringList{} << 6 << "differs";
    // Power lost in the middle of the reads: a link failure, never taken for a difference.
    QTest::newRow("power lost") << -1 << QStringList{"--fault-stop-after", "20"} << 5 << "link-lost";
    QTest::newRow("power lost, a byte differing") << 0x2F00 << QStringList{"--fault-stop-after", "30"} << 5 << "link-lost";
}

void TestCliCommands::verifyReadsOnly()
{
    QFETCH(int, changedAt);
    QFETCH(QStringList, simArgs);
    QFETCH(int, exitCode);
    QFETCH(QString, status);
    QByteArray onModule = appData_;
    if (changedAt >= 0)
        onModule[changedAt] = char(~onModule[changedAt]);
    const QByteArray before = erasedFlash(onModule);
    const QString image = writeBytes(tmp_.filePath("verify-image.bin"), before);
    const QString dump = tmp_.filePath("verify-dump.bin"), simLog = tmp_.filePath("verify-sim.log");
    QFile::remove(simLog);
    Run r;
    {
        Sim sim(QStringList{"--image", image, "--dump", dump} + simArgs, simLog);
        r = runTool({"verify", "--json", "--port", sim.pty(), appHex_});
    }
    QCOMPARE(r.exitCode, exitCode);
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(o["status"].toString(), status);
    QCOMPARE(o["code"].toInt(-1), exitCode);
    if (exitCode == 0 || exitCode == 6) {
        QCOMPARE(o["bytes"].toInt(), appData_.size());
        QCOMPARE(o["differing"].toInt(-1), changedAt >= 0 ? 1 : 0);
        if (changedAt >= 0) {
            const QString first = QString("0x%1").arg(0x08000000 + APP_OFFSET + changedAt, 8, 16, QLatin1Char('0')).toUpper().replace("0X", "0x");
            QCOMPARE(o["firstDifference"].toString(), first);
            QVERIFY2(lastLine(r.err).contains("differs from the firmware file " + appHex_.toUtf8() + " in 1 of " +
                                              QByteArray::number(appData_.size()) + " bytes, the first at " + first.toUtf8()),
                     r.err.constData());
        } else {
            QVERIFY(o["firstDifference"].isNull());
        }
    }
    if (exitCode == 5) {
        // Lost in the middle of the reads, not while connecting.
        QVERIFY2(o["bytes"].toInt() > 0 && o["bytes"].toInt() < appData_.size(), r.out.constData());
    }
    // Reads only, whatever the outcome: the module is as it was.
    const QByteArray log = readFile(simLog);
    QVERIFY2(onlyReads(log), log.constData());
    QVERIFY2(simSummaryLine(log, "commands").contains("Read Memory"), log.constData());
    QCOMPARE(readFile(dump), before);
}

void TestCliCommands::verifyNamesTheDifferingModule()
{
    // Two modules, one holding the file and one not: each its own line, the exit status of
    // the one that differs, and the summary naming it alone.
    const QString image = writeBytes(tmp_.filePath("verify-good.bin"), erasedFlash(appData_));
    Sim good({"--image", image}), blank({});
    const Run r = runTool({"verify", "--port", good.pty(), "--port", blank.pty(), appHex_});
    QCOMPARE(r.exitCode, 6);
    QVERIFY2(r.out.contains(good.pty().toUtf8() + ": matches app.hex: " + QByteArray::number(appData_.size()) + " bytes compared"),
             r.out.constData());
    const QByteArray summary = lastLine(r.err);
    QVERIFY2(summary.startsWith("vorna-flash: 1 of 2 modules failed: " + blank.pty().toUtf8() + ": "), r.err.constData());
    QVERIFY(!summary.contains(good.pty().toUtf8() + ":"));
}

void TestCliCommands::readIsByteExact_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("size");
    QTest::addColumn<int>("offset");     // in the flash
    QTest::addColumn<int>("bytes");
    QTest::addColumn<bool>("ownerOnly");
    // The identifier page holds the AppKey: such a file is its owner's alone, as the log is.
    QTest::newRow("identifier page and more, raw") << "all.bin" << "0x08000000" << "0x4000" << 0 << 0x4000 << true;
    QTest::newRow("identifier page, Intel HEX") << "ids.hex" << "0x08000000" << "2048" << 0 << 0x800 << true;
    QTest::newRow("application, odd bounds, Intel HEX") << "app.ihex" << "0x08000805" << "12001" << 0x805 << 12001 << false;
}

void TestCliCommands::readIsByteExact()
{
    QFETCH(QString, name);
    QFETCH(QString, from);
    QFETCH(QString, size);
    QFETCH(int, offset);
    QFETCH(int, bytes);
    QFETCH(bool, ownerOnly);
    const QString image = writeBytes(tmp_.filePath("read-image.bin"), erasedFlash(appData_));
    const QString dump = tmp_.filePath("read-dump.bin"), simLog = tmp_.filePath("read-sim.log"), out = tmp_.filePath(name);
    QFile::remove(simLog);
    QFile::remove(out);
    int exitCode = -1;
    QByteArray drawn;
    {
        Sim sim({"--image", image, "--dump", dump}, simLog);
        drawn = runOnTerminal({"read", "--port", sim.pty(), "--from", from, "--size", size, out}, &exitCode);
    }
    QVERIFY2(exitCode == 0, drawn.constData());
    QVERIFY2(drawn.contains("Reading") && drawn.contains("100%"), drawn.constData());
    QByteArray got = readFile(out);
    if (name.endsWith("hex")) {
        QVERIFY(got.startsWith(":02000004"));
        QCOMPARE(QProcess::execute("objcopy", {"-I", "ihex", "-O", "binary", out, out + ".bin"}), 0);
        got = readFile(out + ".bin");
    }
    QCOMPARE(got.toHex(), readFile(dump).mid(offset, bytes).toHex());
    if (ownerOnly)
        QCOMPARE(QFileInfo(out).permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                                                 QFileDevice::WriteOther),
                 QFileDevice::Permissions());
    QVERIFY2(onlyReads(readFile(simLog)), readFile(simLog).constData());
}

void TestCliCommands::failedReadLeavesNoFile()
{
    // Power lost halfway: no file at all, and an existing one as it was; no temporary left.
    QTemporaryDir dir;
    const QString fresh = dir.filePath("fresh.bin"), kept = dir.filePath("kept.hex");
    QVERIFY(!writeBytes(kept, "old contents\n").isEmpty());
    for (const QString& out : {fresh, kept}) {
        Sim sim({"--fault-stop-after", "30"});
        const Run r = runTool({"read", "--port", sim.pty(), "--from", "0x08000000", "--size", "0x8000", out});
        QCOMPARE(r.exitCode, 5);
        QVERIFY2(lastLine(r.err).contains("stopped answering"), r.err.constData());
    }
    QVERIFY(!QFileInfo::exists(fresh));
    QCOMPARE(readFile(kept), QByteArray("old contents\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.hex"});
    // A folder that takes no file is refused before the port is opened.
    const Run r = runTool({"read", "--port", "/dev/vbf-no-such-tty", "--from", "0", "--size", "4", dir.filePath("none/x.bin")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(lastLine(r.err).startsWith("vorna-flash: Cannot write the file " + dir.filePath("none/x.bin").toUtf8()), r.err.constData());
    // Nor is a device or a pipe replaced by a file: as root the rename would take /dev/null.
    // A device of the test's own (where it may make one) stands in for it.
    QStringList special{dir.filePath("pipe.bin")};
    QCOMPARE(::mkfifo(QFile::encodeName(special[0]).constData(), 0600), 0);
    const QString device = dir.filePath("null.dev");
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        special << device;
    for (const QString& out : special) {
        Sim sim({});
        const Run refused = runTool({"read", "--port", sim.pty(), "--from", "0x08000000", "--size", "0x100", out});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(lastLine(refused.err).contains("it is a device, a pipe or a socket, not a file"), refused.err.constData());
        QVERIFY(!QFileInfo(out).isFile());
    }
    // A read ended by SIGTERM mid-way leaves no temporary file in the folder.
    {
        Sim slow({"--baud", "115200"});
        const QString out = dir.filePath("killed.bin");
        QProcess p;
        p.start(VORNA_FLASH_PATH, {"read", "--port", slow.pty(), "--from", "0x08000000", "--size", "0x8000", out});
        QVERIFY(p.waitForStarted(5000));
        QTest::qWait(1200);   // some 1.2 s into a read of about 3.4 s
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QVERIFY(p.exitStatus() == QProcess::CrashExit || p.exitCode() != 0);
        for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(!name.startsWith(".killed.bin"), qPrintable(name));
        QVERIFY(!QFileInfo::exists(out));
    }
    // A link to a file is written through: the file changes, the link stays.
    const QString target = dir.filePath("target.bin"), link = dir.filePath("link.bin");
    QVERIFY(!writeBytes(target, "old").isEmpty());
    QVERIFY(QFile::link(target, link));
    Sim sim({});
    QCOMPARE(runTool({"read", "--port", sim.pty(), "--from", "0x08000000", "--size", "0x10", link}).exitCode, 0);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(target).size(), qint64(16));
}

QTEST_GUILESS_MAIN(TestCliCommands)
#include "tst_cli_commands.moc"
