#pragma once
// The simulated module as a child process, and firmware files made with objcopy.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <sys/types.h>

namespace e2e {

// A simulator run: started with its arguments, ended by its own PID.
class Simulator
{
public:
    ~Simulator() { stop(); }

    // Returns the pty path the simulator printed first, or an empty text.
    QString start(const QStringList& arguments)
    {
        process.setProgram(QStringLiteral(VBF_MODULE_SIM));
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (!process.waitForStarted(5000))
            return QString();
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(5000))
                return QString();
        }
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

    // SIGTERM to this simulator only; it writes its dump and summary, then exits.
    bool stop()
    {
        if (process.state() == QProcess::NotRunning)
            return true;
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
        if (process.waitForFinished(5000))
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
        process.waitForFinished(2000);
        return false;
    }

private:
    QProcess process;
};

// Bytes that differ from address to address, so a shifted or partial write shows.
inline QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    quint32 x = 0x12345678u;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = char(x >> 24);
    }
    return data;
}

// Writes data as an Intel HEX file that puts it at address; true on success.
inline bool makeHex(const QByteArray& data, quint32 address, const QString& binPath, const QString& hexPath)
{
    QFile bin(binPath);
    if (!bin.open(QIODevice::WriteOnly) || bin.write(data) != data.size())
        return false;
    bin.close();
    const int rc = QProcess::execute(QStringLiteral(VBF_OBJCOPY),
                                     { "-I", "binary", "-O", "ihex", "--change-addresses",
                                       "0x" + QString::number(address, 16), binPath, hexPath });
    return rc == 0 && QFile::exists(hexPath);
}

} // namespace e2e
