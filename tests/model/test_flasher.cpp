// UART_Flasher against the fake programming library: calls, arguments, console lines and
// the progress relay across threads.
#include <QtTest>

#include <QProcess>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstring>

#include "DisplayManager.h"
#include "UART_Flasher.h"
#include "capture.h"
#include "fakeprog.h"
#include "model_tests.h"

namespace {

const QByteArray BANNER = "\n+++ UART Flasher Example +++\n\n";
const QByteArray CONNECTED = "\n--- Device Connected --- \n"
                             "\nDevice name : STM32WLxx "
                             "\nDevice type : MCU "
                             "\nDevice CPU  : Cortex-M4 \n";

QByteArray portList(const QList<QByteArray>& names)
{
    QByteArray text = "\n------------- Serial Port List --------------\n";
    for (int i = 0; i < names.size(); ++i)
        text += "\nPort Name [" + QByteArray::number(i) + "] : " + names[i] + " ";
    return text + "\n---------------------------------------------\n\n";
}

const std::vector<std::string> THREE_PORTS = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"};

}  // namespace

class ProgressReceiver : public QObject
{
    Q_OBJECT

public:
    QList<QPair<int, int>> reports;
    QList<QThread*> threads;

public slots:
    void setFirmwareProgress(int progress, int total)
    {
        reports.append({progress, total});
        threads.append(QThread::currentThread());
    }
};

class FlasherTest : public QObject
{
    Q_OBJECT

    UART_Flasher* flasher = nullptr;

    // The port the next connect hands to the library; the link is closed again.
    QString selectedPort()
    {
        StdoutCapture quiet;
        fakeprog::clearCalls();
        flasher->connect();
        flasher->disconnectUARTInterface();
        const auto records = fakeprog::connectRecords();
        fakeprog::clearCalls();
        return records.empty() ? QString("<none>") : QString::fromLatin1(records.back().portName);
    }

    // A flash job on the pool, as the window starts it; held until it has started there, so
    // this thread's wait cannot run it itself.
    void runJobOnPool(int& result)
    {
        fakeprog::holdDownloads();
        QFuture<int> job = QtConcurrent::run(QThreadPool::globalInstance(),
                                             [this] { return flasher->flashFirmware(L"job.hex"); });
        const bool started = fakeprog::waitForDownloadStarted(std::chrono::seconds(10));
        fakeprog::releaseDownloads();
        QVERIFY(started);
        job.waitForFinished();
        result = job.result();
        QVERIFY(fakeprog::downloads().at(0).thread != std::this_thread::get_id());
    }

    void restoreThreePorts()
    {
        StdoutCapture quiet;
        fakeprog::setPorts(THREE_PORTS);
        flasher->refreshUsartList();
        flasher->selectUsartConnectParameters(0);
        fakeprog::clearCalls();
    }

private slots:
    void initTestCase()
    {
        fakeprog::reset();
        fakeprog::setPorts(THREE_PORTS);
        StdoutCapture quiet;
        flasher = UART_Flasher::getInstance();
        quiet.finish();
        QCOMPARE(UART_Flasher::getInstance(), flasher);
        QCOMPARE(fakeprog::callNames(),
                 (std::vector<std::string>{"setDisplayCallbacks", "setVerbosityLevel", "getUsartList"}));
        QCOMPARE(fakeprog::libraryVerbosity(), 1);
        const displayCallBacks callbacks = fakeprog::registeredCallbacks();
        QVERIFY(callbacks.initProgressBar == &InitPBar);
        QVERIFY(callbacks.logMessage == &DisplayMessage);
        QVERIFY(callbacks.loadBar == &UART_Flasher::firmwareProgress);
        QCOMPARE(flasher->getUsartListFlag(), 3);
        // The first port is selected from the start.
        QCOMPARE(selectedPort(), QString("/dev/ttyUSB0"));
    }

    void init()
    {
        fakeprog::setConnectResult(0);
        fakeprog::setReadResult(0);
        fakeprog::setDownloadResult(0);
        fakeprog::setDownloadProgress({});
        fakeprog::setConnectMessages({});
        fakeprog::setDownloadMessages({});
        fakeprog::setDeviceInfo(fakeprog::defaultDeviceInfo());
        restoreThreePorts();
    }

    // Each construction scenario needs a fresh process: the instance is process-wide.
    void constructionConsole_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("facts");
        QTest::newRow("no port") << "none" << BANNER + "NO Serial Port available\n"
                                 << QByteArray("flag=0 scans=1 port=[]\n");
        QTest::newRow("one port") << "one" << BANNER + portList({"/dev/ttyUSB0"}) + CONNECTED
                                  << QByteArray("flag=1 scans=1 port=[/dev/ttyUSB0]\n");
        const QByteArray three = portList({"/dev/ttyUSB0", "/dev/ttyUSB1", "COM3"});
        QTest::newRow("three ports") << "three" << BANNER + three + three + CONNECTED
                                     << QByteArray("flag=3 scans=2 port=[COM3]\n");
    }
    void constructionConsole()
    {
        QFETCH(QString, scenario);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, facts);
        QProcess probe;
        probe.start(QStringLiteral(MODEL_PROBE_PATH), {scenario});
        QVERIFY(probe.waitForFinished(20000));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(withLineFeeds(probe.readAllStandardOutput()), out);
        QCOMPARE(withLineFeeds(probe.readAllStandardError()), facts);
    }

    void portListIsHeld()
    {
        usartConnectParameters* list = flasher->getUsartConnectParameters();
        QVERIFY(list != nullptr);
        QCOMPARE(QString(list[2].portName), QString("/dev/ttyACM0"));
        QCOMPARE(list[2].baudrate, 115200u);
        QCOMPARE(list[2].parity, EVEN);
    }

    void selectionOutOfBounds_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("-1") << -1;
        QTest::newRow("count") << 3;
        QTest::newRow("count+1") << 4;
        QTest::newRow("large") << 1000000;
    }
    void selectionOutOfBounds()
    {
        QFETCH(int, index);
        {
            StdoutCapture quiet;
            flasher->selectUsartConnectParameters(1);
        }
        fakeprog::clearCalls();
        StdoutCapture capture;
        flasher->selectUsartConnectParameters(index);
        QCOMPARE(capture.finish(), QByteArray());
        QCOMPARE(fakeprog::callNames(), std::vector<std::string>());
        QCOMPARE(selectedPort(), QString("/dev/ttyUSB1"));
    }

    // The record comes from the list the user saw, not from the rescan's new one.
    void selectionCopiesBeforeRescan()
    {
        fakeprog::setPorts({"new0", "new1", "new2"});
        StdoutCapture capture;
        flasher->selectUsartConnectParameters(2);
        QCOMPARE(capture.finish(), portList({"new0", "new1", "new2"}));
        QCOMPARE(fakeprog::callNames(), std::vector<std::string>{"getUsartList"});
        QCOMPARE(selectedPort(), QString("/dev/ttyACM0"));
        QCOMPARE(QString(flasher->getUsartConnectParameters()[0].portName), QString("new0"));
    }

    // The fake frees and poisons a released list, so a read of it fails under the sanitizer
    // and shows as a garbage port name without it.
    void selectionAfterReleaseRescansFirst()
    {
        flasher->deleteUsartInterfaceList();
        QCOMPARE(fakeprog::callNames(), std::vector<std::string>{"deleteInterfaceList"});
        QCOMPARE(flasher->getUsartListFlag(), 3);

        fakeprog::setPorts({"late0", "late1"});
        fakeprog::clearCalls();
        {
            StdoutCapture quiet;
            flasher->selectUsartConnectParameters(1);
        }
        QCOMPARE(fakeprog::callNames(), std::vector<std::string>{"getUsartList"});
        QCOMPARE(selectedPort(), QString("late1"));
    }

    void selectionAfterReleaseNeedsValidIndex()
    {
        {
            StdoutCapture quiet;
            flasher->selectUsartConnectParameters(2);
        }
        flasher->deleteUsartInterfaceList();
        fakeprog::setPorts({"only"});
        {
            StdoutCapture quiet;
            flasher->selectUsartConnectParameters(2);
        }
        QCOMPARE(selectedPort(), QString("/dev/ttyACM0"));
        QCOMPARE(flasher->getUsartListFlag(), 1);

        // No port at all after the release: nothing is read, nothing selected.
        flasher->deleteUsartInterfaceList();
        fakeprog::setPorts({});
        StdoutCapture capture;
        flasher->selectUsartConnectParameters(0);
        flasher->selectUsartConnectParameters(0);
        QCOMPARE(capture.finish(), QByteArray("NO Serial Port available\nNO Serial Port available\n"));
        QCOMPARE(flasher->getUsartListFlag(), 0);
        QCOMPARE(selectedPort(), QString("/dev/ttyACM0"));
    }

    void emptyScanKeepsSelection()
    {
        fakeprog::setPorts({});
        StdoutCapture capture;
        QCOMPARE(flasher->refreshUsartList(), 0);
        QCOMPARE(capture.finish(), QByteArray("NO Serial Port available\n"));
        QCOMPARE(flasher->getUsartListFlag(), 0);
        fakeprog::clearCalls();
        flasher->selectUsartConnectParameters(0);
        QCOMPARE(fakeprog::callNames(), std::vector<std::string>());
        QCOMPARE(selectedPort(), QString("/dev/ttyUSB0"));
    }

    void failedConnectDisconnectsSilently_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("no answer") << -2;
        QTest::newRow("port open") << -3;
        QTest::newRow("positive") << 7;
    }
    void failedConnectDisconnectsSilently()
    {
        QFETCH(int, code);
        fakeprog::setConnectResult(code);
        fakeprog::clearCalls();
        StdoutCapture capture;
        QCOMPARE(flasher->connect(), code);
        QCOMPARE(capture.finish(), QByteArray());
        QCOMPARE(fakeprog::callNames(), (std::vector<std::string>{"connectUsartBootloader", "disconnect"}));
        QVERIFY(!fakeprog::isConnected());
    }

    void connectLogsDevice()
    {
        fakeprog::clearCalls();
        StdoutCapture capture;
        QCOMPARE(flasher->connect(), 0);
        QCOMPARE(capture.finish(), CONNECTED);
        QCOMPARE(fakeprog::callNames(), (std::vector<std::string>{"connectUsartBootloader", "getDeviceGeneralInf"}));
        QVERIFY(fakeprog::isConnected());
        flasher->disconnectUARTInterface();
        QVERIFY(!fakeprog::isConnected());
    }

    // A device name that fills its field without a terminator stops at the field's end.
    void unterminatedDeviceNameStaysInItsField()
    {
        generalInf info = fakeprog::defaultDeviceInfo();
        std::memset(info.name, 'N', sizeof info.name);
        std::strcpy(info.series, "SERIES");
        fakeprog::setDeviceInfo(info);
        StdoutCapture capture;
        QCOMPARE(flasher->connect(), 0);
        const QByteArray text = capture.finish();
        flasher->disconnectUARTInterface();
        QVERIFY2(text.contains("\nDevice name : " + QByteArray(100, 'N') + " \nDevice type : MCU "), text.constData());
    }

    void keyReads()
    {
        std::vector<unsigned char> keys;
        for (unsigned char i = 0; i < 32; ++i)
            keys.push_back(static_cast<unsigned char>(0xA0 + i));
        fakeprog::setMemory(0x080007E0, keys);
        fakeprog::setMemory(0x08000800, {0x00, 0x80, 0x00, 0x20});
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), 0);
        }
        fakeprog::clearCalls();

        unsigned char* data = nullptr;
        QCOMPARE(flasher->readDevEUI(&data), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 8), QByteArray::fromHex("a0a1a2a3a4a5a6a7"));
        QCOMPARE(flasher->readJoinEUI(&data), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 8), QByteArray::fromHex("a8a9aaabacadaeaf"));
        QCOMPARE(flasher->readAppKey(&data), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 16),
                 QByteArray::fromHex("b0b1b2b3b4b5b6b7b8b9babbbcbdbebf"));
        QCOMPARE(flasher->readFirmware(&data), 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(data), 4), QByteArray::fromHex("00800020"));
        QCOMPARE(static_cast<unsigned char>(data[255]), static_cast<unsigned char>(0xFF));

        std::vector<std::string> args;
        for (const auto& call : fakeprog::calls())
            args.push_back(call.name + "(" + call.args + ")");
        QCOMPARE(args, (std::vector<std::string>{"readMemory(0x080007e0, 8)", "readMemory(0x080007e8, 8)",
                                                 "readMemory(0x080007f0, 16)", "readMemory(0x08000800, 256)"}));

        fakeprog::setReadResult(-9);
        unsigned char sentinel = 0;
        data = &sentinel;
        QCOMPARE(flasher->readDevEUI(&data), -9);
        QCOMPARE(data, &sentinel);
        flasher->disconnectUARTInterface();
    }

    void flashPassesFlagsAndEmitsResult_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("success") << 0;
        QTest::newRow("write or verify") << -10;
        QTest::newRow("upload") << -6;
    }
    void flashPassesFlagsAndEmitsResult()
    {
        QFETCH(int, code);
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), 0);
        }
        fakeprog::clearCalls();
        fakeprog::setDownloadResult(code);
        QSignalSpy results(flasher, &UART_Flasher::firmwareResult);
        QCOMPARE(flasher->flashFirmware(L"/cache/vorna/app_v2.hex"), code);
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.at(0).at(0).toInt(), code);

        const auto downloads = fakeprog::downloads();
        QCOMPARE(downloads.size(), std::size_t(1));
        QVERIFY(downloads[0].path == L"/cache/vorna/app_v2.hex");
        QCOMPARE(downloads[0].address, 0x08000800u);
        QCOMPARE(downloads[0].skipErase, 0u);
        QCOMPARE(downloads[0].verify, 1u);
        QVERIFY(downloads[0].binPath.empty());
        QVERIFY(!downloads[0].binPathWasNull);
        flasher->disconnectUARTInterface();
    }

    // The download runs on a pool thread; its reports reach the receiver queued, on the
    // receiver's thread, once per connection.
    void progressIsQueuedToReceiverOncePerConnection()
    {
        ProgressReceiver receiver;
        flasher->connectParent(&receiver);
        flasher->connectParent(&receiver);
        flasher->connectParent(nullptr);

        fakeprog::setDownloadProgress({{0, 100}, {40, 100}, {100, 100}});
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), 0);
        }
        fakeprog::clearCalls();
        int result = -1;
        runJobOnPool(result);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(result, 0);
        // Nothing arrives before this thread runs its event loop.
        QVERIFY(receiver.reports.isEmpty());

        QTRY_COMPARE(receiver.reports.size(), 6);
        const QList<QPair<int, int>> expected{{0, 100}, {0, 100}, {40, 100}, {40, 100}, {100, 100}, {100, 100}};
        QCOMPARE(receiver.reports, expected);
        for (QThread* thread : receiver.threads)
            QCOMPARE(thread, QThread::currentThread());

        // On the receiver's own thread the report is delivered at once.
        receiver.reports.clear();
        UART_Flasher::firmwareProgress(7, 9);
        QCOMPARE(receiver.reports, (QList<QPair<int, int>>{{7, 9}, {7, 9}}));
        flasher->disconnectUARTInterface();
    }

    // The cause kept for the window: the library's last error message of the operation that
    // failed; each operation starts without one.
    void causeOfAFailedConnect()
    {
        fakeprog::setConnectMessages({{Warning, L"slow adapter"},
                                      {Error, L"Serial port error: no such port"},
                                      {Error, L"No answer to the sync: the module is not in bootloader mode"},
                                      {Info, L"retrying later"}});
        fakeprog::setConnectResult(-2);
        StdoutCapture capture;
        QCOMPARE(flasher->connect(), -2);
        // The console still gets every message.
        QVERIFY(capture.finish().contains("slow adapter\nSerial port error: no such port\n"));
        QCOMPARE(flasher->lastErrorMessage(), QString("No answer to the sync: the module is not in bootloader mode"));

        fakeprog::setConnectMessages({});
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), -2);
        }
        QCOMPARE(flasher->lastErrorMessage(), QString());
    }

    // The job's messages come from the pool thread; the cause is read on this one. An error
    // from before the job (here from the connect) is not the job's cause.
    void causeOfAFailedJobCrossesThreads_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("withMessage");
        QTest::addColumn<QString>("cause");
        QTest::newRow("-10 with message") << -10 << true << "Verification failed at 0x08000900: read 0x00, expected 0xA5";
        QTest::newRow("-6 without message") << -6 << false << QString();
    }
    void causeOfAFailedJobCrossesThreads()
    {
        QFETCH(int, code);
        QFETCH(bool, withMessage);
        QFETCH(QString, cause);
        fakeprog::setConnectMessages({{Error, L"stale: a read at connect failed"}});
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), 0);
        }
        fakeprog::setConnectMessages({});
        QCOMPARE(flasher->lastErrorMessage(), QString("stale: a read at connect failed"));

        std::vector<std::pair<int, std::wstring>> messages{{Info, L"Downloading app.hex"}};
        if (withMessage)
            messages.push_back({Error, cause.toStdWString()});
        messages.push_back({GreenInfo, L"done"});
        fakeprog::setDownloadMessages(messages);
        fakeprog::setDownloadResult(code);
        fakeprog::clearCalls();
        StdoutCapture quiet;
        int result = -1;
        runJobOnPool(result);
        if (QTest::currentTestFailed())
            return;
        quiet.finish();
        QCOMPARE(result, code);
        QCOMPARE(flasher->lastErrorMessage(), cause);
        flasher->disconnectUARTInterface();
    }

    void executeStartsApplication()
    {
        {
            StdoutCapture quiet;
            QCOMPARE(flasher->connect(), 0);
        }
        fakeprog::clearCalls();
        fakeprog::setExecuteResult(-6);
        QCOMPARE(flasher->executeApplication(), -6);
        fakeprog::setExecuteResult(0);
        const auto calls = fakeprog::calls();
        QCOMPARE(calls.size(), std::size_t(1));
        QCOMPARE(calls[0].name, std::string("execute"));
        QCOMPARE(calls[0].args, std::string("0x08000800"));
    }
};

int runFlasherTests(int argc, char** argv)
{
    FlasherTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_flasher.moc"
