// A station slot named by its adapter (usb:SERIAL) against simulated modules: the port list
// is a test double in which the adapter moves from one port to another, as a real one does
// when it is plugged in again; the station must follow it there. Which serial number a real
// adapter reports only hardware shows.
#include "../programmer/hex_tools.h"
#include "../sim/pty_client.h"

#include "options.h"
#include "port_names.h"
#include "station.h"

#include "flash_layout.h"
#include "flash_session.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int APP_OFFSET = 0x800;

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString randomHex(int bytes)
{
    QByteArray b(bytes, Qt::Uninitialized);
    for (auto& c : b)
        c = char(QRandomGenerator::global()->generate());
    return QString::fromLatin1(b.toHex());
}

// A simulated adapter at a link of its own, with its control socket and flash dump.
struct Jig {
    QString link, control, dump;
    std::unique_ptr<SimProcess> sim;
    Jig(const QString& dir, int n)
    {
        link = dir + "/port" + QString::number(n);
        control = dir + "/ctl" + QString::number(n);
        dump = dir + "/dump" + QString::number(n);
        sim = std::make_unique<SimProcess>(QStringList{"--link", link, "--control", control, "--dump", dump, "--keys",
                                                       randomHex(32), "--uid", randomHex(12), "--idle-timeout", "120",
                                                       "--quiet"});
    }
    QString state() const { return answerField(simControl(control, "state"), "state"); }
};

// Standard error of this process into a file while it lives.
class CapturedStderr {
public:
    explicit CapturedStderr(const QString& path)
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStderr()
    {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

}  // namespace

class TestCliPortNames : public QObject {
    Q_OBJECT

private slots:
    void stationFollowsTheAdapterToItsNewPort();
};

void TestCliPortNames::stationFollowsTheAdapterToItsNewPort()
{
    QTemporaryDir dir;
    Jig first(dir.path(), 1), second(dir.path(), 2);
    QVERIFY(first.sim->started() && second.sim->started());
    QByteArray image(4 * 1024 + 16, Qt::Uninitialized);
    for (auto& c : image)
        c = char(QRandomGenerator::global()->generate());
    const QString hex = dir.filePath("app.hex");
    QFile f(hex);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(intelHex(image, 0x08000000 + APP_OFFSET)) > 0);
    f.close();
    const vbprog::Result<vbprog::FirmwareFile> firmware = vbprog::loadFirmwareFile(hex.toStdString(), vbprog::kApplicationStart);
    QVERIFY2(firmware.ok(), firmware.error().what.c_str());

    // The adapter JIG1 is at the first jig's port while that exists, then at the second's;
    // an adapter of another serial number beside it all along.
    std::atomic<int> looks{0};
    const vf::PortLister list = [&] {
        ++looks;
        vbprog::PortInfo jig1, other;
        jig1.name = (QFileInfo::exists(first.link) ? first.link : second.link).toStdString();
        jig1.vid = 0x0403;
        jig1.pid = 0x6001;
        jig1.serial = "JIG1";
        other.name = "/dev/vbf-other";
        other.vid = 0x10c4;
        other.pid = 0xea60;
        other.serial = "OTHER";
        return std::vector<vbprog::PortInfo>{other, jig1};
    };
    vf::Options o;
    o.command = vf::Command::Station;
    o.ports = {"usb:JIG1"};
    o.file = hex.toStdString();
    o.count = 2;
    o.after = vf::After::Go;  // each module runs its application once flashed: the sign to unplug it
    o.json = true;            // the summary on standard error, with the station's other words
    const vf::StationFirmware fw{"app.hex", "", &firmware->image};

    const QString errors = dir.filePath("stderr");
    int status = -1;
    {
        CapturedStderr captured(errors);
        std::thread station([&] { status = vf::runStation(o, o.ports, fw, list); });
        QElapsedTimer t;
        t.start();
        while (first.state() != "application" && t.elapsed() < 60000)
            QTest::qWait(100);
        const bool firstRan = first.state() == "application";
        // Unplugged: its port goes, and the adapter comes back at the second jig's port.
        const bool removed = simControl(first.control, "remove").startsWith("ok ");
        while (second.state() != "application" && t.elapsed() < 60000)
            QTest::qWait(100);
        const bool secondRan = second.state() == "application";
        // A station that did not follow the adapter still waits: Ctrl-C ends it, as an operator would.
        if (!secondRan)
            ::raise(SIGINT);
        station.join();
        QVERIFY(firstRan);
        QVERIFY(removed);
        QVERIFY(secondRan);
    }
    const QByteArray said = readFile(errors);
    QVERIFY2(status == 0, said.constData());
    QVERIFY(looks > 0);
    QVERIFY2(said.contains("usb:JIG1: found at " + first.link.toUtf8() + "."), said.constData());
    QVERIFY2(said.contains("usb:JIG1: found at " + second.link.toUtf8() + "."), said.constData());
    // The summary names the slot as given.
    QVERIFY2(said.contains("usb:JIG1: 2 passed, 0 failed"), said.constData());
    for (Jig* jig : {&first, &second}) {
        QCOMPARE(jig->sim->terminate(), 0);
        QCOMPARE(readFile(jig->dump).mid(APP_OFFSET, image.size()).toHex(), image.toHex());
    }
}

QTEST_GUILESS_MAIN(TestCliPortNames)
#include "tst_cli_port_names.moc"
