// The Help menu of the main window: the About box and the Licenses dialog, each run modally,
// built at each opening and gone when it closes.

#include "htmlcontentdialog.h"
#include "look_support.h"
#include "mainwindow.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QTranslator>
#include <QtTest>

#include <memory>

extern QString styleSheetString;

namespace {

template <class T>
int countTopLevel()
{
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<T*>(w))
            ++n;
    return n;
}

struct AboutSeen {
    bool shown = false;
    QString title, text, sheet;
    QMessageBox::Icon icon = QMessageBox::Information;
    bool hasWindowIcon = false, okIsDefault = false, modal = false;
    QMessageBox::StandardButtons buttons;
};

struct LicensesSeen {
    bool shown = false;
    QString windowTitle, titel, plain, sheet;
    int scroll = -1;
    bool readOnly = false, modal = false, hasWindowIcon = false;
};

} // namespace

class TestHelpMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aboutBox();
    void licensesTwiceAfreshAtTheTop();
    void licensesInGerman();

private:
    AboutSeen openAbout();
    LicensesSeen openLicenses(bool scrollAway);

    std::unique_ptr<MainWindow> window;
};

void TestHelpMenu::initTestCase()
{
    QFontDatabase::addApplicationFont(QStringLiteral(":/FontAwesome.otf"));
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(window->findChild<QAction*>(QStringLiteral("actionAbout")));
    QVERIFY(window->findChild<QAction*>(QStringLiteral("actionLicenses")));
}

AboutSeen TestHelpMenu::openAbout()
{
    AboutSeen seen;
    look::whenShown<QMessageBox>([&seen](QMessageBox* box) {
        seen.shown = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.hasWindowIcon = !box->windowIcon().isNull();
        seen.buttons = box->standardButtons();
        seen.okIsDefault = box->defaultButton() && box->defaultButton() == box->button(QMessageBox::Ok);
        seen.sheet = box->styleSheet();
        seen.modal = QApplication::activeModalWidget() == box;
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->close();
    });
    window->findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
    return seen;
}

LicensesSeen TestHelpMenu::openLicenses(bool scrollAway)
{
    LicensesSeen seen;
    look::whenShown<HTMLContentDialog>([&seen, scrollAway](HTMLContentDialog* d) {
        seen.shown = true;
        auto* edit = d->findChild<QTextEdit*>(QStringLiteral("contentEdit"));
        auto* titel = d->findChild<QLabel*>(QStringLiteral("titelLbl"));
        seen.windowTitle = d->windowTitle();
        seen.titel = titel ? titel->text() : QString();
        seen.plain = edit ? edit->toPlainText() : QString();
        seen.scroll = edit ? edit->verticalScrollBar()->value() : -1;
        seen.readOnly = edit && edit->isReadOnly();
        seen.modal = QApplication::activeModalWidget() == d;
        seen.hasWindowIcon = !d->windowIcon().isNull();
        seen.sheet = d->styleSheet();
        if (edit && scrollAway)
            edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
        auto* box = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        if (box && box->button(QDialogButtonBox::Ok))
            QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
        else
            d->close();
    });
    window->findChild<QAction*>(QStringLiteral("actionLicenses"))->trigger();
    return seen;
}

void TestHelpMenu::aboutBox()
{
    const AboutSeen seen = openAbout();
    QVERIFY2(seen.shown, "no About box appeared");
    QCOMPARE(seen.title, QStringLiteral("About"));
    const QStringList lines = seen.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QStringLiteral("Kembit Vorna-Base Flasher Tool"));
    QCOMPARE(lines[1], QStringLiteral("Software Version: " VBF_VERSION));
    QVERIFY(lines[2].isEmpty());
    QVERIFY2(lines[3].contains(QStringLiteral("kembit.")), qPrintable(lines[3]));
    QVERIFY2(lines[4].contains(QStringLiteral("Kembit")) && lines[4].contains(QStringLiteral("20")),
             qPrintable(lines[4]));
    QVERIFY(!Qt::mightBeRichText(seen.text));
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QVERIFY(seen.hasWindowIcon);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(seen.okIsDefault);
    QVERIFY(seen.modal);
    QVERIFY(!seen.sheet.isEmpty());
    QCOMPARE(seen.sheet, styleSheetString);
    QCOMPARE(countTopLevel<QMessageBox>(), 0);

    // A second opening builds a new box.
    QVERIFY(openAbout().shown);
    QCOMPARE(countTopLevel<QMessageBox>(), 0);
}

void TestHelpMenu::licensesTwiceAfreshAtTheTop()
{
    const LicensesSeen first = openLicenses(true);
    QVERIFY2(first.shown, "no Licenses dialog appeared");
    QCOMPARE(first.windowTitle, QStringLiteral("Dialog"));
    QCOMPARE(first.titel, QStringLiteral("License"));
    QVERIFY(first.plain.trimmed().startsWith(QStringLiteral("Acknowledgements")));
    QVERIFY(first.plain.contains(QStringLiteral("GNU LESSER GENERAL PUBLIC LICENSE")));
    QVERIFY(first.readOnly);
    QVERIFY(first.modal);
    QVERIFY(first.hasWindowIcon);
    QCOMPARE(first.sheet, QString::fromLatin1(look::readBytes(QStringLiteral(":/style.qss"))));
    QCOMPARE(first.scroll, 0);
    QCOMPARE(countTopLevel<HTMLContentDialog>(), 0);

    const LicensesSeen second = openLicenses(false);
    QVERIFY(second.shown);
    QCOMPARE(second.plain, first.plain);
    QCOMPARE(second.scroll, 0); // a new dialog, not the one scrolled away
    QCOMPARE(countTopLevel<HTMLContentDialog>(), 0);
}

void TestHelpMenu::licensesInGerman()
{
    QTranslator german;
    QVERIFY(german.load(QStringLiteral(":/german.qm")));
    QCoreApplication::installTranslator(&german);
    const LicensesSeen seen = openLicenses(false);
    const AboutSeen about = openAbout();
    QCoreApplication::removeTranslator(&german);

    QVERIFY(seen.shown);
    QCOMPARE(seen.titel, QStringLiteral("Lizenzen"));
    QCOMPARE(seen.windowTitle, QStringLiteral("Vorna-Base Flasher Tool"));
    QVERIFY(seen.plain.contains(QStringLiteral("Acknowledgements"))); // the page is English only
    QVERIFY(about.shown);
    QCOMPARE(about.title, QStringLiteral("Über"));
    QVERIFY(about.text.startsWith(QStringLiteral("Kembit Vorna-Base Flasher Tool\n")));
}

QTEST_MAIN(TestHelpMenu)
#include "tst_helpmenu.moc"
