// Intel HEX parser and binary loader of the programming library.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

#include "firmware_image.h"
#include "hex_tools.h"

using vbprog::FirmwareImage;
using vbprog::parseIntelHex;

namespace {

vbprog::ParseResult parse(const QByteArray& text)
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

}  // namespace

class TestProgImage : public QObject {
    Q_OBJECT

private slots:
    void acceptsLineEndsAndCase_data();
    void acceptsLineEndsAndCase();
    void addressing();
    void overlapsAndOrder();
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
    QVERIFY2(r.ok, r.error.c_str());
    QCOMPARE(r.image.segments().size(), size_t(1));
    QCOMPARE(r.image.lowestAddress(), 0x08000800u);
    QCOMPARE(r.image.byteCount(), uint64_t(16));
    QCOMPARE(r.image.segments().begin()->second[15], uint8_t(0xFF));
}

void TestProgImage::addressing()
{
    // Linear base: a record running past offset 0xFFFF continues into the next 64 KiB.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0xFFF8, patternBytes(16, 1)), hexEof()}));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.image.lowestAddress(), 0x0800FFF8u);
        QCOMPARE(r.image.endAddress(), uint64_t(0x08010008));
    }
    // Segment base = value * 16.
    {
        const auto r = parse(join({hexRecord(0x02, 0, QByteArray::fromHex("1234")), hexRecord(0, 0x0010, "ABCD"), hexEof()}));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.image.lowestAddress(), 0x12350u);
    }
    // No extended record: plain 16-bit addresses.
    {
        const auto r = parse(join({hexRecord(0, 0x0100, "xy"), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(r.image.lowestAddress(), 0x100u);
    }
    // Start addresses are kept, not loaded; the last one counts.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, "abcd"),
                                   hexRecord(0x05, 0, QByteArray::fromHex("08000101")),
                                   hexRecord(0x05, 0, QByteArray::fromHex("08000901")), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(r.image.byteCount(), uint64_t(4));
        QVERIFY(r.image.startAddress.has_value());
        QCOMPARE(*r.image.startAddress, 0x08000901u);
        QVERIFY(!r.image.warnings.empty());
    }
    // Several 04 records switch the base; the runs stay apart.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, "1234"), hexLinear(0x0801),
                                   hexRecord(0, 0x0000, "5678"), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(r.image.segments().size(), size_t(2));
        QCOMPARE(r.image.segments().rbegin()->first, 0x08010000u);
        QCOMPARE(r.image.lineOf(0x08010002), 4);
    }
}

void TestProgImage::overlapsAndOrder()
{
    // Out of order: the image is sorted and merged all the same.
    const QByteArray a = patternBytes(16, 2), b = patternBytes(16, 3);
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0810, b), hexRecord(0, 0x0800, a), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(r.image.segments().size(), size_t(1));
        QCOMPARE(flat(r.image), a + b);
        QVERIFY(!r.image.warnings.empty());
    }
    // A record bridging two runs joins them.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a.left(4)), hexRecord(0, 0x080C, a.mid(12, 4)),
                                   hexRecord(0, 0x0804, a.mid(4, 8)), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(r.image.segments().size(), size_t(1));
        QCOMPARE(flat(r.image), a);
    }
    // The same bytes twice: accepted with a warning.
    {
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a), hexRecord(0, 0x0808, a.mid(8, 4)), hexEof()}));
        QVERIFY(r.ok);
        QCOMPARE(flat(r.image), a);
        QVERIFY(!r.image.warnings.empty());
    }
    // Different bytes at the same address: refused, naming the later line and both values.
    {
        QByteArray other = a.mid(8, 4);
        other[1] = char(uint8_t(other[1]) ^ 0x5A);
        const auto r = parse(join({hexLinear(0x0800), hexRecord(0, 0x0800, a), hexRecord(0, 0x0808, other), hexEof()}));
        QVERIFY(!r.ok);
        QCOMPARE(r.line, 3);
        QVERIFY2(r.error.find("line 3: 0x08000809 already set to") == 0, r.error.c_str());
    }
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
    QVERIFY(!r.ok);
    QVERIFY(r.image.empty());
    QCOMPARE(r.line, line);
    const QString err = QString::fromStdString(r.error);
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
    QVERIFY(parse(valid).ok);

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
        if (r.ok) {
            QVERIFY(!r.image.empty());
            uint64_t prevEnd = 0;
            for (const auto& s : r.image.segments()) {
                QVERIFY(!s.second.empty());
                QVERIFY(s.first > prevEnd || prevEnd == 0);   // sorted, apart
                prevEnd = uint64_t(s.first) + s.second.size();
            }
        } else {
            ++rejected;
            QVERIFY2(!r.error.empty(), t.constData());
            QVERIFY(r.line >= 0 && r.line <= t.count('\n') + t.count('\r') + 1);
        }
    }
    QVERIFY(rejected > 3000);

    // Plain noise.
    for (int iter = 0; iter < 500; ++iter) {
        QByteArray t(int(rng() % 300), 0);
        for (auto& c : t)
            c = char(rng());
        const auto r = parse(t);
        QVERIFY(!r.ok);
        QVERIFY(!r.error.empty());
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
    QVERIFY2(r.ok, r.error.c_str());
    QVERIFY(r.image.startAddress.has_value());
    QCOMPARE(qulonglong(r.image.byteCount()), dataBytes);

    QTemporaryDir tmp;
    const QString bin = tmp.filePath("out.bin");
    const QString err = runTool("objcopy", {"-I", "ihex", "-O", "binary", path, bin});
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QFile b(bin);
    QVERIFY(b.open(QIODevice::ReadOnly));
    const QByteArray expected = b.readAll();
    QCOMPARE(qulonglong(expected.size()), bytes);
    QCOMPARE(r.image.lowestAddress(), 0x08000000u);
    QCOMPARE(flat(r.image), expected);
}

void TestProgImage::binaryPlacedAtAddress()
{
    const QByteArray data = patternBytes(1000, 5);
    const auto r = vbprog::loadBinary(std::string_view(data.constData(), size_t(data.size())), 0x08000800);
    QVERIFY(r.ok);
    QCOMPARE(r.image.lowestAddress(), 0x08000800u);
    QCOMPARE(flat(r.image), data);
    QVERIFY(!vbprog::loadBinary({}, 0x08000800).ok);
    QVERIFY(!vbprog::loadBinary(std::string_view("abcd", 4), 0xFFFFFFFEu).ok);
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
    QVERIFY2(r.ok, r.error.c_str());
    QCOMPARE(r.image.byteCount(), uint64_t(20));
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
