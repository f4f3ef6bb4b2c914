// The command-line flasher's helpers: digest, quoting, JSON results, exit statuses,
// command line, bench log and what the displays leave on a terminal.
#include "benchlog.h"
#include "boot_sequence.h"
#include "console.h"
#include "exit_status.h"
#include "message_filter.h"
#include "options.h"
#include "port_names.h"
#include "report_json.h"
#include "sha256.h"
#include "station.h"
#include "station_display.h"
#include "station_identity.h"
#include "terminal_block.h"
#include "text.h"

#include "device_table.h"
#include "programmer_api.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <algorithm>
#include <cctype>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

class TestCliSupport : public QObject {
    Q_OBJECT

private slots:
    void sha256KnownVectors();
    void sha256MatchesQtAcrossBlockBoundaries();
    void jsonTextParsesBack_data();
    void jsonTextParsesBack();
    void resultsJsonAsBenchScriptsRead();
    void csvFieldQuotesWhenNeeded();
    void csvCellsReadBackAsWritten_data();
    void csvCellsReadBackAsWritten();
    void exitStatusOfEveryCode();
    void severalModulesExitAndSummary();
    void commandLineAcceptedForms();
    void commandLineRefusedForms_data();
    void commandLineRefusedForms();
    void commandLineRefusalSentences_data();
    void commandLineRefusalSentences();
    void commandLineOddFormsKept_data();
    void commandLineOddFormsKept();
    void commandLineFirstFaultNamed_data();
    void commandLineFirstFaultNamed();
    void usageTextUnchanged();
    void stableNamesFindTheirPort_data();
    void stableNamesFindTheirPort();
    void stableNamesForEveryPortGiven();
    void portIdentityShown();
    void benchLogHeaderOnceAndMode();
    void benchLogTakesOnlyItsOwnFile_data();
    void benchLogTakesOnlyItsOwnFile();
    void bootSequenceRefusals_data();
    void bootSequenceRefusals();
    void bootStepsOneCallPerStep();
    void stationRowReadsBackThroughTheBook();
    void identityVerdicts();
    void uniqueIdLocations();
    void durations();
    void messagesShownByVerbosity();
    void terminalBlockScreens();
    void terminalBlockGivesUpFailedStreams();
    void consoleScreens();
    void stationScreens();
};

static std::string sha(const std::string& s) { return vf::Sha256::hexDigest(s.data(), s.size()); }

static vf::ParsedCommandLine parse(const QStringList& args)
{
    std::vector<std::string> store{"vorna-flash"};
    for (const auto& a : args)
        store.push_back(a.toStdString());
    std::vector<const char*> argv;
    for (const auto& s : store)
        argv.push_back(s.c_str());
    return vf::parseCommandLine(int(argv.size()), argv.data());
}

void TestCliSupport::sha256KnownVectors()
{
    QCOMPARE(sha(""), std::string("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    QCOMPARE(sha("abc"), std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    QCOMPARE(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
             std::string("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
    // One million 'a', fed in uneven pieces so that the block buffer is crossed at every offset.
    vf::Sha256 h;
    const std::string chunk(997, 'a');
    std::size_t left = 1000000;
    while (left > 0) {
        const std::size_t n = std::min(left, chunk.size());
        h.update(chunk.data(), n);
        left -= n;
    }
    const auto d = h.finish();
    QCOMPARE(vf::toHex(d.data(), d.size()),
             std::string("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

void TestCliSupport::sha256MatchesQtAcrossBlockBoundaries()
{
    // Lengths around the padding edges (55, 56, 63, 64, 119, 120 ...) are where digests go wrong.
    QByteArray data;
    for (int len = 0; len <= 200; ++len) {
        const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
        QCOMPARE(QByteArray::fromStdString(vf::Sha256::hexDigest(data.constData(), std::size_t(data.size()))),
                 expected);
        data.append(char((len * 37 + 11) & 0xff));
    }
}

void TestCliSupport::jsonTextParsesBack_data()
{
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QString>("parsed");  // what a JSON parser reads back
    const QByteArray nasty = "C:\\ports\\\"COM3\"\n\t\x01 \xc3\xbc";
    QTest::newRow("quotes, backslashes, controls, umlaut") << nasty << QString::fromUtf8(nasty);
    QTest::newRow("every control character") << QByteArray("\x01\x02\x08\x0c\x1b\x1f\x7f/") << QString("\x01\x02\x08\x0c\x1b\x1f\x7f/");
    QTest::newRow("beyond the basic plane") << QByteArray("COM7 \xf0\x9f\x93\xa1") << QString::fromUtf8("COM7 \xf0\x9f\x93\xa1");
    // A Linux port name may hold any bytes; the output stays JSON.
    QTest::newRow("not UTF-8") << QByteArray("/dev/tty\xff\xfeX") << QString::fromUtf8("/dev/tty\xef\xbf\xbd\xef\xbf\xbdX");
    QTest::newRow("cut UTF-8") << QByteArray("/dev/tty\xc3") << QString::fromUtf8("/dev/tty\xef\xbf\xbd");
}

void TestCliSupport::jsonTextParsesBack()
{
    QFETCH(QByteArray, port);
    QFETCH(QString, parsed);
    vbprog::ModuleOutcome r;
    r.port = port.toStdString();
    r.status = PROG_ERR_NO_ANSWER;
    for (const vf::JsonShape shape : {vf::JsonShape::Keys, vf::JsonShape::Flash, vf::JsonShape::Station}) {
        vf::JsonContext c;
        c.shape = shape;
        const std::string text = vf::jsonText(vf::outcomeJson(r, c));
        QVERIFY2(text.find('\n') == std::string::npos, text.c_str());
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &err);
        QCOMPARE(err.error, QJsonParseError::NoError);
        QCOMPARE(doc.object().value("port").toString(), parsed);
        QCOMPARE(doc.object().value("status").toString(), QString("no-answer"));
        // The exit status the same failure gives, a number in every shape.
        QCOMPARE(doc.object().value("code").toInt(-1), 2);
    }
}

void TestCliSupport::resultsJsonAsBenchScriptsRead()
{
    // Byte for byte what scripts have been reading: keys in this order, no blanks.
    vbprog::ModuleOutcome keys;
    keys.port = "/dev/ttyUSB0";
    keys.deviceName = "STM32WL";
    keys.pid = 0x497;
    keys.devEUI = "0102030405060708";
    keys.joinEUI = "a1a2a3a4a5a6a7a8";
    keys.appKey = "f0e1d2c3b4a5968778695a4b3c2d1e0f";
    vf::Options o;
    o.command = vf::Command::Keys;
    o.ports = {keys.port};
    QCOMPARE(vf::jsonText(vf::resultsJson(o, {keys})),
             std::string("{\"port\":\"/dev/ttyUSB0\",\"device\":{\"name\":\"STM32WL\",\"pid\":\"0x497\"},"
                         "\"devEUI\":\"0102030405060708\",\"joinEUI\":\"a1a2a3a4a5a6a7a8\","
                         "\"appKey\":\"f0e1d2c3b4a5968778695a4b3c2d1e0f\"}"));
    keys.status = PROG_ERR_NO_ANSWER;
    QCOMPARE(vf::jsonText(vf::resultsJson(o, {keys})),
             std::string("{\"port\":\"/dev/ttyUSB0\",\"result\":\"no-answer\",\"status\":\"no-answer\",\"code\":2}"));

    vbprog::ModuleOutcome flash;
    flash.port = "COM3";
    flash.bytes = 12328;
    flash.seconds = 3.14159;
    o.command = vf::Command::Flash;
    o.ports = {"COM3"};
    QCOMPARE(vf::jsonText(vf::resultsJson(o, {flash})),
             std::string("{\"result\":\"ok\",\"status\":\"ok\",\"code\":0,\"bytes\":12328,\"seconds\":3.142}"));
    // Several modules: an array, each object naming its port.
    vbprog::ModuleOutcome failed = flash;
    failed.port = "COM4";
    failed.status = PROG_ERR_WRITE_VERIFY;
    failed.bytes = 1024;
    failed.seconds = 0.5;
    o.ports = {"COM3", "COM4"};
    const std::string many = vf::jsonText(vf::resultsJson(o, {flash, failed}));
    QCOMPARE(many.substr(0, 62), std::string("[{\"port\":\"COM3\",\"result\":\"ok\",\"status\":\"ok\",\"code\":0,\"bytes\":1"));
    const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(many)).array();
    QCOMPARE(array.size(), 2);
    QCOMPARE(array[1].toObject().keys(), (QStringList{"bytes", "code", "port", "result", "seconds", "status"}));
    QCOMPARE(array[1].toObject()["result"].toString(), QString("write-verify"));
    QCOMPARE(array[1].toObject()["code"].toInt(), 4);
    QCOMPARE(array[1].toObject()["bytes"].toInt(), 1024);
    QCOMPARE(array[1].toObject()["seconds"].toDouble(), 0.5);
    // --all-ports is an array even when it found a single port.
    o.ports.clear();
    o.allPorts = true;
    QCOMPARE(vf::jsonText(vf::resultsJson(o, {flash})).front(), '[');
}

void TestCliSupport::csvFieldQuotesWhenNeeded()
{
    QCOMPARE(vf::csvField("/dev/ttyUSB0"), std::string("/dev/ttyUSB0"));
    QCOMPARE(vf::csvField("a,b"), std::string("\"a,b\""));
    QCOMPARE(vf::csvField("say \"hi\""), std::string("\"say \"\"hi\"\"\""));
    QCOMPARE(vf::csvField("two\nlines"), std::string("\"two\nlines\""));
}

void TestCliSupport::csvCellsReadBackAsWritten_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("formula");  // a spreadsheet would run it
    QTest::newRow("hyperlink") << "=HYPERLINK(\"http://x.example\",\"fw\")+1.hex" << true;
    QTest::newRow("plus") << "+1" << true;
    QTest::newRow("minus") << "-2+3" << true;
    QTest::newRow("at") << "@SUM(A1)" << true;
    QTest::newRow("prefix of its own") << "'=1" << true;
    QTest::newRow("apostrophe") << "'text" << false;
    QTest::newRow("line break") << "fw\nv2.hex" << false;
    QTest::newRow("comma, quote, CR LF") << "a,\"b\"\r\nc" << false;
    QTest::newRow("plain") << "/srv/app.hex" << false;
}

void TestCliSupport::csvCellsReadBackAsWritten()
{
    QFETCH(QString, value);
    QFETCH(bool, formula);
    vf::LogRow row;
    row.devEUI = "0102030405060708";
    row.file = value.toStdString();
    row.uniqueId = value.toStdString();  // for the book below, which reads this column
    const std::string line = vf::BenchLog::formatRow(row, true);
    // Shown as text: quoted, a ' first.
    QCOMPARE(line.find(",\"'") != std::string::npos, formula);

    // Read back as a record, line breaks inside quotes and all, and the ' taken off.
    std::vector<std::string> fields;
    std::size_t pos = 0;
    QVERIFY(vf::nextCsvRecord(line + line, pos, fields, false));
    QCOMPARE(pos, line.size());
    QCOMPARE(fields.size(), std::size_t(16));
    QCOMPARE(vf::csvValue(fields[6]), row.file);
    QCOMPARE(fields[3], row.devEUI);
    pos = 0;
    QVERIFY(!vf::nextCsvRecord(line.substr(0, line.size() - 1), pos, fields, false));  // not ended yet
    QCOMPARE(pos, std::size_t(0));

    // The station's book takes both rows as this module's.
    vf::IdentityBook book;
    std::string why;
    QVERIFY2(book.loadLog(vf::BenchLog::header(true) + line + line, why), why.c_str());
    const vf::IdentityVerdict again = book.note(row.devEUI, row.uniqueId);
    QCOMPARE(again.attempt, 3u);
    QCOMPARE(again.duplicate, std::string("same-module"));
    QCOMPARE(book.note(row.devEUI, "b1b2b3b4b5b6b7b8b9babbbc").duplicate, std::string("other-module"));
}

void TestCliSupport::exitStatusOfEveryCode()
{
    const std::pair<int, int> table[] = {
        {PROG_OK, 0},
        {PROG_ERR_PORT_OPEN, 2},         {PROG_ERR_NO_ANSWER, 2},
        {PROG_ERR_FILE_MISSING, 3},      {PROG_ERR_FILE_INVALID, 3},   {PROG_ERR_OUT_OF_RANGE, 3},
        {PROG_ERR_WRITE_VERIFY, 4},
        {PROG_ERR_ERASE, 5},             {PROG_ERR_LINK_LOST, 5},      {PROG_ERR_PROTECTED, 5},
        {PROG_ERR_READ, 5},              {PROG_ERR_DEVICE_UNSUPPORTED, 5},
        {PROG_ERR_IDENTIFIERS, 5},       {PROG_ERR_IDENTITY, 5},       {PROG_ERR_MODULE_CHANGED, 5},
        {PROG_ERR_NOT_CONNECTED, 5},     {PROG_ERR_BAD_ARGUMENT, 5},   {-99, 5}, {7, 5},
    };
    for (const auto& [code, exit] : table) {
        QCOMPARE(vf::exitStatusFor(code), exit);
        // Every failure has a sentence of its own that ends like one.
        if (code != PROG_OK) {
            const std::string s = vf::failureSentence(code, {vf::Step::Download, "/dev/ttyUSB0", "app.hex"});
            QVERIFY(!s.empty() && s.back() == '.');
            QVERIFY(s.find('\n') == std::string::npos);
        }
    }
    QCOMPARE(vf::statusName(-99), std::string("error-99"));

    // At another rate, a silent bootloader needs a reset before any other rate can work.
    const std::string fast = vf::failureSentence(PROG_ERR_NO_ANSWER, {vf::Step::Connect, "/dev/ttyUSB0", "", 921600});
    QVERIFY(fast.find("921600 baud") != std::string::npos && fast.find("reset") != std::string::npos);
    QVERIFY(fast.find("before a connection at another rate") != std::string::npos);
    QVERIFY(vf::failureSentence(PROG_ERR_PORT_OPEN, {vf::Step::Connect, "p", "", 460800}).find("460800") != std::string::npos);

    // The library's advice on a port that does not open, in the tool's own commands.
    QCOMPARE(vf::failureSentence(PROG_ERR_PORT_OPEN, {vf::Step::Connect, "/dev/vbf-gone", "", 115200}),
             std::string("The serial port /dev/vbf-gone cannot be opened; check the name with vorna-flash ports and that "
                         "no other program uses it."));
    QCOMPARE(vf::failureSentence(PROG_ERR_PORT_OPEN, {vf::Step::Connect, "/dev/vbf-gone", "", 460800}),
             std::string("The serial port /dev/vbf-gone cannot be opened at 460800 baud; check the name with vorna-flash "
                         "ports, that no other program uses it, and that the adapter takes this rate."));
}

void TestCliSupport::severalModulesExitAndSummary()
{
    const auto O = [](const char* port, int status, const char* sentence) {
        vbprog::ModuleOutcome m;
        m.port = port;
        m.status = status;
        m.error.hint = sentence;
        return m;
    };
    QCOMPARE(vf::combinedExitStatus({O("a", 0, ""), O("b", 0, "")}), 0);
    QCOMPARE(vf::failureSummary({O("a", 0, ""), O("b", 0, "")}), std::string());
    // The highest status of the failed modules, whatever their order.
    const std::vector<vbprog::ModuleOutcome> mixed = {O("a", PROG_ERR_WRITE_VERIFY, "A broke."), O("b", 0, ""),
                                                       O("c", PROG_ERR_NO_ANSWER, "C is silent."),
                                                       O("d", PROG_ERR_LINK_LOST, "D went away.")};
    QCOMPARE(vf::combinedExitStatus(mixed), 5);
    QCOMPARE(vf::combinedExitStatus({mixed[2], mixed[0]}), 4);
    QCOMPARE(vf::failureSummary(mixed), std::string("3 of 4 modules failed: a: A broke. c: C is silent. d: D went away."));
}

void TestCliSupport::commandLineAcceptedForms()
{
    {
        const char* argv[] = {"vorna-flash", "--verbose", "flash", "--port=/dev/ttyACM0", "--json", "--no-verify",
                              "--", "-odd-name.hex"};
        const auto r = vf::parseCommandLine(8, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Flash);
        QCOMPARE(r.options.ports, std::vector<std::string>{"/dev/ttyACM0"});
        QCOMPARE(r.options.baud, 115200u);
        QVERIFY(!vf::manyModules(r.options));
        QCOMPARE(r.options.file, std::string("-odd-name.hex"));
        QVERIFY(r.options.json && !r.options.verify && r.options.verbose);
    }
    {
        const char* argv[] = {"vorna-flash", "keys", "--log", "bench.csv", "--port", "COM3"};
        const auto r = vf::parseCommandLine(6, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Keys);
        QCOMPARE(r.options.logPath, std::string("bench.csv"));
        QCOMPARE(r.options.ports, std::vector<std::string>{"COM3"});
        QVERIFY(r.options.verify && !r.options.json);
    }
    {
        // Several modules, in the order given, at another rate.
        const char* argv[] = {"vorna-flash", "flash", "--port", "/dev/ttyUSB1", "--baud=921600", "--port=/dev/ttyUSB0", "a.hex"};
        const auto r = vf::parseCommandLine(7, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.options.ports, (std::vector<std::string>{"/dev/ttyUSB1", "/dev/ttyUSB0"}));
        QCOMPARE(r.options.baud, 921600u);
        QVERIFY(vf::manyModules(r.options));
    }
    {
        const char* argv[] = {"vorna-flash", "keys", "--all-ports", "--json"};
        const auto r = vf::parseCommandLine(4, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.allPorts && r.options.ports.empty() && vf::manyModules(r.options));
    }
    {
        const char* argv[] = {"vorna-flash", "flash", "--help"};
        QVERIFY(vf::parseCommandLine(3, argv).options.command == vf::Command::Help);
    }
    {
        // Options before the command; a value that looks like an option; after "--" even "--" is the file.
        const char* argv[] = {"vorna-flash", "--port", "COM3", "-v", "flash", "--log", "--json", "--", "--"};
        const auto r = vf::parseCommandLine(9, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Flash);
        QCOMPARE(r.options.ports, std::vector<std::string>{"COM3"});
        QCOMPARE(r.options.logPath, std::string("--json"));
        QCOMPARE(r.options.file, std::string("--"));
        QVERIFY(r.options.verbose && !r.options.json);
    }
    {
        const char* argv[] = {"vorna-flash", "keys", "--version", "--no-verify"};
        QVERIFY(vf::parseCommandLine(4, argv).options.command == vf::Command::Version);
    }
    {
        // Steps after the download need no --boot: the wiring is in them.
        const char* argv[] = {"vorna-flash", "flash", "--port", "p", "a.hex", "--after", "dtr=1,wait=5,dtr=0"};
        const auto r = vf::parseCommandLine(7, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.after == vf::After::Run && r.options.boot.empty());
        QCOMPARE(r.options.afterSteps, std::string("dtr=1,wait=5,dtr=0"));
    }
    {
        // A station resets its modules through the same wiring as flash.
        const char* argv[] = {"vorna-flash", "station", "--port", "p", "a.hex", "--boot", "direct", "--after", "run"};
        const auto r = vf::parseCommandLine(9, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Station && r.options.after == vf::After::Run);
        QCOMPARE(r.options.boot, std::string("direct"));
    }
    {
        const char* argv[] = {"vorna-flash", "lines", "--port", "COM4", "--rts", "1", "--dtr=0", "--hold", "600"};
        const auto r = vf::parseCommandLine(9, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Lines && !r.options.dtr && r.options.rts);
        QCOMPARE(r.options.holdSeconds, 600u);
    }
    {
        // ports tells what each port is as JSON; stable names are kept as given, to be looked up later.
        const char* argv[] = {"vorna-flash", "ports", "--json"};
        const auto r = vf::parseCommandLine(3, argv);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(r.options.command == vf::Command::Ports && r.options.json);
        const char* flash[] = {"vorna-flash", "flash", "--port", "usb:A50285BI", "--port", "usb-path:1-1.2", "a.hex"};
        const auto f = vf::parseCommandLine(7, flash);
        QVERIFY2(f.ok, f.error.c_str());
        QCOMPARE(f.options.ports, (std::vector<std::string>{"usb:A50285BI", "usb-path:1-1.2"}));
    }
}

void TestCliSupport::commandLineRefusedForms_data()
{
    QTest::addColumn<QStringList>("args");
    const QString longPort = "/dev/" + QString(95, 'x');  // 100 characters: no room for the NUL
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"erase"};
    QTest::newRow("unknown option") << QStringList{"keys", "--port", "p", "--fast"};
    QTest::newRow("port without value") << QStringList{"keys", "--port"};
    QTest::newRow("same port twice") << QStringList{"keys", "--port", "a", "--port", "b", "--port", "a"};
    QTest::newRow("ports and all ports") << QStringList{"keys", "--port", "a", "--all-ports"};
    QTest::newRow("ports --all-ports") << QStringList{"ports", "--all-ports"};
    QTest::newRow("ports --baud") << QStringList{"ports", "--baud", "9600"};
    QTest::newRow("baud not a number") << QStringList{"keys", "--port", "p", "--baud", "fast"};
    QTest::newRow("baud with sign") << QStringList{"keys", "--port", "p", "--baud", "+9600"};
    QTest::newRow("baud zero") << QStringList{"keys", "--port", "p", "--baud=0"};
    QTest::newRow("baud beyond any adapter") << QStringList{"keys", "--port", "p", "--baud", "99999999"};
    QTest::newRow("baud twice") << QStringList{"keys", "--port", "p", "--baud", "9600", "--baud", "9600"};
    QTest::newRow("keys without port") << QStringList{"keys"};
    QTest::newRow("keys with a file") << QStringList{"keys", "--port", "p", "app.hex"};
    QTest::newRow("keys --no-verify") << QStringList{"keys", "--port", "p", "--no-verify"};
    QTest::newRow("flash without file") << QStringList{"flash", "--port", "p"};
    QTest::newRow("flash two files") << QStringList{"flash", "--port", "p", "a.hex", "b.hex"};
    QTest::newRow("value on a flag") << QStringList{"keys", "--port", "p", "--json=yes"};
    QTest::newRow("port too long") << QStringList{"keys", "--port", longPort};
    QTest::newRow("empty port") << QStringList{"keys", "--port="};
}

void TestCliSupport::commandLineRefusedForms()
{
    QFETCH(QStringList, args);
    const auto r = parse(args);
    QVERIFY(!r.ok);
    QVERIFY(!r.error.empty() && r.error.back() == '.');
}

void TestCliSupport::commandLineRefusalSentences_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("sentence");
    const QString twiceBaud = "The option --baud is given twice; give it once.";
    const QString baud = "The option --baud needs a rate from 1200 to 12000000, e.g. --baud 460800.";
    // An option given twice, with or without its value the second time.
    QTest::newRow("port twice") << QStringList{"keys", "--port", "a", "--port=a"}
                                << "The port a is given twice; give each port once.";
    QTest::newRow("baud twice") << QStringList{"keys", "--port", "p", "--baud=9600", "--baud", "19200"} << twiceBaud;
    QTest::newRow("baud twice, last bare") << QStringList{"keys", "--port", "p", "--baud", "9600", "--baud"} << twiceBaud;
    QTest::newRow("log twice") << QStringList{"keys", "--port", "p", "--log", "a", "--log", "a"}
                               << "The option --log is given twice; give it once.";
    // A value missing.
    QTest::newRow("port bare") << QStringList{"keys", "--port"}
                               << "The option --port needs a port name, e.g. --port /dev/ttyUSB0.";
    QTest::newRow("baud bare") << QStringList{"keys", "--port", "p", "--baud"} << baud;
    QTest::newRow("log bare") << QStringList{"keys", "--port", "p", "--log"} << "The option --log needs a file name.";
    QTest::newRow("log empty") << QStringList{"keys", "--port", "p", "--log", ""} << "The option --log needs a file name.";
    QTest::newRow("port empty") << QStringList{"keys", "--port", ""} << "The port name must have 1 to 99 characters.";
    QTest::newRow("baud below") << QStringList{"keys", "--port", "p", "--baud", "1199"} << baud;
    // Unknown options and commands.
    QTest::newRow("unknown long") << QStringList{"keys", "--port", "p", "--fast"}
                                  << "Unknown option --fast; see vorna-flash --help.";
    QTest::newRow("unknown short") << QStringList{"keys", "-x", "--port", "p"}
                                   << "Unknown option -x; see vorna-flash --help.";
    QTest::newRow("a number is no option") << QStringList{"flash", "--port", "p", "-5"}
                                           << "Unknown option -5; see vorna-flash --help.";
    QTest::newRow("unknown with value") << QStringList{"keys", "--port", "p", "--fast=1"}
                                        << "Unknown option --fast; see vorna-flash --help.";
    QTest::newRow("value on a flag") << QStringList{"keys", "--port", "p", "--no-verify=yes"}
                                     << "The option --no-verify takes no value.";
    QTest::newRow("value on help") << QStringList{"--help=me"} << "The option --help takes no value.";
    QTest::newRow("unknown command") << QStringList{"erase", "--port", "p"}
                                     << "Unknown command \"erase\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    QTest::newRow("empty command") << QStringList{""}
                                   << "Unknown command \"\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    // The first fault on the line is the one named, and --help does not hide it.
    QTest::newRow("unknown command first") << QStringList{"frobnicate", "--port", ""}
                                           << "Unknown command \"frobnicate\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    QTest::newRow("unknown option first") << QStringList{"keys", "--fast", "--baud", "0"}
                                          << "Unknown option --fast; see vorna-flash --help.";
    QTest::newRow("bad value first") << QStringList{"keys", "--baud", "0", "--fast", "--help"} << baud;
    QTest::newRow("unknown option before help") << QStringList{"--bogus", "--help"}
                                                << "Unknown option --bogus; see vorna-flash --help.";
    // What each command takes.
    QTest::newRow("ports --log") << QStringList{"ports", "--log", "x"}
                                 << "The option --log does not apply to the ports command.";
    QTest::newRow("keys with a file") << QStringList{"keys", "--port", "p", "--", "-app.hex"}
                                      << "The keys command takes no file; remove \"-app.hex\".";
    QTest::newRow("flash two files") << QStringList{"flash", "--port", "p", "a.hex", "--", "--json"}
                                     << "The flash command takes one firmware file; \"--json\" is one too many.";
    // Boot sequences and the lines command.
    QTest::newRow("after run without boot") << QStringList{"flash", "--port", "p", "a.hex", "--after", "run"}
        << "The option --after run needs --boot: the reset into the application uses the same wiring.";
    QTest::newRow("after run with own steps") << QStringList{"flash", "--port", "p", "a.hex", "--boot", "dtr=1,wait=9,dtr=0", "--after", "run"}
        << "With a boot sequence of your own, give the reset into the application as steps too, e.g. --after dtr=1+rts=1,wait=100,dtr=0.";
    QTest::newRow("after on keys") << QStringList{"keys", "--port", "p", "--after", "go"}
                                   << "The option --after does not apply to the keys command.";
    QTest::newRow("after unknown") << QStringList{"flash", "--port", "p", "a.hex", "--after", "reset"}
        << "The option --after takes stay, run, go or steps such as dtr=1+rts=1,wait=100,dtr=0.";
    QTest::newRow("after bad steps") << QStringList{"flash", "--port", "p", "a.hex", "--boot", "direct", "--after", "dtr=2"}
        << "The sequence \"dtr=2\" of --after is refused: dtr takes 0 (de-asserted) or 1 (asserted) at position 5.";
    QTest::newRow("boot unknown preset") << QStringList{"keys", "--port", "p", "--boot", "esp"}
        << "Unknown boot sequence \"esp\"; the presets are direct, inverted and auto-reset, or give steps such as dtr=1+rts=0,wait=100,dtr=0.";
    QTest::newRow("station boot unknown") << QStringList{"station", "--port", "p", "a.hex", "--boot", "esp"}
        << "Unknown boot sequence \"esp\"; the presets are direct, inverted and auto-reset, or give steps such as dtr=1+rts=0,wait=100,dtr=0.";
    QTest::newRow("station after run without boot") << QStringList{"station", "--port", "p", "a.hex", "--after", "run"}
        << "The option --after run needs --boot: the reset into the application uses the same wiring.";
    QTest::newRow("boot on ports") << QStringList{"ports", "--boot", "direct"}
                                   << "The option --boot does not apply to the ports command.";
    QTest::newRow("dtr on flash") << QStringList{"flash", "--port", "p", "a.hex", "--dtr", "1"}
                                  << "The option --dtr does not apply to the flash command.";
    QTest::newRow("lines without rts") << QStringList{"lines", "--port", "p", "--dtr", "1"}
        << "The lines command needs --dtr 0|1 and --rts 0|1 (1 = asserted, the pin low on common adapters).";
    QTest::newRow("lines two ports") << QStringList{"lines", "--port", "p", "--port", "q", "--dtr", "1", "--rts", "0"}
                                     << "The lines command needs one --port PORT.";
    QTest::newRow("lines level word") << QStringList{"lines", "--port", "p", "--dtr", "low", "--rts", "0"}
                                      << "The option --dtr takes 0 (de-asserted) or 1 (asserted).";
    QTest::newRow("lines hold zero") << QStringList{"lines", "--port", "p", "--dtr", "1", "--rts", "0", "--hold", "0"}
                                     << "The option --hold needs seconds from 1 to 3600.";
    // verify and read.
    QTest::newRow("verify without file") << QStringList{"verify", "--port", "p"}
        << "The verify command needs the firmware file, e.g. vorna-flash verify --port PORT app.hex.";
    QTest::newRow("verify --log") << QStringList{"verify", "--port", "p", "a.hex", "--log", "x.csv"}
                                  << "The option --log does not apply to the verify command.";
    QTest::newRow("verify --after") << QStringList{"verify", "--port", "p", "a.hex", "--after", "go"}
                                    << "The option --after does not apply to the verify command.";
    QTest::newRow("verify --no-verify") << QStringList{"verify", "--port", "p", "a.hex", "--no-verify"}
                                        << "The option --no-verify does not apply to the verify command.";
    QTest::newRow("address on keys") << QStringList{"keys", "--port", "p", "--address", "0x08000800"}
                                     << "The option --address does not apply to the keys command.";
    QTest::newRow("address word") << QStringList{"flash", "--port", "p", "a.bin", "--address", "app"}
                                  << "The option --address needs an address, e.g. --address 0x08004000.";
    QTest::newRow("address above 4 GiB") << QStringList{"flash", "--port", "p", "a.bin", "--address", "0x100000000"}
                                         << "The option --address needs an address, e.g. --address 0x08004000.";
    QTest::newRow("address negative") << QStringList{"flash", "--port", "p", "a.bin", "--address=-1"}
                                      << "The option --address needs an address, e.g. --address 0x08004000.";
    QTest::newRow("read without port") << QStringList{"read", "--from", "0", "--size", "4", "o.bin"}
                                       << "The read command needs --port PORT; vorna-flash ports lists the ports.";
    QTest::newRow("read two ports") << QStringList{"read", "--port", "p", "--port", "q", "--from", "0", "--size", "4", "o.bin"}
                                    << "The read command reads one module; give one --port PORT.";
    QTest::newRow("read all ports") << QStringList{"read", "--all-ports", "--from", "0", "--size", "4", "o.bin"}
                                    << "The option --all-ports does not apply to the read command.";
    QTest::newRow("read without size") << QStringList{"read", "--port", "p", "--from", "0", "o.bin"}
        << "The read command needs --from ADDRESS and --size BYTES, e.g. --from 0x08000000 --size 0x800.";
    QTest::newRow("read without output") << QStringList{"read", "--port", "p", "--from", "0", "--size", "4"}
        << "The read command needs the output file, e.g. vorna-flash read --port PORT --from 0x08000800 --size 4096 app.bin.";
    QTest::newRow("read two outputs") << QStringList{"read", "--port", "p", "--from", "0", "--size", "4", "a.bin", "b.bin"}
                                      << "The read command takes one output file; \"b.bin\" is one too many.";
    QTest::newRow("read size zero") << QStringList{"read", "--port", "p", "--from", "0", "--size", "0", "o.bin"}
        << "The option --size needs a number of bytes from 1 to 16777216 (0x1000000), e.g. --size 0x800.";
    QTest::newRow("read size too large") << QStringList{"read", "--port", "p", "--from", "0", "--size", "0x1000001", "o.bin"}
        << "The option --size needs a number of bytes from 1 to 16777216 (0x1000000), e.g. --size 0x800.";
    QTest::newRow("read past 4 GiB") << QStringList{"read", "--port", "p", "--from", "0xFFFFFFFF", "--size", "2", "o.bin"}
        << "The read command's --from and --size reach past the end of the 32-bit address space.";
    QTest::newRow("read --json") << QStringList{"read", "--port", "p", "--from", "0", "--size", "4", "o.bin", "--json"}
                                 << "The option --json does not apply to the read command.";
    QTest::newRow("from on flash") << QStringList{"flash", "--port", "p", "a.hex", "--from", "0"}
                                   << "The option --from does not apply to the flash command.";
    QTest::newRow("nothing") << QStringList{}
                             << "No command given; use vorna-flash ports, keys, flash, verify, read, lines or station, "
                                "or release, history, report, export or db for the line's database (see vorna-flash --help).";
    QTest::newRow("usb: alone") << QStringList{"keys", "--port", "usb:"}
        << "The port name usb: needs the adapter's USB serial number after it, e.g. usb:A50285BI (vorna-flash ports shows it).";
    QTest::newRow("usb-path: alone") << QStringList{"station", "--port", "usb-path:", "a.hex"}
        << "The port name usb-path: needs the socket after it, e.g. usb-path:1-1.2 (vorna-flash ports shows it).";
    QTest::newRow("ports --json=x") << QStringList{"ports", "--json=x"} << "The option --json takes no value.";
}

void TestCliSupport::commandLineRefusalSentences()
{
    QFETCH(QStringList, args);
    QFETCH(QString, sentence);
    const auto r = parse(args);
    QVERIFY(!r.ok);
    QCOMPARE(QString::fromStdString(r.error), sentence);
}

// Every field of `o` that differs from a default Options, in a fixed order.
static QString described(const vf::Options& o)
{
    const vf::Options d;
    static const char* const commands[] = {"help", "version", "ports", "keys", "flash", "lines", "station", "verify", "read"};
    QStringList s{commands[int(o.command)]};
    for (const std::string& p : o.ports)
        s << "port=" + QString::fromStdString(p);
    auto text = [&](const char* name, const std::string& v, const std::string& def) {
        if (v != def)
            s << QString(name) + "=" + QString::fromStdString(v);
    };
    auto number = [&](const char* name, unsigned long v, unsigned long def) {
        if (v != def)
            s << QString(name) + "=" + QString::number(v);
    };
    auto flag = [&](const char* name, bool v, bool def) {
        if (v != def)
            s << QString(def ? "!" : "") + name;
    };
    flag("all-ports", o.allPorts, d.allPorts);
    number("baud", o.baud, d.baud);
    text("file", o.file, d.file);
    text("log", o.logPath, d.logPath);
    flag("json", o.json, d.json);
    flag("verify", o.verify, d.verify);
    flag("verbose", o.verbose, d.verbose);
    text("boot", o.boot, d.boot);
    number("after", unsigned(o.after), unsigned(d.after));
    text("steps", o.afterSteps, d.afterSteps);
    flag("dtr", o.dtr, d.dtr);
    flag("rts", o.rts, d.rts);
    number("hold", o.holdSeconds, d.holdSeconds);
    number("count", o.count, d.count);
    text("on-result", o.onResult, d.onResult);
    number("timeout", o.onResultTimeout, d.onResultTimeout);
    text("present", o.present, d.present);
    flag("low", o.presentActiveLow, d.presentActiveLow);
    if (o.addressGiven)
        s << "address=0x" + QString::number(o.address, 16);
    if (o.command == vf::Command::Read)
        s << "from=0x" + QString::number(o.readFrom, 16) << "size=" + QString::number(o.readSize) << "out=" + QString::fromStdString(o.outFile);
    return s.join(' ');
}

void TestCliSupport::commandLineOddFormsKept_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("options");  // described(); after: 1 run, 2 go
    // "--" and the words after it.
    QTest::newRow("command after --") << QStringList{"--port", "p", "--", "flash", "a.hex"} << "flash port=p file=a.hex";
    QTest::newRow("-- as a value") << QStringList{"flash", "--port", "p", "--log", "--", "a.hex"}
                                   << "flash port=p file=a.hex log=--";
    QTest::newRow("++ as file") << QStringList{"flash", "--port", "p", "++"} << "flash port=p file=++";
    QTest::newRow("++ as value") << QStringList{"flash", "--port", "p", "--log", "++", "a.hex"} << "flash port=p file=a.hex log=++";
    QTest::newRow("command word as file") << QStringList{"flash", "--port", "p", "keys"} << "flash port=p file=keys";
    QTest::newRow("option after the file") << QStringList{"station", "a.hex", "--port", "p", "--count", "3"}
                                           << "station port=p file=a.hex count=3";
    // Spellings of values and flags.
    QTest::newRow("empty = takes the next word") << QStringList{"flash", "--port=", "COM3", "a.hex"}
                                                 << "flash port=COM3 file=a.hex";
    QTest::newRow("flag with empty =") << QStringList{"keys", "--port", "p", "--json="} << "keys port=p json";
    QTest::newRow("flag =true") << QStringList{"keys", "--port", "p", "--verbose=true"} << "keys port=p verbose";
    QTest::newRow("flag twice") << QStringList{"keys", "--port", "p", "--json", "--json"} << "keys port=p json";
    QTest::newRow("short flags together") << QStringList{"-vh"} << "help";
    QTest::newRow("help =true") << QStringList{"--help=true"} << "help";
    QTest::newRow("help beats version") << QStringList{"--version", "--help"} << "help";
    QTest::newRow("version beats a bad combination") << QStringList{"ports", "--port", "p", "--version"} << "version";
    QTest::newRow("help beats both port forms") << QStringList{"keys", "--port", "a", "--all-ports", "-h"} << "help";
    // Ranges at their ends, leading zeros within the digits allowed.
    QTest::newRow("baud lowest") << QStringList{"keys", "--port", "p", "--baud", "1200"} << "keys port=p baud=1200";
    QTest::newRow("baud highest") << QStringList{"keys", "--port", "p", "--baud=12000000"} << "keys port=p baud=12000000";
    QTest::newRow("baud eight digits") << QStringList{"keys", "--port", "p", "--baud", "00009600"} << "keys port=p baud=9600";
    QTest::newRow("hold ends") << QStringList{"lines", "--port", "p", "--dtr", "1", "--rts", "1", "--hold", "3600"}
                               << "lines port=p dtr rts hold=3600";
    QTest::newRow("hold one") << QStringList{"lines", "--port", "p", "--dtr=0", "--rts=0", "--hold=01"}
                              << "lines port=p hold=1";
    QTest::newRow("station limits")
        << QStringList{"station", "--all-ports", "a.hex", "--count", "999999999", "--on-result", "x", "--on-result-timeout", "9999"}
        << "station all-ports file=a.hex count=999999999 on-result=x timeout=9999";
    QTest::newRow("timeout without program") << QStringList{"station", "--port", "p", "a.hex", "--on-result-timeout", "5"}
                                             << "station port=p file=a.hex timeout=5";
    QTest::newRow("present active-low") << QStringList{"station", "--port", "p", "a.hex", "--present", "!ri"}
                                        << "station port=p file=a.hex present=ri low";
    QTest::newRow("present") << QStringList{"station", "--port", "p", "a.hex", "--present=dcd"}
                             << "station port=p file=a.hex present=dcd";
    // --after stay is the default and fits every command that talks to a module.
    QTest::newRow("keys after stay") << QStringList{"keys", "--port", "p", "--after", "stay"} << "keys port=p";
    QTest::newRow("after go") << QStringList{"flash", "--port", "p", "a.hex", "--after", "go"} << "flash port=p file=a.hex after=2";
    QTest::newRow("after run with preset") << QStringList{"flash", "--port", "p", "a.hex", "--boot=auto-reset", "--after=run"}
                                           << "flash port=p file=a.hex boot=auto-reset after=1";
    QTest::newRow("ports alone") << QStringList{"-v", "ports"} << "ports verbose";
    // A raw binary's place, and what read reads: decimal or 0x hex, to the ends of their ranges.
    QTest::newRow("flash at an address") << QStringList{"flash", "--port", "p", "a.bin", "--address", "0x08004000"}
                                         << "flash port=p file=a.bin address=0x8004000";
    QTest::newRow("verify at a decimal address") << QStringList{"verify", "--all-ports", "a.bin", "--address=134234112", "--json"}
                                                 << "verify all-ports file=a.bin json address=0x8004000";
    QTest::newRow("station at an address") << QStringList{"station", "--port", "p", "a.bin", "--address", "0X0800F000"}
                                           << "station port=p file=a.bin address=0x800f000";
    QTest::newRow("read") << QStringList{"read", "--port", "p", "--from", "0x08000000", "--size", "0x800", "id.hex"}
                          << "read port=p from=0x8000000 size=2048 out=id.hex";
    QTest::newRow("read to the top") << QStringList{"read", "--port", "p", "--from=0xFFFFFFFF", "--size=1", "--boot", "direct", "top.bin"}
                                     << "read port=p boot=direct from=0xffffffff size=1 out=top.bin";
    QTest::newRow("read most") << QStringList{"read", "out.bin", "--port", "p", "--from", "0", "--size", "16777216"}
                               << "read port=p from=0x0 size=16777216 out=out.bin";
}

void TestCliSupport::commandLineOddFormsKept()
{
    QFETCH(QStringList, args);
    QFETCH(QString, options);
    const auto r = parse(args);
    QVERIFY2(r.ok, r.error.c_str());
    QCOMPARE(described(r.options), options);
}

void TestCliSupport::commandLineFirstFaultNamed_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("sentence");
    const QString notFor = "The option %1 does not apply to the %2 command.";
    // Several faults: the one checked first is named, in the order the user has always seen.
    QTest::newRow("inapplicable before both port forms") << QStringList{"keys", "--port", "a", "--all-ports", "--no-verify"}
                                                         << notFor.arg("--no-verify", "keys");
    QTest::newRow("port on ports before all-ports") << QStringList{"ports", "--port", "a", "--all-ports"} << notFor.arg("--port", "ports");
    QTest::newRow("both port forms") << QStringList{"station", "--all-ports", "--port", "a", "a.hex"}
                                     << "Give either --port or --all-ports, not both.";
    QTest::newRow("json on lines before its file") << QStringList{"lines", "--port", "p", "--dtr", "1", "--rts", "0", "a.hex", "--json"}
                                                   << notFor.arg("--json", "lines");
    QTest::newRow("lines file before its port") << QStringList{"lines", "a.hex"} << "The lines command takes no file; remove \"a.hex\".";
    QTest::newRow("lines all-ports") << QStringList{"lines", "--all-ports", "--dtr", "1", "--rts", "1"} << notFor.arg("--all-ports", "lines");
    QTest::newRow("lines without port") << QStringList{"lines", "--dtr", "1", "--rts", "1"} << "The lines command needs one --port PORT.";
    QTest::newRow("ports file") << QStringList{"ports", "x"} << "The ports command takes no file; remove \"x\".";
    QTest::newRow("ports empty log") << QStringList{"ports", "--log", ""} << notFor.arg("--log", "ports");
    QTest::newRow("dtr before count") << QStringList{"keys", "--port", "p", "--count", "2", "--dtr", "1"} << notFor.arg("--dtr", "keys");
    QTest::newRow("hold on keys") << QStringList{"keys", "--port", "p", "--hold", "5"} << notFor.arg("--hold", "keys");
    QTest::newRow("after on ports") << QStringList{"ports", "--after", "run"} << notFor.arg("--after", "ports");
    QTest::newRow("after run before count") << QStringList{"flash", "--port", "p", "a.hex", "--count", "2", "--after", "run"}
        << "The option --after run needs --boot: the reset into the application uses the same wiring.";
    QTest::newRow("count before present") << QStringList{"flash", "--port", "p", "--present", "dsr", "--count", "2"} << notFor.arg("--count", "flash");
    QTest::newRow("present on flash") << QStringList{"flash", "--port", "p", "a.hex", "--present", "dsr"} << notFor.arg("--present", "flash");
    QTest::newRow("on-result on keys") << QStringList{"keys", "--port", "p", "--on-result", "x"} << notFor.arg("--on-result", "keys");
    QTest::newRow("timeout on flash") << QStringList{"flash", "--port", "p", "--on-result-timeout", "3"}
                                      << notFor.arg("--on-result-timeout", "flash");
    QTest::newRow("file before port") << QStringList{"keys", "a.hex"} << "The keys command takes no file; remove \"a.hex\".";
    QTest::newRow("port before file") << QStringList{"station", "--json"}
        << "The station command needs --port PORT (or --all-ports); vorna-flash ports lists the ports.";
    QTest::newRow("both before empty log") << QStringList{"keys", "--port", "a", "--all-ports", "--log", ""}
                                           << "Give either --port or --all-ports, not both.";
    QTest::newRow("empty log before file") << QStringList{"flash", "--port", "p", "--log", ""} << "The option --log needs a file name.";
    // After "--" every word is a file, the first a command when none came before.
    QTest::newRow("-- then an unknown command") << QStringList{"--", "erase"}
        << "Unknown command \"erase\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    QTest::newRow("-- then the options as files") << QStringList{"--", "flash", "--port", "p"}
        << "The flash command needs --port PORT (or --all-ports); vorna-flash ports lists the ports.";
    QTest::newRow("-- hides an unknown option") << QStringList{"keys", "--port", "p", "--", "--bogus"}
                                                << "The keys command takes no file; remove \"--bogus\".";
    QTest::newRow("second -- is a file") << QStringList{"flash", "--port", "p", "--", "a.hex", "--"}
                                         << "The flash command takes one firmware file; \"--\" is one too many.";
    QTest::newRow("++ then a file") << QStringList{"flash", "--port", "p", "++", "a.hex"}
                                    << "The flash command takes one firmware file; \"a.hex\" is one too many.";
    QTest::newRow("++ as command") << QStringList{"++", "flash"}
        << "Unknown command \"++\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    QTest::newRow("extra file before --") << QStringList{"flash", "--port", "p", "a.hex", "b.hex", "--", "--bogus"}
                                          << "The flash command takes one firmware file; \"b.hex\" is one too many.";
    // Faults met while reading the line: the first one, whatever follows.
    QTest::newRow("unknown before a bare option") << QStringList{"keys", "--fast", "--port"} << "Unknown option --fast; see vorna-flash --help.";
    QTest::newRow("unknown command before a bad value") << QStringList{"erase", "--baud", "1"}
        << "Unknown command \"erase\"; the commands are ports, keys, flash, verify, read, lines, station, release, history, report, export and db.";
    QTest::newRow("unknown option before the command") << QStringList{"--fast", "erase"} << "Unknown option --fast; see vorna-flash --help.";
    QTest::newRow("bad value before unknown command") << QStringList{"--baud", "1", "erase"}
        << "The option --baud needs a rate from 1200 to 12000000, e.g. --baud 460800.";
    QTest::newRow("twice before a bad value") << QStringList{"keys", "--hold", "5", "--hold", "x"}
                                              << "The option --hold is given twice; give it once.";
    QTest::newRow("bad value before inapplicable") << QStringList{"ports", "--count", "0"}
        << "The option --count needs a number of modules from 1, e.g. --count 100.";
    QTest::newRow("bad value despite help") << QStringList{"--help", "--present", "rx"}
        << "The option --present takes cts, dsr, dcd or ri, with a leading ! for an active-low switch, e.g. --present !dsr.";
    // Values out of their forms or ranges.
    const QString baud = "The option --baud needs a rate from 1200 to 12000000, e.g. --baud 460800.";
    QTest::newRow("baud hex") << QStringList{"keys", "--port", "p", "--baud", "0x4b00"} << baud;
    QTest::newRow("baud nine digits") << QStringList{"keys", "--port", "p", "--baud", "000009600"} << baud;
    QTest::newRow("baud above") << QStringList{"keys", "--port", "p", "--baud", "12000001"} << baud;
    QTest::newRow("hold above") << QStringList{"lines", "--hold", "3601"} << "The option --hold needs seconds from 1 to 3600.";
    QTest::newRow("hold five digits") << QStringList{"lines", "--hold", "00010"} << "The option --hold needs seconds from 1 to 3600.";
    QTest::newRow("count ten digits") << QStringList{"station", "--count", "1000000000"}
                                      << "The option --count needs a number of modules from 1, e.g. --count 100.";
    QTest::newRow("count negative") << QStringList{"station", "--count=-1"}
                                    << "The option --count needs a number of modules from 1, e.g. --count 100.";
    QTest::newRow("timeout five digits") << QStringList{"station", "--on-result-timeout", "10000"}
                                         << "The option --on-result-timeout needs seconds from 1 to 9999.";
    QTest::newRow("on-result empty") << QStringList{"station", "--on-result", ""} << "The option --on-result needs a program.";
    QTest::newRow("present upper case") << QStringList{"station", "--present", "DSR"}
        << "The option --present takes cts, dsr, dcd or ri, with a leading ! for an active-low switch, e.g. --present !dsr.";
    QTest::newRow("present bang only") << QStringList{"station", "--present", "!"}
        << "The option --present takes cts, dsr, dcd or ri, with a leading ! for an active-low switch, e.g. --present !dsr.";
    QTest::newRow("rts two") << QStringList{"lines", "--rts", "2"} << "The option --rts takes 0 (de-asserted) or 1 (asserted).";
    QTest::newRow("flag false") << QStringList{"keys", "--all-ports=false"} << "The option --all-ports takes no value.";
    // A short flag takes what follows it as more short flags.
    QTest::newRow("short flag value") << QStringList{"keys", "-v=1"} << "Unknown option -; see vorna-flash --help.";
    // A value missing at the end of the line.
    QTest::newRow("dtr bare") << QStringList{"lines", "--dtr"} << "The option --dtr needs 0 (de-asserted) or 1 (asserted).";
    QTest::newRow("rts bare") << QStringList{"lines", "--rts"} << "The option --rts needs 0 (de-asserted) or 1 (asserted).";
    QTest::newRow("hold bare") << QStringList{"lines", "--hold"} << "The option --hold needs seconds from 1 to 3600.";
    QTest::newRow("boot bare") << QStringList{"keys", "--boot"} << "The option --boot needs a sequence: direct, inverted, auto-reset or steps.";
    QTest::newRow("after bare") << QStringList{"flash", "--after"} << "The option --after needs stay, run, go or steps.";
    QTest::newRow("count bare") << QStringList{"station", "--count"} << "The option --count needs a number of modules, e.g. --count 100.";
    QTest::newRow("on-result bare") << QStringList{"station", "--on-result"} << "The option --on-result needs a program.";
    QTest::newRow("timeout bare") << QStringList{"station", "--on-result-timeout"}
                                  << "The option --on-result-timeout needs seconds, e.g. --on-result-timeout 5.";
    QTest::newRow("present bare") << QStringList{"station", "--present"}
                                  << "The option --present needs an input: cts, dsr, dcd or ri (!dsr for active-low).";
    QTest::newRow("port bare after =") << QStringList{"keys", "--port="} << "The option --port needs a port name, e.g. --port /dev/ttyUSB0.";
    QTest::newRow("port twice, last bare") << QStringList{"keys", "--port", "a", "--port"}
                                           << "The option --port needs a port name, e.g. --port /dev/ttyUSB0.";
    QTest::newRow("hold twice, last bare") << QStringList{"lines", "--hold", "5", "--hold"} << "The option --hold is given twice; give it once.";
}

void TestCliSupport::commandLineFirstFaultNamed()
{
    QFETCH(QStringList, args);
    QFETCH(QString, sentence);
    const auto r = parse(args);
    QVERIFY(!r.ok);
    QCOMPARE(QString::fromStdString(r.error), sentence);
}

void TestCliSupport::usageTextUnchanged()
{
    // Scripts and the packaged manual quote it: byte for byte as released (JSON "code" the
    // exit status and "status" its name).
    const std::string usage = vf::usageText();
    QCOMPARE(sha(usage), std::string("1ac4cb4bfa2ec564c5f3d3ce12632655ecef16bfa73c448ba252747808f773d4"));
    QCOMPARE(std::count(usage.begin(), usage.end(), '\n'), std::ptrdiff_t(158));
    QCOMPARE(std::string(vf::versionText()), std::string("vorna-flash " VBF_VERSION "\n"));
}

namespace {

// A port list as the system could give it: the test's double of listPortDetails().
vbprog::PortInfo usbPort(const std::string& name, int vid, int pid, const std::string& serial, const std::string& location)
{
    vbprog::PortInfo p;
    p.name = name;
    p.transport = "usb";
    p.vid = vid;
    p.pid = pid;
    p.serial = serial;
    p.location = location;
    return p;
}

std::vector<vbprog::PortInfo> bench()
{
    vbprog::PortInfo board;
    board.name = "/dev/ttyS0";
    board.transport = "native";
    return {board,
            usbPort("/dev/ttyUSB0", 0x0403, 0x6001, "A50285BI", "1-1.2:1.0"),
            // A two-port FT2232 in one socket: one serial number, two interfaces.
            usbPort("/dev/ttyUSB1", 0x0403, 0x6010, "FT4ZKQ", "1-1.3:1.0"),
            usbPort("/dev/ttyUSB2", 0x0403, 0x6010, "FT4ZKQ", "1-1.3:1.1"),
            // CH340s carry no serial number.
            usbPort("/dev/ttyUSB3", 0x1a86, 0x7523, "", "1-1.4.1:1.0"),
            usbPort("/dev/ttyUSB4", 0x1a86, 0x7523, "", "1-1.4.2:1.0"),
            usbPort("COM7", 0x10c4, 0xea60, "0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USBMI(0)")};
}

}  // namespace

void TestCliSupport::stableNamesFindTheirPort_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("port");       // empty: none found
    QTest::addColumn<bool>("ambiguous");
    QTest::addColumn<QString>("sentence");
    const QString adapters = "; the USB serial adapters plugged in: /dev/ttyUSB0 (usb:A50285BI, usb-path:1-1.2:1.0); "
                             "/dev/ttyUSB1 (usb:FT4ZKQ, usb-path:1-1.3:1.0); /dev/ttyUSB2 (usb:FT4ZKQ, usb-path:1-1.3:1.1); "
                             "/dev/ttyUSB3 (usb-path:1-1.4.1:1.0); /dev/ttyUSB4 (usb-path:1-1.4.2:1.0); "
                             "COM7 (usb:0001, usb-path:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USBMI(0)).";
    QTest::newRow("plain name as it is") << "/dev/ttyUSB9" << "/dev/ttyUSB9" << false << "";
    QTest::newRow("by-id link as it is") << "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
                                         << "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" << false << "";
    QTest::newRow("serial") << "usb:A50285BI" << "/dev/ttyUSB0" << false << "";
    QTest::newRow("serial in another case") << "usb:a50285bi" << "/dev/ttyUSB0" << false << "";
    QTest::newRow("serial on Windows") << "usb:0001" << "COM7" << false << "";
    QTest::newRow("serial nobody has") << "usb:A5028" << "" << false << "No port has the USB serial number A5028" + adapters;
    QTest::newRow("serial of a two-port adapter") << "usb:FT4ZKQ" << "" << true
        << "2 ports have the USB serial number FT4ZKQ: /dev/ttyUSB1 (usb:FT4ZKQ, usb-path:1-1.3:1.0); /dev/ttyUSB2 "
           "(usb:FT4ZKQ, usb-path:1-1.3:1.1); give the one you mean by usb-path: or its name.";
    QTest::newRow("socket") << "usb-path:1-1.2" << "/dev/ttyUSB0" << false << "";
    QTest::newRow("socket with its interface") << "usb-path:1-1.3:1.1" << "/dev/ttyUSB2" << false << "";
    QTest::newRow("socket behind a hub") << "usb-path:1-1.4.2" << "/dev/ttyUSB4" << false << "";
    QTest::newRow("a socket's prefix is not the socket") << "usb-path:1-1.4" << "" << false
                                                         << "No port has the USB socket 1-1.4" + adapters;
    QTest::newRow("socket of a two-port adapter") << "usb-path:1-1.3" << "" << true
        << "2 ports have the USB socket 1-1.3: /dev/ttyUSB1 (usb:FT4ZKQ, usb-path:1-1.3:1.0); /dev/ttyUSB2 "
           "(usb:FT4ZKQ, usb-path:1-1.3:1.1); give the one you mean by a longer usb-path: or its name.";
    QTest::newRow("Windows location path") << "usb-path:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USBMI(0)" << "COM7"
                                           << false << "";
    QTest::newRow("Windows socket of a composite adapter") << "usb-path:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)" << "COM7"
                                                           << false << "";
    QTest::newRow("Windows: a socket's prefix is not the socket") << "usb-path:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(" << ""
                                                                  << false
        << "No port has the USB socket PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(" + adapters;
}

void TestCliSupport::stableNamesFindTheirPort()
{
    QFETCH(QString, given);
    QFETCH(QString, port);
    QFETCH(bool, ambiguous);
    QFETCH(QString, sentence);
    const vf::Resolution r = vf::resolvePort(given.toStdString(), bench());
    QCOMPARE(QString::fromStdString(r.port), port);
    QCOMPARE(r.ambiguous, ambiguous);
    QCOMPARE(QString::fromStdString(r.sentence), sentence);
    QCOMPARE(vf::isStableName(given.toStdString()), given.startsWith("usb"));
}

void TestCliSupport::stableNamesForEveryPortGiven()
{
    int listed = 0;
    const vf::PortLister list = [&listed] {
        ++listed;
        return bench();
    };
    // Plain names need no list.
    vf::PortsResolution r = vf::resolvePorts({"/dev/ttyUSB9", "COM3"}, list);
    QCOMPARE(listed, 0);
    QCOMPARE(r.ports, (std::vector<std::string>{"/dev/ttyUSB9", "COM3"}));
    QCOMPARE(r.status, int(vf::EXIT_OK));
    // Stable names from one look at the list, in the order given.
    r = vf::resolvePorts({"usb-path:1-1.4.1", "/dev/ttyACM0", "usb:A50285BI"}, list);
    QCOMPARE(listed, 1);
    QCOMPARE(r.ports, (std::vector<std::string>{"/dev/ttyUSB3", "/dev/ttyACM0", "/dev/ttyUSB0"}));
    // None found: the port cannot be opened; several: the command line must say which.
    r = vf::resolvePorts({"/dev/ttyUSB0", "usb:NOPE"}, list);
    QCOMPARE(r.status, int(vf::EXIT_NO_DEVICE));
    QVERIFY(r.ports.empty());
    QVERIFY2(r.sentence.rfind("No port has the USB serial number NOPE; ", 0) == 0, r.sentence.c_str());
    r = vf::resolvePorts({"usb-path:1-1.3"}, list);
    QCOMPARE(r.status, int(vf::EXIT_USAGE));
    // Two names for one port are one port given twice.
    r = vf::resolvePorts({"/dev/ttyUSB0", "usb-path:1-1.2"}, list);
    QCOMPARE(r.status, int(vf::EXIT_USAGE));
    QCOMPARE(r.sentence, std::string("The names /dev/ttyUSB0 and usb-path:1-1.2 are the same port, /dev/ttyUSB0; give each "
                                     "port once."));
}

void TestCliSupport::portIdentityShown()
{
    vbprog::PortInfo ftdi = usbPort("/dev/ttyUSB0", 0x0403, 0x6001, "A50285BI", "1-1.2:1.0");
    ftdi.description = "FT232R USB UART";
    ftdi.manufacturer = "FTDI";
    ftdi.product = "FT232R USB UART";
    ftdi.bus = 1;
    ftdi.address = 5;
    QCOMPARE(vf::identityText(ftdi),
             std::string("USB 0403:6001, FTDI FT232R USB UART, usb:A50285BI, usb-path:1-1.2:1.0, bus 1 address 5"));
    const vbprog::PortInfo ch340 = usbPort("/dev/ttyUSB3", 0x1a86, 0x7523, "", "");
    QCOMPARE(vf::identityText(ch340), std::string("USB 1a86:7523"));
    vbprog::PortInfo pty;
    pty.name = "/dev/pts/3";
    QCOMPARE(vf::identityText(pty), std::string());

    const QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(vf::jsonText(vf::portJson(ftdi)))).object();
    QCOMPARE(j.keys(), (QStringList{"address", "bus", "description", "location", "manufacturer", "pid", "port", "product",
                                    "serial", "transport", "vid"}));
    QCOMPARE(j["vid"].toString(), QString("0403"));
    QCOMPARE(j["pid"].toString(), QString("6001"));
    QCOMPARE(j["serial"].toString(), QString("A50285BI"));
    QCOMPARE(j["location"].toString(), QString("1-1.2:1.0"));
    QCOMPARE(j["bus"].toInt(), 1);
    QCOMPARE(j["address"].toInt(), 5);
    // What the system does not say is null, never an empty text or -1.
    const QJsonObject none = QJsonDocument::fromJson(QByteArray::fromStdString(vf::jsonText(vf::portJson(pty)))).object();
    QCOMPARE(none["port"].toString(), QString("/dev/pts/3"));
    for (const char* key : {"description", "transport", "vid", "pid", "serial", "manufacturer", "product", "location", "bus",
                            "address"})
        QVERIFY2(none[key].isNull(), key);
}

void TestCliSupport::bootSequenceRefusals_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("error");
    QTest::newRow("empty") << "" << "the boot sequence is empty";
    QTest::newRow("unknown line") << "dtr=1,cts=0" << "expected dtr=, rts= or wait= at position 7";
    QTest::newRow("upper case") << "DTR=1" << "expected dtr=, rts= or wait= at position 1";
    QTest::newRow("no value") << "dtr=1,rts" << "rts needs a value (rts=0 or =1) at position 10";
    QTest::newRow("level word") << "dtr=low" << "dtr takes 0 (de-asserted) or 1 (asserted) at position 5";
    QTest::newRow("empty step") << "dtr=1,,dtr=0" << "empty step at position 7";
    QTest::newRow("trailing comma") << "dtr=1," << "empty step at position 7";
    QTest::newRow("empty item") << "dtr=1+,rts=0" << "empty step at position 7";
    QTest::newRow("line twice") << "dtr=1+dtr=0" << "dtr is named twice in one step at position 7";
    QTest::newRow("wait with a line") << "dtr=1+wait=5" << "a wait is a step of its own at position 7";
    QTest::newRow("wait negative") << "dtr=1,wait=-5" << "wait takes milliseconds from 0 to 10000 at position 12";
    QTest::newRow("wait too long") << "dtr=1,wait=10001" << "wait takes milliseconds from 0 to 10000 at position 12";
    QTest::newRow("wait in seconds") << "dtr=1,wait=1s" << "wait takes milliseconds from 0 to 10000 at position 12";
    QTest::newRow("space") << "dtr=1, wait=5" << "expected dtr=, rts= or wait= at position 7";
    QTest::newRow("waits only") << "wait=100" << "the sequence sets neither dtr nor rts";
    QTest::newRow("33 steps") << QString("dtr=1,").repeated(32) + "dtr=0" << "more than 32 steps at position 193";
}

void TestCliSupport::bootSequenceRefusals()
{
    QFETCH(QString, steps);
    QFETCH(QString, error);
    const auto r = vbprog::parseSteps(steps.toStdString());
    QVERIFY(!r.ok());
    QCOMPARE(QString::fromStdString(r.error().what), error);
    // On the command line the same refusal is a usage error that quotes the sequence.
    const auto cl = parse({"keys", "--port", "p", "--boot", steps.isEmpty() ? "=" : steps});
    QVERIFY(!cl.ok);
}

void TestCliSupport::bootStepsOneCallPerStep()
{
    // The auto-reset circuit needs its lines switched in one call: a step naming both is
    // one step, and every preset survives its own text.
    const auto both = vbprog::parseSteps("dtr=1+rts=0,wait=100,rts=1");
    QVERIFY(both.ok());
    const std::vector<vbprog::BootStep>& steps = both.value();
    QCOMPARE(int(steps.size()), 3);
    QVERIFY(steps[0].dtr == true && steps[0].rts == false);
    QVERIFY(!steps[2].dtr && steps[2].rts == true);
    QCOMPARE(vbprog::stepsText(steps, 4), std::string("dtr=1+rts=0,wait=400,rts=1"));
    for (const char* preset : {"direct", "inverted", "auto-reset"}) {
        const auto seq = vbprog::bootSequence(preset);
        QVERIFY2(seq && !seq->enter.empty() && !seq->run.empty(), preset);
        QCOMPARE(vbprog::stepsText(vbprog::parseSteps(vbprog::stepsText(seq->enter)).value()), vbprog::stepsText(seq->enter));
    }
}

void TestCliSupport::benchLogHeaderOnceAndMode()
{
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/bench.csv").toStdString();
    vf::LogRow row;
    row.timeUtc = "2024-05-01T12:00:00Z";
    row.port = "port,with,commas";
    row.productId = "0x497";
    row.result = "ok";
    row.seconds = 1.5;
    std::string why;
    for (int i = 0; i < 2; ++i) {
        vf::BenchLog log;  // a new process each time on a bench
        QVERIFY2(log.open(path, why), why.c_str());
        QVERIFY2(log.append(row, why), why.c_str());
    }
    struct stat st;
    QCOMPARE(::stat(path.c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QFile f(QString::fromStdString(path));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QCOMPARE(lines.size(), 4);  // header, two rows, empty rest after the last line feed
    QCOMPARE(lines[0] + '\n', QByteArray(vf::BenchLog::header()));
    QCOMPARE(lines[1], QByteArray("2024-05-01T12:00:00Z,\"port,with,commas\",0x497,,,,,,ok,1.500"));
    QCOMPARE(lines[2], lines[1]);

    vf::BenchLog notAFile;
    QVERIFY(!notAFile.open(dir.path().toStdString(), why));
}

void TestCliSupport::benchLogTakesOnlyItsOwnFile_data()
{
    const QByteArray flash = vf::BenchLog::header(false), station = vf::BenchLog::header(true);
    QTest::addColumn<bool>("stationLog");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("refusal");   // empty: opened
    QTest::addColumn<QByteArray>("mended"); // what opening adds
    QTest::newRow("flash log for a station")
        << true << flash << QString("not a station log: its first line is \"" + flash.left(flash.size() - 1) + "\"") << QByteArray();
    QTest::newRow("station log for flash") << false << station + "t,p,,d,,,a.hex,x,ok,1.000,r,1,1,,u,\n"
                                           << "not a log of the flash or keys command" << QByteArray();
    QTest::newRow("firmware for the log") << false << QByteArray(":020000040800F2\n:00000001FF\n")
                                          << "its first line is \":020000040800F2\"" << QByteArray();
    QTest::newRow("binary") << false << QByteArray("\x7f" "ELF\x02\x01\x01\0\0", 9) << "\"?ELF?????\"" << QByteArray();
    QTest::newRow("other CSV") << false << QByteArray("name,serial\r\nx,1\r\n") << "\"name,serial\"" << QByteArray();
    QTest::newRow("header only") << true << station << "" << QByteArray();
    QTest::newRow("row cut") << false << flash + "2024-05-01T12:00:00Z,p,0x4" << "" << QByteArray("\n");
    QTest::newRow("cut in quotes") << true << station + "t,p,,d,,,\"C:\\fw\n" << "" << QByteArray("\"\n");
    QTest::newRow("header cut") << false << flash.left(flash.size() - 1) << "" << QByteArray("\n");
}

void TestCliSupport::benchLogTakesOnlyItsOwnFile()
{
    QFETCH(bool, stationLog);
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, mended);
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.csv");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    vf::BenchLog log;
    if (stationLog)
        log.useStationColumns();
    std::string why;
    const bool opened = log.open(path.toStdString(), why);
    QCOMPARE(opened, refusal.isEmpty());
    QCOMPARE(!log.mendedNotice(path.toStdString()).empty(), !mended.isEmpty());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content + mended);  // a refused file untouched
    f.close();
    if (!opened) {
        const QString sentence = QString::fromStdString(log.refusal(path.toStdString(), why));
        QVERIFY2(sentence.startsWith("The log file " + path + " is not ") && sentence.contains(refusal), qPrintable(sentence));
        return;
    }
    vf::LogRow row;
    row.devEUI = "0102030405060708";
    row.uniqueId = "a1a2a3a4a5a6a7a8a9aaabac";
    QVERIFY2(log.append(row, why), why.c_str());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content + mended + QByteArray::fromStdString(vf::BenchLog::formatRow(row, stationLog)));
    f.close();
    if (stationLog) {
        // What the station reads at its start: the cut row passed over, the new one counted.
        vf::IdentityBook book;
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY2(book.loadLog(f.readAll().toStdString(), why), why.c_str());
        QCOMPARE(book.note(row.devEUI, row.uniqueId).attempt, 2u);
    }
}

void TestCliSupport::stationRowReadsBackThroughTheBook()
{
    vf::LogRow row;
    row.port = "p,1";
    row.devEUI = "0102030405060708";
    row.runId = "r1";
    row.toolVersion = "1.0";
    row.attempt = 2;
    row.failingStep = "write";
    row.uniqueId = "a1a2a3a4a5a6a7a8a9aaabac";
    row.duplicate = "same-module";
    const std::string text = std::string(vf::BenchLog::header(true)) + vf::BenchLog::formatRow(row, true);
    QVERIFY(QByteArray::fromStdString(text).endsWith(",r1,1.0,2,write,a1a2a3a4a5a6a7a8a9aaabac,same-module\n"));
    // The flash command's row stays as it was.
    QVERIFY(QByteArray::fromStdString(vf::BenchLog::formatRow(row)).endsWith(",0.000\n"));

    // What the station writes, the next run reads: the module is known by DevEUI and unique ID.
    vf::IdentityBook book;
    std::string why;
    QVERIFY2(book.loadLog(text, why), why.c_str());
    QCOMPARE(book.note(row.devEUI, row.uniqueId).attempt, 2u);
    QCOMPARE(book.note(row.devEUI, "b1b2b3b4b5b6b7b8b9babbbc").duplicate, std::string("other-module"));

    vf::IdentityBook other;
    QVERIFY(!other.loadLog(vf::BenchLog::header(false), why));  // a flash log has no unique IDs
    QVERIFY(!other.loadLog(std::string(vf::BenchLog::header(true)) + "x,\"open\n", why));
    QVERIFY(other.loadLog("", why));  // a new file
}

void TestCliSupport::identityVerdicts()
{
    struct Note {
        const char *dev, *uid;
        unsigned attempt;
        const char* duplicate;
    };
    // In order, through one book: new, again the same, another module, no unique ID, no DevEUI.
    const Note notes[] = {
        {"d1", "u1", 1, ""},
        {"d1", "u1", 2, "same-module"},
        {"d1", "u2", 1, "other-module"},
        {"d2", "", 1, ""},
        {"d2", "", 2, "same-module"},
        {"", "u3", 1, ""},
        {"", "u3", 1, ""},
    };
    vf::IdentityBook book;
    for (const Note& n : notes) {
        const vf::IdentityVerdict v = book.note(n.dev, n.uid);
        QCOMPARE(v.attempt, n.attempt);
        QCOMPARE(v.duplicate, std::string(n.duplicate));
    }
    std::vector<std::string> fields;
    QVERIFY(vf::splitCsvLine("a,\"b,\"\"c\"\"\",,d\r", fields));
    QCOMPARE(fields, (std::vector<std::string>{"a", "b,\"c\"", "", "d"}));
}

void TestCliSupport::uniqueIdLocations()
{
    struct Case {
        uint16_t pid;
        uint32_t address, third, span;
    };
    const Case cases[] = {{0x410, 0x1FFFF7E8, 8, 12}, {0x447, 0x1FF80050, 0x14, 0x18}, {0x497, 0x1FFF7590, 8, 12},
                          {0x435, 0, 8, 12}};
    for (const Case& c : cases) {
        const vbprog::UniqueIdLocation at = vbprog::uniqueIdLocation(*vbprog::findDevice(c.pid));
        QCOMPARE(at.address, c.address);
        QCOMPARE(at.wordOffsets[2], c.third);
        QCOMPARE(at.span(), c.span);
    }
}

void TestCliSupport::durations()
{
    QCOMPARE(vf::durationText(42.4), std::string("42 s"));
    QCOMPARE(vf::durationText(200), std::string("3 min 20 s"));
    QCOMPARE(vf::durationText(7500), std::string("2 h 5 min"));
}

// What a terminal shows after `bytes`, for the control sequences the displays send; any
// other sequence shows as "<?>" so that it cannot pass unseen.
struct Screen {
    QStringList lines;
    int bells = 0;
};

static Screen screenOf(const QByteArray& bytes)
{
    std::vector<std::string> rows(1);
    size_t row = 0, col = 0;
    Screen s;
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            col = 0;
            if (++row == rows.size())
                rows.emplace_back();
        } else if (c == '\a') {
            ++s.bells;
        } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            int j = i + 2, n = -1;
            for (; j < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[j])); ++j)
                n = std::max(n, 0) * 10 + (bytes[j] - '0');
            const char f = j < bytes.size() ? bytes[j] : '\0';
            i = j;
            if (f == 'A') {
                row -= std::min(row, size_t(n < 0 ? 1 : n));
            } else if (f == 'K' && n == 2) {
                rows[row].clear();
            } else if (f == 'J' && n < 1) {
                rows[row].resize(std::min(rows[row].size(), col));
                rows.resize(row + 1);
            } else {
                rows[row] += "<?>";
            }
        } else {
            if (rows[row].size() <= col)
                rows[row].resize(col + 1, ' ');
            rows[row][col++] = c;
        }
    }
    while (!rows.empty() && rows.back().empty())
        rows.pop_back();
    for (const auto& r : rows)
        s.lines << QString::fromStdString(r);
    return s;
}

// What `draw` writes on standard error, through a file put in its place for the while.
static QByteArray stderrOf(const std::function<void()>& draw)
{
    QTemporaryFile f;
    if (!f.open())
        return "<no file>";
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(f.handle(), 2);
    draw();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    f.seek(0);
    return f.readAll();
}

static QString repeated(char c, int n) { return QString(n, QChar(c)); }

// A stream that keeps what is written to it, or refuses every write while `failing`.
struct Sink {
    QByteArray bytes;
    bool failing = false;
    std::FILE* f = nullptr;
    Sink()
    {
        cookie_io_functions_t io{};
        io.write = [](void* cookie, const char* buf, size_t n) -> ssize_t {
            auto* s = static_cast<Sink*>(cookie);
            if (s->failing)
                return -1;
            s->bytes.append(buf, int(n));
            return ssize_t(n);
        };
        f = fopencookie(this, "w", io);
        std::setvbuf(f, nullptr, _IONBF, 0);
    }
    ~Sink() { std::fclose(f); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
};

void TestCliSupport::terminalBlockScreens()
{
    struct Case {
        const char* name;
        std::function<void(vf::TerminalBlock&, std::FILE* screen, std::FILE* out)> script;
        QStringList screen;
        QByteArray out;
        QByteArray screenEnd;  // what the script's last step wrote on the screen, when it matters
    };
    const std::vector<std::string> abc{"a", "b", "c"};
    const Case cases[] = {
        {"one line redrawn, with those below it and no other",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start(abc, true, scr);
             b.set(1, "B");
             b.redraw(1);
         },
         {"a", "B", "c"}, "", "\x1b[2A\r\x1b[2KB\n\r\x1b[2Kc\n"},
        {"a line set earlier is drawn with a later line's redraw",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start(abc, true, scr);
             b.set(0, "A");
             b.set(2, "C");
             b.redraw(2);
         },
         {"A", "b", "C"}, "", ""},
        {"a line above the block, on the screen's stream",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start(abc, true, scr);
             b.print("m", scr);
             b.print("n1\nn2", scr);
         },
         {"m", "n1", "n2", "a", "b", "c"}, "", ""},
        {"a line above the block, on another stream, with a line set before",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE* out) {
             b.start(abc, true, scr);
             b.set(1, "B");
             b.print("m", out);
         },
         {"a", "B", "c"}, "m\n", ""},
        {"an overwritten line, ended by a print and by endLine",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start({}, true, scr);
             b.overwrite("10%");
             b.overwrite("20%");
             b.print("m", scr);
             b.overwrite("30%");
             b.endLine();
             b.endLine();
             b.overwrite("40%");
             b.finish();
             b.print("n", scr);
         },
         {"20%", "m", "30%", "40%", "n"}, "", ""},
        {"bells on a terminal",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start({"a"}, true, scr);
             b.ring(3);
         },
         {"a"}, "", "\a\a\a"},
        {"finished: the block stays, later lines below it, nothing redrawn",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE*) {
             b.start({"a", "b"}, true, scr);
             b.finish();
             b.set(0, "A");
             b.redraw(0);
             b.print("m", scr);
         },
         {"a", "b", "m"}, "", "m\n"},
        {"off a terminal: the printed lines and nothing else",
         [&](vf::TerminalBlock& b, std::FILE* scr, std::FILE* out) {
             b.start(abc, false, scr);
             b.set(0, "A");
             b.redraw(0);
             b.overwrite("10%");
             b.endLine();
             b.ring(3);
             b.print("m", scr);
             b.print("n", out);
         },
         {"m"}, "n\n", ""},
    };
    for (const Case& k : cases) {
        Sink scr, out;
        vf::TerminalBlock b;
        k.script(b, scr.f, out.f);
        const Screen s = screenOf(scr.bytes);
        QVERIFY2(s.lines == k.screen, qPrintable(QString(k.name) + ":\n" + s.lines.join('\n')));
        QVERIFY2(out.bytes == k.out, k.name);
        QVERIFY2(scr.bytes.endsWith(k.screenEnd), k.name);
    }
}

// A stream that failed once is given up for good, and the other goes on as before.
void TestCliSupport::terminalBlockGivesUpFailedStreams()
{
    {
        Sink scr, out;
        vf::TerminalBlock b;
        b.start({"a", "b"}, true, scr.f);
        out.failing = true;
        b.print("lost", out.f);
        out.failing = false;
        b.print("lost too", out.f);
        QCOMPARE(out.bytes, QByteArray());
        // A line set before the lost print is still shown.
        b.set(1, "B");
        b.print("lost as well", out.f);
        QCOMPARE(screenOf(scr.bytes).lines, (QStringList{"a", "B"}));
        b.print("m", scr.f);
        QCOMPARE(screenOf(scr.bytes).lines, (QStringList{"m", "a", "B"}));
    }
    {
        Sink scr, out;
        vf::TerminalBlock b;
        b.start({"a", "b"}, true, scr.f);
        const QByteArray drawn = scr.bytes;
        scr.failing = true;
        b.set(0, "A");
        b.redraw(0);
        scr.failing = false;
        b.ring(1);
        b.overwrite("10%");
        b.redraw(0);
        b.print("m", out.f);
        b.print("n", out.f);
        b.finish();
        QCOMPARE(scr.bytes, drawn);
        QCOMPARE(out.bytes, QByteArray("m\nn\n"));
    }
}

void TestCliSupport::messagesShownByVerbosity()
{
    // Shown at Errors (station), ErrorsAndAdvice (flash, keys), Everything (--verbose).
    struct Row {
        int type;
        bool errors, advice, everything;
    };
    const Row rows[] = {
        {Normal, false, false, true},           {Info, false, false, true},
        {GreenInfo, false, false, true},        {Title, false, false, true},
        {Warning, false, false, true},          {Error, true, true, true},
        {Verbosity_1, false, false, true},      {Verbosity_2, false, false, true},
        {Verbosity_3, false, false, true},      {GreenInfoNoPopup, false, false, true},
        {WarningNoPopup, false, true, true},    {ErrorNoPopup, true, true, true},
    };
    for (const Row& r : rows) {
        QVERIFY2(vf::messageShown(r.type, vf::Verbosity::Errors) == r.errors, qPrintable(QString::number(r.type)));
        QVERIFY2(vf::messageShown(r.type, vf::Verbosity::ErrorsAndAdvice) == r.advice, qPrintable(QString::number(r.type)));
        QVERIFY2(vf::messageShown(r.type, vf::Verbosity::Everything) == r.everything, qPrintable(QString::number(r.type)));
    }
    // The console's own choice of verbosity: advice without --verbose, everything with it.
    for (const bool verbose : {false, true}) {
        vf::Console c;
        const QByteArray bytes = stderrOf([&] {
            c.start({}, verbose, false);
            for (const Row& r : rows)
                c.message(0, r.type, std::to_string(r.type));
        });
        QByteArray expected;
        for (const Row& r : rows)
            if (verbose ? r.everything : r.advice)
                expected += QByteArray::number(r.type) + '\n';
        QCOMPARE(bytes, expected);
    }
}

// Every display state leaves these lines on the screen; off a terminal these exact bytes.
void TestCliSupport::consoleScreens()
{
    const std::vector<std::string> two{"/dev/ttyA", "/dev/ttyBB"};
    struct Case {
        const char* name;
        std::function<void(vf::Console&)> script;
        QStringList screen;
        bool plain;  // off a terminal: the bytes are the lines and nothing else
    };
    const Case cases[] = {
        {"several on a terminal, while writing",
         [&](vf::Console& c) {
             c.start(two, false, true);
             c.pass(0, "Writing");
             c.progress(0, 1, 2);
         },
         {"/dev/ttyA   Writing   [" + repeated('#', 15) + repeated(' ', 15) + "]  50%", "/dev/ttyBB  Connecting..."},
         false},
        {"several on a terminal, messages and results above the block",
         [&](vf::Console& c) {
             c.start(two, false, true);
             c.pass(0, "Writing");
             c.progress(0, 1, 2);
             c.message(1, Info, "not verbose: not shown");
             c.message(1, Error, "  no answer\r\n");
             c.ended(1, "FAILED (no-answer, 1.0 s)", "/dev/ttyBB: failed.", stderr);
             c.progress(0, 2, 2);
             c.ended(0, "done (ok, 2.0 s)", "", stderr);
             c.finish();
             c.print("All done.", stderr);
         },
         {"/dev/ttyBB: no answer", "/dev/ttyBB: failed.", "/dev/ttyA   done (ok, 2.0 s)",
          "/dev/ttyBB  FAILED (no-answer, 1.0 s)", "All done."},
         false},
        {"one module: its bar, ended by a message and by the next pass",
         [&](vf::Console& c) {
             c.start({"/dev/ttyA"}, false, true);
             c.pass(0, "Writing");
             c.progress(0, 1, 2);
             c.message(0, WarningNoPopup, "slow adapter");
             c.progress(0, 2, 2);
             c.pass(0, "Verifying");
             c.progress(0, 2, 2);
             c.finish();
             c.print("Flashed.", stderr);
         },
         {"Writing   [" + repeated('#', 20) + repeated(' ', 20) + "]  50%", "slow adapter",
          "Writing   [" + repeated('#', 40) + "] 100%", "Verifying [" + repeated('#', 40) + "] 100%", "Flashed."},
         false},
        {"several off a terminal",
         [&](vf::Console& c) {
             c.start(two, false, false);
             c.message(0, WarningNoPopup, "slow adapter\n");
             c.progress(0, 1, 2);
             c.ended(0, "done", "/dev/ttyA: Flashed.", stderr);
             c.ended(1, "done", "", stderr);
             c.finish();
             c.print("All 2 modules done.", stderr);
         },
         {"/dev/ttyA: slow adapter", "/dev/ttyA: Flashed.", "All 2 modules done."},
         true},
    };
    for (const Case& k : cases) {
        vf::Console console;
        const QByteArray bytes = stderrOf([&] { k.script(console); });
        const Screen s = screenOf(bytes);
        QVERIFY2(s.lines == k.screen, qPrintable(QString(k.name) + ":\n" + s.lines.join('\n')));
        if (k.plain)
            QCOMPARE(bytes, (k.screen.join('\n') + '\n').toUtf8());
    }
}

void TestCliSupport::stationScreens()
{
    const std::vector<std::string> two{"/dev/ttyA", "/dev/ttyBB"};
    {
        vf::StationDisplay d;
        const Screen s = screenOf(stderrOf([&] {
            d.start(two, true, stdout);
            d.print("Station run r1: 2 ports", stderr);
            d.state(1, "flashing: write 40%");
            d.verdict(1, false, "FAIL (write) - remove the module", 0, 1);
            d.state(0, "flashing: write 10%", "a plain line, not drawn");
            d.verdict(0, true, "PASS (1.0 s) - remove the module", 1, 1);
            d.print("{}", stderr);
            d.finish();
            d.print("Station run r1 ended.", stderr);
        }));
        QCOMPARE(s.lines, (QStringList{"Station run r1: 2 ports", "{}", "/dev/ttyA   PASS (1.0 s) - remove the module",
                                       "/dev/ttyBB  FAIL (write) - remove the module", "passed 1, failed 1",
                                       "Station run r1 ended."}));
        QCOMPARE(s.bells, 4);
    }
    {
        vf::StationDisplay d;
        const QByteArray bytes = stderrOf([&] {
            d.start(two, true, stdout);
            d.state(0, "flashing: write 10%");
        });
        QCOMPARE(screenOf(bytes).lines, (QStringList{"/dev/ttyA   flashing: write 10%", "/dev/ttyBB  waiting for a module",
                                                     "passed 0, failed 0"}));
    }
    {
        vf::StationDisplay d;
        const QByteArray bytes = stderrOf([&] {
            d.start(two, false, stderr);
            d.state(0, "flashing", "module found, flashing");
            d.state(0, "flashing: write 5%");
            d.verdict(0, true, "PASS (1.0 s) - remove the module", 1, 0);
            d.print("x", stderr);
        });
        QCOMPARE(bytes, QByteArray("/dev/ttyA: module found, flashing\n/dev/ttyA: PASS (1.0 s) - remove the module\nx\n"));
    }
}

QTEST_GUILESS_MAIN(TestCliSupport)
#include "tst_cli_support.moc"
