#include "pty_client.h"

#include <QElapsedTimer>
#include <QTest>

#include <cstring>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#ifndef VBF_MODULE_SIM
#error "VBF_MODULE_SIM must name the simulator program"
#endif

SimProcess::SimProcess(const QStringList &args)
{
    proc_.setProgram(QStringLiteral(VBF_MODULE_SIM));
    proc_.setArguments(args);
    proc_.start();
    if (!proc_.waitForStarted(5000))
        return;
    QElapsedTimer t;
    t.start();
    while (!proc_.canReadLine() && t.elapsed() < 5000 && proc_.state() == QProcess::Running)
        proc_.waitForReadyRead(100);
    if (proc_.canReadLine())
        path_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
}

SimProcess::~SimProcess()
{
    if (proc_.state() != QProcess::NotRunning) {
        proc_.kill();
        proc_.waitForFinished(5000);
    }
}

int SimProcess::terminate(int timeoutMs)
{
    if (proc_.state() == QProcess::NotRunning)
        return proc_.exitCode();
    proc_.terminate();
    if (!proc_.waitForFinished(timeoutMs))
        return -1;
    return proc_.exitStatus() == QProcess::NormalExit ? proc_.exitCode() : -1;
}

bool SimProcess::waitForExit(int timeoutMs)
{
    return proc_.state() == QProcess::NotRunning || proc_.waitForFinished(timeoutMs);
}

QString SimProcess::log() const
{
    err_ += const_cast<QProcess &>(proc_).readAllStandardError();
    return QString::fromLocal8Bit(err_);
}

bool PtyClient::open(const QString &path)
{
    close();
    fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ::tcsetattr(fd_, TCSANOW, &t);
    return true;
}

void PtyClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool PtyClient::send(const QByteArray &b)
{
    return fd_ >= 0 && ::write(fd_, b.constData(), size_t(b.size())) == b.size();
}

QByteArray PtyClient::receive(int count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < count && fd_ >= 0) {
        const qint64 left = timeoutMs - t.elapsed();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char buf[512];
        const ssize_t n = ::read(fd_, buf, sizeof buf < size_t(count - out.size()) ? sizeof buf : size_t(count - out.size()));
        if (n > 0)
            out.append(buf, int(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return out;
}

QString simControl(const QString &socketPath, const QString &command, int timeoutMs)
{
    const QByteArray path = socketPath.toLocal8Bit();
    sockaddr_un addr{};
    if (size_t(path.size()) >= sizeof addr.sun_path)
        return "error: socket path too long";
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.constData(), size_t(path.size()) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "error: no socket";
    QString answer = "error: no answer from " + socketPath;
    QElapsedTimer t;
    t.start();
    bool connected = false;
    while (!(connected = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) && t.elapsed() < timeoutMs)
        ::usleep(10000);
    const QByteArray line = command.toUtf8() + "\n";
    if (connected && ::write(fd, line.constData(), size_t(line.size())) == line.size()) {
        QByteArray in;
        while (!in.contains('\n') && t.elapsed() < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(timeoutMs - t.elapsed())) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, int(n));
        }
        if (in.contains('\n'))
            answer = QString::fromUtf8(in.left(in.indexOf('\n')));
    }
    ::close(fd);
    return answer;
}

QString answerField(const QString &answer, const QString &key)
{
    const int at = answer.indexOf(" " + key + "=");
    return at < 0 ? QString() : answer.mid(at + key.size() + 2).section(' ', 0, 0);
}

void addWiredResetRows()
{
    QTest::addColumn<QString>("wiring");
    QTest::addColumn<QStringList>("toBootloader");
    QTest::addColumn<QStringList>("toApplication");
    QTest::addColumn<QString>("holdReset");
    QTest::newRow("direct") << "direct" << QStringList{"10", "00"} << QStringList{"11", "01"} << "10";
    QTest::newRow("inverted") << "inverted" << QStringList{"01", "11"} << QStringList{"00", "10"} << "00";
    QTest::newRow("auto-reset") << "auto-reset" << QStringList{"01", "10", "00"} << QStringList{"01", "00"} << "01";
}

QByteArray bytes(std::initializer_list<int> b)
{
    QByteArray r;
    for (int v : b)
        r.append(char(v));
    return r;
}

QByteArray addressFrame(quint32 a)
{
    QByteArray f = bytes({int(a >> 24), int(a >> 16) & 0xFF, int(a >> 8) & 0xFF, int(a) & 0xFF});
    f.append(char(f[0] ^ f[1] ^ f[2] ^ f[3]));
    return f;
}

QByteArray dataFrame(const QByteArray &data)
{
    QByteArray f(1, char(data.size() - 1));
    char x = f[0];
    for (char c : data)
        x ^= c;
    f += data;
    f.append(x);
    return f;
}
