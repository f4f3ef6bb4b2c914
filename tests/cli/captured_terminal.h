// A terminal of the test's own for a program's standard error: what the program draws on
// it (redrawn lines, bells) is gathered from the other side.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

class CapturedTerminal {
public:
    CapturedTerminal()
    {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
            name_ = QString::fromLocal8Bit(name);
        }
    }
    ~CapturedTerminal()
    {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    CapturedTerminal(const CapturedTerminal&) = delete;
    CapturedTerminal& operator=(const CapturedTerminal&) = delete;

    bool isOpen() const { return master_ >= 0; }
    // Standard error of `p` goes to the terminal; set before p starts.
    void attach(QProcess& p) const { p.setStandardErrorFile(name_); }
    // Gathers what was drawn so far; call it often, or the program blocks on a full terminal.
    void drain()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(master_, buf, sizeof buf)) > 0)
            drawn_.append(buf, int(n));
    }
    const QByteArray& drawn() const { return drawn_; }

private:
    int master_ = -1, slave_ = -1;
    QString name_;
    QByteArray drawn_;
};
