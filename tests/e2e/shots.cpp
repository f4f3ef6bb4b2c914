// Pictures of the window in its states against a simulator with wire timing:
//   e2e_shots OUTPUT_DIR
// idle, connected, flashing (bar part-way), finished-ok, finished-error (window and box).
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
    // The box is left up a moment and pictured with the window behind it, then closed.
    modals.reset();
    QTimer boxShot;
    QElapsedTimer shown;
    bool boxSaved = false;
    QObject::connect(&boxShot, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            if (!shown.isValid())
                shown.start();
            if (shown.elapsed() < 500)
                return;
            boxSaved = save(box->screen()->grabWindow(0), "6-error-box");
            std::printf("box: %s / %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            box->button(QMessageBox::Ok)->click();
        }
    });
    boxShot.start(20);
    QTest::mouseClick(child<QPushButton>(window.get(), "flashBtn"), Qt::LeftButton);
    ok &= waitFor([&] { return boxSaved; }, 60000);
    QTest::qWait(300);
    ok &= save(window->grab(), "5-finished-error");
    ok &= boxSaved;
    window.reset();
    sim->stop();
    return ok ? 0 : 1;
}
