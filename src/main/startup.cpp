#include "startup.h"

#include <QApplication>
#include <QDebug>
#include <QFontDatabase>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include "mainwindow.h"

namespace {

// The catalogue is German; everyone else keeps the English texts.
bool userInterfaceIsGerman()
{
    const QLocale system = QLocale::system();
    const QStringList languages = system.uiLanguages();
    if (!languages.isEmpty() && languages.first().startsWith(QLatin1String("de"), Qt::CaseInsensitive))
        return true;
    return system.language() == QLocale::German;
}

} // namespace

int runApplication(int& argc, char** argv, const QString& fontPath, const QString& catalogPath)
{
    QApplication application(argc, argv);

    // The status and refresh glyphs come from this font; without it the window is useless.
    if (QFontDatabase::addApplicationFont(fontPath) < 0) {
        qWarning("FontAwesome cannot be loaded !");
        return -1;
    }

    QTranslator translator;
    if (!translator.load(catalogPath, QString(), QString(), QString()))
        qDebug() << "cannot load translator " << QLocale::system().name();
    else if (userInterfaceIsGerman())
        application.installTranslator(&translator);

    // Declared last so that it goes first: window, then translator, then application.
    MainWindow window;
    window.show();
    // Smoke tests of an installed copy close the window as a user would, after a while.
    if (const int ms = qEnvironmentVariableIntValue("VBF_CLOSE_AFTER_MS"); ms > 0)
        QTimer::singleShot(ms, &window, &QWidget::close);
    return application.exec();
}
