// The compiled-in resources and the main window's form with its start state.
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRawFont>
#include <QResource>
#include <QStatusBar>
#include <QtTest>

#include "mainwindow.h"
#include "ui_mainwindow.h"

extern QString styleSheetString;

namespace {

// The Qt built for Windows here has no SVG image plug-in; there the arrow is a PNG of the
// same chevron, rendered at build time.
#if defined(Q_OS_WIN)
#define VBF_CHEVRON ":/chevron-down.png"
#else
#define VBF_CHEVRON ":/chevron-down.svg"
#endif

const QString iconFamily = QStringLiteral("Font Awesome 5 Free Solid");

template <typename T>
T* child(QWidget& w, const char* name)
{
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    if (!c)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return c;
}

// Row, column and spans of a layout or widget inside a grid.
QList<int> cellOf(QGridLayout* grid, QObject* item)
{
    for (int i = 0; i < grid->count(); ++i) {
        QLayoutItem* li = grid->itemAt(i);
        if (li->layout() == item || li->widget() == item) {
            int r, c, rs, cs;
            grid->getItemPosition(i, &r, &c, &rs, &cs);
            return { r, c, rs, cs };
        }
    }
    return {};
}

QList<int> marginsOf(QLayout* l)
{
    const QMargins m = l->contentsMargins();
    return { m.left(), m.top(), m.right(), m.bottom() };
}

bool hasOpaquePixel(const QImage& img)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 200)
                return true;
    return false;
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QFontDatabase::addApplicationFont(QStringLiteral(":/FontAwesome.otf")) >= 0);
    }

    // Registered before main runs, with exact case-sensitive names.
    void resourcesAreRegistered()
    {
        for (const char* path : { ":/style.qss", ":/FontAwesome.otf", ":/License.html", VBF_CHEVRON,
                                  ":/Vorna-Icon", ":/Vorna-Logo", ":/german.qm" }) {
            QResource r(QString::fromLatin1(path));
            QVERIFY2(r.isValid(), path);
            QVERIFY2(r.uncompressedSize() > 0, path);
        }
        QVERIFY(!QFile::exists(QStringLiteral(":/license.html")));
        QVERIFY(!QFile::exists(QStringLiteral(":/Vorna-Icon.png")));
        QCOMPARE(QResource(QStringLiteral(":/style.qss")).compressionAlgorithm(), QResource::ZlibCompression);
        QCOMPARE(QResource(QStringLiteral(":/FontAwesome.otf")).compressionAlgorithm(), QResource::NoCompression);
        QCOMPARE(QResource(QStringLiteral(":/Vorna-Logo")).compressionAlgorithm(), QResource::NoCompression);

        // Compression is invisible to readers.
        QFile sheet(QStringLiteral(":/style.qss"));
        QVERIFY(sheet.open(QIODevice::ReadOnly));
        QCOMPARE(sheet.readAll().size(), QResource(QStringLiteral(":/style.qss")).uncompressedSize());
    }

    void imagesArePngOfTheirSize_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("icon") << ":/Vorna-Icon" << QSize(256, 256);
        QTest::newRow("logo") << ":/Vorna-Logo" << QSize(204, 256);
    }

    void imagesArePngOfTheirSize()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.size(), size);
        const QImage img = reader.read();
        QVERIFY(!img.isNull());
        QVERIFY(img.hasAlphaChannel());
        QCOMPARE(img.depth(), 32);
        // Transparent ground, a drawing in the middle.
        QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(img.pixel(size.width() - 1, size.height() - 1)), 0);
        QVERIFY(hasOpaquePixel(img));
    }

#if defined(Q_OS_WIN)
    // Four times the style sheet's 14-pixel box, the chevron's own proportions kept.
    void chevronIsAPngOfItsSize()
    {
        QImageReader reader(QStringLiteral(VBF_CHEVRON));
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.size(), QSize(49, 56));
        const QImage img = reader.read();
        QVERIFY(img.hasAlphaChannel());
        QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
        QVERIFY(hasOpaquePixel(img));
    }
#else
    void chevronRendersThroughTheSvgPlugin()
    {
        QVERIFY(QImageReader::supportedImageFormats().contains("svg"));
        const QImage img(QStringLiteral(VBF_CHEVRON));
        QVERIFY(!img.isNull());
        QVERIFY(hasOpaquePixel(img));
    }
#endif

    void iconFontResolvesByItsSolidName()
    {
        // Windows names the registered font by its typographic family alone.
        const QStringList families { iconFamily, QStringLiteral("Font Awesome 5 Free") };
        QFont f(iconFamily, 0, -1, false);
        f.setFamilies(families);
        f.setPixelSize(32);
        const QRawFont raw = QRawFont::fromFont(f);
        QVERIFY2(families.contains(raw.familyName()), qPrintable(raw.familyName()));
        for (char32_t cp : { U'\uF00C', U'\uF00D', U'\uF2F9' })
            QVERIFY(raw.supportsCharacter(cp));
        // Where Arial is installed it lacks the glyph (Wine has no Arial and substitutes).
        const QRawFont arial = QRawFont::fromFont(QFont(QStringLiteral("Arial")));
        if (arial.familyName() == QLatin1String("Arial"))
            QVERIFY(!arial.supportsCharacter(U'\uF2F9'));
    }

    // The generated class declares its members in form order, each named after itself.
    void formMembersInOrder()
    {
        QMainWindow host;
        Ui_MainWindow ui;
        ui.setupUi(&host);
        const QList<QPair<const void*, QObject*>> members = {
            { &ui.actionAbout, ui.actionAbout }, { &ui.actionLicenses, ui.actionLicenses },
            { &ui.centralwidget, ui.centralwidget }, { &ui.verticalLayout_3, ui.verticalLayout_3 },
            { &ui.verticalLayout_2, ui.verticalLayout_2 }, { &ui.horizontalLayout, ui.horizontalLayout },
            { &ui.horizontalSpacer_2, nullptr }, { &ui.label, ui.label }, { &ui.titleLbl, ui.titleLbl },
            { &ui.horizontalSpacer, nullptr }, { &ui.gridLayout, ui.gridLayout },
            { &ui.verticalLayout_5, ui.verticalLayout_5 }, { &ui.flashProgressBar, ui.flashProgressBar },
            { &ui.verticalLayoutSecondStep, ui.verticalLayoutSecondStep }, { &ui.openBtn, ui.openBtn },
            { &ui.verticalLayout_4, ui.verticalLayout_4 }, { &ui.connectProgressBar, ui.connectProgressBar },
            { &ui.verticalLayoutFirstStep, ui.verticalLayoutFirstStep }, { &ui.connectBtn, ui.connectBtn },
            { &ui.horizontalLayout_2, ui.horizontalLayout_2 }, { &ui.refreshBtn, ui.refreshBtn },
            { &ui.comPortComboBox, ui.comPortComboBox }, { &ui.verticalLayout, ui.verticalLayout },
            { &ui.openProgressBar, ui.openProgressBar }, { &ui.horizontalLayout_3, ui.horizontalLayout_3 },
            { &ui.successIconLbl, ui.successIconLbl },
            { &ui.verticalLayoutThirdStep, ui.verticalLayoutThirdStep }, { &ui.flashBtn, ui.flashBtn },
            { &ui.disconnectWarning, ui.disconnectWarning }, { &ui.fileDescriptionLbl, ui.fileDescriptionLbl },
            { &ui.gridLayout_2, ui.gridLayout_2 }, { &ui.joinEUI, ui.joinEUI }, { &ui.devEUI, ui.devEUI },
            { &ui.appKey, ui.appKey }, { &ui.joinEUITitel, ui.joinEUITitel },
            { &ui.devEUITitel, ui.devEUITitel }, { &ui.appKeyTitel, ui.appKeyTitel },
            { &ui.menubar, ui.menubar }, { &ui.menuHelp, ui.menuHelp }, { &ui.statusbar, ui.statusbar },
        };
        const QStringList classes = {
            "QAction", "QAction", "QWidget", "QVBoxLayout", "QVBoxLayout", "QHBoxLayout", "", "QLabel", "QLabel",
            "", "QGridLayout", "QVBoxLayout", "QProgressBar", "QVBoxLayout", "QPushButton", "QVBoxLayout",
            "QProgressBar", "QVBoxLayout", "QPushButton", "QHBoxLayout", "QPushButton", "QComboBox", "QVBoxLayout",
            "QProgressBar", "QHBoxLayout", "QPushButton", "QVBoxLayout", "QPushButton", "QLabel", "QLabel",
            "QGridLayout", "QLineEdit", "QLineEdit", "QLineEdit", "QLabel", "QLabel", "QLabel", "QMenuBar",
            "QMenu", "QStatusBar",
        };
        QCOMPARE(members.size(), classes.size());
        QCOMPARE(int(sizeof(Ui_MainWindow)), int(members.size() * sizeof(void*)));
        for (int i = 0; i < members.size(); ++i) {
            if (i > 0)
                QVERIFY2(members[i - 1].first < members[i].first, qPrintable(QString::number(i)));
            QObject* o = members[i].second;
            if (!o)
                continue;
            QCOMPARE(QString::fromLatin1(o->metaObject()->className()), classes[i]);
            QVERIFY(!o->objectName().isEmpty());
        }
        QCOMPARE(ui.successIconLbl->objectName(), QStringLiteral("successIconLbl"));
        QCOMPARE(host.objectName(), QStringLiteral("MainWindow"));
        for (QSpacerItem* s : { ui.horizontalSpacer, ui.horizontalSpacer_2 }) {
            QCOMPARE(s->sizeHint(), QSize(40, 20));
            QCOMPARE(s->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
            QCOMPARE(s->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        }
        QCOMPARE(ui.horizontalLayout->indexOf(ui.horizontalSpacer_2), 0);
        QCOMPARE(ui.horizontalLayout->indexOf(ui.label), 1);
        QCOMPARE(ui.horizontalLayout->indexOf(ui.titleLbl), 2);
        QCOMPARE(ui.horizontalLayout->indexOf(ui.horizontalSpacer), 3);

        // The form's own texts, before the window replaces some of them.
        QCOMPARE(host.windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(ui.connectBtn->text(), QStringLiteral("connect"));
        QCOMPARE(ui.openBtn->text(), QStringLiteral("open"));
        QCOMPARE(ui.flashBtn->text(), QStringLiteral("flash"));
        QCOMPARE(ui.refreshBtn->text(), QStringLiteral("refresh"));
        QCOMPARE(ui.devEUITitel->text(), QStringLiteral("Dev EUI:"));
        QCOMPARE(ui.joinEUITitel->text(), QStringLiteral("Join EUI:"));
        QCOMPARE(ui.appKeyTitel->text(), QStringLiteral("App Key:"));
    }

    void layoutsAndCells()
    {
        MainWindow w;
        auto* central = child<QWidget>(w, "centralwidget");
        QVERIFY(central && w.centralWidget() == central);
        auto lay = [&](const char* n) { return w.findChild<QLayout*>(QString::fromLatin1(n)); };
        QCOMPARE(central->layout(), lay("verticalLayout_3"));

        const QList<QPair<const char*, QList<int>>> margins = {
            { "verticalLayout_3", { 0, 0, 0, 0 } }, { "verticalLayout_2", { 0, 0, 0, 0 } },
            { "horizontalLayout", { 25, 0, 25, 25 } }, { "gridLayout", { 25, 5, 25, 25 } },
            { "gridLayout_2", { 25, 25, 25, 25 } }, { "verticalLayoutFirstStep", { 0, 0, 0, 0 } },
            { "horizontalLayout_2", { 0, 0, 0, 0 } },
        };
        for (const auto& m : margins) {
            QVERIFY2(lay(m.first), m.first);
            QCOMPARE(marginsOf(lay(m.first)), m.second);
        }

        auto* grid = static_cast<QGridLayout*>(lay("gridLayout"));
        const QList<QPair<const char*, QList<int>>> cells = {
            { "verticalLayoutFirstStep", { 2, 0, 1, 1 } }, { "verticalLayout_4", { 2, 3, 1, 1 } },
            { "verticalLayoutSecondStep", { 2, 4, 1, 1 } }, { "verticalLayout", { 2, 5, 1, 1 } },
            { "verticalLayoutThirdStep", { 2, 6, 1, 2 } }, { "verticalLayout_5", { 2, 8, 1, 1 } },
            { "horizontalLayout_3", { 2, 9, 1, 1 } }, { "horizontalLayout_2", { 3, 0, 1, 1 } },
            { "fileDescriptionLbl", { 3, 4, 1, 4 } }, { "disconnectWarning", { 3, 8, 1, 2 } },
        };
        QCOMPARE(grid->count(), cells.size());
        for (const auto& c : cells) {
            QObject* item = w.findChild<QObject*>(QString::fromLatin1(c.first));
            QCOMPARE(cellOf(grid, item), c.second);
        }
        auto* keys = static_cast<QGridLayout*>(lay("gridLayout_2"));
        const QList<QPair<const char*, QList<int>>> keyCells = {
            { "devEUITitel", { 0, 0, 1, 1 } }, { "devEUI", { 0, 1, 1, 1 } },
            { "joinEUITitel", { 1, 0, 1, 1 } }, { "joinEUI", { 1, 1, 1, 1 } },
            { "appKeyTitel", { 2, 0, 1, 1 } }, { "appKey", { 2, 1, 1, 1 } },
        };
        for (const auto& c : keyCells)
            QCOMPARE(cellOf(keys, w.findChild<QWidget*>(QString::fromLatin1(c.first))), c.second);

        for (const char* n : { "verticalLayoutFirstStep", "verticalLayoutSecondStep", "verticalLayoutThirdStep",
                               "horizontalLayout_3" })
            QCOMPARE(lay(n)->alignment(), Qt::Alignment(Qt::AlignCenter));
        QCOMPARE(lay("verticalLayout_4")->alignment(), Qt::Alignment());
        QCOMPARE(lay("horizontalLayout_2")->indexOf(child<QWidget>(w, "refreshBtn")), 0);
        QCOMPARE(lay("horizontalLayout_2")->indexOf(child<QWidget>(w, "comPortComboBox")), 1);
    }

    void windowIsFixedSize()
    {
        MainWindow w;
        QCOMPARE(w.minimumSize(), QSize(WINDOW_WIDTH, WINDOW_HEIGHT));
        QCOMPARE(w.maximumSize(), QSize(1080, 421));
        // Qt adds the usual title-bar hints to a bare Qt::Window; nothing frameless or on top.
        const Qt::WindowFlags flags = w.windowFlags();
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::WindowFlags(Qt::Window));
        QVERIFY(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QVERIFY(!flags.testFlag(Qt::FramelessWindowHint));
        QVERIFY(!flags.testFlag(Qt::WindowStaysOnTopHint));
        w.show();
        w.resize(1400, 700);
        QCOMPARE(w.size(), QSize(1080, 421));
        w.resize(300, 100);
        QCOMPARE(w.size(), QSize(1080, 421));
        QCOMPARE(w.windowTitle(), QStringLiteral("Vorna-Base Flasher Tool"));
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.windowIcon().pixmap(256).size(), QSize(256, 256));
        QCOMPARE(w.styleSheet(), styleSheetString);
        QVERIFY(!styleSheetString.isEmpty());
    }

    void widgetsAndFonts()
    {
        MainWindow w;
        QCOMPARE(w.font().family(), QStringLiteral("Arial"));
        auto* logo = child<QLabel>(w, "label");
        QCOMPARE(logo->maximumSize(), QSize(80, 100));
        QVERIFY(logo->hasScaledContents());
        QCOMPARE(logo->pixmap().size(), QSize(204, 256));
        QCOMPARE(logo->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignBottom);
        QVERIFY(logo->text().isEmpty());
        QCOMPARE(child<QLabel>(w, "titleLbl")->font().pointSize(), 24);

        for (const char* n : { "connectBtn", "openBtn", "flashBtn" }) {
            auto* b = child<QPushButton>(w, n);
            QCOMPARE(b->minimumWidth(), 150);
            QCOMPARE(b->font().family(), QStringLiteral("Arial"));
            QVERIFY(!b->font().bold() && !b->font().italic());
        }
        QCOMPARE(child<QPushButton>(w, "connectBtn")->minimumHeight(), 25);
        for (const char* n : { "connectBtn", "openBtn" }) {
            const QSizePolicy p = child<QPushButton>(w, n)->sizePolicy();
            QCOMPARE(p.horizontalPolicy(), QSizePolicy::Preferred);
            QCOMPARE(p.verticalPolicy(), QSizePolicy::Fixed);
        }
        for (const char* n : { "connectProgressBar", "openProgressBar", "flashProgressBar" }) {
            auto* bar = child<QProgressBar>(w, n);
            QCOMPARE(bar->minimumSize(), QSize(130, 0));
            QCOMPARE(bar->maximumSize(), QSize(130, 10));
        }
        QCOMPARE(child<QProgressBar>(w, "connectProgressBar")->font().pointSize(), 10);
        QCOMPARE(child<QComboBox>(w, "comPortComboBox")->font().pointSize(), 10);
        QCOMPARE(child<QLabel>(w, "fileDescriptionLbl")->maximumWidth(), 442);

        auto* warning = child<QLabel>(w, "disconnectWarning");
        QCOMPARE(warning->text(), QString::fromUtf8("\u26A0\uFE01 Do not disconnect Vorna-Base"));
        QCOMPARE(warning->styleSheet(), QStringLiteral("QLabel{\n\tcolor:#D61505;\n    font: bold 14px;\n}"));
        QVERIFY(warning->font().bold());
        QCOMPARE(warning->alignment(), Qt::AlignLeading | Qt::AlignLeft | Qt::AlignTop);
        for (const char* n : { "devEUITitel", "joinEUITitel", "appKeyTitel" })
            QCOMPARE(child<QLabel>(w, n)->font().pointSize(), 12);

        // The glyphs must come from the icon font itself, not from a fallback. The sheet's
        // button rule resizes every button's text to 14 px; Qt keeps the font the window
        // gave the widget in a property of its style-sheet engine.
        auto* statusBtn = child<QPushButton>(w, "successIconLbl");
        const QFont status = statusBtn->font();
        QCOMPARE(status.family(), iconFamily);
        const QFont given = statusBtn->property("_q_styleSheetWidgetFont").value<QFont>();
        QCOMPARE(given.family(), iconFamily);
        QCOMPARE(given.families().value(1), QStringLiteral("Font Awesome 5 Free"));
        QCOMPARE(given.pixelSize(), 32);
        QCOMPARE(given.weight(), QFont::Normal);
        QVERIFY(!given.italic());
        QVERIFY(QRawFont::fromFont(status).supportsCharacter(U'\uF00C'));
        QVERIFY(QRawFont::fromFont(status).supportsCharacter(U'\uF00D'));
        auto* refresh = child<QPushButton>(w, "refreshBtn");
        QCOMPARE(refresh->text(), QString(QChar(0xF2F9)));
        QVERIFY(QRawFont::fromFont(refresh->font()).supportsCharacter(U'\uF2F9'));

        auto* help = child<QMenu>(w, "menuHelp");
        QCOMPARE(w.menuBar(), child<QMenuBar>(w, "menubar"));
        QCOMPARE(w.statusBar(), child<QStatusBar>(w, "statusbar"));
        QCOMPARE(help->title(), QStringLiteral("Help"));
        QCOMPARE(help->actions().size(), 2);
        QCOMPARE(help->actions().at(0)->objectName(), QStringLiteral("actionAbout"));
        QCOMPARE(help->actions().at(1)->text(), QStringLiteral("Licenses"));
        QVERIFY(!help->actions().at(0)->isCheckable());
        QVERIFY(help->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(help->windowFlags().testFlag(Qt::NoDropShadowWindowHint));
        QVERIFY(help->windowFlags().testFlag(Qt::Popup));
        QVERIFY(help->testAttribute(Qt::WA_TranslucentBackground));
    }

    void startState()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QList<QPair<const char*, QString>> texts = {
            { "connectBtn", "Connect" }, { "openBtn", "Open" }, { "flashBtn", "Flash" },
            { "successIconLbl", "..." },
        };
        for (const auto& t : texts)
            QCOMPARE(child<QPushButton>(w, t.first)->text(), t.second);
        QCOMPARE(child<QLabel>(w, "devEUITitel")->text(), QStringLiteral("DEV EUI"));
        QCOMPARE(child<QLabel>(w, "joinEUITitel")->text(), QStringLiteral("JOIN EUI"));
        QCOMPARE(child<QLabel>(w, "appKeyTitel")->text(), QStringLiteral("APP Key"));
        QCOMPARE(child<QLabel>(w, "titleLbl")->text(), QStringLiteral("Vorna-Base Flasher Tool"));
        QVERIFY(child<QLabel>(w, "fileDescriptionLbl")->text().isEmpty());

        for (const char* n : { "connectBtn", "refreshBtn" })
            QVERIFY2(child<QPushButton>(w, n)->isEnabled(), n);
        QVERIFY(child<QComboBox>(w, "comPortComboBox")->isEnabled());
        for (const char* n : { "openBtn", "flashBtn", "successIconLbl" })
            QVERIFY2(!child<QPushButton>(w, n)->isEnabled(), n);
        QVERIFY(!child<QLabel>(w, "disconnectWarning")->isVisible());
        QVERIFY(child<QLabel>(w, "fileDescriptionLbl")->isVisible());
        for (const char* n : { "connectProgressBar", "openProgressBar", "flashProgressBar" }) {
            auto* bar = child<QProgressBar>(w, n);
            QCOMPARE(bar->value(), 0);
            QCOMPARE(bar->minimum(), 0);
            QCOMPARE(bar->maximum(), 100);
            QVERIFY(!bar->isTextVisible());
        }
        for (const char* n : { "devEUI", "joinEUI", "appKey" }) {
            auto* key = child<QLineEdit>(w, n);
            QVERIFY(key->isEnabled() && key->isReadOnly());
            QVERIFY(key->text().isEmpty());
            QCOMPARE(key->font().pointSize(), 12);
        }
        // The step buttons sit side by side in the header's order.
        const int connectX = child<QWidget>(w, "connectBtn")->x();
        QVERIFY(connectX < child<QWidget>(w, "openBtn")->x());
        QVERIFY(child<QWidget>(w, "openBtn")->x() < child<QWidget>(w, "flashBtn")->x());
        QVERIFY(child<QWidget>(w, "flashBtn")->x() < child<QWidget>(w, "successIconLbl")->x());
        QVERIFY(child<QWidget>(w, "refreshBtn")->y() > child<QWidget>(w, "connectBtn")->y());
    }

    void keyFieldsIgnoreTypingButCopy()
    {
        MainWindow w;
        w.show();
        auto* key = child<QLineEdit>(w, "devEUI");
        QTest::keyClicks(key, QStringLiteral("0123"));
        QVERIFY(key->text().isEmpty());
        key->setText(QStringLiteral("0011223344556677"));
        key->selectAll();
        QCOMPARE(key->selectedText(), QStringLiteral("0011223344556677"));
        QCOMPARE(key->focusPolicy(), Qt::StrongFocus);
    }

    void tabFollowsCreationOrder()
    {
        MainWindow w;
        const QStringList expected = { "openBtn", "connectBtn", "refreshBtn", "comPortComboBox", "successIconLbl",
                                       "flashBtn", "joinEUI", "devEUI", "appKey" };
        QStringList chain;
        QWidget* start = w.centralWidget();
        for (QWidget* it = start->nextInFocusChain(); it != start && chain.size() < 100; it = it->nextInFocusChain())
            if (expected.contains(it->objectName()) && !chain.contains(it->objectName()))
                chain << it->objectName();
        QCOMPARE(chain, expected);

        // Tab skips what is disabled: Open, the status button and Flash at start.
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        child<QWidget>(w, "connectBtn")->setFocus(Qt::TabFocusReason);
        QStringList visited;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, QStringList({ "refreshBtn", "comPortComboBox", "joinEUI", "devEUI", "appKey" }));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
