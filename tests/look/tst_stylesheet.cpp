// The style sheet as compiled in: its 32 rules word for word, its file shape, and that Qt
// takes it (colours reach the widgets, the eight-digit disabled colour keeps its alpha).

#include "look_support.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using look::CssRule;

namespace {

// The Qt built for Windows here has no SVG image plug-in; there the sheet names a PNG of
// the same chevron, rendered at build time. Nothing else differs.
#if defined(Q_OS_WIN)
#define VBF_CHEVRON ":/chevron-down.png"
#else
#define VBF_CHEVRON ":/chevron-down.svg"
#endif

const QList<QPair<QString, QStringList>>& expectedRules()
{
    static const QList<QPair<QString, QStringList>> rules = {
        {"QFrame, QWidget, QToolTip", {"border-radius: 10px;", "border-style: outset;", "background-color:#F2F2F2 ;"}},
        {"QLabel", {"color:#272727;"}},
        {"QWidget:disabled", {"background-color: #C3C3C3C3;", "border-color: #C3C3C3C3;"}},
        {"QPushButton", {"background-color: #555555;", "font: 14px;", "border-width: 1px;", "border-color: #272727;", "color: white;", "padding: 6px;"}},
        {"QPushButton:hover", {"background-color: #777777;", "border-color: #373737;"}},
        {"QLineEdit", {"color: #272727;", "background-color: white;", "border-color: #272727;", "border-width: 1px;"}},
        {"QProgressBar", {"border-radius: 5px;", "background-color: #ABABAB;"}},
        {"QProgressBar::chunk", {"background-color: #ec8729;", "border-radius: 5px;"}},
        {"QComboBox", {"background: white;", "border-radius:13px;", "border: 1 px #555555;", "min-width: 6em;", "height:30px;"}},
        {"QComboBox:editable", {"background: white;"}},
        {"QComboBox:on", {"padding-top: 3px;", "padding-left: 4px;"}},
        {"QComboBox::down-arrow", {"image: url(" VBF_CHEVRON ");", "width: 14px;", "height: 14px;", "border: 1 px #555555;", "border-radius: 10px;"}},
        {"QComboBox::down-arrow:on", {"top: 1px;", "left: 1px;"}},
        {"QComboBox QAbstractItemView", {"outline: 0px solid gray;", "color: black;", "background-color: white;", "border-radius: 3px;", "selection-background-color: #ecbb8e;"}},
        {"QComboBox QAbstractItemView::item", {"background-color: white;"}},
        {"QComboBox QAbstractItemView::item:hover", {"color: #FFFFFF;", "background-color: #ecbb8e;"}},
        {"QComboBox QAbstractItemView::item:selected", {"color: #FFFFFF;", "background-color: #ecbb8e;"}},
        {"QMenuBar", {"selection-background-color: #ecbb8e;", "background: transparent;"}},
        {"QMenuBar::item", {"selection-background-color: #ecbb8e;"}},
        {"QMenuBar::item:selected", {"border: 1px #ecbb8e;"}},
        {"QMenuBar::item:pressed", {"border: 1px #ecbb8e;"}},
        {"QMenu", {"background-color: white;", "selection-background-color: #ecbb8e;"}},
        {"QMenu::item", {"background: white;"}},
        {"QMenu::item:selected", {"color: white;", "background: #ecbb8e;"}},
        {"QMessageBox", {"background-color: #F2F2F2;"}},
        {"QMessageBox QPushButton", {"background-color: #555555;", "font: 14px;", "border-width: 1px;", "border-color: #272727;", "color: white;", "padding: 6px;"}},
        {"QMessageBox QPushButton:selected", {"background-color: #777777;", "border-color: #555555;"}},
        {"QTextEdit", {"background-color: white;"}},
        {"QScrollBar:vertical", {"border-color: #555555;", "background-color: white;", "border-radius: 5px;", "width: 10px;"}},
        {"QScrollBar::handle:vertical", {"background-color:#555555 ;", "border-radius: 5px;"}},
        {"QScrollBar::add-line:vertical", {"border: 1px #555555;", "background-color: white;", "height: 10px;", "subcontrol-position: bottom;", "subcontrol-origin: margin;"}},
        {"QScrollBar::sub-line:vertical", {"border: 1px #555555;", "background-color: white;", "height: 10px;", "subcontrol-position: top;", "subcontrol-origin: margin;"}},
    };
    return rules;
}

QStringList styleWarnings;

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        styleWarnings << msg;
}

} // namespace

class TestStyleSheet : public QObject
{
    Q_OBJECT

private slots:
    void rulesMatchWordForWord();
    void fileShape();
    void qtAppliesTheSheet();
    void disabledColourKeepsItsAlpha();
    void parserCatchesMistakes();
};

void TestStyleSheet::rulesMatchWordForWord()
{
    const QByteArray bytes = look::readBytes(QStringLiteral(":/style.qss"));
    QVERIFY2(!bytes.isEmpty(), ":/style.qss is missing or empty");
    QString error;
    const QList<CssRule> rules = look::parseCss(QString::fromLatin1(bytes), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const auto& expected = expectedRules();
    QCOMPARE(rules.size(), expected.size());
    for (int i = 0; i < rules.size(); ++i) {
        const QByteArray where = "rule " + QByteArray::number(i + 1);
        QVERIFY2(rules[i].selector == expected[i].first,
                 where + ": selector " + rules[i].selector.toUtf8());
        QVERIFY2(rules[i].declarations == expected[i].second,
                 where + ": " + rules[i].declarations.join(QLatin1Char('|')).toUtf8());
    }
}

void TestStyleSheet::fileShape()
{
    const QByteArray bytes = look::readBytes(QStringLiteral(":/style.qss"));
    QVERIFY(!bytes.isEmpty());
    // Stored compressed, read back as the source file byte for byte.
    const QString source = look::sourceDir() + QStringLiteral("/resources/style.qss");
    if (QFile::exists(source)) {
        QByteArray expected = look::readBytes(source);
#if defined(Q_OS_WIN)
        expected.replace("url(:/chevron-down.svg)", "url(" VBF_CHEVRON ")");
#endif
        QCOMPARE(bytes, expected);
    }

    for (int i = 0; i < bytes.size(); ++i) {
        const uchar c = uchar(bytes[i]);
        QVERIFY2(c < 0x80, "non-ASCII byte in the style sheet");
        if (c == '\n')
            QVERIFY2(i > 0 && bytes[i - 1] == '\r', "line without CRLF end");
        if (c == '\r')
            QVERIFY2(i + 1 < bytes.size() && bytes[i + 1] == '\n', "lone CR");
    }
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count("\r\n"), 187);
    QCOMPARE(bytes.size(), 4055);
    // The image named by the arrow rule must exist under exactly that path.
    QVERIFY(QFile::exists(QStringLiteral(VBF_CHEVRON)));
}

void TestStyleSheet::qtAppliesTheSheet()
{
    const QString sheet = QString::fromLatin1(look::readBytes(QStringLiteral(":/style.qss")));
    QWidget root;
    root.setStyleSheet(sheet);
    auto* label = new QLabel(QStringLiteral("label"), &root);
    auto* button = new QPushButton(QStringLiteral("button"), &root);
    auto* combo = new QComboBox(&root);
    combo->addItem(QStringLiteral("ttyUSB0"));

    styleWarnings.clear();
    const QtMessageHandler old = qInstallMessageHandler(collectWarnings);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));
    root.grab(); // paints every widget, so the arrow image is resolved too
    qInstallMessageHandler(old);
    QVERIFY2(styleWarnings.isEmpty(), qPrintable(styleWarnings.join(QLatin1Char('\n'))));

    QCOMPARE(label->palette().color(QPalette::WindowText), QColor(0x27, 0x27, 0x27));
    QCOMPARE(button->palette().color(QPalette::ButtonText), QColor(Qt::white));
    QCOMPARE(button->palette().color(QPalette::Button), QColor(0x55, 0x55, 0x55));
    QCOMPARE(root.palette().color(QPalette::Window), QColor(0xF2, 0xF2, 0xF2));
}

void TestStyleSheet::disabledColourKeepsItsAlpha()
{
    QWidget root;
    root.setStyleSheet(QString::fromLatin1(look::readBytes(QStringLiteral(":/style.qss"))));
    auto* edit = new QLineEdit(&root);
    edit->setEnabled(false);
    root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&root));
    const QColor base = edit->palette().color(QPalette::Disabled, QPalette::Base);
    // #AARRGGBB: alpha C3 over grey C3, not the opaque six-digit grey.
    QCOMPARE(base.rgba(), qRgba(0xC3, 0xC3, 0xC3, 0xC3));
    edit->setEnabled(true);
    QCOMPARE(edit->palette().color(QPalette::Active, QPalette::Base), QColor(Qt::white));
}

void TestStyleSheet::parserCatchesMistakes()
{
    QString error;
    QList<CssRule> rules = look::parseCss(QStringLiteral("/* a { b: c; } */ A, B {x: 1 px ;y:2}\r\nC{}"), &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(rules.size(), 2);
    QCOMPARE(rules[0].selector, QStringLiteral("A, B"));
    QCOMPARE(rules[0].declarations, QStringList({"x: 1 px ;", "y:2"}));
    QVERIFY(rules[1].declarations.isEmpty());

    look::parseCss(QStringLiteral("A { x: 1; B { y: 2; }"), &error);
    QVERIFY(!error.isEmpty());
    error.clear();
    look::parseCss(QStringLiteral("A { x: 1; } stray"), &error);
    QVERIFY(!error.isEmpty());
}

QTEST_MAIN(TestStyleSheet)
#include "tst_stylesheet.moc"
