// What a port is: where a tty hangs in sysfs, and the USB identity in Windows' device IDs.
// The real lists need real adapters; these are the parts that read what the system wrote.
#include <QtTest>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "port_list.h"

using namespace vbprog;

class TestProgPorts : public QObject {
    Q_OBJECT

private slots:
    void usbLocationFromSysfs_data();
    void usbLocationFromSysfs();
    void windowsDeviceIds_data();
    void windowsDeviceIds();
};

void TestProgPorts::usbLocationFromSysfs_data()
{
    QTest::addColumn<QString>("tty");
    QTest::addColumn<QString>("device");    // where class/tty/TTY/device leads, under devices/
    QTest::addColumn<QString>("location");
    const QString hc = "pci0000:00/0000:00:14.0/usb1/";
    QTest::newRow("usb-serial port below its interface") << "ttyUSB0" << hc + "1-1/1-1.2/1-1.2:1.0/ttyUSB0" << "1-1.2:1.0";
    QTest::newRow("second port of a two-port adapter") << "ttyUSB1" << hc + "1-1/1-1.3/1-1.3:1.1/ttyUSB1" << "1-1.3:1.1";
    QTest::newRow("cdc-acm: the interface itself") << "ttyACM0" << hc + "1-4/1-4:1.0" << "1-4:1.0";
    QTest::newRow("behind two hubs") << "ttyUSB2" << hc + "1-1/1-1.4/1-1.4.2/1-1.4.2:1.0/ttyUSB2" << "1-1.4.2:1.0";
    QTest::newRow("a UART on the board") << "ttyS0" << "platform/serial8250/tty/ttyS0" << "";
    QTest::newRow("not in sysfs (a pty)") << "pts3" << "" << "";
}

void TestProgPorts::usbLocationFromSysfs()
{
    QFETCH(QString, tty);
    QFETCH(QString, device);
    QFETCH(QString, location);
    QTemporaryDir sys, dev;
    QVERIFY(QDir().mkpath(sys.filePath("class/tty")));
    if (!device.isEmpty()) {
        QVERIFY(QDir().mkpath(sys.filePath("devices/" + device)));
        QVERIFY(QDir().mkpath(sys.filePath("class/tty/" + tty)));
        QVERIFY(QFile::link(sys.filePath("devices/" + device), sys.filePath("class/tty/" + tty + "/device")));
    }
    // The port as a user names it: through a by-id link.
    QFile node(dev.filePath(tty));
    QVERIFY(node.open(QIODevice::WriteOnly));
    node.close();
    QVERIFY(QDir().mkpath(dev.filePath("serial/by-id")));
    const QString byId = dev.filePath("serial/by-id/usb-Vendor_Product-if00-port0");
    QVERIFY(QFile::link(node.fileName(), byId));
    for (const QString& name : {node.fileName(), byId})
        QCOMPARE(QString::fromStdString(sysfsUsbLocation(sys.path().toStdString(), name.toStdString())), location);
}

void TestProgPorts::windowsDeviceIds_data()
{
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QString>("instanceId");
    QTest::addColumn<int>("vid");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("serial");
    QTest::newRow("USB with a serial number") << "USB\\VID_0403&PID_6001&REV_0600" << "USB\\VID_0403&PID_6001\\A50285BI"
                                              << 0x0403 << 0x6001 << "A50285BI";
    QTest::newRow("FTDI's own driver") << "FTDIBUS\\COMPORT&VID_0403&PID_6001" << "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"
                                       << 0x0403 << 0x6001 << "A50285BI";
    QTest::newRow("FTDI's second port") << "FTDIBUS\\COMPORT&VID_0403&PID_6010" << "FTDIBUS\\VID_0403+PID_6010+FT4ZKQB\\0000"
                                        << 0x0403 << 0x6010 << "FT4ZKQ";
    QTest::newRow("no serial number: a made-up instance") << "USB\\VID_1A86&PID_7523&REV_0264"
                                                          << "USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2" << 0x1a86 << 0x7523 << "";
    QTest::newRow("interface of a composite device") << "USB\\VID_10C4&PID_EA70&REV_0100&MI_01"
                                                     << "USB\\VID_10C4&PID_EA70&MI_01\\6&2A3B&0&0001" << 0x10c4 << 0xea70 << "";
    QTest::newRow("lower case") << "" << "usb\\vid_10c4&pid_ea60\\0001" << 0x10c4 << 0xea60 << "0001";
    QTest::newRow("a board's UART") << "ACPI\\PNP0501" << "ACPI\\PNP0501\\1" << -1 << -1 << "";
    QTest::newRow("no hex digits") << "USB\\VID_04G3&PID_6001" << "USB\\VID_04G3&PID_6001\\X1" << -1 << 0x6001 << "X1";
    QTest::newRow("cut short") << "USB\\VID_04" << "USB\\VID_04" << -1 << -1 << "";
}

void TestProgPorts::windowsDeviceIds()
{
    QFETCH(QString, hardwareId);
    QFETCH(QString, instanceId);
    QFETCH(int, vid);
    QFETCH(int, pid);
    QFETCH(QString, serial);
    const WindowsDeviceIds ids = parseWindowsDeviceIds(hardwareId.toStdString(), instanceId.toStdString());
    QCOMPARE(ids.vid, vid);
    QCOMPARE(ids.pid, pid);
    QCOMPARE(QString::fromStdString(ids.serial), serial);
}

QTEST_GUILESS_MAIN(TestProgPorts)
#include "tst_prog_ports.moc"
