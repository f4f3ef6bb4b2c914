// A PostgreSQL server of the test's own: initdb and pg_ctl from Debian's postgresql package
// in a temporary folder, listening on a Unix socket there and nowhere else. Run as the
// postgres system user when the test runs as root. A watchdog process stops it and removes
// the folder when this object goes, or when the test process dies in a crash.
#pragma once

#include <string>
#include <sys/types.h>

class PgScratch {
public:
    // `durable`: fsync as a real server does (the benchmark); tests skip it, which an
    // immediate stop survives (the data is in the system's cache), unlike an asynchronous commit.
    explicit PgScratch(bool durable = false);
    ~PgScratch();
    PgScratch(const PgScratch&) = delete;
    PgScratch& operator=(const PgScratch&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // postgresql://postgres@/postgres?host=FOLDER, for --db.
    std::string url(const std::string& dbname = "postgres") const;
    const std::string& folder() const { return folder_; }

    // Stopped at once, as a crash or a pulled cable would (pg_ctl stop -m immediate), and
    // started again on the same data.
    bool stop();
    bool start();
    // Runs SQL through psql as the server's superuser; its output, or empty with error() set.
    std::string psql(const std::string& sql, const std::string& dbname = "postgres");

private:
    bool run(const std::string& command, std::string* output = nullptr);

    bool ok_ = false;
    bool durable_ = false;
    std::string error_;
    std::string folder_;
    std::string asUser_;      // "runuser -u postgres -- " as root, else empty
    int watchdog_ = -1;       // write end of the watchdog's pipe
    pid_t watchdogPid_ = -1;
};
