// The German catalogue through a real translator, and the compiled file's blocks.

#include "htmlcontentdialog.h"
#include "look_support.h"

#include <QtEndian>
#include <QTranslator>
#include <QtTest>

namespace {

const char* const ABOUT_NOTICE = "This software is distributed by Kembit \n Version: 1.0";

struct Row {
    const char* context;
    const char* source;
    const char* german;
};

const Row rows[] = {
    {"HTMLContentDialog", "Dialog", "Vorna-Base Flasher Tool"},
    {"MainWindow", "About", "Über"},
    {"MainWindow", "An error has occured while opening the selected file.",
     "Bei dem Laden der angegebenen Datei ist ein Fehler aufgetreten."},
    {"MainWindow", "Connect", "Connect"},
    {"MainWindow", "Connection Error", "Verbindungsfehler"},
    {"MainWindow", "Disconnect", "Disconnect"},
    {"MainWindow", "Firmware Files (*.hex)", "Firmware Datein (*.hex)"},
    {"MainWindow", "Flash", "Flash"},
    {"MainWindow", "Flash Error", "Schreibfehler"},
    {"MainWindow", "Help", "Hilfe"},
    {"MainWindow", "License", "Lizenzen"},
    {"MainWindow", "Licenses", "Lizenzen"},
    {"MainWindow", "MainWindow", "Vorna-Base Flasher Tool"},
    {"MainWindow", "Open", "Open"},
    {"MainWindow", "Select Firmware", "Firmware auswählen"},
    {"MainWindow", "Success!", "Erfolgreich!"},
    {"MainWindow", "The com connection could not be established",
     "Die serielle Verbindung konnte nicht aufgebaut werden."},
    {"MainWindow", "The firmware file could not be uploaded",
     "Die Firmware konnte nicht auf das Gerät geschrieben werden."},
    {"MainWindow", ABOUT_NOTICE, nullptr},
    {"MainWindow", "Unable to open empty file", "Die Datei konnte nicht geladen werden."},
    {"MainWindow", "connect", "Connect"},
    {"MainWindow", "flash", "Flash"},
    {"MainWindow", "open", "Open"},
};

struct Block {
    quint8 tag;
    QByteArray data;
};

// The .qm file: a 16-byte magic number, then blocks of tag, 32-bit big-endian length, data.
QList<Block> blocksOf(const QByteArray& qm, QString* error)
{
    static const uchar magic[16] = {0x3C, 0xB8, 0x64, 0x18, 0xCA, 0xEF, 0x9C, 0x95,
                                    0xCD, 0x21, 0x1C, 0xBF, 0x60, 0xA1, 0xBD, 0xDD};
    QList<Block> blocks;
    if (qm.size() < 16 || memcmp(qm.constData(), magic, 16) != 0) {
        *error = QStringLiteral("no .qm magic number");
        return blocks;
    }
    qsizetype pos = 16;
    while (pos < qm.size()) {
        if (qm.size() - pos < 5) {
            *error = QStringLiteral("truncated block header");
            break;
        }
        const quint8 tag = quint8(qm[pos]);
        const quint32 len = qFromBigEndian<quint32>(qm.constData() + pos + 1);
        pos += 5;
        if (len > quint32(qm.size() - pos)) {
            *error = QStringLiteral("block runs past the end");
            break;
        }
        blocks << Block{tag, qm.mid(pos, len)};
        pos += len;
    }
    return blocks;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyRowLooksUp();
    void sameWordsAndShiftedCapitals();
    void textsWithoutEntryStayEnglish();
    void compiledFileHoldsLanguageAndPluralRule();
    void dialogFormIsTranslated();

private:
    QTranslator translator;
};

void TestCatalogue::initTestCase()
{
    QVERIFY2(translator.load(QStringLiteral(":/german.qm")), "cannot load :/german.qm");
    QVERIFY(QCoreApplication::installTranslator(&translator));
}

void TestCatalogue::cleanupTestCase()
{
    QCoreApplication::removeTranslator(&translator);
}

void TestCatalogue::everyRowLooksUp()
{
    for (const Row& row : rows) {
        const QString got = translator.translate(row.context, row.source);
        if (!row.german)
            continue;
        QVERIFY2(got == QString::fromUtf8(row.german),
                 qPrintable(QStringLiteral("%1 / %2 -> %3").arg(row.context, row.source, got)));
    }
    // The maker's notice: two lines each side, the German one naming version 1.0.0.
    const QString notice = translator.translate("MainWindow", ABOUT_NOTICE);
    const QStringList lines = notice.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(QStringLiteral("Kembit")));
    QVERIFY(lines[0].contains(QStringLiteral("Software")));
    QCOMPARE(lines[1], QStringLiteral("Version: 1.0.0"));
    QVERIFY(QByteArray(ABOUT_NOTICE).split('\n').first().endsWith(' '));

    // Contexts are kept apart: the dialog's title row is not a main window text.
    QVERIFY(translator.translate("MainWindow", "Dialog").isEmpty());
    QVERIFY(translator.translate("HTMLContentDialog", "Help").isEmpty());
    QVERIFY(!translator.isEmpty());
}

void TestCatalogue::sameWordsAndShiftedCapitals()
{
    QCOMPARE(QCoreApplication::translate("MainWindow", "License"), QStringLiteral("Lizenzen"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "Licenses"), QStringLiteral("Lizenzen"));
    for (const char* word : {"Connect", "Disconnect", "Flash", "Open"})
        QCOMPARE(QCoreApplication::translate("MainWindow", word), QLatin1String(word));
    QCOMPARE(QCoreApplication::translate("MainWindow", "connect"), QStringLiteral("Connect"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "flash"), QStringLiteral("Flash"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "open"), QStringLiteral("Open"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "Firmware Files (*.hex)"),
             QStringLiteral("Firmware Datein (*.hex)"));
}

void TestCatalogue::textsWithoutEntryStayEnglish()
{
    const char* const english[] = {
        "Vorna-Base Flasher Tool", "DEV EUI", "JOIN EUI", "APP Key", "Join EUI:", "Dev EUI:", "App Key:",
        "refresh", "...", "The COM port connection could not be established",
        "Unable to flash/verify the base module. Please reconnect and retry.", "Memory write failure",
    };
    for (const char* text : english)
        QCOMPARE(QCoreApplication::translate("MainWindow", text), QLatin1String(text));
    QCOMPARE(QCoreApplication::translate("HTMLContentDialog", "TextLabel"), QStringLiteral("TextLabel"));
    // The About text is not in the catalogue either (it differs from the notice row).
    const char* about = "Kembit Vorna-Base Flasher Tool\nSoftware Version: 1.0\n\nwww.kembit.eu\n"
                        "Copyright (c) 2021 Kembit. All rights reserved.";
    QCOMPARE(QCoreApplication::translate("MainWindow", about), QLatin1String(about));
}

void TestCatalogue::compiledFileHoldsLanguageAndPluralRule()
{
    QCOMPARE(translator.language(), QStringLiteral("de_DE"));
    const QByteArray qm = look::readBytes(QStringLiteral(":/german.qm"));
    QString error;
    const QList<Block> blocks = blocksOf(qm, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QList<int> tags;
    for (const Block& b : blocks)
        tags << b.tag;
    QCOMPARE(tags, QList<int>({0xA7, 0x42, 0x69, 0x88}));
    QCOMPARE(blocks[0].data, QByteArray("de_DE"));
    QCOMPARE(blocks[1].data.size(), 23 * 8); // one hash entry per message
    QCOMPARE(blocks[3].data, QByteArray("\x01\x01", 2));
    // Hash entries ascend, and each points into the message block.
    quint32 lastHash = 0;
    for (int i = 0; i < 23; ++i) {
        const quint32 hash = qFromBigEndian<quint32>(blocks[1].data.constData() + 8 * i);
        const quint32 offset = qFromBigEndian<quint32>(blocks[1].data.constData() + 8 * i + 4);
        QVERIFY(hash >= lastHash);
        QVERIFY(offset < quint32(blocks[2].data.size()));
        lastHash = hash;
    }
    qInfo("german.qm: %lld bytes, message block %lld bytes", qint64(qm.size()), qint64(blocks[2].data.size()));
}

void TestCatalogue::dialogFormIsTranslated()
{
    HTMLContentDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Vorna-Base Flasher Tool"));
    auto* titel = dialog.findChild<QWidget*>(QStringLiteral("titelLbl"));
    QVERIFY(titel);
    QCOMPARE(titel->property("text").toString(), QStringLiteral("TextLabel"));
}

QTEST_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
