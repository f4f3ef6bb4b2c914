// The simulated module as a child process on its own pseudo terminal, and the calls that
// tests of the programming library make against it.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <signal.h>

#include "programmer_api.h"

namespace {

constexpr uint32_t kApp = 0x08000800;
constexpr uint32_t kFlashBase = 0x08000000;

// Flash of the simulated models: size, erase unit, erased value.
struct Model {
    uint16_t pid;
    uint32_t flash;
    uint32_t page;
    uint8_t erased;
};
inline Model model(uint16_t pid)
{
    switch (pid) {
    case 0x447: return {pid, 192 * 1024, 128, 0x00};
    case 0x410: return {pid, 128 * 1024, 1024, 0xFF};
    default: return {0x497, 256 * 1024, 2048, 0xFF};
    }
}

// Everything the callbacks report, for the test to inspect.
struct Seen {
    QStringList messages;
    QList<QPair<int, int>> progress;
    int barStarts = 0;
    void clear()
    {
        messages.clear();
        progress.clear();
        barStarts = 0;
    }
    QString all() const { return messages.join('\n'); }
};
inline Seen seen;

inline void onInit() { ++seen.barStarts; }
inline void onMessage(int, const wchar_t* s) { seen.messages << QString::fromWCharArray(s); }
inline void onProgress(int p, int t) { seen.progress.append({p, t}); }

// One simulator process; ended by its own PID.
class Sim {
public:
    Sim(const QTemporaryDir& dir, const QStringList& extra, const QByteArray& image = QByteArray())
        : dump_(dir.filePath(QString("dump-%1.bin").arg(++count_))), log_(dir.filePath(QString("log-%1.txt").arg(count_)))
    {
        QStringList args{"--dump", dump_, "--log", log_, "--idle-timeout", "60"};
        if (!image.isEmpty()) {
            const QString img = dir.filePath(QString("image-%1.bin").arg(count_));
            QFile f(img);
            if (f.open(QIODevice::WriteOnly))
                f.write(image);
            args << "--image" << img;
        }
        proc_.setProgram(VBF_MODULE_SIM);
        proc_.setArguments(args + extra);
        proc_.setProcessChannelMode(QProcess::SeparateChannels);
        proc_.start();
        if (proc_.waitForStarted(5000)) {
            QElapsedTimer t;
            t.start();
            while (!proc_.canReadLine() && t.elapsed() < 5000)
                proc_.waitForReadyRead(100);
            port_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
        }
    }
    ~Sim() { stop(); }

    const QString& port() const { return port_; }
    // Module N > 1 (put in later) is dumped to this path with ".N" appended.
    const QString& dumpPath() const { return dump_; }

    // Ends the simulator (SIGTERM to its PID): it writes its dump and log summary.
    void stop()
    {
        if (proc_.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(proc_.processId()), SIGTERM);
        if (!proc_.waitForFinished(5000)) {
            ::kill(pid_t(proc_.processId()), SIGKILL);
            proc_.waitForFinished(2000);
        }
    }
    QByteArray dump()
    {
        stop();
        QFile f(dump_);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString log()
    {
        stop();
        QFile f(log_);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    static inline int count_ = 0;
    QProcess proc_;
    QString dump_, log_, port_;
};

inline usartConnectParameters record(const QString& port)
{
    qputenv("VBF_EXTRA_PORTS", port.toLocal8Bit());
    usartConnectParameters* list = nullptr;
    const int n = getUsartList(&list);
    for (int i = 0; i < n; ++i)
        if (port == QString::fromLocal8Bit(list[i].portName))
            return list[i];
    usartConnectParameters none{};
    return none;
}

inline int connectTo(const QString& port)
{
    return connectUsartBootloader(record(port));
}

inline QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(content);
    return path;
}

inline int download(const QString& path, unsigned verify = 1)
{
    const std::wstring w = path.toStdWString();
    return downloadFile(w.c_str(), kApp, 0, verify, L"");
}

}  // namespace
