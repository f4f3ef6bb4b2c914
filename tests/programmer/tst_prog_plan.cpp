// Download plan and device table: what gets erased, written and refused.
#include <QtTest>

#include <set>

#include "device_table.h"
#include "download_plan.h"
#include "firmware_image.h"
#include "flash_layout.h"
#include "identifier_guard.h"
#include "programmer_api.h"

using namespace vbprog;

namespace {

constexpr uint32_t kApp = 0x08000800;

std::vector<uint8_t> bytes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7);
    return v;
}

FirmwareImage image(std::initializer_list<std::pair<uint32_t, size_t>> runs)
{
    FirmwareImage img;
    uint8_t seed = 1;
    int line = 1;
    for (const auto& r : runs) {
        const auto b = bytes(r.second, seed++);
        img.add(r.first, b.data(), b.size(), line++);
    }
    return img;
}

const DeviceInfo& dev(uint16_t pid)
{
    const DeviceInfo* d = findDevice(pid);
    if (!d)
        qFatal("pid %x missing", pid);
    return *d;
}

// Independent check of a plan: every image byte written once, every written byte either
// image data or the erased value, blocks aligned and inside one 256-byte row.
void checkBlocks(const DownloadPlan& plan, const FirmwareImage& img, const DeviceInfo& d)
{
    const uint32_t unit = std::max<uint32_t>(d.writeUnit, 4);
    std::set<uint32_t> written;
    uint64_t total = 0;
    for (const auto& b : plan.blocks) {
        QVERIFY(b.address % unit == 0);
        QVERIFY(b.data.size() % unit == 0);
        QVERIFY(!b.data.empty() && b.data.size() <= 256);
        QCOMPARE(b.address / 256, (b.address + uint32_t(b.data.size()) - 1) / 256);
        total += b.data.size();
        std::vector<uint8_t> expect(b.data.size(), d.erasedValue);
        img.overlay(b.address, expect);
        QVERIFY(expect == b.data);
        for (uint32_t a = b.address; a < b.address + b.data.size(); ++a)
            QVERIFY2(written.insert(a).second, "address written twice");
    }
    QCOMPARE(plan.bytesToWrite, total);
    for (const auto& s : img.segments())
        for (uint32_t a = s.first; a < s.first + s.second.size(); ++a)
            QVERIFY(written.count(a));
    // No write unit without data: gaps stay untouched.
    for (uint32_t a : written) {
        const uint32_t u = a / unit * unit;
        bool carries = false;
        for (uint32_t x = u; x < u + unit && !carries; ++x) {
            std::vector<uint8_t> probe(1, uint8_t(d.erasedValue ^ 0xA5));
            img.overlay(x, probe);
            carries = probe[0] != uint8_t(d.erasedValue ^ 0xA5);
        }
        QVERIFY2(carries, "a write unit without data is written");
    }
}

}  // namespace

class TestProgPlan : public QObject {
    Q_OBJECT

private slots:
    void erasesExactlyTheTouchedPages_data();
    void erasesExactlyTheTouchedPages();
    void writesOnlyUnitsWithData();
    void refusesBeforeTouchingTheDevice_data();
    void refusesBeforeTouchingTheDevice();
    void skipEraseAllowsLargeEraseUnits();
    void splitsEraseCommands();
    void protectedRangesGivenAsData_data();
    void protectedRangesGivenAsData();
    void deviceTableKeepsTheIdentifierPageSafe();
    void decodesFlashSize();
    void eraseWitnessesSeeEveryErase_data();
    void eraseWitnessesSeeEveryErase();
    void anotherModulesPageIsNotExplainedByErases();
};

void TestProgPlan::erasesExactlyTheTouchedPages_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<uint32_t>>("pages");
    QTest::newRow("WL one byte") << 0x497 << kApp << 1 << QList<uint32_t>{1};
    QTest::newRow("WL 5000 bytes") << 0x497 << kApp << 5000 << QList<uint32_t>{1, 2, 3};
    QTest::newRow("WL last byte of page 1") << 0x497 << 0x08000FFFu << 1 << QList<uint32_t>{1};
    QTest::newRow("WL across pages 3/4") << 0x497 << 0x08001FF0u << 0x20 << QList<uint32_t>{3, 4};
    QTest::newRow("L0 first app page") << 0x447 << kApp << 200 << QList<uint32_t>{16, 17};
    QTest::newRow("F1 1 KiB pages") << 0x410 << 0x08000C00u << 1025 << QList<uint32_t>{3, 4};
}

void TestProgPlan::erasesExactlyTheTouchedPages()
{
    QFETCH(int, pid);
    QFETCH(uint32_t, address);
    QFETCH(int, length);
    QFETCH(QList<uint32_t>, pages);
    const DeviceInfo& d = dev(uint16_t(pid));
    const auto img = image({{address, size_t(length)}});
    const auto r = makeDownloadPlan(img, d, d.maxFlashSize, kApp, true);
    QVERIFY2(r.ok(), r.error().what.c_str());
    QCOMPARE(QList<uint32_t>(r->pages.begin(), r->pages.end()), pages);
    checkBlocks(r.value(), img, d);
    QCOMPARE(r->dataBytes, uint64_t(length));
}

void TestProgPlan::writesOnlyUnitsWithData()
{
    // Records with gaps, one unit shared by two records, an odd length at the end.
    const auto img = image({{kApp, 10}, {kApp + 12, 3}, {kApp + 0x300, 1}, {0x08004001, 333}});
    for (uint16_t pid : {0x497, 0x447, 0x410}) {
        const DeviceInfo& d = dev(pid);
        const auto r = makeDownloadPlan(img, d, d.maxFlashSize, kApp, true);
        QVERIFY2(r.ok(), r.error().what.c_str());
        checkBlocks(r.value(), img, d);
        QVERIFY(r->bytesToWrite < 0x3800);   // the gaps are not filled
    }
    // WL: the first two records share one 8-byte unit: 16 bytes written, padded with 0xFF.
    const auto r = makeDownloadPlan(image({{kApp, 10}, {kApp + 12, 3}}), dev(0x497), 256 * 1024, kApp, true);
    QVERIFY(r.ok());
    QCOMPARE(r->blocks.size(), size_t(1));
    QCOMPARE(r->blocks[0].data.size(), size_t(16));
    QCOMPARE(r->blocks[0].data[10], uint8_t(0xFF));
    QCOMPARE(r->blocks[0].data[15], uint8_t(0xFF));
}

void TestProgPlan::refusesBeforeTouchingTheDevice_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<uint32_t>("flashSize");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::newRow("below start") << 0x497 << 0x40000u << 0x080007F0u << 64 << int(PROG_ERR_OUT_OF_RANGE) << "line 1: data at 0x080007F0 is below the application start 0x08000800";
    QTest::newRow("start of flash") << 0x497 << 0x40000u << 0x08000000u << 16 << int(PROG_ERR_OUT_OF_RANGE) << "below the application start";
    QTest::newRow("low memory") << 0x497 << 0x40000u << 0x00000800u << 16 << int(PROG_ERR_OUT_OF_RANGE) << "below the application start";
    QTest::newRow("past flash end") << 0x497 << 0x40000u << 0x0803FFF0u << 32 << int(PROG_ERR_OUT_OF_RANGE) << "data at 0x08040000 is outside flash";
    QTest::newRow("past actual size") << 0x447 << 0x10000u << 0x0800FF00u << 0x200 << int(PROG_ERR_OUT_OF_RANGE) << "outside flash";
    QTest::newRow("RAM") << 0x497 << 0x40000u << 0x20000000u << 16 << int(PROG_ERR_OUT_OF_RANGE) << "outside flash";
    QTest::newRow("F4 sectors") << 0x413 << 0x100000u << kApp << 16 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "sectors";
    QTest::newRow("WB 4 KiB pages") << 0x495 << 0x100000u << kApp << 16 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "would erase 0x08000000..0x08000FFF";
    QTest::newRow("L4+ 8 KiB pages") << 0x470 << 0x200000u << kApp << 16 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "holds bytes below 0x08000800";
    QTest::newRow("G4 4 KiB pages") << 0x469 << 0x80000u << kApp << 16 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "erase unit";
    QTest::newRow("L4 second bank") << 0x415 << 0x100000u << 0x08080000u << 16 << int(PROG_ERR_DEVICE_UNSUPPORTED) << "second flash bank";
}

void TestProgPlan::refusesBeforeTouchingTheDevice()
{
    QFETCH(int, pid);
    QFETCH(uint32_t, flashSize);
    QFETCH(uint32_t, address);
    QFETCH(int, length);
    QFETCH(int, status);
    QFETCH(QString, reason);
    const auto r = makeDownloadPlan(image({{address, size_t(length)}}), dev(uint16_t(pid)), flashSize, kApp, true);
    QVERIFY(!r.ok());
    QCOMPARE(r.error().status, status);
    QVERIFY2(QString::fromStdString(r.error().what).contains(reason), r.error().what.c_str());
}

void TestProgPlan::skipEraseAllowsLargeEraseUnits()
{
    const auto img = image({{kApp, 100}});
    const auto r = makeDownloadPlan(img, dev(0x495), 0x100000, kApp, false);
    QVERIFY2(r.ok(), r.error().what.c_str());
    QVERIFY(r->pages.empty());
    checkBlocks(r.value(), img, dev(0x495));

    // The identifiers stay guarded even when a caller starts lower.
    const auto low = makeDownloadPlan(image({{0x080007C0, 0x40}}), dev(0x497), 0x40000, 0x08000000, false);
    QVERIFY(!low.ok());
    QCOMPARE(low.error().status, int(PROG_ERR_OUT_OF_RANGE));
    QVERIFY(QString::fromStdString(low.error().what).contains("identifiers"));
    // L1 writes whole half-pages of 128 bytes: data just below the identifiers would pad into them.
    const auto pad = makeDownloadPlan(image({{0x08000780, 0x10}}), dev(0x416), 0x20000, 0x08000000, false);
    QVERIFY(!pad.ok());
    QVERIFY(QString::fromStdString(pad.error().what).contains("identifiers"));
    // A start address off the write unit cannot be honoured without padding below it.
    QCOMPARE(makeDownloadPlan(img, dev(0x497), 0x40000, kApp + 4, true).error().status, int(PROG_ERR_BAD_ARGUMENT));
    QCOMPARE(makeDownloadPlan(FirmwareImage(), dev(0x497), 0x40000, kApp, true).error().status, int(PROG_ERR_FILE_INVALID));
}

void TestProgPlan::protectedRangesGivenAsData_data()
{
    // On 0x497: 2 KiB pages, 8-byte write units. A range of 0..0 stands for none at all.
    QTest::addColumn<bool>("moduleRanges");
    QTest::addColumn<uint>("from");
    QTest::addColumn<uint>("to");
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("at");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("erase");
    QTest::addColumn<QString>("refusal");   // empty: a plan
    const uint cal = 0x08004100;
    QTest::newRow("module identifiers by default") << true << 0u << 0u << 0x08000000u << 0x080007E0u << 16 << false
                                                   << "data at 0x080007E0 would overwrite the device identifiers";
    QTest::newRow("no ranges given") << false << 0u << 0u << 0x08000000u << 0x080007E0u << 16 << false << "";
    QTest::newRow("data in a range") << false << cal << cal + 0x100 << kApp << cal + 0x80 << 16 << false
                                     << "data at 0x08004180 would overwrite the calibration table";
    QTest::newRow("padding into a range") << false << cal + 4 << cal + 8 << kApp << cal << 4 << false
                                          << "bytes would overwrite the calibration table";
    QTest::newRow("erased page holds a range")
        << false << cal << cal + 0x10 << kApp << 0x08004000u << 16 << true
        << "erasing page 8 (0x08004000..0x080047FF) would erase the calibration table";
    QTest::newRow("same page, no erase") << false << cal << cal + 0x10 << kApp << 0x08004000u << 16 << false << "";
    QTest::newRow("next page is free") << false << cal << cal + 0x10 << kApp << 0x08004800u << 16 << true << "";
}

void TestProgPlan::protectedRangesGivenAsData()
{
    QFETCH(bool, moduleRanges);
    QFETCH(uint, from);
    QFETCH(uint, to);
    QFETCH(uint, start);
    QFETCH(uint, at);
    QFETCH(int, length);
    QFETCH(bool, erase);
    QFETCH(QString, refusal);
    std::vector<ProtectedRange> keep;
    if (moduleRanges)
        keep = moduleProtectedRanges();
    else if (to > from)
        keep.push_back({from, to, "the calibration table"});
    const auto img = image({{at, size_t(length)}});
    const auto r = makeDownloadPlan(img, dev(0x497), 0x40000, start, erase, keep);
    if (refusal.isEmpty()) {
        QVERIFY2(r.ok(), r.error().what.c_str());
        checkBlocks(r.value(), img, dev(0x497));
    } else {
        QVERIFY(!r.ok());
        QVERIFY2(QString::fromStdString(r.error().what).contains(refusal), r.error().what.c_str());
    }
}

void TestProgPlan::splitsEraseCommands()
{
    std::vector<uint32_t> pages;
    for (uint32_t p = 1; p <= 70; ++p)
        pages.push_back(p);
    const auto chunks = splitPages(pages, 32);
    QCOMPARE(chunks.size(), size_t(3));
    QCOMPARE(chunks[0].size(), size_t(32));
    QCOMPARE(chunks[2].size(), size_t(6));
    QCOMPARE(chunks[2].back(), 70u);
    QVERIFY(splitPages({}, 32).empty());
}

void TestProgPlan::deviceTableKeepsTheIdentifierPageSafe()
{
    // The families whose erase unit reaches below 0x08000800 from the application start.
    const std::set<uint16_t> unsafe{0x495, 0x496, 0x469, 0x470, 0x471, 0x413, 0x419, 0x423, 0x433,
                                    0x431, 0x421, 0x441, 0x458, 0x463, 0x434};
    int count = 0;
    const DeviceInfo* table = deviceTable(&count);
    QVERIFY(count >= 45);
    std::set<uint16_t> seen;
    for (int i = 0; i < count; ++i) {
        const DeviceInfo& d = table[i];
        QVERIFY2(seen.insert(d.pid).second, "duplicate product ID");
        QVERIFY((d.eraseUnit & (d.eraseUnit - 1)) == 0);
        QVERIFY((d.writeUnit & (d.writeUnit - 1)) == 0 && d.writeUnit <= d.eraseUnit && d.writeUnit <= 256);
        QVERIFY(d.maxFlashSize % d.eraseUnit == 0);
        QVERIFY(d.flashSizeRegister != 0);
        QVERIFY(d.erasedValue == 0x00 || d.erasedValue == 0xFF);
        const auto r = makeDownloadPlan(image({{kApp, 64}}), d, d.maxFlashSize, kApp, true);
        QCOMPARE(r.ok(), unsafe.count(d.pid) == 0);
        if (r.ok())
            QVERIFY(d.flashBase + r->pages.front() * d.eraseUnit >= kApp);
        else
            QCOMPARE(r.error().status, int(PROG_ERR_DEVICE_UNSUPPORTED));
    }
    QCOMPARE(dev(0x447).erasedValue, uint8_t(0x00));
    QCOMPARE(dev(0x497).erasedValue, uint8_t(0xFF));
    QVERIFY(findDevice(0x999) == nullptr);
}

void TestProgPlan::decodesFlashSize()
{
    QCOMPARE(decodeFlashSize(dev(0x497), 256), 256u * 1024);
    QCOMPARE(decodeFlashSize(dev(0x497), 64), 64u * 1024);
    QCOMPARE(decodeFlashSize(dev(0x497), 0xFFFF), 0u);   // unreadable: caller falls back
    QCOMPARE(decodeFlashSize(dev(0x497), 0), 0u);
    QCOMPARE(decodeFlashSize(dev(0x497), 512), 0u);      // more than the line has
    QCOMPARE(decodeFlashSize(dev(0x429), 0xAB80), 128u * 1024);
    QCOMPARE(decodeFlashSize(dev(0x436), 0), 384u * 1024);
    QCOMPARE(decodeFlashSize(dev(0x436), 1), 256u * 1024);
    QCOMPARE(decodeFlashSize(dev(0x436), 2), 0u);
}

void TestProgPlan::eraseWitnessesSeeEveryErase_data()
{
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("shape");
    for (int pid : {0x497, 0x410, 0x447})
        for (const char* shape : {"full", "odd units blank", "one byte kept per unit", "all blank"})
            QTest::newRow(qPrintable(QString("0x%1 %2").arg(pid, 0, 16).arg(shape))) << pid << QString(shape);
}

void TestProgPlan::eraseWitnessesSeeEveryErase()
{
    // Whatever the saved page holds: an erase of any one unit of it changes a byte the
    // witnesses read, and nothing is read that no erase could change.
    QFETCH(int, pid);
    QFETCH(QString, shape);
    const DeviceInfo& d = dev(uint16_t(pid));
    const uint32_t size = kGuardedPageEnd - kGuardedPageStart;
    const uint32_t unit = std::min(d.eraseUnit, size);
    std::vector<uint8_t> page = bytes(size, 3);
    for (auto& b : page)
        b = b == d.erasedValue ? uint8_t(b + 1) : b;
    for (uint32_t u = 0; u < size / unit; ++u) {
        auto first = page.begin() + u * unit, last = first + unit;
        if (shape == "all blank" || (shape == "odd units blank" && u % 2))
            std::fill(first, last, d.erasedValue);
        if (shape == "one byte kept per unit")
            std::fill(first, last, d.erasedValue), *(first + (u * 37) % unit) = 0x5A;
    }
    const std::vector<GuardSpan> spans = eraseWitnesses(page, d);
    uint32_t read = 0;
    for (const GuardSpan& s : spans) {
        QVERIFY(s.length >= 1 && s.length <= 256 && s.offset + s.length <= size);
        // Each read starts and ends on a witness.
        QVERIFY(page[s.offset] != d.erasedValue && page[s.offset + s.length - 1] != d.erasedValue);
        read += s.length;
    }
    for (uint32_t u = 0; u < size / unit; ++u) {
        std::vector<uint8_t> erased = page;
        std::fill(erased.begin() + u * unit, erased.begin() + (u + 1) * unit, d.erasedValue);
        bool seen = false;
        for (const GuardSpan& s : spans)
            seen = seen || !std::equal(page.begin() + s.offset, page.begin() + s.offset + s.length, erased.begin() + s.offset);
        QCOMPARE(seen, erased != page);
    }
    // At most one read per unit, and no more than a witness per unit plus the short gaps
    // that are cheaper read than asked for again.
    QVERIFY(spans.size() <= size / unit);
    QVERIFY2(read <= (size / unit) * 13, qPrintable(QString::number(read)));
    if (shape == "all blank")
        QVERIFY(spans.empty());
}

void TestProgPlan::anotherModulesPageIsNotExplainedByErases()
{
    // Without a unique ID the page is all that tells a chip: erased bytes are what an erase
    // leaves, any other difference may be another module's page.
    const std::vector<uint8_t> saved = bytes(2048, 4);
    std::vector<uint8_t> erasedUnit = saved;
    std::fill(erasedUnit.begin() + 1024, erasedUnit.end(), 0xFF);
    std::vector<uint8_t> otherKeys = saved;
    otherKeys[0x7E0] = uint8_t(saved[0x7E0] == 0x5A ? 0x5B : 0x5A);
    std::vector<uint8_t> otherKeysErasedElsewhere = erasedUnit;
    otherKeysErasedElsewhere[0x10] = uint8_t(saved[0x10] == 0x00 ? 0x01 : 0x00);
    const struct {
        const std::vector<uint8_t>& now;
        uint8_t erased;
        bool explained;
    } table[] = {
        {saved, 0xFF, true},
        {erasedUnit, 0xFF, true},
        {std::vector<uint8_t>(2048, 0xFF), 0xFF, true},
        {otherKeys, 0xFF, false},
        {otherKeysErasedElsewhere, 0xFF, false},
        // On L0 an erase leaves 0x00, not 0xFF.
        {erasedUnit, 0x00, false},
        {std::vector<uint8_t>(2048, 0x00), 0x00, true},
        {std::vector<uint8_t>(2047, 0xFF), 0xFF, false},
    };
    for (const auto& row : table)
        QCOMPARE(explainedByErases(saved, row.now, row.erased), row.explained);
}

QTEST_GUILESS_MAIN(TestProgPlan)
#include "tst_prog_plan.moc"
