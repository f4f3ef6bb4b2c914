// Pictures of the window in its states against a simulator with wire timing:
//   e2e_shots OUTPUT_DIR [de]
// idle, connected, flashing (bar part-way), finished-ok, finished-error (window and box),
// and the error boxes with the library's cause: a refused write, a file linked at the flash
// start, a module that stops answering before Flash. "de" installs the German catalogue.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <memory>

#include "../view/modal_driver.h"
#include "e2e_support.h"
#include "mainwindow.h"

namespace {

QString outDir;

bool save(const QPixmap& picture, const char* name)
{
    const QString path = outDir + "/" + QString::fromLatin1(name) + ".png";
    const bool ok = picture.save(path);
    std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
    return ok;
}

template <typename T>
T* child(QWidget* w, const char* name)
{
    return w->findChild<T*>(QString::fromLatin1(name));
}

bool waitFor(const std::function<bool()>& condition, int ms)
{
    return QTest::qWaitFor(condition, ms);
}

// Runs action, which must open an error box; the box is left up a moment, pictured on the
// screen with the window behind it and on its own, then closed with OK.
bool shootBox(const char* name, const std::function<void()>& action)
{
    QTimer poll;
    QElapsedTimer shown;
    bool saved = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || saved)
                continue;
            if (!shown.isValid())
                shown.start();
            if (shown.elapsed() < 500)
                return;
            saved = save(box->screen()->grabWindow(0), name);
            saved &= save(box->grab(), (QByteArray(name) + "-box").constData());
            std::printf("box: %s / %s / %s (%dx%d)\n", qPrintable(box->windowTitle()), qPrintable(box->text()),
                        qPrintable(box->informativeText()), box->width(), box->height());
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll.start(20);
    action();
    return waitFor([&] { return saved; }, 60000);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: e2e_shots OUTPUT_DIR\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    QStandardPaths::setTestModeEnabled(true);
    if (QFontDatabase::addApplicationFont(QStringLiteral(":/FontAwesome.otf")) < 0)
        return 1;
    QTranslator german;
    if (argc > 2 && QByteArray(argv[2]) == "de") {
        if (!german.load(QStringLiteral(":/german.qm")))
            return 1;
        app.installTranslator(&german);
    }

    QTemporaryDir dir;
    const QString hex = dir.filePath("sample-firmware.hex");
    if (!e2e::makeHex(e2e::pattern(40 * 1024), 0x08000800u, dir.filePath("sample.bin"), hex))
        return 1;
    const QString link = dir.filePath("vorna-port");

    auto sim = std::make_unique<e2e::Simulator>();
    if (sim->start({ "--link", link, "--baud", "115200", "--quiet" }).isEmpty())
        return 1;
    qputenv("VBF_EXTRA_PORTS", link.toLocal8Bit());

    auto window = std::make_unique<MainWindow>();
    window->show();
    auto status = [&] { return child<QPushButton>(window.get(), "successIconLbl")->text(); };
    auto modals = std::make_unique<ModalDriver>(status);
    auto* ports = child<QComboBox>(window.get(), "comPortComboBox");
    const int index = ports->findText(link);
    ports->setCurrentIndex(index);
    emit ports->activated(index);
    QTest::qWait(500);
    bool ok = save(window->grab(), "1-idle");

    QTest::mouseClick(child<QPushButton>(window.get(), "connectBtn"), Qt::LeftButton);
    QTest::qWait(300);
    ok &= save(window->grab(), "2-connected");

    modals->answerFileDialog(hex);
    QTest::mouseClick(child<QPushButton>(window.get(), "openBtn"), Qt::LeftButton);
    QTest::qWait(300);
    QTest::mouseClick(child<QPushButton>(window.get(), "flashBtn"), Qt::LeftButton);
    auto* bar = child<QProgressBar>(window.get(), "flashProgressBar");
    ok &= waitFor([&] { return bar->value() >= 35; }, 60000);
    ok &= save(window->grab(), "3-flashing");
    ok &= waitFor([&] { return status() == QString(QChar(0xF00C)) || status() == QString(QChar(0xF00D)); }, 120000);
    QTest::qWait(300);
    ok &= save(window->grab(), "4-finished-ok");

    // A module that refuses a write: the same port, a new simulator behind it.
    sim->stop();
    sim = std::make_unique<e2e::Simulator>();
    if (sim->start({ "--link", link, "--quiet", "--fault-nack-write", "3" }).isEmpty())
        return 1;
    modals.reset();
    auto* flashBtn = child<QPushButton>(window.get(), "flashBtn");
    ok &= shootBox("6-error-box", [&] { QTest::mouseClick(flashBtn, Qt::LeftButton); });
    QTest::qWait(300);
    ok &= save(window->grab(), "5-finished-error");

    // A file linked at the flash start instead of the application start.
    const QString atFlashStart = dir.filePath("linked-at-flash-start.hex");
    if (!e2e::makeHex(e2e::pattern(4096), 0x08000000u, dir.filePath("start.bin"), atFlashStart))
        return 1;
    modals = std::make_unique<ModalDriver>(status);
    modals->answerFileDialog(atFlashStart);
    QTest::mouseClick(child<QPushButton>(window.get(), "openBtn"), Qt::LeftButton);
    QTest::qWait(300);
    modals.reset();
    ok &= shootBox("7-box-file-at-flash-start", [&] { QTest::mouseClick(flashBtn, Qt::LeftButton); });

    // A module that stops answering before Flash: the link cannot be opened.
    sim->stop();
    sim = std::make_unique<e2e::Simulator>();
    if (sim->start({ "--link", link, "--quiet", "--fault-stop-after", "0" }).isEmpty())
        return 1;
    ok &= shootBox("8-box-no-answer", [&] { QTest::mouseClick(flashBtn, Qt::LeftButton); });
    QTest::qWait(300);
    ok &= save(window->grab(), "9-failed-link-at-flash");

    window.reset();
    sim->stop();
    return ok ? 0 : 1;
}
