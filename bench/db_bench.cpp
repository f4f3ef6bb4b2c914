// The line's database's cost per module: milliseconds per row written the way a station
// writes it (SQLite file; PostgreSQL through the spool), median and worst, and rows per
// second with eight stations writing at once to one PostgreSQL server. The server is one
// of the benchmark's own, with fsync on, as the tests start it.
#include "attempts.h"
#include "line.h"
#include "pg_scratch.h"
#include "schema.h"
#include "system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace linedb;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRows = 400;
constexpr int kWriters = 8;
constexpr int kRowsPerWriter = 250;

Attempt module(const std::string& runId, int n, int writer)
{
    char dev[17], uid[25];
    std::snprintf(dev, sizeof dev, "%08x%08x", writer, n);
    std::snprintf(uid, sizeof uid, "%012x%012x", writer, n);
    Attempt a;
    a.uuid = newUuid();
    a.runId = runId;
    a.timeUtc = utcNowText();
    a.port = "/dev/ttyUSB" + std::to_string(writer);
    a.productId = "0x497";
    a.uniqueId = uid;
    a.devEui = dev;
    a.joinEui = "70b3d57ed0000001";
    a.appKey = "00112233445566778899aabbccddeeff";
    a.file = "app.hex";
    a.sha256 = std::string(64, 'a');
    a.result = "PASS";
    a.status = "ok";
    a.seconds = 9.8;
    a.firmwareCheck = "release";
    return a;
}

void printCost(const char* engine, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("  %-28s median %.2f ms, worst %.2f ms per row (%zu rows)\n", engine, ms[ms.size() / 2], ms.back(),
                ms.size());
}

std::vector<double> perRow(const DbUrl& url, const char* runId)
{
    Line line;
    line.open(url, {runId, hostName(), VBF_VERSION, "bench", utcNowText()}, OnDuplicate::Flag);
    std::vector<double> ms;
    for (int i = 0; i < kRows; ++i) {
        const Attempt a = module(runId, i, 0);
        const auto t = Clock::now();
        const Recorded r = line.record(a);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (!r.written) {
            std::fprintf(stderr, "db-bench: a row was not written: %s\n", r.error.c_str());
            std::exit(1);
        }
    }
    line.finish(utcNowText());
    return ms;
}

}  // namespace

int main()
{
    const std::string folder = std::filesystem::temp_directory_path().string() + "/vbf-db-bench-" + newUuid();
    std::filesystem::create_directories(folder);
    setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
    PgScratch pg(true);
    if (!pg.ok()) {
        std::fprintf(stderr, "db-bench: %s\n", pg.error().c_str());
        return 1;
    }
    std::printf("The line's database, cost per module (a flash takes 5 to 15 s):\n");
    std::string error;
    DbUrl sqlite, server;
    parseDbUrl("sqlite:" + folder + "/line.db", sqlite, error);
    pg.psql("CREATE DATABASE bench");
    parseDbUrl(pg.url("bench"), server, error);
    printCost("SQLite file:", perRow(sqlite, "sqlite"));
    printCost("PostgreSQL through spool:", perRow(server, "server"));

    // Eight stations at once, each on its own connection, the same DevEUIs in part so that
    // the claims meet on the unique index.
    {
        auto c = openConnection(server);
        migrate(*c);
    }
    std::atomic<bool> go{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            try {
                auto c = openConnection(server);
                const RunInfo run{"eight-" + std::to_string(w), hostName(), VBF_VERSION, "bench", utcNowText()};
                while (!go)
                    std::this_thread::yield();
                for (int i = 0; i < kRowsPerWriter; ++i)
                    writeAttempt(*c, run, module(run.runId, i, w % 2 ? w : 0), OnDuplicate::Flag, false);
            } catch (const Error& e) {
                std::fprintf(stderr, "db-bench: %s\n", e.what());
                ++failed;
            }
        });
    const auto t = Clock::now();
    go = true;
    for (auto& w : writers)
        w.join();
    const double s = std::chrono::duration<double>(Clock::now() - t).count();
    std::printf("  PostgreSQL, %d stations at once: %.0f rows/s (%d rows in %.2f s)\n", kWriters,
                kWriters * kRowsPerWriter / s, kWriters * kRowsPerWriter, s);
    std::filesystem::remove_all(folder);
    return failed ? 1 : 0;
}
