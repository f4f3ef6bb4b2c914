/* Test-only LD_PRELOAD library: gives the simulated module's pty the modem lines and serial
 * settings of a USB serial adapter. A pty refuses TIOCMBIS/TIOCMBIC/TIOCMSET/TIOCMGET and
 * TIOCSSERIAL/TIOCGSERIAL; for an fd that is one of the simulators' ptys this library
 * forwards them to that simulator's control socket and answers as a serial driver does. An
 * open of such a pty tells the simulator too (a tty open asserts DTR and RTS). TIOCMGET also
 * reports the CTS/DSR/DCD/RI input that a simulator's --presence drives. Every other
 * fd and call goes to the real function.
 *
 *   VBF_SIM_PTY      the pty path(s) (the --link of each simulator), ':'-separated
 *   VBF_SIM_CONTROL  the control socket(s) (--control), ':'-separated, in the same order
 *   VBF_SIM_DAMAGE   optional: ','-separated indexes (from 0) of bytes from a simulator that
 *                    arrive with a parity error, as the terminal layer renders such a byte
 *                    under the fd's INPCK/IGNPAR/PARMRK (one bit flipped, as on a line)
 *   VBF_SIM_MARKS    optional: file(s), ':'-separated in the simulators' order, where each
 *                    simulator lists the indexes of the bytes its line noise damaged so that
 *                    a UART would see a parity error (--parity-marks); those bytes arrive
 *                    marked as above, as they are (the flip is the simulator's)
 * With either, an input flush reads the flushed bytes through the count instead, so the
 * indexes stay those of the simulator's stream.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#define ANSWER_TIMEOUT_MS 3000

/* The n-th ':'-separated entry of an environment variable; 0 if there is none. */
static int entry(const char *var, int n, char *out, size_t size)
{
    const char *v = getenv(var);
    if (!v)
        return 0;
    for (int i = 0; i < n; ++i) {
        v = strchr(v, ':');
        if (!v)
            return 0;
        ++v;
    }
    const char *end = strchr(v, ':');
    const size_t len = end ? (size_t)(end - v) : strlen(v);
    if (len == 0 || len >= size)
        return 0;
    memcpy(out, v, len);
    out[len] = 0;
    return 1;
}

/* Which simulator's pty `fd` is (by device number, so a module put in anew is found at
 * the same path), or -1. */
static int simulatorOf(int fd)
{
    struct stat f;
    if (fd < 0 || fstat(fd, &f) != 0 || !S_ISCHR(f.st_mode))
        return -1;
    char path[4096];
    for (int i = 0; entry("VBF_SIM_PTY", i, path, sizeof path); ++i) {
        struct stat p;
        if (stat(path, &p) == 0 && S_ISCHR(p.st_mode) && p.st_rdev == f.st_rdev)
            return i;
    }
    return -1;
}

/* One command, one answer line; 0 if it began with "ok". Errno is EIO when the simulator
 * does not answer (as for an adapter that went away). */
static int control(int sim, const char *command, char *answer, size_t size)
{
    char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
    answer[0] = 0;
    if (!entry("VBF_SIM_CONTROL", sim, path, sizeof path)) {
        errno = EIO;
        return -1;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, (struct sockaddr *)&addr, sizeof addr) != 0) {
        if (s >= 0)
            close(s);
        errno = EIO;
        return -1;
    }
    char line[256];
    const int n = snprintf(line, sizeof line, "%s\n", command);
    size_t got = 0;
    if (write(s, line, (size_t)n) == n) {
        while (got + 1 < size && !memchr(answer, '\n', got)) {
            struct pollfd p = {s, POLLIN, 0};
            if (poll(&p, 1, ANSWER_TIMEOUT_MS) <= 0)
                break;
            const ssize_t r = read(s, answer + got, size - 1 - got);
            if (r <= 0)
                break;
            got += (size_t)r;
            answer[got] = 0;
        }
    }
    close(s);
    char *nl = strchr(answer, '\n');
    if (!nl) {
        errno = EIO;
        return -1;
    }
    *nl = 0;
    if (strncmp(answer, "ok", 2) != 0) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

static int flag(const char *answer, const char *key)
{
    const char *at = strstr(answer, key);
    return at && at[strlen(key)] == '1';
}

static int modemIoctl(int sim, unsigned long request, void *arg)
{
    char answer[1024];
    char command[128];
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    switch (request) {
    case TIOCMGET:
        if (control(sim, "lines", answer, sizeof answer) != 0)
            return -1;
        /* The inputs too, where the simulator reports a jig's switch on one. */
        *(int *)arg = (flag(answer, "dtr=") ? TIOCM_DTR : 0) | (flag(answer, "rts=") ? TIOCM_RTS : 0) |
                      (flag(answer, "cts=") ? TIOCM_CTS : 0) | (flag(answer, "dsr=") ? TIOCM_DSR : 0) |
                      (flag(answer, "dcd=") ? TIOCM_CAR : 0) | (flag(answer, " ri=") ? TIOCM_RNG : 0);
        return 0;
    case TIOCMSET: {
        const int bits = *(const int *)arg;
        snprintf(command, sizeof command, "lines dtr=%d rts=%d", !!(bits & TIOCM_DTR), !!(bits & TIOCM_RTS));
        return control(sim, command, answer, sizeof answer);
    }
    case TIOCMBIS:
    case TIOCMBIC: {
        const int bits = *(const int *)arg;
        const int value = request == TIOCMBIS;
        if (!(bits & (TIOCM_DTR | TIOCM_RTS)))
            return 0;
        snprintf(command, sizeof command, "lines%s%s%s%s", bits & TIOCM_DTR ? " dtr=" : "",
                 bits & TIOCM_DTR ? (value ? "1" : "0") : "", bits & TIOCM_RTS ? " rts=" : "",
                 bits & TIOCM_RTS ? (value ? "1" : "0") : "");
        return control(sim, command, answer, sizeof answer);
    }
    case TIOCGSERIAL: {
        if (control(sim, "serial", answer, sizeof answer) != 0)
            return -1;
        struct serial_struct *ss = arg;
        memset(ss, 0, sizeof *ss);
        ss->type = PORT_16550A;
        ss->baud_base = 24000000; /* 48 MHz / 2, as the common bridge reports */
        ss->flags = flag(answer, "low-latency=") ? ASYNC_LOW_LATENCY : 0;
        ss->close_delay = 50;
        ss->closing_wait = 3000;
        return 0;
    }
    case TIOCSSERIAL: {
        const struct serial_struct *ss = arg;
        snprintf(command, sizeof command, "serial low-latency=%d", (ss->flags & ASYNC_LOW_LATENCY) ? 1 : 0);
        return control(sim, command, answer, sizeof answer);
    }
    }
    return -2; /* not ours */
}

/* Bytes from a simulator as they pass to the program, for VBF_SIM_DAMAGE and VBF_SIM_MARKS. */
#define MAX_SIMS 8
struct received {
    int sim;
    long count;               /* line bytes handed on so far */
    unsigned char queue[4];   /* rendered bytes that did not fit the caller's buffer */
    size_t queued;
};
static struct received receivedState[MAX_SIMS];

static struct received *receivedOf(int fd)
{
    if (!getenv("VBF_SIM_DAMAGE") && !getenv("VBF_SIM_MARKS"))
        return NULL;
    const int sim = simulatorOf(fd);
    if (sim < 0 || sim >= MAX_SIMS)
        return NULL;
    receivedState[sim].sim = sim;
    return &receivedState[sim];
}

/* The smallest index >= from in a list of numbers separated by anything else, or `best`;
 * with `whole`, a number at the very end (a line still being written) does not count. */
static long smallestFrom(const char *v, long from, long best, int whole)
{
    while (v && *v) {
        if (*v < '0' || *v > '9') {
            ++v;
            continue;
        }
        char *end;
        const long i = strtol(v, &end, 10);
        if (i >= from && (best < 0 || i < best) && !(whole && *end == 0))
            best = i;
        v = end;
    }
    return best;
}

/* The next byte of `rx`'s simulator at or after `from` that arrives damaged, or -1;
 * `flip` tells whether the damage is ours to make (VBF_SIM_DAMAGE) or the simulator's. */
static long nextDamage(const struct received *rx, long from, int *flip)
{
    const long ours = smallestFrom(getenv("VBF_SIM_DAMAGE"), from, -1, 0);
    long best = ours;
    char path[4096];
    if (entry("VBF_SIM_MARKS", rx->sim, path, sizeof path)) {
        FILE *f = fopen(path, "re");
        if (f) {
            char *text = NULL;
            size_t size = 0;
            if (fseek(f, 0, SEEK_END) == 0 && (size = (size_t)ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0 &&
                (text = malloc(size + 1)) != NULL) {
                text[fread(text, 1, size, f)] = 0;
                best = smallestFrom(text, from, best, 1);
            }
            free(text);
            fclose(f);
        }
    }
    *flip = best >= 0 && best == ours;
    return best;
}

static ssize_t takeQueued(struct received *rx, unsigned char *out, size_t n)
{
    const size_t k = rx->queued < n ? rx->queued : n;
    memcpy(out, rx->queue, k);
    memmove(rx->queue, rx->queue + k, rx->queued - k);
    rx->queued -= k;
    return (ssize_t)k;
}

ssize_t read(int fd, void *buf, size_t n)
{
    static ssize_t (*real)(int, void *, size_t);
    if (!real)
        real = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    struct received *rx = n > 0 ? receivedOf(fd) : NULL;
    if (!rx)
        return real(fd, buf, n);
    unsigned char *out = buf;
    if (rx->queued)
        return takeQueued(rx, out, n);

    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return real(fd, buf, n);
    const int marked = (t.c_iflag & PARMRK) != 0, checked = (t.c_iflag & INPCK) != 0,
              ignored = (t.c_iflag & IGNPAR) != 0;
    for (;;) {
        /* At most one damaged byte a call: raw bytes are never fewer than line bytes. */
        int flip = 0;
        const long damage = nextDamage(rx, rx->count, &flip);
        size_t want = n;
        if (damage >= 0 && (size_t)(damage - rx->count + 1) < want)
            want = (size_t)(damage - rx->count + 1);
        unsigned char raw[4096];
        if (want > sizeof raw - 1)
            want = sizeof raw - 1;
        ssize_t got = real(fd, raw, want);
        if (got <= 0)
            return got;
        /* A marking terminal doubles 0xFF; the pair's second half is already queued there. */
        if (marked && raw[got - 1] == 0xFF) {
            int pairs = 0;
            for (ssize_t i = 0; i < got; ++i)
                if (raw[i] == 0xFF)
                    ++pairs;
            if (pairs % 2 && real(fd, raw + got, 1) == 1)
                ++got;
        }
        unsigned char rendered[4096 + 8];
        size_t len = 0;
        for (ssize_t i = 0; i < got; ++i) {
            unsigned char b = raw[i];
            if (marked && b == 0xFF)
                ++i; /* the doubled 0xFF is one byte on the line */
            const int damaged = rx->count++ == damage;
            if (damaged && flip)
                b ^= 0x04;
            if (!damaged || !checked) {
                if (marked && b == 0xFF)
                    rendered[len++] = 0xFF;
                rendered[len++] = b;
            } else if (ignored) {
                /* dropped */
            } else if (marked) {
                rendered[len++] = 0xFF;
                rendered[len++] = 0x00;
                rendered[len++] = b;
            } else {
                rendered[len++] = 0x00;
            }
        }
        if (len == 0) {
            /* The only byte was dropped: nothing arrived, as far as the caller can tell. */
            if (fcntl(fd, F_GETFL) & O_NONBLOCK) {
                errno = EAGAIN;
                return -1;
            }
            continue;
        }
        const size_t direct = len < n ? len : n;
        memcpy(out, rendered, direct);
        memcpy(rx->queue, rendered + direct, len - direct);
        rx->queued = len - direct;
        return (ssize_t)direct;
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    static int (*real)(int, unsigned long, ...);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    switch (request) {
    case FIONREAD:
    case TCFLSH: {
        struct received *rx = receivedOf(fd);
        if (!rx)
            break;
        if (request == FIONREAD) {
            const int r = real(fd, request, arg);
            if (r == 0)
                *(int *)arg += (int)rx->queued;
            return r;
        }
        if ((long)arg == TCIFLUSH || (long)arg == TCIOFLUSH) {
            /* Flushed bytes still count: read them away instead. */
            rx->queued = 0;
            int pending = 0;
            unsigned char scratch[512];
            while (real(fd, FIONREAD, &pending) == 0 && pending > 0) {
                const size_t want = (size_t)pending < sizeof scratch ? (size_t)pending : sizeof scratch;
                if (read(fd, scratch, want) <= 0)
                    break;
            }
            rx->queued = 0;
        }
        break;
    }
    case TIOCMGET: case TIOCMSET: case TIOCMBIS: case TIOCMBIC: case TIOCGSERIAL: case TIOCSSERIAL: {
        const int sim = simulatorOf(fd);
        if (sim >= 0) {
            const int r = modemIoctl(sim, request, arg);
            if (r != -2)
                return r;
        }
        break;
    }
    default:
        break;
    }
    return real(fd, request, arg);
}

static void opened(int fd)
{
    const int saved = errno;
    const int sim = simulatorOf(fd);
    char answer[256];
    if (sim >= 0)
        control(sim, "open", answer, sizeof answer);
    errno = saved;
}

#define OPEN_WRAPPER(name, ...)                                                        \
    {                                                                                  \
        mode_t mode = 0;                                                               \
        if (flags & (O_CREAT | O_TMPFILE)) {                                           \
            va_list ap;                                                                \
            va_start(ap, flags);                                                       \
            mode = va_arg(ap, mode_t);                                                 \
            va_end(ap);                                                                \
        }                                                                              \
        static int (*real)();                                                          \
        if (!real)                                                                     \
            real = (int (*)())dlsym(RTLD_NEXT, #name);                                 \
        const int fd = real(__VA_ARGS__, flags, mode);                                 \
        if (fd >= 0)                                                                   \
            opened(fd);                                                                \
        return fd;                                                                     \
    }

int open(const char *path, int flags, ...) OPEN_WRAPPER(open, path)
int open64(const char *path, int flags, ...) OPEN_WRAPPER(open64, path)
int openat(int dirfd, const char *path, int flags, ...) OPEN_WRAPPER(openat, dirfd, path)
int openat64(int dirfd, const char *path, int flags, ...) OPEN_WRAPPER(openat64, dirfd, path)

/* The checked variants a fortified build calls when the flags are not known at compile time. */
#define OPEN_CHECKED_WRAPPER(name)                                                     \
    int name(const char *path, int flags)                                              \
    {                                                                                  \
        static int (*real)(const char *, int);                                         \
        if (!real)                                                                     \
            real = (int (*)(const char *, int))dlsym(RTLD_NEXT, #name);                \
        const int fd = real(path, flags);                                              \
        if (fd >= 0)                                                                   \
            opened(fd);                                                                \
        return fd;                                                                     \
    }

OPEN_CHECKED_WRAPPER(__open_2)
OPEN_CHECKED_WRAPPER(__open64_2)
