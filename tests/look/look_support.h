#pragma once
// Helpers shared by the look tests: resource reading, the small style sheet parser and the
// driver for modal windows.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QPair>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace look {

inline QByteArray readBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QFile::ReadOnly))
        return {};
    return f.readAll();
}

inline QString sharedDir()
{
    const QByteArray dir = qgetenv("VBF_SHARED_DIR");
    return dir.isEmpty() ? QStringLiteral("../shared") : QString::fromLocal8Bit(dir);
}

inline QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("VBF_SOURCE_DIR"));
}

// Collapses every run of white space to one blank.
inline QString fold(const QString& s)
{
    static const QRegularExpression ws(QStringLiteral("\\s+"));
    return QString(s).replace(ws, QStringLiteral(" ")).trimmed();
}

struct CssRule {
    QString selector;
    QStringList declarations; // each as written, trimmed, with its ';' when it has one
};

// Comments go; what remains is "selector { declarations }" repeated. Declarations are split
// at ';' and kept as written (odd spacing included).
inline QList<CssRule> parseCss(QString text, QString* error = nullptr)
{
    static const QRegularExpression comment(QStringLiteral("/\\*.*?\\*/"),
                                            QRegularExpression::DotMatchesEverythingOption);
    text.remove(comment);
    QList<CssRule> rules;
    int pos = 0;
    while (true) {
        const int open = text.indexOf(QLatin1Char('{'), pos);
        if (open < 0) {
            if (!text.mid(pos).trimmed().isEmpty() && error)
                *error = QStringLiteral("text after the last rule: ") + text.mid(pos).trimmed();
            break;
        }
        const int close = text.indexOf(QLatin1Char('}'), open);
        const int nextOpen = text.indexOf(QLatin1Char('{'), open + 1);
        if (close < 0 || (nextOpen >= 0 && nextOpen < close)) {
            if (error)
                *error = QStringLiteral("unbalanced braces after ") + text.mid(pos, 40);
            break;
        }
        CssRule rule;
        rule.selector = fold(text.mid(pos, open - pos));
        const QString body = text.mid(open + 1, close - open - 1);
        const QStringList parts = body.split(QLatin1Char(';'));
        static const QRegularExpression leading(QStringLiteral("^\\s+"));
        for (int i = 0; i < parts.size(); ++i) {
            // A blank before the ';' belongs to the declaration as written.
            const bool terminated = i + 1 < parts.size();
            const QString d = terminated ? QString(parts[i]).remove(leading) : parts[i].trimmed();
            if (d.trimmed().isEmpty())
                continue;
            rule.declarations << (terminated ? d + QLatin1Char(';') : d);
        }
        rules << rule;
        pos = close + 1;
    }
    return rules;
}

// Runs inspect(box) on the GUI thread once a visible top-level widget of class Box appears.
// inspect must close the box. If none appears in time every visible top-level dialog is closed,
// so a test that waits in exec() fails instead of hanging.
template <class Box>
void whenShown(std::function<void(Box*)> inspect, int timeoutMs = 5000)
{
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, inspect, timeoutMs]() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<Box*>(w); box && box->isVisible()) {
                timer->stop();
                timer->deleteLater();
                delete clock;
                inspect(box);
                return;
            }
        }
        if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->isModal())
                    w->close();
        }
    });
    timer->start(20);
}

} // namespace look
