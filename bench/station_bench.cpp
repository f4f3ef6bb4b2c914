// The station's throughput: modules per hour for one port and for eight, each module taking
// a fixed handling time (taken out, the next put in) after its result, with the simulated
// module's wire timing at 115200 and 921600 baud. A few modules per port keep it short.
#include "../tests/programmer/hex_tools.h"
#include "../tests/sim/pty_client.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr int kModulesPerPort = 3;
constexpr int kHandlingMs = 5000;
constexpr int kImageBytes = 32 * 1024;

QString randomHex(int bytes)
{
    QByteArray b(bytes, Qt::Uninitialized);
    for (auto& c : b)
        c = char(QRandomGenerator::global()->generate());
    return QString::fromLatin1(b.toHex());
}

// Modules per hour over `ports` ports; 0 when something failed.
double measure(const QString& tool, const QString& hex, int ports, int baud, const QString& work)
{
    std::vector<std::unique_ptr<SimProcess>> sims;
    QStringList args{"station", hex, "--json", "--baud", QString::number(baud), "--count",
                     QString::number(ports * kModulesPerPort)};
    for (int p = 0; p < ports; ++p) {
        const QString n = QString::number(p);
        sims.push_back(std::make_unique<SimProcess>(QStringList{"--baud", QString::number(baud), "--max-baud", "921600",
                                                                "--link", work + "/port" + n, "--control",
                                                                work + "/ctl" + n, "--idle-timeout", "300", "--quiet"}));
        if (!sims.back()->started())
            return 0;
        args << "--port" << work + "/port" + n;
    }
    QProcess station;
    station.start(tool, args);
    if (!station.waitForStarted(5000))
        return 0;
    QElapsedTimer clock;
    clock.start();
    std::map<QString, int> done;
    std::multimap<qint64, QString> swaps;  // when, control socket
    int results = 0;
    qint64 last = 0;
    while (results < ports * kModulesPerPort && clock.elapsed() < 20 * 60 * 1000) {
        station.waitForReadyRead(20);
        while (station.canReadLine()) {
            const QJsonObject r = QJsonDocument::fromJson(station.readLine()).object();
            const QString port = r["port"].toString();
            if (r["result"].toString() != "PASS") {
                std::fprintf(stderr, "station-bench: %s failed: %s\n", qPrintable(port), qPrintable(r["cause"].toString()));
                return 0;
            }
            ++results;
            last = clock.elapsed();
            if (++done[port] < kModulesPerPort)
                swaps.emplace(clock.elapsed() + kHandlingMs, port.left(port.lastIndexOf("/port")) + "/ctl" +
                                                                 port.mid(port.lastIndexOf("/port") + 5));
        }
        while (!swaps.empty() && swaps.begin()->first <= clock.elapsed()) {
            const QString ctl = swaps.begin()->second;
            swaps.erase(swaps.begin());
            simControl(ctl, "remove");
            simControl(ctl, "insert keys=" + randomHex(32));
        }
        if (station.state() != QProcess::Running && !station.canReadLine())
            break;
    }
    station.waitForFinished(30000);
    if (results < ports * kModulesPerPort)
        return 0;
    // The last module's handling counts too: each module is one flash plus one handling.
    return results * 3600.0 / ((last + kHandlingMs) / 1000.0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: station-bench VORNA_FLASH\n");
        return 2;
    }
    QTemporaryDir dir;
    QByteArray image(kImageBytes, Qt::Uninitialized);
    for (auto& c : image)
        c = char(QRandomGenerator::global()->generate());
    const QString hex = dir.filePath("app.hex");
    QFile f(hex);
    if (!f.open(QIODevice::WriteOnly) || f.write(intelHex(image, 0x08000800)) <= 0)
        return 1;
    f.close();
    std::printf("station: %d modules per port, %d KiB image, %d s handling per module (wire timing on)\n",
                kModulesPerPort, kImageBytes / 1024, kHandlingMs / 1000);
    int status = 0;
    for (int baud : {115200, 921600}) {
        double one = 0;
        for (int ports : {1, 8}) {
            QTemporaryDir work(dir.filePath("run-XXXXXX"));
            const double rate = measure(QString::fromLocal8Bit(argv[1]), hex, ports, baud, work.path());
            if (rate <= 0) {
                std::printf("station: %d port(s) at %d baud: FAILED\n", ports, baud);
                status = 1;
                continue;
            }
            if (ports == 1)
                one = rate;
            std::printf("station: %d port%s at %6d baud: %6.0f modules per hour%s\n", ports, ports == 1 ? " " : "s",
                        baud, rate,
                        ports == 1 || one <= 0 ? "" : qPrintable(QString(" (%1 x one port)").arg(rate / one, 0, 'f', 1)));
            std::fflush(stdout);
        }
    }
    return status;
}
