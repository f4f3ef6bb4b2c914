// The main window's three steps against the fake programming library: the controls in each
// state, every transition, the error boxes, progress and the flash job on the pool thread.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>
#include <stdexcept>
#include <thread>

#include "DisplayManager.h"
#include "UART_Flasher.h"
#include "fakeprog.h"
#include "mainwindow.h"
#include "modal_driver.h"

namespace {

const QString checkMark = QString(QChar(0xF00C));
const QString cross = QString(QChar(0xF00D));
const QString SUCCESS_STYLE = QStringLiteral("color:#22BA3D; font: 16px;");
const QString ERROR_STYLE = QStringLiteral("color:#FF2B16; font: 16px;");
const QString FLASH_STYLE = QStringLiteral("background-color: transparent;");

const QString devEuiText = QStringLiteral("70b3d57ed005a1b2");
const QString joinEuiText = QStringLiteral("00010a0b0cd0e0f0");
const QString appKeyText = QStringLiteral("2b7e151628aed2a6abf7158809cf4f3c");

// Where the window keeps its copy of the chosen file: the machine-wide program-data folder
// on Windows, the user's configuration folder elsewhere.
QString copyFolder()
{
#if defined(Q_OS_WIN)
    return QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation).value(1);
#else
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
#endif
}

std::vector<unsigned char> bytesOf(const QString& hex)
{
    const QByteArray raw = QByteArray::fromHex(hex.toLatin1());
    return std::vector<unsigned char>(raw.begin(), raw.end());
}

enum class State { Idle, Connected, FileChosen, Flashing, FinishedOk, FinishedError };

} // namespace

class WorkflowTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ModalDriver> modals;
    displayCallBacks libraryCallbacks {};
    QTemporaryDir files;
    QString firmware;  // a file the dialog can take
    bool anyDialogSeen = false;

    template <typename T>
    T* w(const char* name)
    {
        T* c = window->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no widget %s", name);
        return c;
    }

    QString status() { return window ? w<QPushButton>("successIconLbl")->text() : QString(); }

    void buildWindow()
    {
        window.reset();
        window = std::make_unique<MainWindow>();
        window->show();
    }

    QString makeFile(const QString& name, const QByteArray& content = ":00000001FF\n")
    {
        const QString path = files.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // Every control of the state table; returns what differs.
    QStringList mismatches(State s, const QString& name = QStringLiteral("firmware.hex"))
    {
        QStringList out;
        auto expect = [&out](const char* what, const QVariant& got, const QVariant& want) {
            if (got != want)
                out << QStringLiteral("%1: got '%2', want '%3'").arg(what, got.toString(), want.toString());
        };
        const bool idle = s == State::Idle;
        const bool flashing = s == State::Flashing;
        const bool fileTaken = s != State::Idle && s != State::Connected;
        auto* connectBar = w<QProgressBar>("connectProgressBar");
        auto* openBar = w<QProgressBar>("openProgressBar");
        auto* icon = w<QPushButton>("successIconLbl");

        expect("connectBtn text", w<QPushButton>("connectBtn")->text(), idle ? "Connect" : "Disconnect");
        expect("connectBtn on", w<QPushButton>("connectBtn")->isEnabled(), !flashing);
        expect("comPortComboBox on", w<QComboBox>("comPortComboBox")->isEnabled(), idle);
        expect("refreshBtn on", w<QPushButton>("refreshBtn")->isEnabled(), !flashing);
        expect("connectProgressBar", connectBar->value(), idle ? 0 : connectBar->maximum());
        expect("devEUI", w<QLineEdit>("devEUI")->text(), idle ? QString() : devEuiText);
        expect("joinEUI", w<QLineEdit>("joinEUI")->text(), idle ? QString() : joinEuiText);
        expect("appKey", w<QLineEdit>("appKey")->text(), idle ? QString() : appKeyText);
        if (flashing)
            expect("devEUI selection", w<QLineEdit>("devEUI")->hasSelectedText(), false);
        expect("openBtn on", w<QPushButton>("openBtn")->isEnabled(), !idle && !flashing);
        expect("openProgressBar", openBar->value(), fileTaken ? openBar->maximum() : 0);
        expect("fileDescriptionLbl", w<QLabel>("fileDescriptionLbl")->text(), fileTaken ? name : QString());
        expect("flashBtn on", w<QPushButton>("flashBtn")->isEnabled(), fileTaken && !flashing);
        if (s == State::Idle || s == State::Connected || s == State::FileChosen)
            expect("flashProgressBar", w<QProgressBar>("flashProgressBar")->value(), 0);
        expect("successIconLbl on", icon->isEnabled(), false);
        const QString text = s == State::FinishedOk      ? checkMark
                             : s == State::FinishedError ? cross
                             : flashing                  ? icon->text()
                                                         : QStringLiteral("...");
        expect("successIconLbl text", icon->text(), text);
        if (flashing && icon->text() != "Programming..." && icon->text() != "Verifying...")
            out << "successIconLbl text during a flash: " + icon->text();
        expect("successIconLbl style", icon->styleSheet(),
               s == State::FinishedOk ? SUCCESS_STYLE : s == State::FinishedError ? ERROR_STYLE : QString());
        expect("disconnectWarning shown", !w<QLabel>("disconnectWarning")->isHidden(), flashing);
        expect("serial link open", fakeprog::isConnected(), flashing);
        return out;
    }

    void connect()
    {
        QTest::mouseClick(w<QPushButton>("connectBtn"), Qt::LeftButton);
    }

    void openFile(const QString& path)
    {
        const bool first = !anyDialogSeen;
        modals->answerFileDialog(path);
        QTest::mouseClick(w<QPushButton>("openBtn"), Qt::LeftButton);
        anyDialogSeen = anyDialogSeen || !modals->fileDialogs.isEmpty();
        // The start folder lives for the process: the very first dialog opens at home.
        if (first && anyDialogSeen)
            QCOMPARE(QDir(modals->fileDialogs.first().directory), QDir::home());
    }

    void flash()
    {
        QTest::mouseClick(w<QPushButton>("flashBtn"), Qt::LeftButton);
    }

    bool waitForResult()
    {
        return QTest::qWaitFor([this] {
            return status() == checkMark || status() == cross;
        }, 5000);
    }

    // Connected with a file taken.
    void toFileChosen()
    {
        connect();
        openFile(firmware);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(files.isValid());
        firmware = makeFile(QStringLiteral("firmware.hex"));
        // The flasher registers the library's callbacks once per process; the fake forgets
        // them on each reset, so they are put back from here.
        UART_Flasher::getInstance();
        libraryCallbacks = fakeprog::registeredCallbacks();
        QVERIFY(libraryCallbacks.loadBar != nullptr);
    }

    void init()
    {
        fakeprog::reset();
        setDisplayCallbacks(libraryCallbacks);
        fakeprog::setPorts({ "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0" });
        fakeprog::setMemory(0x080007E0, bytesOf(devEuiText + joinEuiText + appKeyText));
        fakeprog::clearCalls();
        modals = std::make_unique<ModalDriver>([this] { return status(); });
        modals->warningShown = [this] { return window && !w<QLabel>("disconnectWarning")->isHidden(); };
        buildWindow();
    }

    void cleanup()
    {
        fakeprog::releaseDownloads();
        window.reset();
        QCOMPARE(modals->unexpectedFileDialogs, 0);
        modals.reset();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(5000));
    }

    void startsIdleWithThePortList()
    {
        QVERIFY2(mismatches(State::Idle).isEmpty(), qPrintable(mismatches(State::Idle).join('\n')));
        auto* box = w<QComboBox>("comPortComboBox");
        QCOMPARE(box->count(), 3);
        QCOMPARE(box->itemText(2), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(QString::fromStdString(fakeprog::loadersPath()), QStringLiteral("./."));
        // The first port is the one a connect uses.
        connect();
        QCOMPARE(fakeprog::connectRecords().size(), size_t(1));
        QCOMPARE(QString::fromLatin1(fakeprog::connectRecords()[0].portName), QStringLiteral("/dev/ttyUSB0"));
    }

    void portNamesComeFromTheWholeField()
    {
        usartConnectParameters full {};
        std::memset(full.portName, 'x', sizeof full.portName);  // 100 bytes, no NUL at all
        usartConnectParameters utf8 {};
        std::strcpy(utf8.portName, "/dev/tty\xC3\x9C" "1");
        fakeprog::setPortRecords({ full, utf8 });
        buildWindow();
        auto* box = w<QComboBox>("comPortComboBox");
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QString(100, QLatin1Char('x')));
        QCOMPARE(box->itemText(1), QString::fromUtf8("/dev/tty\xC3\x9C" "1"));

        fakeprog::setPorts({});
        buildWindow();
        QCOMPARE(w<QComboBox>("comPortComboBox")->count(), 0);
        QVERIFY(mismatches(State::Idle).isEmpty());
    }

    void connectShowsTheKeysAndClosesTheLink()
    {
        connect();
        QVERIFY2(mismatches(State::Connected).isEmpty(), qPrintable(mismatches(State::Connected).join('\n')));
        QVERIFY(modals->boxes.isEmpty());
        std::vector<std::string> reads;
        for (const auto& c : fakeprog::calls())
            if (c.name == "readMemory")
                reads.push_back(c.args);
        QCOMPARE(reads, (std::vector<std::string> { "0x080007e0, 8", "0x080007e8, 8", "0x080007f0, 16" }));
        QCOMPARE(fakeprog::callNames().back(), std::string("disconnect"));
    }

    void failedReadsShowNoKey()
    {
        fakeprog::setReadResult(-9);
        connect();
        QCOMPARE(w<QLineEdit>("devEUI")->text(), QString());
        QCOMPARE(w<QLineEdit>("joinEUI")->text(), QString());
        QCOMPARE(w<QLineEdit>("appKey")->text(), QString());
        QCOMPARE(w<QPushButton>("connectBtn")->text(), QStringLiteral("Disconnect"));
    }

    void failedConnectChangesNothingAndCanBeRetried()
    {
        fakeprog::queueConnectResults({ -2 });
        connect();
        QCOMPARE(modals->boxes.size(), 1);
        const BoxRecord box = modals->boxes.first();
        QCOMPARE(box.title, QStringLiteral("Connection Error"));
        QCOMPARE(box.text, QStringLiteral("The COM port connection could not be established"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButton> { QMessageBox::Ok });
        QVERIFY(!box.hasDefaultButton);
        QCOMPARE(box.parent, window.get());
        QCOMPARE(box.informativeText, QString());
        QVERIFY(mismatches(State::Idle).isEmpty());
        QCOMPARE(fakeprog::callCount("readMemory"), 0);

        connect();
        QVERIFY2(mismatches(State::Connected).isEmpty(), qPrintable(mismatches(State::Connected).join('\n')));
        QCOMPARE(modals->boxes.size(), 1);
    }

    void chosenPortIsConnected()
    {
        emit w<QComboBox>("comPortComboBox")->activated(2);
        connect();
        QCOMPARE(QString::fromLatin1(fakeprog::connectRecords().back().portName), QStringLiteral("/dev/ttyACM0"));
    }

    void refreshWhileConnectedSelectsTheFirstNewPort()
    {
        toFileChosen();
        fakeprog::setPorts({ "/dev/ttyS4", "/dev/ttyS5" });
        QTest::mouseClick(w<QPushButton>("refreshBtn"), Qt::LeftButton);
        auto* box = w<QComboBox>("comPortComboBox");
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QStringLiteral("/dev/ttyS4"));
        QVERIFY(mismatches(State::FileChosen).isEmpty());
        flash();
        QVERIFY(waitForResult());
        QCOMPARE(QString::fromLatin1(fakeprog::connectRecords().back().portName), QStringLiteral("/dev/ttyS4"));
    }

    void fileDialogAndCancelling()
    {
        // An error the library reported at the connect is no cause of a cancelled dialog.
        fakeprog::setConnectMessages({ { Error, L"Reading 8 bytes at 0x080007E0 failed" } });
        connect();
        // Cancelled before any file: the box, and nothing taken.
        openFile(QString());
        QCOMPARE(modals->fileDialogs.size(), 1);
        const FileDialogRecord first = modals->fileDialogs.first();
        QCOMPARE(first.title, QStringLiteral("Select Firmware"));
        QCOMPARE(first.nameFilters, QStringList { QStringLiteral("Firmware Files (*.hex)") });
        QCOMPARE(first.parent, window.get());
        QCOMPARE(modals->boxes.size(), 1);
        QCOMPARE(modals->boxes[0].title, QStringLiteral("Unable to open empty file"));
        QCOMPARE(modals->boxes[0].text, QStringLiteral("An error has occured while opening the selected file."));
        QCOMPARE(modals->boxes[0].informativeText, QString());
        QCOMPARE(modals->boxes[0].icon, QMessageBox::Critical);
        QVERIFY(mismatches(State::Connected).isEmpty());

        openFile(firmware);
        QVERIFY2(mismatches(State::FileChosen).isEmpty(), qPrintable(mismatches(State::FileChosen).join('\n')));
        // The file is copied; the copy is what will be flashed.
        QVERIFY(modals->boxes.size() == 1);

        // Cancelled after a file: it stays taken, the status and the flash bar start over.
        w<QProgressBar>("flashProgressBar")->setValue(40);
        w<QPushButton>("successIconLbl")->setText(cross);
        w<QPushButton>("successIconLbl")->setStyleSheet(ERROR_STYLE);
        openFile(QString());
        QCOMPARE(modals->fileDialogs.size(), 3);
        QCOMPARE(QDir(modals->fileDialogs[2].directory), QDir(files.path()));
        QCOMPARE(modals->boxes.size(), 1);
        QVERIFY2(mismatches(State::FileChosen).isEmpty(), qPrintable(mismatches(State::FileChosen).join('\n')));
    }

    void longNamesAreCut_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("shown");
        const QString base69 = QString(65, QLatin1Char('a'));  // plus ".hex": 69
        QTest::newRow("69") << 69 << base69 + ".hex";
        QTest::newRow("70") << 70 << QString(base69 + "b.hex").left(70) + "...";
        const QString n100 = QString(96, QLatin1Char('c')) + ".hex";
        QTest::newRow("100") << 100 << n100.left(70) + "...";
    }

    void longNamesAreCut()
    {
        QFETCH(int, length);
        QFETCH(QString, shown);
        const QString name = length == 69 ? QString(65, 'a') + ".hex"
                             : length == 70 ? QString(65, 'a') + "b.hex"
                                            : QString(96, 'c') + ".hex";
        QCOMPARE(name.length(), length);
        connect();
        openFile(makeFile(name));
        QCOMPARE(w<QLabel>("fileDescriptionLbl")->text(), shown);
        QVERIFY(w<QPushButton>("flashBtn")->isEnabled());
    }

    void copyThatCannotBeMadeIsNotTaken()
    {
        toFileChosen();
        // A folder under the copy's name makes the copy impossible.
        const QString cacheDir = copyFolder();
        QVERIFY(QDir().mkpath(cacheDir + "/blocked.hex"));
        openFile(makeFile("blocked.hex"));
        QDir(cacheDir + "/blocked.hex").removeRecursively();
        QCOMPARE(modals->boxes.size(), 1);
        QCOMPARE(modals->boxes[0].title, QStringLiteral("Unable to open empty file"));
        QVERIFY(!w<QPushButton>("flashBtn")->isEnabled());
        QCOMPARE(w<QLabel>("fileDescriptionLbl")->text(), QString());
        QCOMPARE(w<QProgressBar>("openProgressBar")->value(), 0);
        // No file is held now: cancelling gives the empty-file box again.
        openFile(QString());
        QCOMPARE(modals->boxes.size(), 2);
        QVERIFY(!w<QPushButton>("flashBtn")->isEnabled());
    }

    void flashRunsOnThePoolAndEndsWithTheCheckMark()
    {
        toFileChosen();
        const QString cachePath = copyFolder() + "/firmware.hex";
        QVERIFY(QFileInfo::exists(cachePath));
        fakeprog::setDownloadProgress({ { 5, 9 }, { 30, 120 }, { 90, 120 }, { 120, 120 } });
        fakeprog::holdDownloads();
        flash();
        QVERIFY(fakeprog::waitForDownloadStarted(std::chrono::milliseconds(3000)));
        QCOMPARE(status(), QStringLiteral("Programming..."));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), FLASH_STYLE);
        QVERIFY2(mismatches(State::Flashing).isEmpty(), qPrintable(mismatches(State::Flashing).join('\n')));

        // Reports arrive queued: nothing moves until the GUI thread takes its events.
        fakeprog::releaseDownloads();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(5000));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 0);
        QVERIFY(fakeprog::isConnected());

        QVERIFY(waitForResult());
        QVERIFY2(mismatches(State::FinishedOk).isEmpty(), qPrintable(mismatches(State::FinishedOk).join('\n')));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 100);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), QString());
        QVERIFY(modals->boxes.isEmpty());

        const auto downloads = fakeprog::downloads();
        QCOMPARE(downloads.size(), size_t(1));
        QVERIFY(downloads[0].thread != std::this_thread::get_id());
        QCOMPARE(QString::fromStdWString(downloads[0].path), cachePath);
        QCOMPARE(downloads[0].address, 0x08000800u);
        QCOMPARE(downloads[0].verify, 1u);
        QCOMPARE(downloads[0].skipErase, 0u);
    }

    // cause: the error message the library sends from the pool thread during the job; the
    // box shows it as its informative text, and none when there is none.
    void jobResults_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        const QString flashText = QStringLiteral("The firmware file could not be uploaded");
        QTest::newRow("-10") << -10 << "Verification failed at 0x08000A00: read 0x00, expected 0x5A"
                             << "Memory write failure"
                             << "Unable to flash/verify the base module. Please reconnect and retry.";
        QTest::newRow("-10, no cause") << -10 << QString() << "Memory write failure"
                                       << "Unable to flash/verify the base module. Please reconnect and retry.";
        QTest::newRow("-6") << -6 << "Download failed during write at 0x08001000: the bootloader stopped answering"
                            << "Flash Error" << flashText;
        QTest::newRow("-7, markup stays text") << -7 << "<b>app.hex</b>: line 2: checksum 0x00, expected 0x3C"
                                               << "Flash Error" << flashText;
        QTest::newRow("1, no cause") << 1 << QString() << "Flash Error" << flashText;
        QTest::newRow("0") << 0 << QString() << QString() << QString();
    }

    void jobResults()
    {
        QFETCH(int, result);
        QFETCH(QString, cause);
        QFETCH(QString, title);
        QFETCH(QString, text);
        // Every connect complains, the flash's own included: that is not the job's cause.
        fakeprog::setConnectMessages({ { Error, L"Flash size not readable" } });
        toFileChosen();
        std::vector<std::pair<int, std::wstring>> messages { { Info, L"Downloading firmware.hex" } };
        if (!cause.isEmpty())
            messages.push_back({ Error, cause.toStdWString() });
        messages.push_back({ Warning, L"firmware.hex: record type 5 ignored" });
        fakeprog::setDownloadMessages(messages);
        fakeprog::setDownloadResult(result);
        fakeprog::setDownloadProgress({ { 40, 100 } });
        flash();
        QVERIFY(waitForResult());
        QTRY_COMPARE_WITH_TIMEOUT(modals->boxes.size(), title.isEmpty() ? 0 : 1, 3000);
        const State end = result == 0 ? State::FinishedOk : State::FinishedError;
        QVERIFY2(mismatches(end).isEmpty(), qPrintable(mismatches(end).join('\n')));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 40);
        if (result == 0)
            return;
        const BoxRecord box = modals->boxes.first();
        QCOMPARE(box.title, title);
        QCOMPARE(box.text, text);
        QCOMPARE(box.informativeText, cause);
        if (!cause.isEmpty())
            QCOMPARE(box.informativeFormat, Qt::PlainText);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButton> { QMessageBox::Ok });
        QVERIFY(!box.hasDefaultButton);
        QCOMPARE(box.parent, window.get());
        QCOMPARE(box.statusWhenShown, cross);
        QVERIFY(!box.warningWhenShown);
        QVERIFY(fakeprog::downloads().at(0).thread != std::this_thread::get_id());
        // The bar stays transparent after a failure, also across a new file choice.
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), FLASH_STYLE);
        openFile(firmware);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), FLASH_STYLE);
        QVERIFY(w<QPushButton>("flashBtn")->isEnabled());
    }

    void jobThatThrowsIsAFailedFlash()
    {
        toFileChosen();
        QObject thrower;
        QObject::connect(UART_Flasher::getInstance(), &UART_Flasher::setFirmwareProgress, &thrower,
                         [](int, int) { throw std::runtime_error("lost"); }, Qt::DirectConnection);
        fakeprog::setDownloadProgress({ { 10, 100 } });
        flash();
        QVERIFY(waitForResult());
        QCOMPARE(status(), cross);
        QTRY_COMPARE_WITH_TIMEOUT(modals->boxes.size(), 1, 3000);
        QCOMPARE(modals->boxes[0].title, QStringLiteral("Flash Error"));
        QVERIFY(!fakeprog::isConnected());
        QVERIFY(w<QPushButton>("connectBtn")->isEnabled());
    }

    // Nothing programs when the link fails: the window shows a failed flash, not work in
    // progress, and the box says why.
    void failedLinkAtFlashIsAFailedFlash_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::newRow("library's cause")
            << "No answer to the sync after 3 attempts: the module is not in bootloader mode, this is the wrong "
               "port, or the adapter does not use even parity";
        QTest::newRow("no cause") << QString();
    }
    void failedLinkAtFlashIsAFailedFlash()
    {
        QFETCH(QString, cause);
        toFileChosen();
        w<QProgressBar>("flashProgressBar")->setValue(30);
        std::vector<std::pair<int, std::wstring>> messages { { Warning, L"adapter answers slowly" } };
        if (!cause.isEmpty())
            messages.push_back({ Error, cause.toStdWString() });
        fakeprog::setConnectMessages(messages);
        fakeprog::setConnectResult(-2);
        flash();
        QCOMPARE(modals->boxes.size(), 1);
        const BoxRecord box = modals->boxes.first();
        QCOMPARE(box.title, QStringLiteral("Connection Error"));
        QCOMPARE(box.text, QStringLiteral("The COM port connection could not be established"));
        QCOMPARE(box.informativeText, cause);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButton> { QMessageBox::Ok });
        QVERIFY(!box.hasDefaultButton);
        QCOMPARE(box.parent, window.get());
        QVERIFY(!box.warningWhenShown);
        QCOMPARE(box.statusWhenShown, cross);
        QCOMPARE(fakeprog::callCount("downloadFile"), 0);
        QVERIFY2(mismatches(State::FinishedError).isEmpty(), qPrintable(mismatches(State::FinishedError).join('\n')));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), FLASH_STYLE);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 30);

        fakeprog::setConnectMessages({});
        fakeprog::setConnectResult(0);
        flash();
        QVERIFY(waitForResult());
        QCOMPARE(status(), checkMark);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), QString());
    }

    void connectStepErrorTellsTheCause()
    {
        fakeprog::setConnectMessages({ { Error, L"Serial port error: /dev/ttyUSB0 is held by another program" },
                                       { Verbosity_1, L"Serial port closed" } });
        fakeprog::setConnectResult(-3);
        connect();
        QCOMPARE(modals->boxes.size(), 1);
        QCOMPARE(modals->boxes[0].title, QStringLiteral("Connection Error"));
        QCOMPARE(modals->boxes[0].informativeText,
                 QStringLiteral("Serial port error: /dev/ttyUSB0 is held by another program"));
        QCOMPARE(modals->boxes[0].informativeFormat, Qt::PlainText);
        QVERIFY(mismatches(State::Idle).isEmpty());
    }

    void repeatedFlashStartsWhereTheLastEnded()
    {
        toFileChosen();
        fakeprog::setDownloadProgress({ { 60, 100 } });
        flash();
        QVERIFY(waitForResult());
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 60);

        fakeprog::setDownloadProgress({ { 20, 100 } });
        fakeprog::holdDownloads();
        flash();
        QVERIFY(fakeprog::waitForDownloadStarted(std::chrono::milliseconds(3000)));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 60);
        QCOMPARE(status(), QStringLiteral("Programming..."));
        fakeprog::releaseDownloads();
        QVERIFY(waitForResult());
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 20);
        QCOMPARE(fakeprog::callCount("downloadFile"), 2);
    }

    void progress_data()
    {
        QTest::addColumn<int>("progress");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("bar");
        QTest::addColumn<bool>("verifying");
        QTest::newRow("50/200") << 50 << 200 << 25 << false;
        QTest::newRow("2/30") << 2 << 30 << 6 << false;
        QTest::newRow("29/100") << 29 << 100 << 28 << false;
        QTest::newRow("5/9 dropped") << 5 << 9 << 7 << false;
        QTest::newRow("10/10") << 10 << 10 << 100 << true;
        QTest::newRow("over the range") << 300 << 100 << 7 << false;
        QTest::newRow("below the range") << -5 << 100 << 7 << false;
        QTest::newRow("beyond int") << 2000000000 << 10 << 7 << false;
    }

    void progress()
    {
        QFETCH(int, progress);
        QFETCH(int, total);
        QFETCH(int, bar);
        QFETCH(bool, verifying);
        w<QProgressBar>("flashProgressBar")->setValue(7);
        w<QPushButton>("successIconLbl")->setText("Programming...");
        window->setFirmwareProgress(progress, total);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), bar);
        QCOMPARE(status(), verifying ? QStringLiteral("Verifying...") : QStringLiteral("Programming..."));
    }

    void disconnectAfterFlashReturnsToIdle()
    {
        toFileChosen();
        fakeprog::setDownloadResult(-10);
        flash();
        QVERIFY(waitForResult());
        QTRY_COMPARE_WITH_TIMEOUT(modals->boxes.size(), 1, 3000);
        const int disconnects = fakeprog::callCount("disconnect");
        connect();  // the button reads "Disconnect"
        QVERIFY2(mismatches(State::Idle).isEmpty(), qPrintable(mismatches(State::Idle).join('\n')));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), QString());
        QCOMPARE(fakeprog::callCount("disconnect"), disconnects + 1);
        QCOMPARE(fakeprog::callCount("deleteInterfaceList"), 1);
        QCOMPARE(w<QComboBox>("comPortComboBox")->count(), 3);

        // A port chosen now must not come from the released list (the fake poisons it).
        emit w<QComboBox>("comPortComboBox")->activated(1);
        connect();
        QCOMPARE(QString::fromLatin1(fakeprog::connectRecords().back().portName), QStringLiteral("/dev/ttyUSB1"));
        QVERIFY(mismatches(State::Connected).isEmpty());
        // The earlier file is still held: cancelling fills the open bar, Flash stays off.
        openFile(QString());
        QCOMPARE(w<QProgressBar>("openProgressBar")->value(), w<QProgressBar>("openProgressBar")->maximum());
        QVERIFY(!w<QPushButton>("flashBtn")->isEnabled());
        QCOMPARE(modals->boxes.size(), 1);
    }

    void refreshAfterDisconnect()
    {
        connect();
        connect();
        fakeprog::setPorts({ "/dev/ttyS9" });
        QTest::mouseClick(w<QPushButton>("refreshBtn"), Qt::LeftButton);
        QCOMPARE(w<QComboBox>("comPortComboBox")->count(), 1);
        connect();
        QCOMPARE(QString::fromLatin1(fakeprog::connectRecords().back().portName), QStringLiteral("/dev/ttyS9"));
    }

    void executeApplicationStartsItAndResets()
    {
        toFileChosen();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "executeApplication"));
        QCOMPARE(fakeprog::callCount("execute"), 1);
        QVERIFY(mismatches(State::Idle).isEmpty());
        QCOMPARE(fakeprog::callNames().back(), std::string("disconnect"));
    }

    void closingDuringAFlashWaitsForTheJob()
    {
        toFileChosen();
        fakeprog::setDownloadProgress({ { 50, 100 }, { 100, 100 } });
        fakeprog::holdDownloads();
        flash();
        QVERIFY(fakeprog::waitForDownloadStarted(std::chrono::milliseconds(3000)));
        const int before = fakeprog::callCount("disconnect");
        int disconnectsWhileHeld = -1;
        QTimer::singleShot(200, [&] {
            disconnectsWhileHeld = fakeprog::callCount("disconnect") - before;
            fakeprog::releaseDownloads();
        });
        window->close();
        QCOMPARE(disconnectsWhileHeld, 0);
        QCOMPARE(status(), checkMark);
        QCOMPARE(w<QProgressBar>("flashProgressBar")->value(), 100);
        QVERIFY(!fakeprog::isConnected());
    }

    void destroyingDuringAFlashWaitsForTheJob()
    {
        toFileChosen();
        fakeprog::setDownloadResult(-10);
        fakeprog::holdDownloads();
        flash();
        QVERIFY(fakeprog::waitForDownloadStarted(std::chrono::milliseconds(3000)));
        const int before = fakeprog::callCount("disconnect");
        int disconnectsWhileHeld = -1;
        QTimer::singleShot(200, [&] {
            disconnectsWhileHeld = fakeprog::callCount("disconnect") - before;
            fakeprog::releaseDownloads();
        });
        window.reset();
        QCOMPARE(disconnectsWhileHeld, 0);
        QVERIFY(!fakeprog::isConnected());
        // No box for a window that is gone.
        QTest::qWait(50);
        QVERIFY(modals->boxes.isEmpty());
    }
};

QTEST_MAIN(WorkflowTest)
#include "tst_workflow.moc"
