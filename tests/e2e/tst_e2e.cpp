// Connect, open and flash through the window with our programming library, against the
// simulated module; the simulator's flash afterwards holds the image and the identifiers.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
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

    bool flashAndWait()
    {
        modals->answerFileDialog(hexPath);
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

    void refusedWriteIsAMemoryWriteFailure()
    {
        QVERIFY(startAndConnect({ "--fault-nack-write", "1" }));
        QVERIFY(flashAndWait());
        QCOMPARE(status(), cross);
        QTRY_COMPARE_WITH_TIMEOUT(modals->boxes.size(), 1, 3000);
        QCOMPARE(modals->boxes[0].title, QStringLiteral("Memory write failure"));
        QCOMPARE(modals->boxes[0].text,
                 QStringLiteral("Unable to flash/verify the base module. Please reconnect and retry."));
        QVERIFY(w<QPushButton>("flashBtn")->isEnabled());
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_e2e.moc"
