// Test helpers: the simulator as a child process, and a raw serial client on its pty.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// Starts vbf-module-sim and reads the pty path from its first output line. The process is
// ended by its own PID when the object goes.
class SimProcess {
public:
    explicit SimProcess(const QStringList &args);
    ~SimProcess();
    bool started() const { return !path_.isEmpty(); }
    QString ptyPath() const { return path_; }
    QProcess &process() { return proc_; }
    // SIGTERM and wait; returns the exit code, -1 if it did not end in time.
    int terminate(int timeoutMs = 5000);
    bool waitForExit(int timeoutMs);
    QString log() const; // standard error so far (when --log is not used)

private:
    QProcess proc_;
    QString path_;
    mutable QByteArray err_;
};

class PtyClient {
public:
    PtyClient() = default;
    ~PtyClient() { close(); }
    bool open(const QString &path);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const QByteArray &bytes);
    // Reads until `count` bytes arrived or the time is up.
    QByteArray receive(int count, int timeoutMs = 1000);
    QByteArray exchange(const QByteArray &bytes, int count, int timeoutMs = 1000)
    {
        return send(bytes) ? receive(count, timeoutMs) : QByteArray();
    }

private:
    int fd_ = -1;
};

// One command on the simulator's control socket (--control); its answer line, or an
// "error: ..." text of our own when the socket does not answer in time.
QString simControl(const QString &socketPath, const QString &command, int timeoutMs = 3000);

// The value of `key=` in a control answer ("ok state=reset module=1 ..."); empty if absent.
QString answerField(const QString &answer, const QString &key);
// Data rows for the wired resets: "wiring", then line states as "DTR RTS" (1 = asserted)
// that reset into the bootloader ("toBootloader"), into the application ("toApplication"),
// and one that holds NRST low ("holdReset").
void addWiredResetRows();

QByteArray bytes(std::initializer_list<int> b);
QByteArray addressFrame(quint32 a);
QByteArray dataFrame(const QByteArray &data);
