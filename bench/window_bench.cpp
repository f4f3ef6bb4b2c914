// Window benchmark: how fast the main window comes up, how long the GUI thread's event loop
// stalls while a flash runs through the simulated module with wire timing, and the peak
// memory. Drives the window only through its widgets, as a user would.
//
//   window-bench        (needs a display: xvfb-run -a, or QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

#include "mainwindow.h"

#ifndef VBF_MODULE_SIM
#error "VBF_MODULE_SIM must name the simulated module's program"
#endif

namespace {

constexpr int kBaud = 115200;
constexpr int kImageSize = 64 * 1024;
constexpr int kImageOffset = 0x800;  // 0x08000800 in the simulator's dump
constexpr int kKeysOffset = 0x7E0;
constexpr double kGapTargetMs = 20.0;
constexpr int kFlashTimeoutMs = 180000;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point from, Clock::time_point to = Clock::now())
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Milliseconds from the kernel's start of this process to now; negative when unknown.
// The start time comes in clock ticks (usually 10 ms).
double msSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name may hold spaces; the fields after it are plain numbers.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return -1;
    const double startSec = fields.at(19).toDouble() / double(sysconf(_SC_CLK_TCK));
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double ms = (double(now.tv_sec) + double(now.tv_nsec) * 1e-9 - startSec) * 1000.0;
    return ms >= 0 && ms < 600000 ? ms : -1;
}

double peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// A step that cannot go on; unwinding ends the simulator and removes the work folder.
struct BenchFailure {
    QString what;
};

[[noreturn]] void fail(const QString& what)
{
    throw BenchFailure{ what };
}

// Runs the event loop until done() holds, polling every few milliseconds.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.hasExpired(timeoutMs))
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Answers the window's modal dialogs: the file dialog takes the queued path, every message
// box is recorded and closed, so that no step can hang on one.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { answer(); });
        timer.start();
    }
    QString pendingFile;
    QStringList boxes;

private:
    void answer()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                boxes.append(box->windowTitle() + QStringLiteral(": ") + box->text());
                box->done(QMessageBox::Ok);
            } else if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
                if (pendingFile.isEmpty()) {
                    dialog->reject();
                } else {
                    dialog->selectFile(pendingFile);
                    pendingFile.clear();
                    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
                }
            }
        }
    }
    QTimer timer;
};

// Notes the first expose of the window and the first paint of the window's widget.
class FirstFrameWatch : public QObject
{
public:
    explicit FirstFrameWatch(QWidget* widget) : widget(widget) {}
    Clock::time_point exposed, painted;
    bool isExposed = false, isPainted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!isExposed && event->type() == QEvent::Expose && watched == widget->windowHandle() &&
            widget->windowHandle()->isExposed()) {
            exposed = Clock::now();
            isExposed = true;
        } else if (!isPainted && event->type() == QEvent::Paint && watched == widget) {
            painted = Clock::now();
            isPainted = true;
        }
        return false;
    }

private:
    QWidget* widget;
};

template <typename T>
T* child(QWidget* window, const char* name)
{
    T* w = window->findChild<T*>(QLatin1String(name));
    if (w == nullptr)
        fail(QStringLiteral("the window has no %1").arg(QLatin1String(name)));
    return w;
}

QString boxesText(const ModalAnswerer& answerer)
{
    return answerer.boxes.isEmpty() ? QStringLiteral("no message box")
                                    : QStringLiteral("message boxes: ") + answerer.boxes.join(QStringLiteral(" | "));
}

int run(int argc, char** argv, Clock::time_point mainEntered, double msToMain)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir work;
    if (!work.isValid())
        fail(QStringLiteral("no temporary folder"));
    const QString linkPath = work.filePath(QStringLiteral("port"));
    // The library lists this port next to the system's; the window reads the list when built.
    qputenv("VBF_EXTRA_PORTS", QFile::encodeName(linkPath));
    // The window's file copy goes to the configuration folder: keep the user's untouched.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.path()));
    // Qt's own file dialog, so that it can be answered from here.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);

    // Start-up as the program does it: application, icon font, catalogue, window.
    QApplication application(argc, argv);
    if (QFontDatabase::addApplicationFont(QStringLiteral(":/FontAwesome.otf")) < 0)
        fail(QStringLiteral("the icon font cannot be registered"));
    QTranslator translator;
    if (translator.load(QStringLiteral(":/german.qm"), QString(), QString(), QString()) &&
        QLocale::system().name().startsWith(QLatin1String("de")))
        application.installTranslator(&translator);

    auto window = std::make_unique<MainWindow>();
    FirstFrameWatch frame(window.get());
    application.installEventFilter(&frame);
    window->show();
    if (!waitUntil([&] { return frame.isExposed && frame.isPainted; }, 20000))
        fail(QStringLiteral("the window was never exposed and painted"));
    application.removeEventFilter(&frame);

    // The firmware: random bytes right after the identifiers' page.
    QByteArray image(kImageSize, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(image.data()), kImageSize / 4);
    const QString binPath = work.filePath(QStringLiteral("firmware.bin"));
    const QString hexPath = work.filePath(QStringLiteral("firmware.hex"));
    {
        QFile bin(binPath);
        if (!bin.open(QIODevice::WriteOnly) || bin.write(image) != image.size())
            fail(QStringLiteral("cannot write %1").arg(binPath));
    }
    if (QProcess::execute(QStringLiteral("objcopy"), { "-I", "binary", "-O", "ihex", "--change-addresses",
                                                       "0x08000800", binPath, hexPath }) != 0)
        fail(QStringLiteral("objcopy could not make the HEX file"));

    // The simulated module with wire timing, behind the link the window already lists.
    const QString dumpPath = work.filePath(QStringLiteral("flash.bin"));
    const QString logPath = work.filePath(QStringLiteral("sim.log"));
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(QStringLiteral(VBF_MODULE_SIM),
              { "--baud", QString::number(kBaud), "--link", linkPath, "--quiet", "--idle-timeout", "120",
                "--dump", dumpPath, "--log", logPath });
    if (!sim.waitForStarted(5000))
        fail(QStringLiteral("the simulated module does not start: %1").arg(sim.errorString()));
    if (!waitUntil([&] { return sim.canReadLine() && QFileInfo::exists(linkPath); }, 5000))
        fail(QStringLiteral("the simulated module printed no port"));
    const qint64 simPid = sim.processId();

    ModalAnswerer answerer;

    // Choose the port as the user does.
    auto* combo = child<QComboBox>(window.get(), "comPortComboBox");
    const int portIndex = combo->findText(linkPath);
    if (portIndex < 0)
        fail(QStringLiteral("the port %1 is not in the window's list").arg(linkPath));
    combo->setCurrentIndex(portIndex);
    emit combo->activated(portIndex);

    // Connect: runs on the GUI thread, so its whole time is a stall of the event loop.
    auto* connectBtn = child<QPushButton>(window.get(), "connectBtn");
    auto* openBtn = child<QPushButton>(window.get(), "openBtn");
    auto* flashBtn = child<QPushButton>(window.get(), "flashBtn");
    auto* status = child<QPushButton>(window.get(), "successIconLbl");
    auto* progress = child<QProgressBar>(window.get(), "flashProgressBar");
    const Clock::time_point connectStart = Clock::now();
    connectBtn->click();
    const double connectMs = msSince(connectStart);
    const QString devEUI = child<QLineEdit>(window.get(), "devEUI")->text();
    if (!openBtn->isEnabled())
        fail(QStringLiteral("Connect did not connect (%1)").arg(boxesText(answerer)));

    // Open: the window's file dialog takes the HEX file.
    answerer.pendingFile = hexPath;
    openBtn->click();
    if (!waitUntil([&] { return flashBtn->isEnabled(); }, 10000))
        fail(QStringLiteral("Open did not take the file (%1)").arg(boxesText(answerer)));

    // Flash, with a 1 ms timer noting every run of the event loop until the result shows.
    const QString successText = QString(QChar(0xF00C));
    const QString errorText = QString(QChar(0xF00D));
    std::vector<double> gaps;
    gaps.reserve(size_t(kFlashTimeoutMs));
    Clock::time_point lastTick = Clock::now();
    Clock::time_point flashStart = lastTick, flashEnd = lastTick;
    double clickMs = 0;
    // Gaps from this index on were taken after the click handler had returned.
    size_t firstJobGap = 0;
    bool finished = false;
    QEventLoop flashLoop;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &flashLoop, [&] {
        const Clock::time_point now = Clock::now();
        gaps.push_back(msSince(lastTick, now));
        lastTick = now;
        const QString text = status->text();
        if (text == successText || text == errorText) {
            flashEnd = now;
            finished = true;
            flashLoop.quit();
        } else if (msSince(flashStart, now) > kFlashTimeoutMs) {
            flashLoop.quit();
        }
    });
    QTimer::singleShot(0, &flashLoop, [&] {
        flashStart = lastTick = Clock::now();
        ticker.start();
        flashBtn->click();
        clickMs = msSince(flashStart);
        firstJobGap = gaps.size() + 1;
    });
    flashLoop.exec();
    ticker.stop();
    const bool flashed = finished && status->text() == successText;
    const int progressValue = progress->value(), progressMax = progress->maximum();
    const double peakMiB = peakResidentMiB();

    // The window first (it closes the link), then the simulator, which writes its flash out.
    window.reset();
    if (simPid > 0)
        ::kill(pid_t(simPid), SIGTERM);
    if (!sim.waitForFinished(10000))
        sim.kill();

    QFile dump(dumpPath);
    const QByteArray flash = dump.open(QIODevice::ReadOnly) ? dump.readAll() : QByteArray();
    const bool imageMatches = flash.mid(kImageOffset, kImageSize) == image;
    const bool keysKept = !devEUI.isEmpty() && flash.mid(kKeysOffset, 8).toHex() == devEUI.toLatin1();
    QFile log(logPath);
    const bool guardUntouched = log.open(QIODevice::ReadOnly) && log.readAll().contains("\nguarded-area: none");

    const double maxJobGap =
        firstJobGap < gaps.size() ? *std::max_element(gaps.begin() + long(firstJobGap), gaps.end()) : 0;
    std::sort(gaps.begin(), gaps.end());
    const double maxGap = gaps.empty() ? 0 : gaps.back();
    const long over = long(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g >= kGapTargetMs; }));

    // One column of labels, so that the figures stand apart from the library's own output.
    const auto row = [](const char* label, const QString& value) {
        std::printf("  %-40s %s\n", label, qPrintable(value));
    };
    const auto ms = [](double v, int decimals = 1) { return QStringLiteral("%1 ms").arg(v, 8, 'f', decimals); };

    std::printf("\nWindow benchmark (platform %s, Qt %s)\n\nStart-up\n", qPrintable(QApplication::platformName()),
                qVersion());
    if (msToMain >= 0) {
        row("process start -> window exposed", ms(msToMain + msSince(mainEntered, frame.exposed)));
        row("process start -> first paint", ms(msToMain + msSince(mainEntered, frame.painted)) +
                                                QStringLiteral("   (process start from /proc, %1 ms steps)")
                                                    .arg(1000L / sysconf(_SC_CLK_TCK)));
    }
    row("main() -> first paint", ms(msSince(mainEntered, frame.painted)));

    std::printf("\nFlash through the simulated module (%d baud, %d bytes at 0x08000800)\n", kBaud, kImageSize);
    row("Connect click (GUI thread busy)", ms(connectMs) + QStringLiteral("   DevEUI ") +
                                               (devEUI.isEmpty() ? QStringLiteral("(none)") : devEUI));
    row("Flash click (GUI thread busy)", ms(clickMs));
    row("flash duration", finished ? QStringLiteral("%1 s    result: %2, progress %3/%4")
                                         .arg(msSince(flashStart, flashEnd) / 1000.0, 8, 'f', 2)
                                         .arg(flashed ? "success" : "failure")
                                         .arg(progressValue)
                                         .arg(progressMax)
                                   : QStringLiteral("no result within %1 s").arg(kFlashTimeoutMs / 1000));
    row("event-loop gap p50", ms(percentile(gaps, 0.50), 2) + QStringLiteral("   (%1 runs of a 1 ms timer)").arg(gaps.size()));
    row("event-loop gap p99", ms(percentile(gaps, 0.99), 2));
    row("event-loop gap max", ms(maxGap, 2) + QStringLiteral("   target under %1 ms: %2; %3 gaps at or above it")
                                                  .arg(kGapTargetMs)
                                                  .arg(maxGap < kGapTargetMs ? "met" : "NOT MET")
                                                  .arg(over));
    row("gap max after the click handler", ms(maxJobGap, 2) + QStringLiteral("   (while the job runs on its thread)"));
    row("simulator's flash holds the image", QStringLiteral("%1").arg(imageMatches ? "yes" : "NO", 8));
    row("identifiers kept, their page untouched", QStringLiteral("%1").arg(keysKept && guardUntouched ? "yes" : "NO", 8));
    if (!answerer.boxes.isEmpty())
        row("message boxes", answerer.boxes.join(QStringLiteral(" | ")));

    std::printf("\nMemory\n");
    row("peak resident (VmHWM)", QStringLiteral("%1 MiB").arg(peakMiB, 8, 'f', 1));
    std::fflush(stdout);

    return flashed && imageMatches && keysKept && guardUntouched ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const Clock::time_point mainEntered = Clock::now();
    const double msToMain = msSinceProcessStart();
    try {
        return run(argc, argv, mainEntered, msToMain);
    } catch (const BenchFailure& failure) {
        std::fprintf(stderr, "window-bench: %s\n", qPrintable(failure.what));
        return 1;
    }
}
