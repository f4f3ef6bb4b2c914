// The bridge's latency timer as the library reads it and advises on it.
#include <QtTest>

#include <fstream>
#include <pty.h>
#include <unistd.h>

#include "latency_timer.h"
#include "serial_transport.h"

namespace fs = std::filesystem;

class TestLatencyTimer : public QObject {
    Q_OBJECT

private slots:
    void sysfsReading_data();
    void sysfsReading();
    void portFoundThroughItsLinks();
    void adviceAboveTwoMilliseconds();
    void lowLatencyRefusedQuietlyOnPty();
};

namespace {

void writeFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

}  // namespace

void TestLatencyTimer::sysfsReading_data()
{
    QTest::addColumn<QString>("file");   // relative to the fake sysfs root
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");  // -1: nothing read
    QTest::newRow("class/tty") << "class/tty/ttyUSB0/device/latency_timer" << "16\n" << 16;
    QTest::newRow("usb-serial") << "bus/usb-serial/devices/ttyUSB0/latency_timer" << "1\n" << 1;
    QTest::newRow("another port's") << "class/tty/ttyUSB1/device/latency_timer" << "16\n" << -1;
    QTest::newRow("not a number") << "class/tty/ttyUSB0/device/latency_timer" << "fast\n" << -1;
    QTest::newRow("out of range") << "class/tty/ttyUSB0/device/latency_timer" << "300\n" << -1;
    QTest::newRow("empty") << "class/tty/ttyUSB0/device/latency_timer" << "" << -1;
}

void TestLatencyTimer::sysfsReading()
{
    QFETCH(QString, file);
    QFETCH(QString, text);
    QFETCH(int, expected);
    QTemporaryDir root;
    writeFile(fs::path(root.path().toStdString()) / file.toStdString(), text.toStdString());
    const auto ms = vbprog::sysfsLatencyTimer(root.path().toStdString(), "/dev/ttyUSB0");
    QCOMPARE(ms.value_or(-1), expected);
}

void TestLatencyTimer::portFoundThroughItsLinks()
{
    // /dev/serial/by-id/... names the port through a link; sysfs knows it by the target.
    QTemporaryDir dir;
    const fs::path base = dir.path().toStdString();
    writeFile(base / "sys/class/tty/ttyUSB7/device/latency_timer", "16\n");
    writeFile(base / "dev/ttyUSB7", "");
    fs::create_directories(base / "dev/serial/by-id");
    fs::create_symlink(base / "dev/ttyUSB7", base / "dev/serial/by-id/usb-Bridge_A1-if00-port0");
    QCOMPARE(vbprog::sysfsLatencyTimer(base / "sys", (base / "dev/serial/by-id/usb-Bridge_A1-if00-port0").string())
                 .value_or(-1),
             16);
}

void TestLatencyTimer::adviceAboveTwoMilliseconds()
{
    // 64 KiB: 256 blocks, six turnarounds each, 16 ms per turnaround.
    QCOMPARE(vbprog::latencyCostSeconds(16, 64 * 1024), 24.576);
    const std::string advice = vbprog::latencyAdvice("COM5", 16);
    QVERIFY2(advice.find("about 25 s per 64 KiB at this setting") != std::string::npos, advice.c_str());
    QVERIFY(advice.find("COM5 > Properties > Port Settings > Advanced > Latency Timer") != std::string::npos);
    QCOMPARE(vbprog::latencyAdvice("COM5", 2), std::string());
    QVERIFY(vbprog::latencyAdvice("COM5", 3).find("about 5 s") != std::string::npos);
}

void TestLatencyTimer::lowLatencyRefusedQuietlyOnPty()
{
    int master = -1, slave = -1;
    char name[128];
    QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    vbprog::SerialLink link;
    std::vector<std::string> notes;
    vbprog::PortSettings settings;
    settings.name = name;
    link.open(settings, notes);  // throws on a failure
    QVERIFY(link.isOpen());
    bool told = false;
    for (const auto& n : notes)
        told = told || n.find("low latency not asked for") != std::string::npos;
    QVERIFY(told);
    link.close();
    ::close(slave);
    ::close(master);
}

QTEST_GUILESS_MAIN(TestLatencyTimer)
#include "tst_latency_timer.moc"
