// The error value's hint: one sentence per status, fitted to what was being done; the
// command-line tool's advice and the session's error value both come from it.
#include <QtTest>

#include "programmer_api.h"
#include "session_error.h"

using namespace vbprog;

class TestProgError : public QObject {
    Q_OBJECT

private slots:
    void hintPerStatus_data();
    void hintPerStatus();
    void hintFitsTheOperation();
    void portHintFollowsTheRecordedRefusal_data();
    void portHintFollowsTheRecordedRefusal();
    void inUseHintNamesTheHolders_data();
    void inUseHintNamesTheHolders();
    void sentencesNameNoFrontEndControl();
    void frontEndWordsTheRemedy_data();
    void frontEndWordsTheRemedy();
};

void TestProgError::hintPerStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("says");
    QTest::newRow("port") << int(PROG_ERR_PORT_OPEN) << "port-open" << "cannot be opened";
    QTest::newRow("silent") << int(PROG_ERR_NO_ANSWER) << "no-answer" << "No bootloader answers on /dev/ttyUSB0";
    QTest::newRow("missing") << int(PROG_ERR_FILE_MISSING) << "file-missing" << "Cannot open the firmware file app.hex";
    QTest::newRow("invalid") << int(PROG_ERR_FILE_INVALID) << "file-invalid" << "malformed or not supported";
    QTest::newRow("range") << int(PROG_ERR_OUT_OF_RANGE) << "out-of-range" << "application start 0x08000800";
    QTest::newRow("write") << int(PROG_ERR_WRITE_VERIFY) << "write-verify" << "read-back differs from the firmware file app.hex";
    QTest::newRow("erase") << int(PROG_ERR_ERASE) << "erase" << "refused to erase";
    QTest::newRow("lost") << int(PROG_ERR_LINK_LOST) << "link-lost" << "its application is incomplete";
    QTest::newRow("protected") << int(PROG_ERR_PROTECTED) << "protected" << "read-protected";
    QTest::newRow("read") << int(PROG_ERR_READ) << "read-refused" << "refused to read its memory";
    QTest::newRow("identifiers") << int(PROG_ERR_IDENTIFIERS) << "identifiers-changed" << "identifier page of the module on /dev/ttyUSB0";
    QTest::newRow("identity") << int(PROG_ERR_IDENTITY) << "identity" << "answers inconsistently";
    QTest::newRow("module changed") << int(PROG_ERR_MODULE_CHANGED) << "module-changed"
                                    << "nothing more was written to it and its identifiers are untouched";
    QTest::newRow("unsupported") << int(PROG_ERR_DEVICE_UNSUPPORTED) << "device-unsupported" << "Vorna-Base module";
    QTest::newRow("undocumented") << -99 << "error-99" << "failed with code -99 (error-99)";
}

void TestProgError::hintPerStatus()
{
    QFETCH(int, status);
    QFETCH(QString, name);
    QFETCH(QString, says);
    const std::string hint = hintFor(status, {Operation::Download, "/dev/ttyUSB0", "app.hex", 115200});
    QVERIFY2(QString::fromStdString(hint).contains(says), hint.c_str());
    QCOMPARE(QString::fromStdString(statusName(status)), name);
    // Documented statuses have their own sentence, not the fallback's.
    if (status != -99)
        QVERIFY2(hint.find("failed with code") == std::string::npos, hint.c_str());
}

void TestProgError::hintFitsTheOperation()
{
    // A lost link during a download leaves the application incomplete; elsewhere it does not.
    const std::string during = hintFor(PROG_ERR_LINK_LOST, {Operation::Download, "p", "", 115200});
    const std::string outside = hintFor(PROG_ERR_LINK_LOST, {Operation::Connect, "p", "", 115200});
    QVERIFY(during.find("incomplete") != std::string::npos);
    QVERIFY(outside.find("incomplete") == std::string::npos);
    // Another rate than 115200 is named, with what it means for the bootloader.
    const std::string fast = hintFor(PROG_ERR_NO_ANSWER, {Operation::Connect, "p", "", 921600});
    QVERIFY(fast.find("921600 baud") != std::string::npos);
    QVERIFY(hintFor(PROG_ERR_NO_ANSWER, {Operation::Connect, "p", "", 115200}).find("baud") == std::string::npos);
    // A download that failed before its first erase or write left the module as it was.
    const std::string before = hintFor(PROG_ERR_LINK_LOST, {Operation::Download, "p", "", 115200, true});
    QVERIFY(before.find("incomplete") == std::string::npos && before.find("as it was") != std::string::npos);
    // A page put back and read back equal: the module may be flashed again, not set aside.
    const std::string restored = hintFor(PROG_ERR_IDENTIFIERS, {Operation::Download, "p", "", 115200, false, true});
    const std::string lost = hintFor(PROG_ERR_IDENTIFIERS, {Operation::Download, "p", "", 115200, false, false});
    QVERIFY(restored.find("flashed again") != std::string::npos && restored.find("set the module aside") == std::string::npos);
    QVERIFY(lost.find("set the module aside") != std::string::npos);
}

// The port is named only: no such device exists, so a sentence that depended on the
// device as it is now could not say "permission denied".
void TestProgError::portHintFollowsTheRecordedRefusal_data()
{
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("group");
    QTest::addColumn<uint>("baud");
    QTest::addColumn<QString>("hint");
    const QString denied = "The serial port /dev/vbf-gone cannot be opened: permission denied; ";
    const QString dialout = denied + "join the dialout group (or the group that owns the device), e.g. with sudo usermod "
                                     "-aG dialout $USER, and log in again.";
    const QString plain = "The serial port /dev/vbf-gone cannot be opened; check the port's name and that no other "
                          "program uses it.";
    QTest::newRow("denied, group named") << int(OpenFailure::Denied) << "uucp" << 115200u
                                         << denied + "join the group uucp that owns it, e.g. with sudo usermod -aG uucp "
                                                     "$USER, and log in again.";
    QTest::newRow("denied, dialout") << int(OpenFailure::Denied) << "dialout" << 115200u << dialout;
    QTest::newRow("denied, no group known") << int(OpenFailure::Denied) << "" << 115200u << dialout;
    QTest::newRow("denied at another rate") << int(OpenFailure::Denied) << "" << 460800u << dialout;
    QTest::newRow("absent") << int(OpenFailure::Absent) << "" << 115200u << plain;
    QTest::newRow("in use") << int(OpenFailure::InUse) << "" << 115200u << plain;
    QTest::newRow("other") << int(OpenFailure::Other) << "" << 115200u << plain;
    QTest::newRow("nothing recorded") << int(OpenFailure::None) << "" << 115200u << plain;
    QTest::newRow("in use at another rate")
        << int(OpenFailure::InUse) << "" << 460800u
        << "The serial port /dev/vbf-gone cannot be opened at 460800 baud; check the port's name, that no other program "
           "uses it, and that the adapter takes this rate.";
}

void TestProgError::portHintFollowsTheRecordedRefusal()
{
    QFETCH(int, cause);
    QFETCH(QString, group);
    QFETCH(uint, baud);
    QFETCH(QString, hint);
    const OpenFailure refused{OpenFailure::Cause(cause), group.toStdString()};
    HintContext context{Operation::Connect, "/dev/vbf-gone", "", baud};
    context.openFailure = refused;
    QCOMPARE(QString::fromStdString(hintFor(PROG_ERR_PORT_OPEN, context)), hint);
}

void TestProgError::inUseHintNamesTheHolders_data()
{
    QTest::addColumn<QString>("holders");  // pid:name:seen, comma-separated
    QTest::addColumn<uint>("baud");
    QTest::addColumn<QString>("hint");
    const QString refused = "The serial port /dev/ttyUSB0 cannot be opened: ";
    const QString udev = ", taking the adapter for a modem; the udev rules that come with this tool "
                         "(70-vorna-base-flasher.rules) keep ModemManager away from the common USB serial adapters, so "
                         "install them, or add this adapter's IDs to them, and plug the adapter in again.";
    QTest::newRow("one program") << "4242:picocom:1" << 115200u
                                 << refused + "picocom (pid 4242) has it open; close that program or wait until it is "
                                              "done, and try again.";
    // The rate is not the cause when a holder is known.
    QTest::newRow("one program at another rate") << "4242:picocom:1" << 921600u
                                                 << refused + "picocom (pid 4242) has it open; close that program or "
                                                              "wait until it is done, and try again.";
    QTest::newRow("three programs") << "10:flock:1,11:sleep:1,12:cat:1" << 115200u
                                    << refused + "flock (pid 10), sleep (pid 11) and cat (pid 12) have it open; close "
                                                 "those programs or wait until they are done, and try again.";
    QTest::newRow("ModemManager") << "812:ModemManager:1" << 115200u << refused + "ModemManager (pid 812) has it open" + udev;
    QTest::newRow("ModemManager, unseen") << "812:ModemManager:0" << 115200u
                                          << refused + "another program has it open, probably ModemManager (pid 812)" + udev;
    QTest::newRow("a program without a name") << "77::1" << 115200u
                                              << refused + "a program (pid 77) has it open; close that program or wait "
                                                           "until it is done, and try again.";
}

void TestProgError::inUseHintNamesTheHolders()
{
    QFETCH(QString, holders);
    QFETCH(uint, baud);
    QFETCH(QString, hint);
    HintContext context{Operation::Download, "/dev/ttyUSB0", "app.hex", baud};
    context.openFailure.cause = OpenFailure::InUse;
    for (const QString& h : holders.split(',')) {
        const QStringList f = h.split(':');
        context.openFailure.holders.push_back({f[0].toInt(), f[1].toStdString(), f[2] == "1"});
    }
    QCOMPARE(QString::fromStdString(hintFor(PROG_ERR_PORT_OPEN, context)), hint);
    // Only a port in use is explained by its holders.
    context.openFailure.cause = OpenFailure::Other;
    QVERIFY(!QString::fromStdString(hintFor(PROG_ERR_PORT_OPEN, context)).contains("pid"));
}

// The window shows these sentences too: no option, no command of the command-line tool.
void TestProgError::sentencesNameNoFrontEndControl()
{
    const int statuses[] = {PROG_ERR_NOT_CONNECTED, PROG_ERR_NO_ANSWER, PROG_ERR_PORT_OPEN, PROG_ERR_FILE_MISSING,
                            PROG_ERR_DEVICE_UNSUPPORTED, PROG_ERR_LINK_LOST, PROG_ERR_FILE_INVALID, PROG_ERR_BAD_ARGUMENT,
                            PROG_ERR_READ, PROG_ERR_WRITE_VERIFY, PROG_ERR_ERASE, PROG_ERR_OUT_OF_RANGE,
                            PROG_ERR_PROTECTED, PROG_ERR_IDENTIFIERS, PROG_ERR_IDENTITY, PROG_ERR_MODULE_CHANGED, -99};
    const OpenFailure::Cause causes[] = {OpenFailure::None, OpenFailure::Absent, OpenFailure::Denied,
                                         OpenFailure::InUse, OpenFailure::Other};
    for (int status : statuses)
        for (Operation op : {Operation::Connect, Operation::ReadKeys, Operation::Download})
            for (uint32_t baud : {115200u, 460800u})
                for (OpenFailure::Cause cause : causes) {
                    HintContext c{op, "/dev/ttyUSB0", "app.hex", baud};
                    c.openFailure.cause = cause;
                    c.openFailure.holders = {{812, "ModemManager", false}};
                    const std::string hint = hintFor(status, c);
                    QVERIFY2(hint.find("--") == std::string::npos && hint.find("vorna-flash") == std::string::npos,
                             hint.c_str());
                }
    for (Remedy r : {Remedy::CheckPortName, Remedy::EnterByHand, Remedy::TryInverted, Remedy::TryDirect,
                     Remedy::CheckWiring}) {
        const std::string text = remedyText(r, {});
        QVERIFY(!text.empty());
        QVERIFY2(text.find("--") == std::string::npos && text.find("vorna-flash") == std::string::npos, text.c_str());
    }
}

void TestProgError::frontEndWordsTheRemedy_data()
{
    QTest::addColumn<uint>("baud");
    QTest::addColumn<bool>("answers");
    QTest::addColumn<QString>("hint");
    QTest::newRow("own words") << 115200u << true
                               << "The serial port p cannot be opened; look it up in the list and that no other "
                                  "program uses it.";
    QTest::newRow("own words at another rate")
        << 460800u << true
        << "The serial port p cannot be opened at 460800 baud; look it up in the list, that no other program uses it, "
           "and that the adapter takes this rate.";
    // A front end without words of its own for the remedy keeps the library's.
    QTest::newRow("no words of its own")
        << 115200u << false << "The serial port p cannot be opened; check the port's name and that no other program uses it.";
}

void TestProgError::frontEndWordsTheRemedy()
{
    QFETCH(uint, baud);
    QFETCH(bool, answers);
    QFETCH(QString, hint);
    HintContext c{Operation::Connect, "p", "", baud};
    c.openFailure.cause = OpenFailure::Absent;
    c.words = [answers](Remedy r) {
        return answers && r == Remedy::CheckPortName ? std::string("look it up in the list") : std::string();
    };
    QCOMPARE(QString::fromStdString(hintFor(PROG_ERR_PORT_OPEN, c)), hint);
}

QTEST_GUILESS_MAIN(TestProgError)
#include "tst_prog_error.moc"
