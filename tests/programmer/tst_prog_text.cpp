// The library's text conversions: file paths come in as wide texts, messages go out as
// wide texts.
#include <QtTest>

#include "text_format.h"

class TestProgText : public QObject {
    Q_OBJECT

private slots:
    void utf8ToWideAcceptsValidText();
    void utf8ToWideRejectsMalformedText();
    void lossyConversionReplacesOnlyBadBytes();
    void wideToUtf8ReplacesNonCodePoints();
};

void TestProgText::utf8ToWideAcceptsValidText()
{
    QCOMPARE(*vbprog::utf8ToWide("/tmp/app.hex"), std::wstring(L"/tmp/app.hex"));
    const std::string mixed = "/m\xc3\xbc\x6e/\xe2\x82\xac-\xf0\x9f\x93\xa1.hex";  // ü, €, a 4-byte sign
    const auto wide = vbprog::utf8ToWide(mixed);
    QVERIFY(wide);
    QCOMPARE(wide->size(), std::size_t(sizeof(wchar_t) == 4 ? 12 : 13));
    QCOMPARE(uint32_t((*wide)[2]), uint32_t(0xfc));
    QCOMPARE(uint32_t((*wide)[5]), uint32_t(0x20ac));
    QCOMPARE(vbprog::wideToUtf8(wide->c_str()), mixed);
}

void TestProgText::utf8ToWideRejectsMalformedText()
{
    QVERIFY(!vbprog::utf8ToWide("abc\xc3"));              // cut-off sequence at the end
    QVERIFY(!vbprog::utf8ToWide("\xe2\x82x"));            // continuation byte missing
    QVERIFY(!vbprog::utf8ToWide("\x80"));                 // lone continuation byte
    QVERIFY(!vbprog::utf8ToWide("\xc0\xaf"));             // overlong '/'
    QVERIFY(!vbprog::utf8ToWide("\xed\xa0\x80"));         // surrogate
    QVERIFY(!vbprog::utf8ToWide("\xf4\x90\x80\x80"));     // above U+10FFFF
    QVERIFY(!vbprog::utf8ToWide(std::string("a\0b", 3))); // NUL would cut the path short
}


void TestProgText::lossyConversionReplacesOnlyBadBytes()
{
    const std::string good = "Opened /dev/ttyUSB0 \xe2\x82\xac";
    QCOMPARE(vbprog::utf8ToWideLossy(good), *vbprog::utf8ToWide(good));
    // A file name that is not UTF-8 still shows, each bad byte as one U+FFFD.
    QCOMPARE(vbprog::utf8ToWideLossy("a\xff" "b\xc3"), std::wstring(L"a\xfffd" L"b\xfffd"));
    QCOMPARE(vbprog::utf8ToWideLossy("\xe2\x82x"), std::wstring(L"\xfffd\xfffdx"));
    QCOMPARE(vbprog::utf8ToWideLossy("\xc0\xaf"), std::wstring(L"\xfffd\xfffd"));
}

void TestProgText::wideToUtf8ReplacesNonCodePoints()
{
    QCOMPARE(vbprog::wideToUtf8(nullptr), std::string());
    const wchar_t loneSurrogate[] = {L'a', wchar_t(0xD800), L'b', 0};
    QCOMPARE(vbprog::wideToUtf8(loneSurrogate), std::string("a\xef\xbf\xbd" "b"));
}

QTEST_GUILESS_MAIN(TestProgText)
#include "tst_prog_text.moc"
