#include "pg_scratch.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

std::string quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

PgScratch::PgScratch(bool durable) : durable_(durable)
{
    char pattern[] = "/tmp/vbf-pg-XXXXXX";
    if (!::mkdtemp(pattern)) {
        error_ = "mkdtemp failed";
        return;
    }
    folder_ = pattern;
    if (::geteuid() == 0) {
        const passwd* pg = ::getpwnam("postgres");
        if (!pg || ::chown(folder_.c_str(), pg->pw_uid, pg->pw_gid) != 0) {
            error_ = "no postgres system user to run the server as";
            ::rmdir(folder_.c_str());
            return;
        }
        asUser_ = "runuser -u postgres -- ";
    }
    // The watchdog: waits for its pipe to close (this object gone, or the process dead),
    // then stops the server and removes the folder.
    int fds[2];
    if (::pipe(fds) != 0) {
        error_ = "pipe failed";
        return;
    }
    const std::string cleanup = "read _; " + asUser_ + kBin + "pg_ctl -D " + quoted(folder_ + "/data") +
                                " stop -m immediate >/dev/null 2>&1; rm -rf " + quoted(folder_);
    watchdogPid_ = ::fork();
    if (watchdogPid_ == 0) {
        ::setsid();
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        ::close(fds[1]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl("/bin/sh", "sh", "-c", cleanup.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    watchdog_ = fds[1];
    ::fcntl(watchdog_, F_SETFD, FD_CLOEXEC);

    if (!run(asUser_ + kBin + "initdb -D " + quoted(folder_ + "/data") +
             " --auth=trust --username=postgres --encoding=UTF8 --locale=C.UTF-8 >" + quoted(folder_ + "/initdb.log") +
             " 2>&1")) {
        error_ = "initdb failed; see " + folder_ + "/initdb.log";
        return;
    }
    ok_ = start();
}

PgScratch::~PgScratch()
{
    if (watchdog_ >= 0)
        ::close(watchdog_);
    if (watchdogPid_ > 0)
        ::waitpid(watchdogPid_, nullptr, 0);
}

bool PgScratch::run(const std::string& command, std::string* output)
{
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return false;
    char buf[4096];
    size_t n;
    std::string text;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    const int status = ::pclose(p);
    if (output)
        *output = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PgScratch::start()
{
    const std::string options = "-c listen_addresses='' -c unix_socket_directories='" + folder_ +
                                "' -c max_connections=60" + (durable_ ? "" : " -c fsync=off");
    if (!run(asUser_ + kBin + "pg_ctl -D " + quoted(folder_ + "/data") + " -w -t 60 -l " + quoted(folder_ + "/server.log") +
             " -o " + quoted(options) + " start >/dev/null 2>&1")) {
        error_ = "pg_ctl start failed; see " + folder_ + "/server.log";
        return false;
    }
    return true;
}

bool PgScratch::stop()
{
    return run(asUser_ + kBin + "pg_ctl -D " + quoted(folder_ + "/data") + " -w stop -m immediate >/dev/null 2>&1");
}

std::string PgScratch::url(const std::string& dbname) const
{
    return "postgresql://postgres@/" + dbname + "?host=" + folder_;
}

std::string PgScratch::psql(const std::string& sql, const std::string& dbname)
{
    std::string out;
    if (!run(kBin + "psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + quoted(folder_) + " -U postgres -d " + quoted(dbname) +
                 " -c " + quoted(sql) + " 2>&1",
             &out)) {
        error_ = out;
        return {};
    }
    return out;
}
