// Intel HEX parser and binary loader of the programming library.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <random>

#include "firmware_image.h"
#include "hex_tools.h"
#include "status.h"

using vbprog::FirmwareImage;
using vbprog::parseIntelHex;

namespace {

vbprog::Result<vbprog::FirmwareImage> parse(const QByteArray& text)
{
    return parseIntelHex(std::string_view(text.constData(), size_t(text.size())));
}

QByteArray join(const QList<QByteArray>& lines, const QByteArray& eol = "\n")
{
    return lines.join(eol) + eol;
}

// The image as one flat block from its lowest address, gaps 0x00 (objcopy -O binary).
QByteArray flat(const FirmwareImage& img)
{
    const uint32_t lo = img.lowestAddress();
    QByteArray out(int(img.endAddress() - lo), 0);
    for (const auto& s : img.segments())
        std::memcpy(out.data() + (s.first - lo), s.second.data(), s.second.size());
    return out;
}

// One line from a short form: "04:0800" (type and data), "00:0810:AABB" (data record at an
// offset), "!0810:AABB" (data record with a wrong checksum).
QByteArray recordFrom(const QString& rec)
{
    const QStringList f = rec.split(':');
    if (rec.startsWith('!'))
        return hexRecord(0, uint16_t(f[0].mid(1).toUInt(nullptr, 16)), QByteArray::fromHex(f[1].toLatin1()), true);
    const auto type = uint8_t(f[0].toUInt(nullptr, 16));
    if (type == 0)
        return hexRecord(0, uint16_t(f[1].toUInt(nullptr, 16)), QByteArray::fromHex(f[2].toLatin1()));
    return hexRecord(type, 0, QByteArray::fromHex(f.value(1).toLatin1()));
}

// "08000800:0001.. 08000810:.." for each run.
QString runsText(const FirmwareImage& img)
{
    QStringList runs;
    for (const auto& s : img.segments())
        runs << QStringLiteral("%1:").arg(s.first, 8, 16, QLatin1Char('0')).toUpper() +
                    QByteArray(reinterpret_cast<const char*>(s.second.data()), int(s.second.size())).toHex().toUpper();
    return runs.join(' ');
}

}  // namespace

class TestProgImage : public QObject {
    Q_OBJECT

private slots:
    void acceptsLineEndsAndCase_data();
    void acceptsLineEndsAndCase();
    void addressing();
    void overlapsAndOrder();
    void anyRecordOrder_data();
    void anyRecordOrder();
    void largeFileInAnyOrder();
    void rejectsMalformed_data();
    void rejectsMalformed();
    void fuzzNeverCrashesAndAlwaysGivesAReason();
    void readsRealFilesLikeObjcopy_data();
    void readsRealFilesLikeObjcopy();
    void binaryPlacedAtAddress();
    void countsDataBytesOnly();
    void formatFromFileName();
};

void TestProgImage::acceptsLineEndsAndCase_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray data = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF");
    const QList<QByteArray> lines{hexLinear(0x0800), hexRecord(0, 0x0800, data), hexEof()};
    QTest::newRow("LF") << join(lines);
    QTest::newRow("CRLF") << join(lines, "\r\n");
    QTest::newRow("CR only") << join(lines, "\r");
    QTest::newRow("no final newline") << lines.join("\n");
    QTest::newRow("lowercase") << join(lines).toLower();
    QTest::newRow("blank lines between") << QByteArray(lines[0] + "\n\n" + lines[1] + "\r\n\r\n" + lines[2] + "\n");
    QTest::newRow("Ctrl-Z after end") << QByteArray(join(lines) + "\x1A");
}

void TestProgImage::acceptsLineEndsAndCase()
{
    QFETCH(QByteArray, text);
    const auto r = parse(text);
    QVERIFY2(r.ok(), r.error().what.c_str());
    QCOMPARE(r->segments().size(), size_t(1));
    QCOMPARE(r->lowestAddress(), 0x08000800u);
    QCOMPARE(r->byteCount(), uint64_t(16));
    QCOMPARE(r->segments().begin()->second[15], uint8_t(0xFF));
}

void TestProgImage::addressing()
{
    // Linear base: a record running past offset 0xFFFF continues into the next 64 KiB.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0xFFF8, patternBytes(16, 1)), hexEof()}));
        QVERIFY2(r.ok(), r.error().what.c_str());
        QCOMPARE(r->lowestAddress(), 0x0800FFF8u);
        QCOMPARE(r->endAddress(), uint64_t(0x08010008));
    }
    // Segment base = value * 16.
    {
        const auto r = parse(join({hexRecord(0x02, 0, QByteArray::fromHex("1234")), hexRecord(0, 0x0010, "ABCD"), hexEof()}));
        QVERIFY2(r.ok(), r.error().what.c_str());
        QCOMPARE(r->lowestAddress(), 0x12350u);
    }
    // No extended record: plain 16-bit addresses.
    {
        const auto r = parse(join({hexRecord(0, 0x0100, "xy"), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(r->lowestAddress(), 0x100u);
    }
    // Start addresses are kept, not loaded; the last one counts.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, "abcd"),
                                   hexRecord(0x05, 0, QByteArray::fromHex("08000101")),
                                   hexRecord(0x05, 0, QByteArray::fromHex("08000901")), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(r->byteCount(), uint64_t(4));
        QVERIFY(r->startAddress.has_value());
        QCOMPARE(*r->startAddress, 0x08000901u);
        QVERIFY(!r->warnings.empty());
    }
    // Several 04 records switch the base; the runs stay apart.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, "1234"), hexLinear(0x0801),
                                   hexRecord(0, 0x0000, "5678"), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(r->segments().size(), size_t(2));
        QCOMPARE(r->segments().rbegin()->first, 0x08010000u);
        QCOMPARE(r->lineOf(0x08010002), 4);
    }
}

void TestProgImage::overlapsAndOrder()
{
    // Out of order: the image is sorted and merged all the same.
    const QByteArray a = patternBytes(16, 2), b = patternBytes(16, 3);
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0810, b), hexRecord(0, 0x0800, a), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(r->segments().size(), size_t(1));
        QCOMPARE(flat(r.value()), a + b);
        QVERIFY(!r->warnings.empty());
    }
    // A record bridging two runs joins them.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a.left(4)), hexRecord(0, 0x080C, a.mid(12, 4)),
                                   hexRecord(0, 0x0804, a.mid(4, 8)), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(r->segments().size(), size_t(1));
        QCOMPARE(flat(r.value()), a);
    }
    // The same bytes twice: accepted with a warning.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a), hexRecord(0, 0x0808, a.mid(8, 4)), hexEof()}));
        QVERIFY(r.ok());
        QCOMPARE(flat(r.value()), a);
        QVERIFY(!r->warnings.empty());
    }
    // Different bytes at the same address: refused, naming the later line and both values.
    {
        QByteArray other = a.mid(8, 4);
        other[1] = char(uint8_t(other[1]) ^ 0x5A);
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a), hexRecord(0, 0x0808, other), hexEof()}));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().line, 3);
        QVERIFY2(r.error().what.find("line 3: 0x08000809 already set to") == 0, r.error().what.c_str());
    }
}

// Records in any order and records that share bytes: the image, the warnings and the refused
// line are those of the records added one by one in file order (answers of that reader).
void TestProgImage::anyRecordOrder_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QString>("error");      // empty: accepted
    QTest::addColumn<QString>("warnings");
    QTest::addColumn<QString>("runs");
    QTest::addColumn<QString>("origins");    // address=line of the record that first gave it

    const QString order = QStringLiteral("records not in ascending address order");
    const QString repeat = QStringLiteral("record repeats bytes already given with the same values");
    QTest::newRow("descending")
        << QStringList{"04:0800", "00:080C:0C0D0E0F", "00:0808:08090A0B", "00:0804:04050607", "00:0800:00010203", "01"}
        << "" << "line 3: " + order << "08000800:000102030405060708090A0B0C0D0E0F"
        << "08000800=5 08000807=4 08000808=3 0800080F=2";
    QTest::newRow("descending across 64 KiB")
        << QStringList{"04:0801", "00:0000:10111213", "04:0800", "00:FFFC:0C0D0E0F", "01"}
        << "" << "line 4: " + order << "0800FFFC:0C0D0E0F10111213" << "0800FFFF=4 08010000=2";
    QTest::newRow("shuffled with a gap")
        << QStringList{"04:0800", "00:0808:08090A0B", "00:0800:00010203", "00:0814:14151617", "00:0804:04050607",
                       "00:0810:10111213", "01"}
        << "" << "line 3: " + order << "08000800:000102030405060708090A0B 08000810:1011121314151617"
        << "08000804=5 08000810=6 08000817=4";
    QTest::newRow("shuffled across bases")
        << QStringList{"04:0801", "00:0004:04050607", "04:0800", "00:0800:00010203", "04:0801", "00:0000:00010203",
                       "04:0800", "00:0804:04050607", "01"}
        << "" << "line 4: " + order << "08000800:0001020304050607 08010000:0001020304050607"
        << "08000804=8 08010000=6 08010004=2";
    QTest::newRow("descending repeat of the same bytes")
        << QStringList{"04:0800", "00:0804:04050607", "00:0800:0001020304050607", "01"}
        << "" << "line 3: " + order + "|line 3: " + repeat << "08000800:0001020304050607" << "08000800=3 08000804=2";
    QTest::newRow("repeats warned once, at the first")
        << QStringList{"04:0800", "00:0800:0001020304050607", "00:0802:0203", "00:0804:0405", "01"}
        << "" << "line 3: " + order + "|line 3: " + repeat << "08000800:0001020304050607" << "08000804=2";
    QTest::newRow("bridging record after both sides")
        << QStringList{"04:0800", "00:0808:08090A0B", "00:0800:00010203", "00:0802:0203040506070809", "01"}
        << "" << "line 3: " + order + "|line 4: " + repeat << "08000800:000102030405060708090A0B"
        << "08000803=3 08000804=4 08000808=2";
    QTest::newRow("repeat warning in line order among the others")
        << QStringList{"04:0800", "00:0800:", "05:08000801", "00:0804:04050607", "00:0800:00010203",
                       "00:0802:02030405", "05:08000901", "01"}
        << ""
        << "line 2: empty data record ignored|line 5: " + order + "|line 6: " + repeat +
               "|line 7: second start address record, the last one counts"
        << "08000800:0001020304050607" << "08000800=5 08000804=4";
    QTest::newRow("clash names the lowest differing byte across runs")
        << QStringList{"04:0800", "00:0800:00010203", "00:0808:08090A0B", "00:0800:000102FF040506070809EE0B", "01"}
        << "line 4: 0x08000803 already set to 0x03, now 0xFF" << "" << "" << "";
    QTest::newRow("first clashing line wins over a lower address")
        << QStringList{"04:0800", "00:0810:10111213", "00:0800:00010203", "00:0810:10FF1213", "00:0800:EE010203", "01"}
        << "line 4: 0x08000811 already set to 0x11, now 0xFF" << "" << "" << "";
    QTest::newRow("clash in descending order")
        << QStringList{"04:0800", "00:0804:04050607", "00:0800:0001020304FF", "01"}
        << "line 3: 0x08000805 already set to 0x05, now 0xFF" << "" << "" << "";
    QTest::newRow("clash after a repeat keeps the first value")
        << QStringList{"04:0800", "00:0800:00010203", "00:0800:00010203", "00:0803:AA", "01"}
        << "line 4: 0x08000803 already set to 0x03, now 0xAA" << "" << "" << "";
    QTest::newRow("clash before a broken line")
        << QStringList{"04:0800", "00:0800:00010203", "00:0802:FF03", "!0810:1011", "01"}
        << "line 3: 0x08000802 already set to 0x02, now 0xFF" << "" << "" << "";
    QTest::newRow("broken line before a clash")
        << QStringList{"04:0800", "00:0800:00010203", "!0810:1011", "00:0802:FF03", "01"}
        << "line 3: checksum 0xC4, expected 0xC5" << "" << "" << "";
    QTest::newRow("clash without end record")
        << QStringList{"04:0800", "00:0800:0001", "00:0800:0101"}
        << "line 3: 0x08000800 already set to 0x00, now 0x01" << "" << "" << "";
    QTest::newRow("clash after the end record is not read")
        << QStringList{"04:0800", "00:0800:00", "01", "00:0800:01"}
        << "line 4: data after end-of-file record" << "" << "" << "";
}

void TestProgImage::anyRecordOrder()
{
    QFETCH(QStringList, records);
    QFETCH(QString, error);
    QFETCH(QString, warnings);
    QFETCH(QString, runs);
    QFETCH(QString, origins);
    QList<QByteArray> lines;
    for (const QString& rec : records)
        lines << recordFrom(rec);
    const auto r = parse(join(lines));

    QCOMPARE(QString::fromStdString(r.error().what), error);
    QCOMPARE(r.ok(), error.isEmpty());
    QCOMPARE(r.error().line, error.isEmpty() ? 0 : error.section(' ', 1, 1).chopped(1).toInt());
    if (!r.ok()) {
        QVERIFY(warnings.isEmpty() && runs.isEmpty());   // a refusal carries no image
        return;
    }
    QStringList w;
    for (const auto& text : r->warnings)
        w << QString::fromStdString(text);
    QCOMPARE(w.join('|'), warnings);
    QCOMPARE(runsText(r.value()), runs);
    for (const QString& o : origins.split(' ', Qt::SkipEmptyParts))
        QCOMPARE(r->lineOf(o.section('=', 0, 0).toUInt(nullptr, 16)), o.section('=', 1).toInt());
}

// Thousands of records, some given twice, in three orders: one image, whatever the order.
void TestProgImage::largeFileInAnyOrder()
{
    struct Rec {
        uint32_t address;
        QByteArray data;
    };
    std::vector<Rec> recs;
    const QByteArray block = patternBytes(3000 * 16, 7);
    for (int i = 0; i < 3000; ++i) {
        if (i % 500 == 499)
            continue;   // gaps: several runs
        recs.push_back({0x08000800u + uint32_t(i) * 16, block.mid(i * 16, 16)});
        if (i % 7 == 0 && i % 500 < 498)   // the same bytes again, shifted by half a record
            recs.push_back({0x08000808u + uint32_t(i) * 16, block.mid(i * 16 + 8, 16)});
    }
    auto text = [](const std::vector<Rec>& rs) {
        QByteArray t;
        for (const Rec& rec : rs)
            t += hexLinear(uint16_t(rec.address >> 16)) + "\n" + hexRecord(0, uint16_t(rec.address), rec.data) + "\n";
        return t + hexEof() + "\n";
    };
    const auto ascending = parse(text(recs));
    QVERIFY2(ascending.ok(), ascending.error().what.c_str());
    QCOMPARE(ascending->segments().size(), size_t(6));
    QCOMPARE(ascending->byteCount(), uint64_t(2994 * 16));

    std::vector<Rec> descending(recs.rbegin(), recs.rend());
    std::vector<Rec> shuffled = recs;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(99));
    for (const auto* order : {&descending, &shuffled}) {
        const auto r = parse(text(*order));
        QVERIFY2(r.ok(), r.error().what.c_str());
        QVERIFY(r->segments() == ascending->segments());
    }

    // One byte changed in a repeated record is refused at the later of the two records that give it.
    const auto rep = std::find_if(shuffled.begin(), shuffled.end(), [](const Rec& rec) { return rec.address % 16 == 8; });
    rep->data[3] = char(rep->data[3] ^ 0x01);
    const uint32_t changed = rep->address + 3;
    const auto first = std::find_if(shuffled.begin(), shuffled.end(),
                                    [changed](const Rec& rec) { return rec.address == (changed & ~15u); });
    const int line = 2 * int(std::max(rep - shuffled.begin(), first - shuffled.begin())) + 2;
    const auto clash = parse(text(shuffled));
    QVERIFY(!clash.ok());
    QCOMPARE(clash.error().line, line);
    const QString expected = QStringLiteral("line %1: 0x%2 already set to").arg(line).arg(changed, 8, 16, QLatin1Char('0')).toUpper();
    QVERIFY2(QString::fromStdString(clash.error().what).toUpper().startsWith(expected), clash.error().what.c_str());
}

void TestProgImage::rejectsMalformed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");
    const QByteArray ela = hexLinear(0x0800);
    const QByteArray rec = hexRecord(0, 0x0800, QByteArray::fromHex("0102030405060708"));
    const QByteArray eof = hexEof();

    QTest::newRow("empty file") << QByteArray() << 0 << "no data records";
    QTest::newRow("only end record") << join({eof}) << 0 << "no data records";
    QTest::newRow("no end record") << join({ela, rec}) << 0 << "missing end-of-file record";
    QTest::newRow("leading space") << join({ela, " " + rec, eof}) << 2 << "expected ':'";
    QTest::newRow("byte order mark") << join({"\xEF\xBB\xBF" + ela, rec, eof}) << 1 << "not an Intel HEX text line";
    QTest::newRow("comment") << join({"; made by hand", ela, rec, eof}) << 1 << "expected ':'";
    QTest::newRow("whitespace only") << join({ela, "   ", rec, eof}) << 2 << "expected ':'";
    QTest::newRow("non-hex digit") << join({ela, QByteArray(rec).replace(9, 1, "G"), eof}) << 2 << "invalid hex digit 'G' at column 10";
    QTest::newRow("trailing space") << join({ela, rec + " ", eof}) << 2 << "invalid hex digit ' '";
    QTest::newRow("odd digits") << join({ela, rec.left(rec.size() - 1), eof}) << 2 << "odd number of hex digits";
    QTest::newRow("colon alone") << join({ela, ":", eof}) << 2 << "record too short";
    QTest::newRow("too short") << join({ela, ":00000001", eof}) << 2 << "record too short";
    QTest::newRow("truncated") << join({ela, rec.left(rec.size() - 4), eof}) << 2 << "length field says 8 bytes, record has 6";
    QTest::newRow("extra digits") << join({ela, rec + "00", eof}) << 2 << "length field says 8 bytes, record has 9";
    QTest::newRow("bad checksum") << join({ela, hexRecord(0, 0x0800, "abcd", true), eof}) << 2 << "checksum 0x";
    QTest::newRow("type 06") << join({ela, hexRecord(6, 0, ""), eof}) << 2 << "unknown record type 0x06";
    QTest::newRow("end with data") << join({ela, rec, hexRecord(1, 0, "x")}) << 3 << "malformed end-of-file record";
    QTest::newRow("end with address") << join({ela, rec, hexRecord(1, 0x0010, "")}) << 3 << "malformed end-of-file record";
    QTest::newRow("04 length 3") << join({hexRecord(4, 0, "abc"), rec, eof}) << 1 << "type 04 record must have length 2";
    QTest::newRow("02 length 1") << join({hexRecord(2, 0, "a"), rec, eof}) << 1 << "type 02 record must have length 2";
    QTest::newRow("05 length 2") << join({ela, rec, hexRecord(5, 0, "ab"), eof}) << 3 << "type 05 record must have length 4";
    QTest::newRow("03 length 2") << join({ela, rec, hexRecord(3, 0, "ab"), eof}) << 3 << "type 03 record must have length 4";
    QTest::newRow("04 with offset") << join({hexRecord(4, 0x0001, QByteArray::fromHex("0800")), rec, eof}) << 1 << "address field must be 0000 for type 04";
    QTest::newRow("05 with offset") << join({ela, rec, hexRecord(5, 0x0001, "abcd"), eof}) << 3 << "address field must be 0000 for type 05";
    QTest::newRow("data after end") << join({ela, rec, eof, rec}) << 4 << "data after end-of-file record";
    QTest::newRow("two end records") << join({ela, rec, eof, eof}) << 4 << "data after end-of-file record";
    QTest::newRow("garbage after end") << join({ela, rec, eof, "trailing junk"}) << 4 << "data after end-of-file record";
    QTest::newRow("segment record crossing 64 KiB") << join({hexRecord(2, 0, QByteArray::fromHex("1000")), hexRecord(0, 0xFFFC, "12345678"), eof}) << 2 << "crosses a 64 KiB boundary";
    QTest::newRow("16-bit record crossing 64 KiB") << join({hexRecord(0, 0xFFFE, "1234"), eof}) << 1 << "crosses a 64 KiB boundary";
    QTest::newRow("segment and linear mixed") << join({ela, rec, hexRecord(2, 0, QByteArray::fromHex("1000")), eof}) << 3 << "segment and linear addressing mixed";
    QTest::newRow("address overflow") << join({hexLinear(0xFFFF), hexRecord(0, 0xFFFC, "12345678"), eof}) << 2 << "address overflow";
    QTest::newRow("NUL byte") << join({ela, rec + QByteArray(1, '\0'), eof}) << 2 << "not an Intel HEX text line";
    QTest::newRow("overlong line") << join({ela, ":" + QByteArray(600, '0'), eof}) << 2 << "not an Intel HEX text line";
}

void TestProgImage::rejectsMalformed()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, reason);
    const auto r = parse(text);
    QVERIFY(!r.ok());
    QCOMPARE(r.error().status, int(vbprog::kFileInvalid));
    QCOMPARE(r.error().line, line);
    const QString err = QString::fromStdString(r.error().what);
    QVERIFY2(err.contains(reason), qPrintable(err));
    if (line > 0)
        QVERIFY2(err.startsWith(QStringLiteral("line %1: ").arg(line)), qPrintable(err));
}

void TestProgImage::fuzzNeverCrashesAndAlwaysGivesAReason()
{
    QList<QByteArray> base{hexLinear(0x0800)};
    for (int i = 0; i < 12; ++i)
        base << hexRecord(0, uint16_t(0x0800 + 16 * i), patternBytes(16, uint32_t(i)));
    base << hexLinear(0x0801) << hexRecord(0, 0, patternBytes(32, 99))
         << hexRecord(5, 0, QByteArray::fromHex("08000801")) << hexEof();
    const QByteArray valid = join(base, "\r\n");
    QVERIFY(parse(valid).ok());

    std::mt19937 rng(20240611);
    const char alphabet[] = ":0123456789ABCDEFabcdefG \r\n\x1A\t";
    int rejected = 0;
    for (int iter = 0; iter < 4000; ++iter) {
        QByteArray t = valid;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const int pos = t.isEmpty() ? 0 : int(rng() % uint32_t(t.size()));
            switch (rng() % 6) {
            case 0: if (!t.isEmpty()) t[pos] = alphabet[rng() % (sizeof alphabet - 1)]; break;
            case 1: t.insert(pos, alphabet[rng() % (sizeof alphabet - 1)]); break;
            case 2: t.remove(pos, 1 + int(rng() % 8)); break;
            case 3: t.truncate(pos); break;
            case 4: if (!t.isEmpty()) t[pos] = char(rng()); break;
            default: t.insert(pos, t.mid(int(rng() % uint32_t(t.size() + 1)), int(rng() % 60))); break;
            }
        }
        const auto r = parse(t);
        if (r.ok()) {
            QVERIFY(!r->empty());
            uint64_t prevEnd = 0;
            for (const auto& s : r->segments()) {
                QVERIFY(!s.second.empty());
                QVERIFY(s.first > prevEnd || prevEnd == 0);   // sorted, apart
                prevEnd = uint64_t(s.first) + s.second.size();
            }
        } else {
            ++rejected;
            QVERIFY2(!r.error().what.empty(), t.constData());
            QVERIFY(r.error().line >= 0 && r.error().line <= t.count('\n') + t.count('\r') + 1);
        }
    }
    QVERIFY(rejected > 3000);

    // Plain noise.
    for (int iter = 0; iter < 500; ++iter) {
        QByteArray t(int(rng() % 300), 0);
        for (auto& c : t)
            c = char(rng());
        const auto r = parse(t);
        QVERIFY(!r.ok());
        QVERIFY(!r.error().what.empty());
    }
}

void TestProgImage::readsRealFilesLikeObjcopy_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qulonglong>("bytes");
    QTest::addColumn<qulonglong>("dataBytes");
    // Marlin spans 4 bytes more than it carries: a gap between two records.
    QTest::newRow("marlin") << "stm32f103-marlin-objcopy.hex" << 214028ull << 214024ull;
    QTest::newRow("bluepill") << "stm32f103-bluepill-objcopy.hex" << 584ull << 584ull;
    QTest::newRow("blinky") << "stm32c071-blinky-objcopy.hex" << 200ull << 200ull;
}

void TestProgImage::readsRealFilesLikeObjcopy()
{
    QFETCH(QString, file);
    QFETCH(qulonglong, bytes);
    QFETCH(qulonglong, dataBytes);
    const QString path = qEnvironmentVariable("VBF_SHARED_DIR") + "/testdata/real-hex/" + file;
    if (!QFile::exists(path))
        QSKIP("real firmware files not present");
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const auto r = parse(f.readAll());
    QVERIFY2(r.ok(), r.error().what.c_str());
    QVERIFY(r->startAddress.has_value());
    QCOMPARE(qulonglong(r->byteCount()), dataBytes);

    QTemporaryDir tmp;
    const QString bin = tmp.filePath("out.bin");
    const QString err = runTool("objcopy", {"-I", "ihex", "-O", "binary", path, bin});
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QFile b(bin);
    QVERIFY(b.open(QIODevice::ReadOnly));
    const QByteArray expected = b.readAll();
    QCOMPARE(qulonglong(expected.size()), bytes);
    QCOMPARE(r->lowestAddress(), 0x08000000u);
    QCOMPARE(flat(r.value()), expected);
}

void TestProgImage::binaryPlacedAtAddress()
{
    const QByteArray data = patternBytes(1000, 5);
    const auto r = vbprog::loadBinary(std::string_view(data.constData(), size_t(data.size())), 0x08000800);
    QVERIFY(r.ok());
    QCOMPARE(r->lowestAddress(), 0x08000800u);
    QCOMPARE(flat(r.value()), data);
    QVERIFY(!vbprog::loadBinary({}, 0x08000800).ok());
    QVERIFY(!vbprog::loadBinary(std::string_view("abcd", 4), 0xFFFFFFFEu).ok());
}

void TestProgImage::countsDataBytesOnly()
{
    // Address and start records carry no data; a record repeating bytes counts them once.
    const QByteArray hex = ":020000040800F2\r\n"
                           ":10080000000102030405060708090A0B0C0D0E0F70\r\n"
                           ":04081000101112139E\r\n"
                           ":04081000101112139E\r\n"
                           ":0400000508000800E7\r\n"
                           ":00000001FF\r\n";
    const auto r = parse(hex);
    QVERIFY2(r.ok(), r.error().what.c_str());
    QCOMPARE(r->byteCount(), uint64_t(20));
}

void TestProgImage::formatFromFileName()
{
    using vbprog::FileFormat;
    using vbprog::fileFormatOf;
    QVERIFY(fileFormatOf("/x/APP.BIN") == FileFormat::Binary);
    QVERIFY(fileFormatOf("/x/app.hex") == FileFormat::IntelHex);
    QVERIFY(fileFormatOf("C:\\fw\\app.IHEX") == FileFormat::IntelHex);
    QVERIFY(fileFormatOf("app.ihx") == FileFormat::IntelHex);
    QVERIFY(fileFormatOf("app.hex.txt") == FileFormat::Unsupported);
    QVERIFY(fileFormatOf("/x.hex/app") == FileFormat::Unsupported);
    QVERIFY(fileFormatOf("C:\\x.bin\\app") == FileFormat::Unsupported);
    QVERIFY(fileFormatOf("hex") == FileFormat::Unsupported);
}

QTEST_GUILESS_MAIN(TestProgImage)
#include "tst_prog_image.moc"
