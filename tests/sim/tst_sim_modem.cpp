// The modem-line preload library between a serial program and the simulated module: the
// ioctls a serial program makes on the pty reach the simulator's wiring and bridge, and
// are answered as a serial driver answers them. Runs under LD_PRELOAD (see CMakeLists).
#include "pty_client.h"

#include <QtTest>

#include <cerrno>
#include <linux/serial.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QByteArray ACK(1, char(0x79));

struct Sim {
    QTemporaryDir dir;
    QString link = dir.filePath("port"), sock = dir.filePath("ctl");
    SimProcess proc;
    explicit Sim(const QStringList &extra)
        : proc(QStringList{"--link", dir.filePath("port"), "--control", dir.filePath("ctl"), "--quiet"} + extra)
    {
        qputenv("VBF_SIM_PTY", link.toLocal8Bit());
        qputenv("VBF_SIM_CONTROL", sock.toLocal8Bit());
    }
    QString state(const QString &key) { return answerField(simControl(sock, "state"), key); }
};

// Sets the lines to `dr` ("DTR RTS", 1 = asserted) the way serial programs do: one
// TIOCMSET, or TIOCMBIS/TIOCMBIC for the lines that change.
bool setLines(int fd, const QString &dr, bool atOnce)
{
    const int want = (dr[0] == '1' ? TIOCM_DTR : 0) | (dr[1] == '1' ? TIOCM_RTS : 0);
    if (atOnce)
        return ::ioctl(fd, TIOCMSET, &want) == 0;
    int now = 0;
    if (::ioctl(fd, TIOCMGET, &now) != 0)
        return false;
    const int on = want & ~now & (TIOCM_DTR | TIOCM_RTS), off = ~want & now & (TIOCM_DTR | TIOCM_RTS);
    return (!on || ::ioctl(fd, TIOCMBIS, &on) == 0) && (!off || ::ioctl(fd, TIOCMBIC, &off) == 0);
}

} // namespace

class TestSimModem : public QObject {
    Q_OBJECT

private slots:
    void resetsThroughTheIoctls_data();
    void resetsThroughTheIoctls();
    void otherDescriptorsUntouched();
    void serialSettings();
};

void TestSimModem::resetsThroughTheIoctls_data()
{
    addWiredResetRows();
}

void TestSimModem::resetsThroughTheIoctls()
{
    QFETCH(QString, wiring);
    QFETCH(QStringList, toBootloader);
    QFETCH(QStringList, toApplication);
    QFETCH(QString, holdReset);
    // The two-transistor circuit needs both lines switched in one TIOCMSET: line by line,
    // the step "RTS only" -> "DTR only" passes "both" or "neither", which releases NRST
    // with BOOT0 low and starts the application.
    const bool lineByLine = wiring != "auto-reset";
    Sim sim({"--wiring", wiring, "--startup-ms", "20"});
    QVERIFY(sim.proc.started());
    PtyClient c;
    QVERIFY(c.open(sim.link));
    // Opening the port asserted both lines, as a tty open does.
    int bits = 0;
    QCOMPARE(::ioctl(c.fd(), TIOCMGET, &bits), 0);
    QCOMPARE(bits & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
    QCOMPARE(sim.state("dtr") + sim.state("rts"), QString("11"));

    for (bool atOnce : {true, false}) {
        for (const QString &l : toBootloader)
            QVERIFY(setLines(c.fd(), l, atOnce));
        QTest::qWait(40);
        if (!atOnce && !lineByLine) {
            QCOMPARE(sim.state("state"), QString("application"));
            break;
        }
        QCOMPARE(c.exchange(bytes({0x7F}), 1), ACK);
        QCOMPARE(c.exchange(bytes({0x02, 0xFD}), 5).left(1), ACK);

        const int runs = sim.state("app-runs").toInt();
        for (const QString &l : toApplication)
            QVERIFY(setLines(c.fd(), l, atOnce));
        QCOMPARE(sim.state("app-runs").toInt(), runs + 1);
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 150), QByteArray());

        QVERIFY(setLines(c.fd(), holdReset, atOnce));
        QCOMPARE(sim.state("state"), QString("reset"));
        QCOMPARE(::ioctl(c.fd(), TIOCMGET, &bits), 0);
        QCOMPARE(QString("%1%2").arg(int(bool(bits & TIOCM_DTR))).arg(int(bool(bits & TIOCM_RTS))), holdReset);
        QCOMPARE(c.exchange(bytes({0x7F}), 1, 150), QByteArray());
    }
    QCOMPARE(sim.proc.terminate(), 0);
}

void TestSimModem::otherDescriptorsUntouched()
{
    // Another pty and a simulator that is gone: the real ioctl answers, or the call fails
    // as on an adapter that went away; never a made-up success.
    int master = -1, slave = -1;
    QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    Sim sim({});
    QVERIFY(sim.proc.started());
    int bits = TIOCM_DTR;
    errno = 0;
    QCOMPARE(::ioctl(slave, TIOCMBIS, &bits), -1);
    QVERIFY(errno == EINVAL || errno == ENOTTY);
    serial_struct ss{};
    QCOMPARE(::ioctl(slave, TIOCGSERIAL, &ss), -1);
    int queued = -1;
    QCOMPARE(::ioctl(slave, FIONREAD, &queued), 0); // everything else passes through
    QCOMPARE(queued, 0);
    ::close(master);
    ::close(slave);

    PtyClient c;
    QVERIFY(c.open(sim.link));
    QCOMPARE(sim.proc.terminate(), 0);
    QCOMPARE(::ioctl(c.fd(), TIOCMBIS, &bits), -1);
    QVERIFY(errno == EIO || errno == EINVAL || errno == ENOTTY);
}

void TestSimModem::serialSettings()
{
    Sim sim({"--latency-timer", "16"});
    QVERIFY(sim.proc.started());
    PtyClient c;
    QVERIFY(c.open(sim.link));
    serial_struct ss{};
    QCOMPARE(::ioctl(c.fd(), TIOCGSERIAL, &ss), 0);
    QCOMPARE(ss.flags & ASYNC_LOW_LATENCY, 0);
    QCOMPARE(sim.state("latency-ms"), QString("16"));
    ss.flags |= ASYNC_LOW_LATENCY;
    QCOMPARE(::ioctl(c.fd(), TIOCSSERIAL, &ss), 0);
    QCOMPARE(sim.state("latency-ms"), QString("1"));
    serial_struct back{};
    QCOMPARE(::ioctl(c.fd(), TIOCGSERIAL, &back), 0);
    QCOMPARE(back.flags & ASYNC_LOW_LATENCY, ASYNC_LOW_LATENCY);
    back.flags &= ~ASYNC_LOW_LATENCY;
    QCOMPARE(::ioctl(c.fd(), TIOCSSERIAL, &back), 0);
    QCOMPARE(sim.state("latency-ms"), QString("16"));
    QCOMPARE(sim.proc.terminate(), 0);
}

QTEST_GUILESS_MAIN(TestSimModem)
#include "tst_sim_modem.moc"
