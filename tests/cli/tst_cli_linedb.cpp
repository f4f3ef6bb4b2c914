// vorna-flash with the line's database, against simulated jigs and a PostgreSQL server of
// the test's own (and SQLite): stations catching each other's duplicates, rows kept across
// a server stopped mid-run and a station killed, refusals before any port is opened, and
// history, report and export against the rows written.
#include "../linedb/pg_scratch.h"
#include "../programmer/hex_tools.h"
#include "station_fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// vorna-flash run to its end: exit code, standard output and error.
struct Ran {
    int code = -1;
    QByteArray out, err;
};

Ran vf(const QStringList& args, int timeoutMs = 30000)
{
    QProcess p;
    p.start(VORNA_FLASH_PATH, args);
    Ran r;
    if (!p.waitForStarted(5000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        r.code = -3;
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// A module's keys whose DevEUI is `dev`: DevEUI, JoinEUI, AppKey.
QString keysWith(const QString& dev)
{
    return dev + randomHex(24);
}

}  // namespace

class TestCliLineDb : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void twoStationsCatchEachOthersDuplicates();
    void twoStationsOneDevEuiAtOnce();
    void serverStoppedMidRun();
    void killedStationWritesItsSpoolNextStart();
    void refusedBeforeAnyPort_data();
    void refusedBeforeAnyPort();
    void oneStationOnSqlite();

private:
    // A new database on the test's server, its current release the test's image.
    QString newServerDb(const QString& name);
    QString psql(const QString& sql, const QString& db);

    QTemporaryDir tmp_;
    std::unique_ptr<PgScratch> pg_;
    QString appHex_;
    QByteArray appData_;
};

void TestCliLineDb::initTestCase()
{
    QVERIFY(tmp_.isValid());
    qputenv("XDG_STATE_HOME", tmp_.filePath("state").toUtf8());
    pg_ = std::make_unique<PgScratch>();
    QVERIFY2(pg_->ok(), pg_->error().c_str());
    appData_ = randomBytes(4 * 1024 + 16);
    appHex_ = tmp_.filePath("app.hex");
    QFile f(appHex_);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(intelHex(appData_, 0x08000000 + APP_OFFSET)) > 0);
}

// A case that failed with the server stopped leaves it running for the next.
void TestCliLineDb::cleanup()
{
    if (QTest::currentTestFailed())
        pg_->start();
}

QString TestCliLineDb::psql(const QString& sql, const QString& db)
{
    return QString::fromStdString(pg_->psql(sql.toStdString(), db.toStdString())).trimmed();
}

QString TestCliLineDb::newServerDb(const QString& name)
{
    pg_->psql(("CREATE DATABASE " + name).toStdString());
    const QString url = QString::fromStdString(pg_->url(name.toStdString()));
    const Ran r = vf({"release", "add", appHex_, "--db", url, "--name", "1.0"});
    if (r.code != 0)
        qWarning("%s", r.err.constData());
    return url;
}

// Two station processes, two ports each, on one server; two modules of station B carry the
// DevEUIs of modules station A passed before. Each is flagged once, nothing else.
void TestCliLineDb::twoStationsCatchEachOthersDuplicates()
{
    const QString url = newServerDb("crossed");
    QTemporaryDir dir;
    const QString devA1 = randomHex(8), devA2 = randomHex(8);
    // Station A's first modules carry the DevEUIs; B's second ones repeat them.
    std::vector<std::unique_ptr<Jig>> jigs;
    jigs.push_back(std::make_unique<Jig>(dir.path(), 1, keysWith(devA1), randomHex(12)));
    jigs.push_back(std::make_unique<Jig>(dir.path(), 2, keysWith(devA2), randomHex(12)));
    jigs.push_back(std::make_unique<Jig>(dir.path(), 3, randomHex(32), randomHex(12)));
    jigs.push_back(std::make_unique<Jig>(dir.path(), 4, randomHex(32), randomHex(12)));
    for (auto& j : jigs)
        QVERIFY(j->sim->started());
    Station a({"station", "--port", jigs[0]->link, "--port", jigs[1]->link, appHex_, "--json", "--db", url, "--count", "4"});
    // B starts once A's first two modules are in the database.
    QList<QJsonObject> results;
    auto take = [&](Station& s, int j0, int count, const std::function<QString(int, int)>& nextDev) {
        QMap<int, int> seen;
        for (int n = 0; n < count; ++n) {
            const QJsonObject r = parsed(s.nextLine(30000));
            if (r.isEmpty())
                return false;
            results << r;
            const int j = r["port"].toString() == jigs[size_t(j0)]->link ? j0 : j0 + 1;
            if (++seen[j] < count / 2) {
                const QString dev = nextDev(j, seen[j]);
                if (!jigs[size_t(j)]->swap(dev.isEmpty() ? randomHex(32) : keysWith(dev), randomHex(12)))
                    return false;
            }
        }
        return true;
    };
    const auto none = [](int, int) { return QString(); };
    QVERIFY2(take(a, 0, 4, none), a.err().constData());
    QByteArray rest;
    QCOMPARE(a.finish(&rest), 0);
    Station b({"station", "--port", jigs[2]->link, "--port", jigs[3]->link, appHex_, "--json", "--db", url, "--count", "4"});
    QVERIFY2(take(b, 2, 4, [&](int j, int) { return j == 2 ? devA1 : devA2; }), b.err().constData());
    QCOMPARE(b.finish(&rest), 0);

    QStringList flagged;
    for (const QJsonObject& r : results) {
        QCOMPARE(r["result"].toString(), QString("PASS"));
        if (r["duplicate"].toString() == "other-module")
            flagged << r["devEUI"].toString();
        else
            QCOMPARE(r["duplicate"].toString(), QString());
    }
    flagged.sort();
    QStringList planted{devA1, devA2};
    planted.sort();
    QCOMPARE(flagged, planted);
    // In the database: eight rows, two runs, the same two flags.
    QCOMPARE(psql("SELECT count(*) FROM attempts", "crossed"), QString("8"));
    QCOMPARE(psql("SELECT count(DISTINCT run_id) FROM attempts", "crossed"), QString("2"));
    QCOMPARE(psql("SELECT string_agg(dev_eui, ',' ORDER BY dev_eui) FROM attempts WHERE duplicate = 'other-module'", "crossed"),
             planted.join(','));
    QCOMPARE(psql("SELECT count(*) FROM attempts WHERE firmware_check = 'release'", "crossed"), QString("8"));
    // history names both modules of a planted DevEUI, on both stations' runs.
    const Ran h = vf({"history", "--db", url, devA1.toUpper()});
    QCOMPARE(h.code, 0);
    QCOMPARE(h.out.count("\n"), 3);  // the header and two attempts
    QVERIFY(h.out.contains("other-module"));
}

// Two stations, one module each, the same DevEUI on both, flashed at the same time: one flag.
void TestCliLineDb::twoStationsOneDevEuiAtOnce()
{
    const QString url = newServerDb("atonce");
    QTemporaryDir dir;
    constexpr int kRounds = 3;
    QString dev = randomHex(8);
    Jig j1(dir.path(), 1, keysWith(dev), randomHex(12));
    Jig j2(dir.path(), 2, keysWith(dev), randomHex(12));
    QVERIFY(j1.sim->started() && j2.sim->started());
    Station s1({"station", "--port", j1.link, appHex_, "--json", "--db", url, "--count", QString::number(kRounds)});
    Station s2({"station", "--port", j2.link, appHex_, "--json", "--db", url, "--count", QString::number(kRounds)});
    for (int round = 0; round < kRounds; ++round) {
        const QJsonObject r1 = parsed(s1.nextLine(30000)), r2 = parsed(s2.nextLine(30000));
        QVERIFY2(!r1.isEmpty() && !r2.isEmpty(), s1.err() + s2.err());
        QCOMPARE(r1["devEUI"].toString(), dev);
        QCOMPARE(r2["devEUI"].toString(), dev);
        const int flags = (r1["duplicate"].toString() == "other-module") + (r2["duplicate"].toString() == "other-module");
        QCOMPARE(flags, 1);
        if (round + 1 < kRounds) {
            dev = randomHex(8);
            QVERIFY(j1.swap(keysWith(dev), randomHex(12)));
            QVERIFY(j2.swap(keysWith(dev), randomHex(12)));
        }
    }
    QByteArray rest;
    QCOMPARE(s1.finish(&rest), 0);
    QCOMPARE(s2.finish(&rest), 0);
    QCOMPARE(psql("SELECT count(*) FROM attempts WHERE duplicate = 'other-module'", "atonce"), QString::number(kRounds));
    QCOMPARE(psql("SELECT count(*) FROM identities", "atonce"), QString::number(kRounds));
}

// The server stopped after the first module and started again after the third: the station
// flashes on, shows what waits, and every row reaches the database once, in order.
void TestCliLineDb::serverStoppedMidRun()
{
    const QString url = newServerDb("midrun");
    QTemporaryDir dir;
    const QString dev1 = randomHex(8);
    Jig jig(dir.path(), 1, keysWith(dev1), randomHex(12));
    QVERIFY(jig.sim->started());
    Station s({"station", "--port", jig.link, appHex_, "--json", "--db", url, "--count", "4"});
    QStringList uids;
    for (int m = 1; m <= 4; ++m) {
        const QJsonObject r = parsed(s.nextLine(30000));
        QVERIFY2(r["result"].toString() == "PASS", s.err().constData());
        uids << r["uniqueId"].toString();
        if (m == 1)
            QVERIFY(pg_->stop());
        if (m == 3) {
            QVERIFY2(s.waitForError("database unreachable since ", 5000), s.err().constData());
            QVERIFY2(s.waitForError(", 2 results waiting", 5000), s.err().constData());
            QVERIFY(pg_->start());
            QVERIFY2(s.waitForError("database reachable again", 15000), s.err().constData());
            // Module 3 carried module 1's DevEUI: found when its row went out.
            QVERIFY2(s.err().contains("found late, as its row reached the database: DUPLICATE DevEUI " + dev1.toUtf8()),
                     s.err().constData());
        }
        if (m < 4)
            QVERIFY(jig.swap(m == 2 ? keysWith(dev1) : randomHex(32), randomHex(12)));
    }
    QByteArray rest;
    QCOMPARE(s.finish(&rest), 0);
    QCOMPARE(psql("SELECT string_agg(unique_id, ',' ORDER BY time_utc) FROM attempts", "midrun"), uids.join(','));
    QCOMPARE(psql("SELECT count(DISTINCT uuid) FROM attempts", "midrun"), QString("4"));
    QCOMPARE(psql("SELECT string_agg(late::text, ',' ORDER BY time_utc) FROM attempts", "midrun"), QString("0,1,1,0"));
    QCOMPARE(psql("SELECT unique_id FROM attempts WHERE duplicate = 'other-module'", "midrun"), uids[2]);
    QVERIFY(psql("SELECT ended FROM runs", "midrun") != QString());
}

// A station killed while rows wait: its next start (here keys, on a port that is not
// there) writes them before anything else, and db sync finds nothing left.
void TestCliLineDb::killedStationWritesItsSpoolNextStart()
{
    const QString url = newServerDb("killed");
    QTemporaryDir dir;
    Jig jig(dir.path(), 1, randomHex(32), randomHex(12));
    QVERIFY(jig.sim->started());
    {
        Station s({"station", "--port", jig.link, appHex_, "--json", "--db", url});
        for (int m = 1; m <= 3; ++m) {
            QVERIFY2(parsed(s.nextLine(30000))["result"].toString() == "PASS", s.err().constData());
            if (m == 1)
                QVERIFY(pg_->stop());
            QVERIFY(jig.swap(randomHex(32), randomHex(12)));
        }
        QVERIFY2(s.waitForError(", 2 results waiting", 5000), s.err().constData());
        s.interrupt(SIGKILL);
        QByteArray rest;
        QCOMPARE(s.finish(&rest), -2);
    }
    const QStringList spools = QDir(tmp_.filePath("state/vorna-flash")).entryList({"spool-*-killed.sqlite"});
    QCOMPARE(spools.size(), 1);
    QCOMPARE(QFileInfo(tmp_.filePath("state/vorna-flash/" + spools[0])).permissions() & 0x0077, QFile::Permissions());
    QVERIFY(pg_->start());
    QCOMPARE(psql("SELECT count(*) FROM attempts", "killed"), QString("1"));
    const Ran next = vf({"keys", "--port", dir.filePath("not-there"), "--db", url});
    QCOMPARE(next.code, 2);
    QVERIFY2(next.err.contains("2 results that an earlier run left in the spool are now in the database."),
             next.err.constData());
    QCOMPARE(psql("SELECT count(*) FROM attempts", "killed"), QString("4"));  // and the keys run's own
    QCOMPARE(psql("SELECT count(DISTINCT uuid) FROM attempts", "killed"), QString("4"));
    const Ran sync = vf({"db", "sync", "--db", url});
    QCOMPARE(sync.code, 0);
    QVERIFY2(sync.out.contains("0 results written from the spool; none waits."), sync.out.constData());
}

void TestCliLineDb::refusedBeforeAnyPort_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("db");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("sentence");
    for (const char* command : {"flash", "station"}) {
        QTest::addRow("%s: password", command) << command << "postgresql://station1:hunter2@@HOST@/refusals" << "@APP@" << 1
                                               << "The database URL holds a password";
        QTest::addRow("%s: no server", command) << command << "postgresql://postgres@/refusals?host=@NOWHERE@" << "@APP@" << 1
                                                << "cannot be reached: connection to server on socket";
        QTest::addRow("%s: wrong firmware", command) << command << "@URL@" << "@OTHER@" << 3
                                                     << "is not the current release: its image has SHA-256 ";
        QTest::addRow("%s: newer schema", command) << command << "@NEWER@" << "@APP@" << 1
                                                   << "newer than this vorna-flash knows";
    }
}

// Each refusal comes before a port is opened: the port named does not exist, and opening
// it (flash) or waiting for it (station) would give another status or none.
void TestCliLineDb::refusedBeforeAnyPort()
{
    QFETCH(QString, command);
    QFETCH(QString, db);
    QFETCH(QString, file);
    QFETCH(int, code);
    QFETCH(QString, sentence);
    static const QString url = newServerDb("refusals");
    static const QString newer = [&] {
        const QString u = newServerDb("newer");
        psql("UPDATE schema_version SET version = version + 1", "newer");
        return u;
    }();
    const QString other = tmp_.filePath("other.hex");
    QFile f(other);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(intelHex(randomBytes(256), 0x08000000 + APP_OFFSET));
    f.close();
    db.replace("@HOST@", "localhost").replace("@NOWHERE@", tmp_.filePath("nowhere")).replace("@URL@", url).replace("@NEWER@", newer);
    file.replace("@APP@", appHex_).replace("@OTHER@", other);
    const Ran r = vf({command, "--port", tmp_.filePath("no-such-port"), file, "--db", db}, 15000);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(sentence.toUtf8()), r.err.constData());
    QVERIFY2(!r.err.contains("hunter2"), r.err.constData());
    QVERIFY2(!r.err.contains("serial port"), r.err.constData());
    // --any-firmware lets the wrong one through, as far as the port.
    if (code == 3) {
        const Ran any = vf({"flash", "--port", tmp_.filePath("no-such-port"), file, "--db", db, "--any-firmware"});
        QCOMPARE(any.code, 2);
        QVERIFY2(any.err.contains("flashed all the same (--any-firmware)"), any.err.constData());
        QCOMPARE(psql("SELECT firmware_check FROM attempts ORDER BY time_utc DESC LIMIT 1", "refusals"),
                 QString("any-firmware"));
    }
}

// One station on SQLite, no server: a pass, a refused write, and a module carrying the
// first one's DevEUI failed for it (--on-duplicate fail); then history, report, export.
void TestCliLineDb::oneStationOnSqlite()
{
    QTemporaryDir dir;
    const QString db = dir.filePath("line.db"), log = dir.filePath("station.csv");
    QCOMPARE(vf({"release", "add", appHex_, "--db", db}).code, 0);
    const QString dev1 = randomHex(8);
    const QString keys1 = keysWith(dev1);
    Jig jig(dir.path(), 1, keys1, randomHex(12));
    QVERIFY(jig.sim->started());
    Station s({"station", "--port", jig.link, appHex_, "--json", "--db", "sqlite:" + db, "--log", log, "--on-duplicate",
               "fail", "--count", "3"});
    QList<QJsonObject> results;
    for (int m = 1; m <= 3; ++m) {
        results << parsed(s.nextLine(30000));
        QVERIFY2(!results.last().isEmpty(), s.err().constData());
        if (m == 1)
            QVERIFY(jig.swap(randomHex(32), randomHex(12), "write-refused"));
        if (m == 2)
            QVERIFY(jig.swap(keysWith(dev1), randomHex(12)));
    }
    QByteArray rest;
    QCOMPARE(s.finish(&rest), 5);  // the duplicate's status over the refused write's 4
    QCOMPARE(results[0]["result"].toString(), QString("PASS"));
    QCOMPARE(results[1]["step"].toString(), QString("write"));
    QCOMPARE(results[2]["result"].toString(), QString("FAIL"));
    QCOMPARE(results[2]["status"].toString(), QString("duplicate"));
    QCOMPARE(results[2]["code"].toInt(), 5);
    QCOMPARE(results[2]["duplicate"].toString(), QString("other-module"));
    QVERIFY(s.err().contains("all: 1 passed, 2 failed (duplicate 1, write-verify 1)"));
    const auto rows = csvRows(log);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[2]["result"], QString("duplicate"));
    QCOMPARE(rows[2]["duplicate"], QString("other-module"));

    const Ran h = vf({"history", "--db", db, results[2]["uniqueId"].toString()});
    QCOMPARE(h.code, 0);
    QCOMPARE(h.out.count("\n"), 2);
    QVERIFY(h.out.contains("\tFAIL\tduplicate\tidentity\t"));

    const QString html = dir.filePath("report.html");
    const Ran rep = vf({"report", "--db", db, "--since", "1d", "--html", html});
    QCOMPARE(rep.code, 0);
    QVERIFY2(rep.out.contains(": 1 passed, 2 failed of 3 (33.3%)\n"), rep.out.constData());
    QVERIFY2(rep.out.contains(jig.link.toUtf8() + ": 1 passed, 2 failed (33.3%)\n"), rep.out.constData());
    QVERIFY2(rep.out.contains("  identity (duplicate): 1\n  write (write-verify): 1\n"), rep.out.constData());
    QVERIFY2(rep.out.contains("Duplicate DevEUIs (other-module): 1\n"), rep.out.constData());
    const QByteArray page = readFile(html);
    QCOMPARE(page.count("<svg"), 2);
    QVERIFY(!page.contains("http://") || page.count("http://") == page.count("xmlns='http://www.w3.org/2000/svg'"));
    QVERIFY(!page.contains("https://") && !page.contains("<script"));
    QCOMPARE(vf({"report", "--db", db, "--since", "2999-01-01"}).out.count(" 0 passed, 0 failed of 0"), 1);

    const QString csv = dir.filePath("devices.csv");
    const Ran ex = vf({"export", "--db", db, "--format", "tts-csv", "--output", csv});
    QCOMPARE(ex.code, 0);
    QCOMPARE(readFile(csv), "id;dev_eui;join_eui;app_key\neui-" + dev1.toLatin1() + ";" + dev1.toLatin1() + ";" +
                                keys1.mid(16, 16).toLatin1() + ";" + keys1.mid(32).toLatin1() + "\n");
    struct stat st {};
    QCOMPARE(::stat(csv.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    const Ran jl = vf({"export", "--db", db, "--format", "jsonl"});
    QCOMPARE(jl.out.count('\n'), 1);
    QCOMPARE(parsed(jl.out.trimmed())["root_keys"].toObject()["app_key"].toObject()["key"].toString(), keys1.mid(32));

    // A pipe given as the page or the export is refused and left as it is: opened for
    // writing it would block, and removed it would be replaced by a file of AppKeys.
    const QString pipe = dir.filePath("pipe");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QStringList& args : {QStringList{"report", "--db", db, "--html", pipe},
                                    QStringList{"export", "--db", db, "--format", "tts-csv", "--output", pipe}}) {
        const Ran refused = vf(args);
        QCOMPARE(refused.code, 1);
        QVERIFY2(refused.err.contains("it is a device, a pipe or a socket, not a file"), refused.err.constData());
        QVERIFY(::stat(QFile::encodeName(pipe).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}

QTEST_GUILESS_MAIN(TestCliLineDb)
#include "tst_cli_linedb.moc"
