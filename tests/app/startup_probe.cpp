// The program's start-up with font and catalogue paths from the command line:
//   app_startup_probe FONT CATALOGUE [EXIT_CODE]
// Once the event loop runs it reports what is shown on stdout, then closes the window,
// or ends the loop with EXIT_CODE when one is given.
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>

#include "startup.h"

namespace {

void report(const QString& line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class LanguageWatch : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == qApp && event->type() == QEvent::LanguageChange)
            report(QStringLiteral("translator installed"));
        return false;
    }
};

void watchStartup()
{
    qApp->installEventFilter(new LanguageWatch(qApp));
    QTimer::singleShot(0, qApp, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible() || !w->inherits("MainWindow"))
                continue;
            report(QStringLiteral("window shown: ") + w->windowTitle());
            if (auto* menu = w->findChild<QMenu*>(QStringLiteral("menuHelp")))
                report(QStringLiteral("menu: ") + menu->title());
        }
        const QStringList args = QCoreApplication::arguments();
        if (args.size() > 3) {
            QCoreApplication::exit(args.at(3).toInt());
            return;
        }
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                w->close();
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchStartup)

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FONT CATALOGUE [EXIT_CODE]\n", argv[0]);
        return 2;
    }
    const QString font = QString::fromLocal8Bit(argv[1]);
    const QString catalogue = QString::fromLocal8Bit(argv[2]);
    return runApplication(argc, argv, font, catalogue);
}
