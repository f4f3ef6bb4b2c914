// The station's fixtures for the command-line tests: simulated jigs driven over their
// control sockets, the station as a child process read line by line, and its CSV log.
#pragma once

#include "../sim/pty_client.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>

#include <csignal>
#include <functional>
#include <memory>

namespace {

constexpr int APP_OFFSET = 0x800;
constexpr int KEYS_OFFSET = 0x7E0;

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (auto& c : b)
        c = char(QRandomGenerator::global()->generate());
    return b;
}

QString randomHex(int bytes)
{
    return QString::fromLatin1(randomBytes(bytes).toHex());
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One jig: a simulated adapter at a fixed link, driven over its control socket.
struct Jig {
    QString link, control, dump;
    std::unique_ptr<SimProcess> sim;
    QStringList keys, uids;  // of each module put in, in order

    Jig(const QString& dir, int n, const QString& firstKeys, const QString& firstUid, const QStringList& extra = {})
    {
        link = dir + "/port" + QString::number(n);
        control = dir + "/ctl" + QString::number(n);
        dump = dir + "/dump" + QString::number(n);
        keys << firstKeys;
        uids << firstUid;
        sim = std::make_unique<SimProcess>(QStringList{"--link", link, "--control", control, "--dump", dump, "--keys",
                                                       firstKeys, "--uid", firstUid, "--idle-timeout", "120", "--quiet"} +
                                           extra);
    }
    // Takes the module out with its adapter and puts the next one in.
    bool swap(const QString& k, const QString& u, const QString& fault = {}, bool keepPort = false)
    {
        if (!simControl(control, keepPort ? "remove keep-port" : "remove").startsWith("ok "))
            return false;
        keys << k;
        uids << u;
        return simControl(control, "insert keys=" + k + " uid=" + u + (fault.isEmpty() ? "" : " fault=" + fault))
            .startsWith("ok ");
    }
    QString dumpOf(int module) const { return module == 1 ? dump : dump + "." + QString::number(module); }
};

// The station as a child process: its JSON Lines as they come.
class Station {
public:
    // `inChild` runs in the child before vorna-flash starts (limits, signals).
    explicit Station(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                     const std::function<void()>& inChild = nullptr)
    {
        proc_.setProcessEnvironment(env);
        if (inChild)
            proc_.setChildProcessModifier(inChild);
        proc_.start(VORNA_FLASH_PATH, args);
        proc_.waitForStarted(5000);
    }
    ~Station()
    {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.kill();
            proc_.waitForFinished(5000);
        }
    }
    // Waits for the next line of standard output; empty when none comes in time.
    QByteArray nextLine(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (!proc_.canReadLine() && t.elapsed() < timeoutMs && proc_.state() == QProcess::Running)
            proc_.waitForReadyRead(50);
        return proc_.canReadLine() ? proc_.readLine().trimmed() : QByteArray();
    }
    bool waitForError(const QByteArray& text, int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (!err_.contains(text) && t.elapsed() < timeoutMs && proc_.state() == QProcess::Running) {
            proc_.waitForReadyRead(50);
            err_ += proc_.readAllStandardError();
        }
        return err_.contains(text);
    }
    void interrupt(int signal = SIGINT) { ::kill(pid_t(proc_.processId()), signal); }
    // Exit code after a normal end, -2 otherwise; the rest of standard output in `rest`.
    int finish(QByteArray* rest, int timeoutMs = 30000)
    {
        // Already ended (seen while waiting for output) is no timeout.
        if (proc_.state() != QProcess::NotRunning && !proc_.waitForFinished(timeoutMs))
            return -3;
        *rest = proc_.readAllStandardOutput();
        err_ += proc_.readAllStandardError();
        return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -2;
    }
    QByteArray err() const { return err_; }

private:
    QProcess proc_;
    QByteArray err_;
};

QJsonObject parsed(const QByteArray& line)
{
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(line, &e);
    return e.error == QJsonParseError::NoError && d.isObject() ? d.object() : QJsonObject();
}

// The CSV's rows as maps by column name.
QList<QMap<QString, QString>> csvRows(const QString& path)
{
    QList<QMap<QString, QString>> rows;
    const QList<QByteArray> lines = readFile(path).split('\n');
    if (lines.isEmpty())
        return rows;
    const QList<QByteArray> header = lines[0].split(',');
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QList<QByteArray> f = lines[i].split(',');  // none of our fields holds a comma
        QMap<QString, QString> row;
        for (int c = 0; c < header.size() && c < f.size(); ++c)
            row[header[c]] = f[c];
        rows << row;
    }
    return rows;
}

}  // namespace
