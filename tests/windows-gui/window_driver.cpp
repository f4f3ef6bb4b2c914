// The program as users start it (runApplication), taken through one flash by a driver that
// clicks its buttons from inside the event loop:
//
//   window_driver PORT FIRMWARE.hex OUTPUT_DIR
//
// Picks PORT, Connect (prints the identifiers the window shows), Open, Flash, waits for the
// check mark, opens About and Licenses; saves a picture of the screen at each step as
// OUTPUT_DIR/<n>-<step>.png. Exit code 0 only when every step did what it should.
// The file dialog is Qt's own here, so that the driver can answer it; everything else is the
// program's own start-up, window and library.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "startup.h"

namespace {

QString port;
QString firmware;
QString outDir;
int failures = 0;
int shotNumber = 0;

void check(bool ok, const char* what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

template <typename T>
T* child(QWidget* w, const char* name)
{
    return w->findChild<T*>(QString::fromLatin1(name));
}

// The whole screen as the system draws it: frames, title bars and boxes included.
void shoot(QWidget* any, const char* step)
{
    QTest::qWait(400);
    const QString path = QStringLiteral("%1/%2-%3.png").arg(outDir).arg(++shotNumber).arg(QLatin1String(step));
    const bool saved = any->screen()->grabWindow(0).save(path);
    std::printf("%s %s\n", saved ? "shot" : "FAIL shot", qPrintable(QDir::toNativeSeparators(path)));
    if (!saved)
        ++failures;
}

QWidget* visibleTopLevel(const std::function<bool(QWidget*)>& match)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && match(w))
            return w;
    return nullptr;
}

// Runs trigger, waits for the modal window it opens, pictures it and closes it.
void shootModal(QWidget* window, const char* step, const std::function<void()>& trigger,
                const std::function<bool(QWidget*)>& match)
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = visibleTopLevel(match);
        if (!modal || seen)
            return;
        seen = true;
        poll.stop();
        shoot(window, step);
        if (auto* box = qobject_cast<QMessageBox*>(modal))
            box->button(QMessageBox::Ok)->click();
        else if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->accept();
    });
    poll.start();
    trigger();  // returns when the modal window is closed
    check(seen, step);
}

void drive()
{
    QWidget* window = visibleTopLevel([](QWidget* w) { return w->inherits("MainWindow"); });
    if (!window || !QTest::qWaitForWindowExposed(window, 10000)) {
        check(false, "the main window is shown");
        qApp->exit(1);
        return;
    }
    check(true, "the main window is shown");
    QTest::qWait(500);
    shoot(window, "idle");

    auto* ports = child<QComboBox>(window, "comPortComboBox");
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    std::printf("ports: %s\n", qPrintable(listed.join(QLatin1String(", "))));
    const int index = ports->findText(port);
    check(index >= 0, "the port list holds the mapped port");
    ports->setCurrentIndex(index);
    emit ports->activated(index);

    QTest::mouseClick(child<QPushButton>(window, "connectBtn"), Qt::LeftButton);
    auto* devEUI = child<QLineEdit>(window, "devEUI");
    check(QTest::qWaitFor([&] { return !devEUI->text().isEmpty(); }, 20000), "Connect reads the identifiers");
    for (const char* name : { "devEUI", "joinEUI", "appKey" })
        std::printf("%s: %s\n", name, qPrintable(child<QLineEdit>(window, name)->text()));
    shoot(window, "connected");
    // The fonts the system gave for what the form asks (Wine has no Arial of its own).
    std::printf("identifier font: asked %s, given %s\n", qPrintable(devEUI->font().family()),
                qPrintable(QFontInfo(devEUI->font()).family()));
    devEUI->grab().save(QStringLiteral("%1/dev-eui-field.png").arg(outDir));

    // Open: type the firmware's full path into the dialog's name field, as a user would, and
    // press Open. (selectFile() leaves a focused name field alone, and under Wine the field
    // has the focus.) Answered once per dialog.
    QTimer answer;
    answer.setInterval(50);
    QFileDialog* answered = nullptr;
    QElapsedTimer sinceAnswer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        // The dialog's own complaint ("File not found") is reported and ends the dialog,
        // so that a wrong answer fails the step instead of holding the run.
        if (auto* box = qobject_cast<QMessageBox*>(visibleTopLevel([](QWidget* w) { return w->inherits("QMessageBox"); }))) {
            std::printf("file dialog complains: %s\n", qPrintable(box->text().simplified()));
            box->done(0);
            if (answered)
                answered->reject();
            return;
        }
        auto* dialog = qobject_cast<QFileDialog*>(visibleTopLevel([](QWidget* w) { return w->inherits("QFileDialog"); }));
        if (dialog && dialog == answered && sinceAnswer.elapsed() > 15000) {
            std::printf("file dialog still open: %s\n", qPrintable(dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text()));
            dialog->reject();
            return;
        }
        if (!dialog || dialog == answered)
            return;
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!name)
            return;
        answered = dialog;
        sinceAnswer.start();
        name->setText(firmware);
        std::printf("file dialog: %s\n", qPrintable(name->text()));
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
    answer.start();
    QTest::mouseClick(child<QPushButton>(window, "openBtn"), Qt::LeftButton);
    auto* flash = child<QPushButton>(window, "flashBtn");
    check(QTest::qWaitFor([&] { return flash->isEnabled(); }, 20000), "Open takes the firmware file");
    answer.stop();

    auto* status = child<QPushButton>(window, "successIconLbl");
    auto* bar = child<QProgressBar>(window, "flashProgressBar");
    QTest::mouseClick(flash, Qt::LeftButton);
    if (QTest::qWaitFor([&] { return bar->value() >= 30 && bar->value() < bar->maximum(); }, 60000))
        shoot(window, "flashing");
    const QString tick(QChar(0xF00C));
    const QString cross(QChar(0xF00D));
    check(QTest::qWaitFor([&] { return status->text() == tick || status->text() == cross; }, 180000)
              && status->text() == tick,
          "Flash ends with the check mark");
    shoot(window, "flashed");

    shootModal(window, "about", [&] { QMetaObject::invokeMethod(window, "on_actionAbout_triggered"); },
               [](QWidget* w) { return w->inherits("QMessageBox"); });
    shootModal(window, "licenses", [&] { QMetaObject::invokeMethod(window, "on_actionLicenses_triggered"); },
               [](QWidget* w) { return w->inherits("HTMLContentDialog"); });

    // Disconnect before closing, as a user would.
    QTest::mouseClick(child<QPushButton>(window, "connectBtn"), Qt::LeftButton);
    QTest::qWait(300);
    window->close();
    qApp->exit(failures == 0 ? 0 : 1);
}

void scheduleDriver()
{
    QTimer::singleShot(0, qApp, drive);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(scheduleDriver)

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: window_driver PORT FIRMWARE.hex OUTPUT_DIR\n");
        return 2;
    }
    port = QString::fromLocal8Bit(argv[1]);
    firmware = QString::fromLocal8Bit(argv[2]);
    outDir = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(outDir);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    int count = 1;  // the driver's own arguments are not the program's
    const int rc = runApplication(count, argv);
    std::printf("window_driver: %d failure(s), exit %d\n", failures, rc);
    return rc == 0 && failures == 0 ? 0 : 1;
}
