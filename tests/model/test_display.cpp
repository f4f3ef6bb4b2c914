// The console log: colour table, verbosity filter, text and order of the output.
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#if !defined(Q_OS_WIN)
#include <termios.h>
#include <unistd.h>
#endif

#include "DisplayManager.h"
#include "capture.h"
#include "model_tests.h"
#include "programmer_api.h"

class DisplayTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        setDisplayVerbosity(0);
        setDisplayColourOverride(-1);
    }
    void cleanupTestCase()
    {
        setDisplayVerbosity(0);
        setDisplayColourOverride(-1);
    }

    void colourTable_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("attribute");
        QTest::newRow("Normal") << int(Normal) << 15;
        QTest::newRow("Info") << int(Info) << 7;
        QTest::newRow("GreenInfo") << int(GreenInfo) << 2;
        QTest::newRow("Title") << int(Title) << 11;
        QTest::newRow("Warning") << int(Warning) << 14;
        QTest::newRow("Error") << int(Error) << 4;
        QTest::newRow("Verbosity_1") << int(Verbosity_1) << 3;
        QTest::newRow("Verbosity_2") << int(Verbosity_2) << 3;
        QTest::newRow("Verbosity_3") << int(Verbosity_3) << 3;
        QTest::newRow("GreenInfoNoPopup is white") << int(GreenInfoNoPopup) << 15;
        QTest::newRow("WarningNoPopup") << int(WarningNoPopup) << 14;
        QTest::newRow("ErrorNoPopup") << int(ErrorNoPopup) << 4;
        QTest::newRow("12") << 12 << 15;
        QTest::newRow("-1") << -1 << 15;
        QTest::newRow("1000") << 1000 << 15;
    }
    void colourTable()
    {
        QFETCH(int, type);
        QFETCH(int, attribute);
        QCOMPARE(messageColour(type), attribute);
    }

    void ansiForAttributes_data()
    {
        QTest::addColumn<int>("attribute");
        QTest::addColumn<QByteArray>("sequence");
        QTest::newRow("bright white") << 15 << QByteArray("\033[97m");
        QTest::newRow("grey") << 7 << QByteArray("\033[37m");
        QTest::newRow("green") << 2 << QByteArray("\033[32m");
        QTest::newRow("bright cyan") << 11 << QByteArray("\033[96m");
        QTest::newRow("yellow") << 14 << QByteArray("\033[93m");
        QTest::newRow("red") << 4 << QByteArray("\033[31m");
        QTest::newRow("cyan") << 3 << QByteArray("\033[36m");
        QTest::newRow("blue") << 1 << QByteArray("\033[34m");
    }
    void ansiForAttributes()
    {
        QFETCH(int, attribute);
        QFETCH(QByteArray, sequence);
        QCOMPARE(QByteArray(ansiColourSequence(attribute)), sequence);
    }

    void verbosityFilter_data()
    {
        QTest::addColumn<unsigned int>("level");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("printed");
        for (unsigned int level = 0; level <= 3; ++level) {
            const QByteArray l = QByteArray::number(level);
            QTest::newRow("V1 at " + l) << level << int(Verbosity_1) << (level != 0);
            QTest::newRow("V2 at " + l) << level << int(Verbosity_2) << (level > 1);
            QTest::newRow("V3 at " + l) << level << int(Verbosity_3) << (level == 3);
        }
        QTest::newRow("V3 at 4") << 4u << int(Verbosity_3) << false;
        QTest::newRow("Normal at 0") << 0u << int(Normal) << true;
        QTest::newRow("ErrorNoPopup at 0") << 0u << int(ErrorNoPopup) << true;
        QTest::newRow("unknown at 0") << 0u << 42 << true;
    }
    void verbosityFilter()
    {
        QFETCH(unsigned int, level);
        QFETCH(int, type);
        QFETCH(bool, printed);
        setDisplayVerbosity(level);
        StdoutCapture capture;
        DisplayMessage(type, L"verbose text");
        QCOMPARE(capture.finish(), printed ? QByteArray("verbose text\n") : QByteArray());
    }

    // Redirected output is plain; wide and narrow texts come out in call order, the wide
    // ones as UTF-8, and only DisplayMessage adds a line feed.
    void redirectedOutputIsPlainAndOrdered()
    {
        StdoutCapture capture;
        logMessage(Normal, "\nPort Name [%d] :", 0);
        logMessage(Info, " %s ", "/dev/ttyUSB0");
        DisplayMessage(Warning, L"Gr\u00fc\u00dfe \u20ac \U0001F600");
        InitPBar();
        logMessage(Title, "end");
        DisplayMessage(Normal, nullptr);
        QCOMPARE(capture.finish(),
                 QByteArray("\nPort Name [0] : /dev/ttyUSB0 Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\nend\n"));
    }

    void initProgressBarWritesNothing()
    {
        setDisplayColourOverride(1);
        StdoutCapture capture;
        InitPBar();
        QCOMPARE(capture.finish(), QByteArray());
    }

    // Colours as escape sequences are the Unix way; a Windows console gets them through
    // SetConsoleTextAttribute, which leaves no trace in the text.
#if !defined(Q_OS_WIN)
    void forcedColours()
    {
        setDisplayColourOverride(1);
        setDisplayVerbosity(1);
        StdoutCapture capture;
        DisplayMessage(GreenInfoNoPopup, L"a");
        DisplayMessage(ErrorNoPopup, L"b");
        DisplayMessage(Verbosity_1, L"c");
        DisplayMessage(Verbosity_2, L"hidden");
        logMessage(Title, "x %d", 5);
        QCOMPARE(capture.finish(), QByteArray("\033[97ma\n\033[0m"
                                              "\033[31mb\n\033[0m"
                                              "\033[36mc\n\033[0m"
                                              "\033[36m\033[0m"
                                              "\033[96mx 5\033[0m"));
    }

    // A terminal gets colours without any override.
    void terminalGetsColours()
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        termios mode;
        tcgetattr(slave, &mode);
        cfmakeraw(&mode);
        tcsetattr(slave, TCSANOW, &mode);

        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(slave, STDOUT_FILENO);
        logMessage(Error, "NO Serial Port available\n");
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(slave);

        QByteArray got;
        char chunk[256];
        fcntl(master, F_SETFL, O_NONBLOCK);
        for (int tries = 0; tries < 50; ++tries) {
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n > 0) {
                got.append(chunk, int(n));
                if (got.endsWith("\033[0m"))
                    break;
            } else {
                QTest::qWait(10);
            }
        }
        close(master);
        QCOMPARE(got, QByteArray("\033[31mNO Serial Port available\n\033[0m"));
    }
#endif

    void longLogLineIsCut()
    {
        const std::string line(1000, 'x');
        StdoutCapture capture;
        logMessage(Normal, "%s", line.c_str());
        logMessage(Normal, "|");
        QCOMPARE(capture.finish(), QByteArray(255, 'x') + '|');
    }

    // A cut never leaves half of a UTF-8 character behind.
    void cutKeepsWholeCharacters()
    {
        const std::string line = std::string(254, 'a') + "\xc3\xa9" + "tail";
        StdoutCapture capture;
        logMessage(Normal, "%s", line.c_str());
        QCOMPARE(capture.finish(), QByteArray(254, 'a'));

        const std::string fits = std::string(253, 'a') + "\xc3\xa9" + "tail";
        StdoutCapture second;
        logMessage(Normal, "%s", fits.c_str());
        QCOMPARE(second.finish(), QByteArray(253, 'a') + "\xc3\xa9");
    }
};

int runDisplayTests(int argc, char** argv)
{
    DisplayTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_display.moc"
