// The other firmware files: ELF and Motorola S-record readers, the format told by content,
// and the Intel HEX that `read` writes.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include "download_plan.h"
#include "elf_image.h"
#include "firmware_format.h"
#include "flash_layout.h"
#include "flash_session.h"
#include "hex_tools.h"
#include "image_text.h"
#include "hex_writer.h"
#include "srec_image.h"
#include "status.h"

using vbprog::FileFormat;
using vbprog::FirmwareImage;

namespace {

std::string_view view(const QByteArray& b)
{
    return std::string_view(b.constData(), size_t(b.size()));
}

// A 32-bit little-endian ELF executable put together by hand, so that each header field can
// be what a test needs; the segments' bytes follow the program headers.
struct ElfSegment {
    uint32_t type = 1;   // PT_LOAD
    uint32_t vaddr = 0, paddr = 0;
    QByteArray bytes;
    uint32_t memsz = 0;  // 0: as many as bytes
};

void put16(QByteArray& b, int at, uint16_t v)
{
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}

void put32(QByteArray& b, int at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i));
}

QByteArray elfFile(const QList<ElfSegment>& segments, uint32_t entry = 0x08000801)
{
    const int phoff = 52;
    QByteArray b(phoff + 32 * segments.size(), 0);
    b.replace(0, 7, QByteArray("\x7F" "ELF\x01\x01\x01", 7));
    put16(b, 16, 2);    // ET_EXEC
    put16(b, 18, 40);   // EM_ARM
    put32(b, 20, 1);
    put32(b, 24, entry);
    put32(b, 28, phoff);
    put16(b, 40, 52);
    put16(b, 42, 32);
    put16(b, 44, uint16_t(segments.size()));
    for (int i = 0; i < segments.size(); ++i) {
        const ElfSegment& s = segments[i];
        const int ph = phoff + 32 * i;
        put32(b, ph, s.type);
        put32(b, ph + 4, uint32_t(b.size()));
        put32(b, ph + 8, s.vaddr);
        put32(b, ph + 12, s.paddr);
        put32(b, ph + 16, uint32_t(s.bytes.size()));
        put32(b, ph + 20, s.memsz ? s.memsz : uint32_t(s.bytes.size()));
        put32(b, ph + 24, 5);
        put32(b, ph + 28, 4);
        b += s.bytes;
    }
    return b;
}

// The usual Cortex-M program: vector table and code at the application start, .data run
// from RAM but loaded after the code, .bss in RAM without file bytes, and a note.
QList<ElfSegment> usualProgram()
{
    return {{1, 0x08000800, 0x08000800, patternBytes(0x100, 1)},
            {1, 0x20000000, 0x08000900, patternBytes(0x24, 2)},
            {1, 0x20000024, 0x20000024, {}, 0x400},
            {4, 0, 0, QByteArray(16, 'n')}};
}

}  // namespace

class TestProgFormats : public QObject {
    Q_OBJECT

private slots:
    void elfSegmentsAtLoadAddresses();
    void elfRefusals_data();
    void elfRefusals();
    void elfPlacementNamesTheSegment();
    void srecAddressSizes_data();
    void srecAddressSizes();
    void srecRefusals_data();
    void srecRefusals();
    void srecFromSrecCat_data();
    void srecFromSrecCat();
    void formatByContent_data();
    void formatByContent();
    void writtenHexReadsBack_data();
    void writtenHexReadsBack();
};

void TestProgFormats::elfSegmentsAtLoadAddresses()
{
    const QList<ElfSegment> program = usualProgram();
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseElf(view(elfFile(program)));
    QVERIFY2(r.ok(), r.error().what.c_str());
    // .data where the start-up code copies it from, right after the code: one run.
    QCOMPARE(runsText(r.value()), "08000800:" + (program[0].bytes + program[1].bytes).toHex().toUpper());
    QCOMPARE(r->startAddress.value_or(0), 0x08000801u);
    QVERIFY(r->warnings.empty());
    QCOMPARE(r->originOf(0x08000900), std::string("segment 1: "));
    QCOMPARE(r->originOf(0x080008FF), std::string("segment 0: "));
}

void TestProgFormats::elfRefusals_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    const QByteArray good = elfFile(usualProgram());
    auto with = [&good](int at, QByteArray bytes) {
        QByteArray b = good;
        b.replace(at, bytes.size(), bytes);
        return b;
    };
    auto field32 = [&good](int at, uint32_t v) {
        QByteArray b = good;
        put32(b, at, v);
        return b;
    };
    const int ph1 = 52 + 32;   // the .data segment's program header
    QTest::newRow("not ELF") << QByteArray("\x7F" "ELG", 4) + good.mid(4) << "not an ELF file";
    QTest::newRow("64-bit") << with(4, "\x02") << "a 64-bit ELF file; only 32-bit ARM programs can be downloaded";
    QTest::newRow("big-endian") << with(5, "\x02") << "a big-endian ELF file";
    QTest::newRow("header cut short") << good.left(40) << "the ELF header is cut short (40 bytes of 52)";
    QTest::newRow("x86-64") << with(18, QByteArray("\x3E\x00", 2)) << "an ELF file for machine 62, not for ARM (40)";
    QTest::newRow("object file") << with(16, QByteArray("\x01\x00", 2)) << "an ELF object file, not a linked program";
    QTest::newRow("shared object") << with(16, QByteArray("\x03\x00", 2)) << "an ELF file of type 3, not an executable (2)";
    QTest::newRow("no program headers") << with(44, QByteArray("\x00\x00", 2)) << "has no program headers";
    QTest::newRow("headers beyond the end") << field32(28, uint32_t(good.size()) - 40)
                                            << "the program headers (4 at offset";
    QTest::newRow("header offset wraps") << field32(28, 0xFFFFFFF0u) << "lie beyond the end of the file";
    QTest::newRow("short header entries") << with(42, QByteArray("\x10\x00", 2)) << "program headers of 16 bytes";
    QTest::newRow("segment beyond the end") << field32(ph1 + 4, uint32_t(good.size()) - 8)
                                            << "segment 1: its 36 bytes at offset";
    QTest::newRow("segment offset wraps") << field32(ph1 + 4, 0xFFFFFFF0u) << "lie beyond the end of the file";
    QTest::newRow("more file than memory") << field32(ph1 + 20, 8)
                                           << "segment 1: holds more bytes in the file (36) than in memory (8)";
    QTest::newRow("past 4 GiB") << field32(ph1 + 12, 0xFFFFFFF0u) << "segment 1: runs past the end of the 32-bit address space";
    // Linked without a load address in flash: the bytes would be lost at the first reset.
    QTest::newRow("data in RAM") << field32(ph1 + 12, 0x20000000)
                                 << "segment 1: loads 36 bytes at 0x20000000, which is RAM, not flash; give its "
                                    "sections a load address in flash (AT> in the linker script)";
    QTest::newRow("overlap") << field32(ph1 + 12, 0x080008F0) << "segment 1: overlaps segment 0 at 0x080008F0";
    QTest::newRow("nothing to load")
        << elfFile({{1, 0x20000000, 0x20000000, {}, 0x100}, {6, 0, 0, QByteArray(4, 'p')}})
        << "the ELF file has no loadable segment with data";
    // Two segments over the same file bytes: one small file must not make a huge image.
    QByteArray twice = good;
    put32(twice, 52 + 4, 0);
    put32(twice, 52 + 16, uint32_t(good.size()));
    put32(twice, 52 + 20, uint32_t(good.size()));
    put32(twice, ph1 + 4, 0);
    put32(twice, ph1 + 16, uint32_t(good.size()));
    put32(twice, ph1 + 20, uint32_t(good.size()));
    put32(twice, ph1 + 12, 0x08010000);
    QTest::newRow("segments share the file") << twice << "claim more bytes than the file holds";
}

void TestProgFormats::elfRefusals()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseElf(view(file));
    QVERIFY(!r.ok());
    QVERIFY2(QString::fromStdString(r.error().what).contains(error), r.error().what.c_str());
    QCOMPARE(r.error().status, int(vbprog::kFileInvalid));
    QCOMPARE(r.error().line, 0);
}

void TestProgFormats::elfPlacementNamesTheSegment()
{
    // The placement check names the segment, not a line: a header segment at the flash
    // base (as a linker makes when the headers fit below the first section) and one beyond.
    QList<ElfSegment> program = usualProgram();
    program.prepend({1, 0x08000000, 0x08000000, QByteArray(0x80, 'h')});
    vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseElf(view(elfFile(program)));
    QVERIFY2(r.ok(), r.error().what.c_str());
    vbprog::Result<void> placed = vbprog::checkPlacement(r.value(), vbprog::kApplicationStart);
    QCOMPARE(QString::fromStdString(placed.error().what),
             QString("segment 0: data at 0x08000000 is below the application start 0x08000800"));

    program = usualProgram();
    program.append({1, 0x40000000, 0x40000000, QByteArray(4, 'p')});
    r = vbprog::parseElf(view(elfFile(program)));
    QVERIFY2(r.ok(), r.error().what.c_str());
    placed = vbprog::checkPlacement(r.value(), vbprog::kApplicationStart);
    QCOMPARE(QString::fromStdString(placed.error().what),
             QString("segment 4: data at 0x40000000 is outside the flash of every supported device"));
}

void TestProgFormats::srecAddressSizes_data()
{
    QTest::addColumn<int>("dataType");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("endType");
    QTest::addColumn<int>("countType");   // 0: no count record
    QTest::newRow("S1 S5 S9") << 1 << 0x0100u << 9 << 5;
    QTest::newRow("S2 S8") << 2 << 0x010000u << 8 << 0;
    QTest::newRow("S2 S6 S8") << 2 << 0xFFFF00u << 8 << 6;
    QTest::newRow("S3 S5 S7") << 3 << 0x08000800u << 7 << 5;
    QTest::newRow("S3 at the top") << 3 << 0xFFFFFF00u << 7 << 0;
}

void TestProgFormats::srecAddressSizes()
{
    QFETCH(int, dataType);
    QFETCH(uint32_t, address);
    QFETCH(int, endType);
    QFETCH(int, countType);
    const QByteArray data = patternBytes(256, 7);
    QList<QByteArray> lines{srecRecord(0, 0, "app.s19")};
    for (int i = 0; i < data.size(); i += 32)
        lines << srecRecord(dataType, address + uint32_t(i), data.mid(i, 32));
    if (countType)
        lines << srecRecord(countType, 8, {});
    lines << srecRecord(endType, address + 1, {});
    const QByteArray text = lines.join("\r\n") + "\r\n";
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseSRecords(view(text));
    QVERIFY2(r.ok(), r.error().what.c_str());
    QCOMPARE(runsText(r.value()), QStringLiteral("%1:").arg(address, 8, 16, QLatin1Char('0')).toUpper() + data.toHex().toUpper());
    QCOMPARE(r->startAddress.value_or(0), address + 1);
    QCOMPARE(r->lineOf(address + 32), 3);
    QVERIFY(r->warnings.empty());
}

void TestProgFormats::srecRefusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    const QByteArray head = srecRecord(0, 0, "hdr") + "\n";
    const QByteArray a = srecRecord(3, 0x08000800, "abcd") + "\n";
    const QByteArray b = srecRecord(3, 0x08000804, "efgh") + "\n";
    const QByteArray end = srecRecord(7, 0x08000800, {}) + "\n";
    QTest::newRow("checksum") << head + a + srecRecord(3, 0x08000804, "efgh", true) + "\n" + end
                              << "line 3: checksum 0x";
    QByteArray longCount = srecRecord(3, 0x08000800, "abcd");
    longCount.replace(2, 2, "0A");
    QTest::newRow("count field") << head + longCount + "\n" + end << "line 2: count field says 10 bytes, record has 9";
    QTest::newRow("S4") << head + srecRecord(4, 0, "x") + "\n" + end << "line 2: unknown record type S4";
    QTest::newRow("no type digit") << head + "SX0300FC\n" + end << "line 2: unknown record type SX";
    QTest::newRow("lower-case s") << head + "s" + a.mid(1) + end << "line 2: expected 'S' at start of record";
    QTest::newRow("odd digits") << head + a.trimmed() + "0\n" + end << "line 2: odd number of hex digits";
    QTest::newRow("not hex") << head + a.left(6) + "G" + a.mid(7) + end << "line 2: invalid hex digit 'G' at column 7";
    QTest::newRow("binary bytes") << head + "S3\x01\x02\n" + end << "line 2: not an S-record text line";
    QTest::newRow("too short") << head + "S10200FD\n" + end << "line 2: record too short";
    QTest::newRow("S1 past 64 KiB") << head + srecRecord(1, 0xFFFE, "abcd") + "\n" + srecRecord(9, 0, {}) + "\n"
                                    << "line 2: record runs past the end of the S1 address space";
    QTest::newRow("count wrong") << head + a + b + srecRecord(5, 3, {}) + "\n" + end
                                 << "line 4: record count 3, but 2 data records precede it";
    QTest::newRow("count with data") << head + a + srecRecord(5, 1, "x") + "\n" + end << "line 3: S5 record must carry no data";
    QTest::newRow("end with data") << head + a + srecRecord(7, 0, "x") + "\n" << "line 3: S7 record must carry no data";
    QTest::newRow("header late") << head + a + head + end << "line 3: header record (S0) after the first record";
    QTest::newRow("header address") << srecRecord(0, 1, "h") + "\n" + a + end << "line 1: address field must be 0000 for S0";
    QTest::newRow("no termination") << head + a + b << "missing termination record (S7, S8 or S9)";
    QTest::newRow("count not last") << head + a + srecRecord(5, 1, {}) + "\n" + b << "missing termination record";
    QTest::newRow("data after the end") << head + a + end + b << "line 4: data after the termination record";
    QTest::newRow("no data") << head + end << "no data records";
    // A clash wins over a later fault; the byte it names is the first that differs.
    QTest::newRow("overlap, other bytes") << head + a + srecRecord(3, 0x08000802, "XY") + "\n" + "S3zz\n" + end
                                          << "line 3: 0x08000802 already set to 0x63, now 0x58";
}

void TestProgFormats::srecRefusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseSRecords(view(text));
    QVERIFY(!r.ok());
    QVERIFY2(QString::fromStdString(r.error().what).startsWith(error), r.error().what.c_str());
    QCOMPARE(r.error().status, int(vbprog::kFileInvalid));
}

void TestProgFormats::srecFromSrecCat_data()
{
    // srec_cat's address length in bytes: 2 gives S1, 3 S2, 4 S3. Without a start address it
    // ends the file with the S5 count and no termination record.
    QTest::addColumn<int>("width");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<QByteArray>("kind");
    QTest::newRow("S19") << 2 << 0x1000u << QByteArray("S1");
    QTest::newRow("S28") << 3 << 0x100000u << QByteArray("S2");
    QTest::newRow("S37") << 4 << 0x08000800u << QByteArray("S3");
}

void TestProgFormats::srecFromSrecCat()
{
    QFETCH(int, width);
    QFETCH(uint32_t, address);
    QFETCH(QByteArray, kind);
    QTemporaryDir dir;
    const QByteArray data = patternBytes(3000, 11);
    const QString bin = dir.filePath("in.bin"), out = dir.filePath("out.srec");
    QFile f(bin);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
    f.close();
    const QString failed = runTool("srec_cat", {bin, "-Binary", "-offset", "0x" + QString::number(address, 16), "-o", out,
                                                "-Motorola", "-Address_Length=" + QString::number(width)});
    QVERIFY2(failed.isEmpty(), qPrintable(failed));
    QFile s(out);
    QVERIFY(s.open(QIODevice::ReadOnly));
    const QByteArray text = s.readAll();
    QVERIFY2(text.contains("\n" + kind), text.left(200).constData());
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseSRecords(view(text));
    QVERIFY2(r.ok(), r.error().what.c_str());
    QCOMPARE(runsText(r.value()), QStringLiteral("%1:").arg(address, 8, 16, QLatin1Char('0')).toUpper() + data.toHex().toUpper());
}

void TestProgFormats::formatByContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format");       // FileFormat
    QTest::addColumn<QString>("error");    // empty: read
    const QByteArray hex = intelHex(patternBytes(32, 3), 0x08000800);
    const QByteArray srec = srecRecord(3, 0x08000800, patternBytes(32, 3)) + "\n" + srecRecord(7, 0, {}) + "\n";
    const QByteArray elf = elfFile(usualProgram());
    const QByteArray binary = patternBytes(64, 9).prepend(QByteArray("\x00\x50\x00\x20\x01\x08\x00\x08", 8));
    const int Hex = int(FileFormat::IntelHex), Srec = int(FileFormat::SRecord), Elf = int(FileFormat::Elf),
              Bin = int(FileFormat::Binary), None = int(FileFormat::Unsupported);
    QTest::newRow("hex named .txt") << hex << "app.txt" << Hex << "";
    QTest::newRow("hex after blank lines") << "\r\n\n" + hex << "app" << Hex << "";
    QTest::newRow("S-records named .hex") << srec << "app.hex" << Srec << "";
    QTest::newRow("ELF named .bin") << elf << "app.bin" << Elf << "";
    QTest::newRow("ELF without a name's word") << elf << "firmware" << Elf << "";
    QTest::newRow("binary without suffix") << binary << "firmware" << Bin << "";
    QTest::newRow("binary named .bin") << binary << "app.bin" << Bin << "";
    // A file named as one of the formats but holding none is refused as that format would be.
    QTest::newRow("web page named .hex") << QByteArray("<html>404</html>\n") << "app.hex" << Hex
                                         << "line 1: expected ':' at start of record";
    QTest::newRow("binary named .hex") << binary << "app.hex" << Hex << "line 1: not an Intel HEX text line";
    QTest::newRow("binary named .elf") << binary << "app.elf" << Elf << "not an ELF file";
    QTest::newRow("binary named .s19") << binary << "app.s19" << Srec << "line 1: not an S-record text line";
    QTest::newRow("UTF-8 mark before hex") << "\xEF\xBB\xBF" + hex << "app.hex" << Hex << "line 1: not an Intel HEX text line";
    // Text of no known format is never a binary image, unless it is named one.
    QTest::newRow("notes") << QByteArray("Release notes\nv1.2: faster join\n") << "notes.txt" << None
                           << "it is text, but neither Intel HEX nor Motorola S-records";
    QTest::newRow("text named .bin") << QByteArray("ABCD") << "app.bin" << Bin << "";
    QTest::newRow("empty") << QByteArray() << "firmware" << Bin << "the file is empty";
}

void TestProgFormats::formatByContent()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QFETCH(int, format);
    QFETCH(QString, error);
    const auto f = vbprog::parseFirmware(view(content), name.toStdString(), vbprog::kApplicationStart);
    if (error.isEmpty()) {
        QVERIFY2(f.ok(), f.error().what.c_str());
        QCOMPARE(int(f->format), format);
        QCOMPARE(f->image.lowestAddress(), vbprog::kApplicationStart);
    } else {
        // The refusal names the file, and the reader that refused it by its own words.
        QVERIFY(!f.ok());
        QCOMPARE(f.error().status, int(vbprog::kFileInvalid));
        const bool unknown = format == int(vbprog::FileFormat::Unsupported);
        const QString expected = QString(unknown ? "Unsupported file type of " : "") + name + ": " + error;
        QVERIFY2(QString::fromStdString(f.error().what).startsWith(expected), f.error().what.c_str());
    }
}

void TestProgFormats::writtenHexReadsBack_data()
{
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("size");
    QTest::newRow("identifier page") << 0x08000000u << 0x800;
    QTest::newRow("odd start, odd end") << 0x08000805u << 1000;
    QTest::newRow("across 64 KiB") << 0x0800FFF9u << 40;
    QTest::newRow("one byte at the top") << 0xFFFFFFFFu << 1;
}

void TestProgFormats::writtenHexReadsBack()
{
    QFETCH(uint32_t, address);
    QFETCH(int, size);
    const QByteArray data = patternBytes(size, address);
    const std::string text = vbprog::intelHexText(address, reinterpret_cast<const uint8_t*>(data.constData()), size_t(size));
    const vbprog::Result<vbprog::FirmwareImage> r = vbprog::parseIntelHex(text);
    QVERIFY2(r.ok(), r.error().what.c_str());
    QVERIFY(r->warnings.empty());
    QCOMPARE(runsText(r.value()), QStringLiteral("%1:").arg(address, 8, 16, QLatin1Char('0')).toUpper() + data.toHex().toUpper());
    // GNU objcopy reads it the same way.
    QTemporaryDir dir;
    QFile f(dir.filePath("r.hex"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text.data(), qint64(text.size()));
    f.close();
    QVERIFY(runTool("objcopy", {"-I", "ihex", "-O", "binary", dir.filePath("r.hex"), dir.filePath("r.bin")}).isEmpty());
    QFile b(dir.filePath("r.bin"));
    QVERIFY(b.open(QIODevice::ReadOnly));
    QCOMPARE(b.readAll(), data);
}

QTEST_GUILESS_MAIN(TestProgFormats)
#include "tst_prog_formats.moc"
