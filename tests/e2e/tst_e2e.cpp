// Connect, open and flash through the window with our programming library, against the
// simulated module; the simulator's flash afterwards holds the image and the identifiers.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "../view/modal_driver.h"
#include "e2e_support.h"
#include "mainwindow.h"

namespace {

const QString checkMark = QString(QChar(0xF00C));
const QString cross = QString(QChar(0xF00D));
// What the simulator holds when it is given no identifiers.
const QString demoDevEui = QStringLiteral("70b3d57ed005a1b2");
const QString demoJoinEui = QStringLiteral("70b3d57ed0000001");
const QString demoAppKey = QStringLiteral("2b7e151628aed2a6abf7158809cf4f3c");
// Bootloader commands of the Connect step (identification, the unique ID and the three key reads), and a
// count that ends inside the write of the test image after the second connect and the erase.
const int kConnectCommands = 16;
const int kStopInWrite = 58;

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ModalDriver> modals;
    e2e::Simulator sim;
    QString hexPath;
    QByteArray image;

    template <typename T>
    T* w(const char* name)
    {
        T* c = window->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no widget %s", name);
        return c;
    }

    QString status() { return window ? w<QPushButton>("successIconLbl")->text() : QString(); }

    // Simulator on a link under the temporary folder, window built afterwards so that its
    // port list has the link; the simulated port is chosen and connected.
    bool startAndConnect(const QStringList& faults)
    {
        const QString link = dir.filePath("module-port");
        const QString pty = sim.start(QStringList { "--link", link, "--dump", dir.filePath("flash.bin"), "--log",
                                                    dir.filePath("sim.log"), "--quiet", "--idle-timeout", "60" }
                                      + faults);
        if (pty.isEmpty())
            return false;
        qputenv("VBF_EXTRA_PORTS", link.toLocal8Bit());
        window = std::make_unique<MainWindow>();
        window->show();
        modals = std::make_unique<ModalDriver>([this] { return status(); });
        modals->warningShown = [this] { return window && !w<QLabel>("disconnectWarning")->isHidden(); };

        auto* ports = w<QComboBox>("comPortComboBox");
        const int index = ports->findText(link);
        if (index < 0) {
            qWarning("port list lacks %s", qPrintable(link));
            return false;
        }
        ports->setCurrentIndex(index);
        emit ports->activated(index);
        QTest::mouseClick(w<QPushButton>("connectBtn"), Qt::LeftButton);
        return w<QPushButton>("connectBtn")->text() == QStringLiteral("Disconnect");
    }

    bool flashAndWait(const QString& file = QString())
    {
        modals->answerFileDialog(file.isEmpty() ? hexPath : file);
        QTest::mouseClick(w<QPushButton>("openBtn"), Qt::LeftButton);
        if (!w<QPushButton>("flashBtn")->isEnabled())
            return false;
        QTest::mouseClick(w<QPushButton>("flashBtn"), Qt::LeftButton);
        return QTest::qWaitFor([this] { return status() == checkMark || status() == cross; }, 60000);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(dir.isValid());
        // Not a multiple of the write unit, so the last piece is padded.
        image = e2e::pattern(20003);
        hexPath = dir.filePath("app.hex");
        QVERIFY(e2e::makeHex(image, 0x08000800u, dir.filePath("app.bin"), hexPath));
    }

    void cleanup()
    {
        window.reset();
        modals.reset();
        sim.stop();
        QFile::remove(dir.filePath("flash.bin"));
        QFile::remove(dir.filePath("sim.log"));
        qunsetenv("VBF_SIM_PTY");
        qunsetenv("VBF_SIM_CONTROL");
    }

    void flashesTheImageAndKeepsTheIdentifiers()
    {
        QVERIFY(startAndConnect({}));
        QCOMPARE(w<QLineEdit>("devEUI")->text(), demoDevEui);
        QCOMPARE(w<QLineEdit>("joinEUI")->text(), demoJoinEui);
        QCOMPARE(w<QLineEdit>("appKey")->text(), demoAppKey);

        QVERIFY(flashAndWait());
        QCOMPARE(status(), checkMark);
        QVERIFY(modals->boxes.isEmpty());

        window.reset();  // closes the link
        QVERIFY(sim.stop());
        QFile dump(dir.filePath("flash.bin"));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QByteArray flash = dump.readAll();
        QVERIFY(flash.size() >= 0x800 + image.size());
        QCOMPARE(flash.mid(0x800, image.size()), image);
        QCOMPARE(flash.mid(0x7E0, 32).toHex(), (demoDevEui + demoJoinEui + demoAppKey).toLatin1());

        QFile log(dir.filePath("sim.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY2(log.readAll().contains("guarded-area: none"), "a write or erase touched the guarded area");
    }

    // Each failure during the flash: the box by its code, and the library's sentence for it
    // as the informative text (its exact wording is the library's; the facts must be in it).
    void failedFlashTellsTheCause_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("linkedAtFlashStart");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("facts");
        const QString writeText = QStringLiteral("Unable to flash/verify the base module. Please reconnect and retry.");
        const QString uploadText = QStringLiteral("The firmware file could not be uploaded");
        QTest::newRow("refused write") << QStringList { "--fault-nack-write", "3" } << false
                                       << "Memory write failure" << writeText
                                       << QStringList { "write", "0x08000A00" };
        QTest::newRow("corrupt read-back") << QStringList { "--fault-corrupt-read", "0x08001234" } << false
                                           << "Memory write failure" << writeText
                                           << QStringList { "Verification failed", "0x08001234" };
        QTest::newRow("module stops answering") << QStringList { "--fault-stop-after", QString::number(kStopInWrite) }
                                                << false << "Flash Error" << uploadText
                                                << QStringList { "write" };
        QTest::newRow("file linked at 0x08000000") << QStringList {} << true << "Flash Error" << uploadText
                                                   << QStringList { "flash-start.hex", "0x08000000", "0x08000800" };
    }
    void failedFlashTellsTheCause()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, linkedAtFlashStart);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QStringList, facts);
        QString file;
        if (linkedAtFlashStart) {
            file = dir.filePath("flash-start.hex");
            QVERIFY(e2e::makeHex(e2e::pattern(4096), 0x08000000u, dir.filePath("flash-start.bin"), file));
        }
        QVERIFY(startAndConnect(faults));
        QVERIFY(flashAndWait(file));
        QCOMPARE(status(), cross);
        QTRY_COMPARE_WITH_TIMEOUT(modals->boxes.size(), 1, 3000);
        const BoxRecord box = modals->boxes[0];
        QCOMPARE(box.title, title);
        QCOMPARE(box.text, text);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QList<QMessageBox::StandardButton> { QMessageBox::Ok });
        for (const QString& fact : facts)
            QVERIFY2(box.informativeText.contains(fact, Qt::CaseInsensitive),
                     qPrintable(box.informativeText + " lacks " + fact));
        QCOMPARE(box.informativeFormat, Qt::PlainText);
        // A command met by silence names no address: none was sent yet.
        QVERIFY2(!box.informativeText.contains("0x00000000"), qPrintable(box.informativeText));
        QVERIFY(w<QPushButton>("flashBtn")->isEnabled());
    }

    // The module answered at Connect and is silent at Flash: the box tells why, and the
    // window shows a failed flash rather than "Programming...".
    void failedLinkAtFlash()
    {
        QVERIFY(startAndConnect({ "--fault-stop-after", QString::number(kConnectCommands) }));
        QCOMPARE(w<QLineEdit>("appKey")->text(), demoAppKey);
        modals->answerFileDialog(hexPath);
        QTest::mouseClick(w<QPushButton>("openBtn"), Qt::LeftButton);
        QTest::mouseClick(w<QPushButton>("flashBtn"), Qt::LeftButton);
        QCOMPARE(modals->boxes.size(), 1);
        const BoxRecord box = modals->boxes[0];
        QCOMPARE(box.title, QStringLiteral("Connection Error"));
        QCOMPARE(box.text, QStringLiteral("The COM port connection could not be established"));
        QVERIFY2(box.informativeText.contains("bootloader mode"), qPrintable(box.informativeText));
        QVERIFY(!box.warningWhenShown);
        QCOMPARE(status(), cross);
        QCOMPARE(w<QPushButton>("successIconLbl")->styleSheet(), QStringLiteral("color:#FF2B16; font: 16px;"));
        QCOMPARE(w<QProgressBar>("flashProgressBar")->styleSheet(), QStringLiteral("background-color: transparent;"));
        QVERIFY(w<QLabel>("disconnectWarning")->isHidden());
        QVERIFY(w<QPushButton>("flashBtn")->isEnabled());
        QVERIFY(w<QPushButton>("connectBtn")->isEnabled());
    }

    void connectsToAModuleWhoseResetHangsOnDtr()
    {
        // The system asserts DTR when the port opens; wired to NRST that holds the module in
        // reset until the lines are put into their idle state. The preload library this test
        // runs under hands the port's modem lines to the simulator.
        const QString control = dir.filePath("module.ctl");
        qputenv("VBF_SIM_PTY", dir.filePath("module-port").toLocal8Bit());
        qputenv("VBF_SIM_CONTROL", control.toLocal8Bit());
        QVERIFY(startAndConnect({"--wiring", "direct", "--control", control}));
        QCOMPARE(w<QLineEdit>("devEUI")->text(), demoDevEui);
        QVERIFY(flashAndWait());
        QCOMPARE(status(), checkMark);
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_e2e.moc"
