// The licence page: its bytes, its markup, its sections and the three licence texts whole.

#include "look_support.h"

#include <QStringDecoder>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <QtTest>

namespace {

// What the page names besides the common parts: Linux lists its ports through libserialport;
// on Windows the system does, and the Qt for Windows here may lack Qt SVG.
#if defined(Q_OS_WIN)
constexpr const char* kPortListAnchor = "asio";
#else
constexpr const char* kPortListAnchor = "libserialport";
#endif
#if defined(Q_OS_WIN) && !defined(VBF_LICENSE_QT_SVG)
#define QT_MODULES "Qt Core, Qt GUI and Qt Widgets"
#else
#define QT_MODULES "Qt Core, Qt GUI, Qt Widgets and Qt SVG"
#endif

QString page()
{
    return QString::fromUtf8(look::readBytes(QStringLiteral(":/License.html")));
}

QString decodeEntities(QString s)
{
    s.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    s.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    s.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    s.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return s;
}

// The page's text as a reader sees it: inline tags vanish, block tags separate words,
// the style block and the head are not text.
QString textOf(QString html)
{
    static const QRegularExpression head(QStringLiteral("<(style|head)>.*?</\\1>"),
                                         QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression inlineTag(QStringLiteral("</?(a|b|i|span)( [^>]*)?>"));
    static const QRegularExpression anyTag(QStringLiteral("<[^>]*>"));
    html.remove(head);
    html.remove(inlineTag);
    html.replace(anyTag, QStringLiteral(" "));
    return look::fold(decodeEntities(html));
}

QString reference(const QString& name)
{
    const QByteArray bytes = look::readBytes(look::sharedDir() + QStringLiteral("/reference/licenses/") + name);
    return QString::fromUtf8(bytes);
}

// The plain licence texts the package installs beside the program.
QString packaged(const QString& name)
{
    return QString::fromUtf8(look::readBytes(look::sourceDir() + QStringLiteral("/packaging/licenses/") + name));
}

struct Tag {
    QString name;
    bool closing;
    QString attributes;
};

QList<Tag> tagsOf(const QString& html)
{
    static const QRegularExpression tag(QStringLiteral("<(/?)([A-Za-z0-9!]+)([^>]*)>"));
    QList<Tag> tags;
    for (auto it = tag.globalMatch(html); it.hasNext();) {
        const auto m = it.next();
        tags << Tag{m.captured(2).toLower(), !m.captured(1).isEmpty(), m.captured(3).trimmed()};
    }
    return tags;
}

// Headings in order, as "h1:text".
QStringList headingsOf(const QString& html)
{
    static const QRegularExpression h(QStringLiteral("<(h[1-6])[^>]*>(.*?)</\\1>"),
                                      QRegularExpression::DotMatchesEverythingOption);
    QStringList out;
    for (auto it = h.globalMatch(html); it.hasNext();) {
        const auto m = it.next();
        out << m.captured(1) + QLatin1Char(':') + textOf(m.captured(2));
    }
    return out;
}

} // namespace

class TestLicensePage : public QObject
{
    Q_OBJECT

private slots:
    void bytesAreUtf8WithCrlf();
    void headAndStyleBlock();
    void markupIsBalancedAndEscaped();
    void sectionsInOrder();
    void sentencesAndNotices();
    void licenceTextsWhole_data();
    void licenceTextsWhole();
    void qtRendersAnchorsAndOneLink();
    void namesTheQtItIsBuiltWith();
    void packagedTextsMatchThePage_data();
    void packagedTextsMatchThePage();
};

void TestLicensePage::bytesAreUtf8WithCrlf()
{
    const QByteArray bytes = look::readBytes(QStringLiteral(":/License.html"));
    QVERIFY2(!bytes.isEmpty(), ":/License.html is missing or empty");
    QVERIFY2(!bytes.startsWith("\xEF\xBB\xBF"), "byte-order mark");
    QVERIFY(bytes.startsWith("<!DOCTYPE html>\r\n"));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    QVERIFY2(!decoder.hasError(), "not valid UTF-8");
    QVERIFY(!text.contains(QChar(0)));
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n')
            QVERIFY2(i > 0 && bytes[i - 1] == '\r', "line without CRLF end");
        if (bytes[i] == '\r')
            QVERIFY2(i + 1 < bytes.size() && bytes[i + 1] == '\n', "lone CR");
    }
    qInfo("licence page: %lld bytes", qint64(bytes.size()));
}

void TestLicensePage::headAndStyleBlock()
{
    const QString html = page();
    const int lang = html.indexOf(QStringLiteral("<html lang=\"en\">"));
    const int style = html.indexOf(QStringLiteral("<style>"));
    const int styleEnd = html.indexOf(QStringLiteral("</style>"));
    const int head = html.indexOf(QStringLiteral("<head>"));
    const int charset = html.indexOf(QStringLiteral("<meta charset=\"UTF-8\">"));
    const int title = html.indexOf(
        QStringLiteral("<title>License Information for the Vorna-Base-Flasher Tool.</title>"));
    const int headEnd = html.indexOf(QStringLiteral("</head>"));
    const int body = html.indexOf(QStringLiteral("<body>"));
    QVERIFY(lang > 0);
    QVERIFY(lang < style && style < styleEnd && styleEnd < head);
    QVERIFY(head < charset && charset < title && title < headEnd && headEnd < body);

    QString error;
    const auto rules = look::parseCss(html.mid(style + 7, styleEnd - style - 7), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(rules.size(), 4);
    const QStringList font = {"font-family: sans-serif;"};
    QCOMPARE(rules[0].selector, QStringLiteral("h2"));
    QCOMPARE(rules[0].declarations, QStringList({"color: 00618e;", "font-size: 11.0pt;"}) + font);
    QCOMPARE(rules[1].selector, QStringLiteral("h1"));
    QCOMPARE(rules[1].declarations, QStringList({"color: 00618e;", "font-size: 15.0pt;"}) + font);
    QCOMPARE(rules[2].selector, QStringLiteral("p, ul, li, pre"));
    QCOMPARE(rules[2].declarations, QStringList({"color: 8d8d8d;", "font-size: 10.0pt;"}) + font);
    QCOMPARE(rules[3].selector, QStringLiteral("br"));
    QCOMPARE(rules[3].declarations,
             QStringList({"display: block;", "margin: 22px 0;", "line-height: 22px;", "content: \" \""}));
}

void TestLicensePage::markupIsBalancedAndEscaped()
{
    const QString html = page();
    static const QStringList known = {"!doctype", "html", "style", "head", "meta", "title", "body", "br",
                                      "h1", "h2", "h4", "p", "b", "a", "ol", "ul", "li", "pre"};
    QStringList open;
    for (const Tag& t : tagsOf(html)) {
        QVERIFY2(known.contains(t.name), qPrintable(QStringLiteral("unexpected tag ") + t.name));
        if (t.name == "!doctype" || t.name == "br" || t.name == "meta")
            continue;
        if (!t.closing) {
            open << t.name;
            continue;
        }
        QVERIFY2(!open.isEmpty() && open.last() == t.name,
                 qPrintable(QStringLiteral("</%1> closes <%2>").arg(t.name, open.value(open.size() - 1))));
        open.removeLast();
    }
    QVERIFY2(open.isEmpty(), qPrintable(QStringLiteral("left open: ") + open.join(QLatin1Char(','))));

    // Outside tags, '<' and '>' never stand bare, and every '&' starts an entity.
    static const QRegularExpression tag(QStringLiteral("<[^<>]*>"));
    const QString text = QString(html).remove(tag);
    QVERIFY(!text.contains(QLatin1Char('<')));
    QVERIFY(!text.contains(QLatin1Char('>')));
    static const QRegularExpression bareAmp(QStringLiteral("&(?!(amp|lt|gt|quot);)"));
    QVERIFY(!text.contains(bareAmp));
}

void TestLicensePage::sectionsInOrder()
{
    const QStringList expected = {
        "h1:Acknowledgements",
        "h2:Font Awesome 5",
        "h2:Qt " QT_VERSION_STR,
        "h2:ST CubeProgrammer API",
#if !defined(Q_OS_WIN)
        "h2:libserialport",
#elif defined(VBF_LICENSE_DATABASE)
        "h2:SQLite",
        "h2:libpq",
        "h2:OpenSSL",
#endif
        "h2:Asio",
        "h1:Licences",
        "h2:SIL OPEN FONT LICENSE Version 1.1 - 26 February 2007",
        "h2:GNU LESSER GENERAL PUBLIC LICENSE",
        "h4:0. Additional Definitions.",
        "h4:1. Exception to Section 3 of the GNU GPL.",
        "h4:2. Conveying Modified Versions.",
        "h4:3. Object Code Incorporating Material from Library Header Files.",
        "h4:4. Combined Works.",
        "h4:5. Combined Libraries.",
        "h4:6. Revised Versions of the GNU Lesser General Public License.",
        "h2:Boost Software License - Version 1.0 - August 17th, 2003",
#if defined(Q_OS_WIN) && defined(VBF_LICENSE_DATABASE)
        "h2:PostgreSQL Licence",
        "h2:Apache License, Version 2.0",
#endif
    };
    const QString html = page();
    QCOMPARE(headingsOf(html), expected);
    QVERIFY(html.contains(QStringLiteral("<h2><b>SIL OPEN FONT LICENSE Version 1.1 - 26 February 2007</b></h2>")));
    // The body opens with a break, and a break stands before every section after the first.
    const QString body = html.mid(html.indexOf(QStringLiteral("<body>")) + 6).trimmed();
    QVERIFY(body.startsWith(QStringLiteral("<br>")));
    for (const QString& h : {QStringLiteral("<h2><a name=\"font awesome 5\">"), QStringLiteral("<h2><a name=\"qt\">"),
                             QStringLiteral("<h2><a name=\"ST CubeProgrammer API\">"),
#if !defined(Q_OS_WIN)
                             QStringLiteral("<h2><a name=\"libserialport\">"),
#endif
                             QStringLiteral("<h2><a name=\"asio\">"),
                             QStringLiteral("<h2><a name=\"boost\">"),
                             QStringLiteral("<h1>Licences")}) {
        const int at = html.indexOf(h);
        QVERIFY2(at > 0, qPrintable(h));
        QVERIFY2(html.left(at).trimmed().endsWith(QStringLiteral("<br>")), qPrintable(h));
    }
    for (const char* bold : {"PREAMBLE", "DEFINITIONS", "PERMISSION &amp; CONDITIONS", "TERMINATION", "DISCLAIMER"})
        QVERIFY2(html.contains(QStringLiteral("<b>%1</b>").arg(QLatin1String(bold))), bold);
    // The agreement's eleven conditions are one numbered list.
    const int ol = html.indexOf(QStringLiteral("<ol>"));
    const int olEnd = html.indexOf(QStringLiteral("</ol>"));
    QVERIFY(ol > 0 && olEnd > ol);
    QCOMPARE(html.mid(ol, olEnd - ol).count(QStringLiteral("<li>")), 11);
    QCOMPARE(html.count(QStringLiteral("<ol>")), 1);
}

void TestLicensePage::sentencesAndNotices()
{
    const QString text = textOf(page());
    const QStringList sentences = {
        "This software contains free third party software products released under various license conditions, as displayed below.",
        "The software is provided \"as is\" WITHOUT ANY WARRANTY.",
        "Our legal liability remains thereby unaffected.",
        "Whenever required by the particular license, we provide you with a complete and machine-readable copy of the free software source text.",
        "This font is licensed under the SIL open font license, a copy of which is displayed below.",
        "This software utilizes version " QT_MODULES ".",
        QT_MODULES " are available under the GNU Lesser General Public License version 3, a copy of which is displayed below.",
        "This software utilizes parts of the ST CubeProgrammer API, which are licensed under the following terms and conditions.",
        "SLA0048 Rev4/March 2018",
        "Copyright (c) 2021 Fonticons, Inc.",
        "Copyright (C) 2021 The Qt Company Ltd. and other contributors.",
        "Version 3, 29 June 2007",
#if !defined(Q_OS_WIN)
        "libserialport is available under the GNU Lesser General Public License version 3 or later, a copy of which is displayed below.",
#elif defined(VBF_LICENSE_DATABASE)
        "libpq is available under the PostgreSQL Licence, a copy of which is displayed below.",
        "OpenSSL is available under the Apache License, Version 2.0, a copy of which is displayed below.",
        "SQLite is in the public domain.",
#endif
        "Asio is distributed under the Boost Software License, Version 1.0, a copy of which is displayed below.",
        "Copyright (c) 2003-2022 Christopher M. Kohlhoff.",
    };
    for (const QString& s : sentences)
        QVERIFY2(text.contains(s), qPrintable(s));

    // The request for the source copy names a real-looking support address, no placeholder.
    static const QRegularExpression mail(QStringLiteral("write to (\\S+@\\S+\\.[a-z]+)\\.</p>"));
    const auto m = mail.match(page());
    QVERIFY2(m.hasMatch(), "no support address at the end of the second paragraph");
    QVERIFY(!m.captured(1).contains(QStringLiteral("example")));
    QVERIFY(m.captured(1).contains(QStringLiteral("kembit")));
    for (const char* placeholder : {"TODO", "TBD", "XXX", "example.", "lorem"})
        QVERIFY2(!page().contains(QLatin1String(placeholder), Qt::CaseInsensitive), placeholder);
}

void TestLicensePage::licenceTextsWhole_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("SIL OFL 1.1") << "OFL-1.1.txt";
    QTest::newRow("GNU LGPL 3") << "LGPL-3.0.txt";
    QTest::newRow("ST SLA0048") << "SLA0048-Rev4.txt";
    QTest::newRow("Boost 1.0") << "BSL-1.0.txt";
}

void TestLicensePage::licenceTextsWhole()
{
    QFETCH(QString, file);
    // The Boost licence is not among the reference texts; the package's copy serves.
    QString ref = file.startsWith(QStringLiteral("BSL")) ? packaged(file) : reference(file);
    QVERIFY2(!ref.isEmpty(), qPrintable(QStringLiteral("reference text missing: ") + file));
    // The plain text's ruler lines carry no words; the page's numbered list draws its own numbers.
    static const QRegularExpression ruler(QStringLiteral("^-+$"), QRegularExpression::MultilineOption);
    static const QRegularExpression number(QStringLiteral("(^|\\n\\n)\\d+\\. "));
    ref.remove(ruler);
    if (file.startsWith(QStringLiteral("SLA")))
        ref.replace(number, QStringLiteral("\\1"));
    ref = look::fold(ref);

    const QString text = textOf(page());
    QVERIFY2(text.contains(ref), qPrintable(file + QStringLiteral(" is not on the page whole")));

    // What Qt renders carries the same words (lists drop their numbers there as well).
    QTextDocument doc;
    doc.setHtml(page());
    const QString rendered = look::fold(doc.toPlainText());
    QVERIFY2(rendered.contains(ref), qPrintable(file + QStringLiteral(" is not rendered whole")));
}

void TestLicensePage::qtRendersAnchorsAndOneLink()
{
    QTextDocument doc;
    doc.setHtml(page());
    QCOMPARE(doc.metaInformation(QTextDocument::DocumentTitle),
             QStringLiteral("License Information for the Vorna-Base-Flasher Tool."));
    const QString rendered = doc.toPlainText();
    QVERIFY2(!rendered.contains(QStringLiteral("font-family")), "the style block shows as text");
    QVERIFY(rendered.trimmed().startsWith(QStringLiteral("Acknowledgements")));

    QStringList anchors;
    QStringList links;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            anchors << f.anchorNames();
            if (!f.anchorHref().isEmpty() && !links.contains(f.anchorHref()))
                links << f.anchorHref();
        }
    }
    for (const char* name : {"font awesome 5", "qt", "ST CubeProgrammer API", kPortListAnchor, "asio", "boost"})
        QVERIFY2(anchors.contains(QLatin1String(name)), name);
    QVERIFY(page().contains(QStringLiteral("id=\"SEC1\"")));
    QCOMPARE(links, QStringList({"https://fsf.org/"}));
}

// The Qt heading carries the version of the Qt headers the program was compiled with, put in
// by the build; no placeholder is left behind.
void TestLicensePage::namesTheQtItIsBuiltWith()
{
    const QString html = page();
    QVERIFY(html.contains(QStringLiteral("<h2><a name=\"qt\"></a>Qt " QT_VERSION_STR "</h2>")));
    static const QRegularExpression placeholder(QStringLiteral("@[A-Z_]+@"));
    QVERIFY2(!html.contains(placeholder), qPrintable(placeholder.match(html).captured()));
    // The source keeps the placeholder, so the version is never typed in by hand.
    const QString source = QString::fromUtf8(look::readBytes(look::sourceDir() + QStringLiteral("/resources/License.html")));
    QVERIFY(source.contains(QStringLiteral("<h2><a name=\"qt\"></a>Qt @VBF_QT_VERSION@</h2>")));
}

void TestLicensePage::packagedTextsMatchThePage_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("SIL OFL 1.1") << "OFL-1.1.txt";
    QTest::newRow("GNU LGPL 3") << "LGPL-3.0.txt";
}

// The texts installed under the package's documentation folder are the published ones.
void TestLicensePage::packagedTextsMatchThePage()
{
    QFETCH(QString, file);
    const QString copy = packaged(file);
    QVERIFY2(!copy.isEmpty(), qPrintable(QStringLiteral("packaging/licenses/") + file + QStringLiteral(" missing")));
    QCOMPARE(copy, reference(file));
}

QTEST_MAIN(TestLicensePage)
#include "tst_licensepage.moc"
