// The private copy of the firmware file and the displayed file name.
#include <QtTest>

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#if !defined(Q_OS_WIN)
#include <unistd.h>
#endif

#include "FileCache.h"
#include "model_tests.h"

namespace {

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(data);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

}  // namespace

class FileCacheTest : public QObject
{
    Q_OBJECT

    QString cacheDir;
    QTemporaryDir chosen;  // the user's folder

    QStringList cacheEntries() const
    {
        return QDir(cacheDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(chosen.isValid());
#if defined(Q_OS_WIN)
        // The machine-wide program-data folder, which test mode does not move; it is named
        // after this test program, so no real program's copy is touched.
        cacheDir = QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation).value(1);
        QVERIFY2(cacheDir.endsWith(QLatin1String("/") + QCoreApplication::applicationName()), qPrintable(cacheDir));
#else
        cacheDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        // Never touch a real configuration folder.
        QVERIFY2(cacheDir.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")), qPrintable(cacheDir));
        QVERIFY(!qEnvironmentVariable("XDG_CONFIG_HOME").isEmpty());
#endif
    }

    void init()
    {
        QDir(cacheDir).removeRecursively();
    }

    void parseFileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("usual path") << "C:/work/build/app_v2.hex" << "app_v2.hex";
        QTest::newRow("quoted path") << "\"C:/work/build/app_v2.hex\"" << "app_v2.hex";
        QTest::newRow("upper case") << "/home/u/FW/APP.HEX" << "APP.HEX";
        QTest::newRow("mixed case") << "/home/u/app.Hex" << "app.Hex";
        QTest::newRow("backslashes keep folders") << "C:\\work\\build\\app.hex" << "C:\\work\\build\\app.hex";
        QTest::newRow("cut at last slash before hex") << "C:/a/b.hex/c.txt" << "b.hex/c.txt";
        QTest::newRow("no hex keeps folders") << "/home/u/readme.txt" << "/home/u/readme.txt";
        QTest::newRow("bare name") << "app.hex" << "app.hex";
        QTest::newRow("quoted bare name") << "\"app.hex\"" << "app.hex";
        QTest::newRow("quotes inside") << "/a/\"b\".hex" << "b.hex";
        QTest::newRow("too short before hex") << "dir/ahex" << "dir/ahex";
        QTest::newRow("empty") << "" << "";
    }
    void parseFileName()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        FileCache cache;
        QCOMPARE(cache.parseFileName(path), name);
    }

    void constructorCreatesMissingParents()
    {
#if defined(Q_OS_WIN)
        QSKIP("the configuration folder is chosen through XDG variables on Linux only");
#else
        QTemporaryDir root;
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", (root.path() + "/deep/er").toUtf8());
        {
            FileCache cache;
            QVERIFY(QFileInfo(root.path() + "/deep/er/" + QCoreApplication::applicationName()).isDir());
        }
        qputenv("XDG_CONFIG_HOME", saved);
#endif
    }

    void cacheCopiesAndKeepsSource()
    {
        const QString source = chosen.filePath("app_v2.hex");
        writeFile(source, ":00000001FF\n");
        FileCache cache;
        QVERIFY(cache.getCachePath().isEmpty());
        QCOMPARE(cache.clear()->cache(QFile(source)), &cache);
        QCOMPARE(cache.getCachePath(), cacheDir + "/app_v2.hex");
        QCOMPARE(cache.getFileName(), QString("app_v2.hex"));
        QCOMPARE(readFile(cache.getCachePath()), QByteArray(":00000001FF\n"));
        QCOMPARE(readFile(source), QByteArray(":00000001FF\n"));
        QCOMPARE(cacheEntries(), QStringList{"app_v2.hex"});
        QCOMPARE(cache.getCache().fileName(), cache.getCachePath());
    }

    void cacheReplacesCopyOfSameName()
    {
        QDir().mkpath(cacheDir);
        writeFile(cacheDir + "/app.hex", "old copy left behind");
        const QString source = chosen.filePath("app.hex");
        writeFile(source, "new firmware");
        FileCache cache;
        cache.cache(QFile(source));
        QCOMPARE(readFile(cacheDir + "/app.hex"), QByteArray("new firmware"));
        QCOMPARE(cacheEntries(), QStringList{"app.hex"});
    }

    void clearRemovesCopyButKeepsPath()
    {
        const QString source = chosen.filePath("c.hex");
        writeFile(source, "data");
        FileCache cache;
        cache.clear();  // nothing cached yet: no effect
        cache.cache(QFile(source));
        const QString path = cache.getCachePath();
        QVERIFY(QFile::exists(path));
        QCOMPARE(cache.clear(), &cache);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(cache.getCachePath(), path);
        QCOMPARE(cache.getFileName(), QString("c.hex"));
        QVERIFY(QFile::exists(source));
    }

    void destructorRemovesCopy()
    {
        const QString source = chosen.filePath("d.hex");
        writeFile(source, "data");
        QString path;
        {
            FileCache cache;
            cache.cache(QFile(source));
            path = cache.getCachePath();
            QVERIFY(QFile::exists(path));
        }
        QVERIFY(!QFile::exists(path));
        QVERIFY(QFile::exists(source));
    }

    // A failed copy leaves nothing under the copy's name (not even an older copy that would
    // then be flashed instead) and no temporary file.
    void failedCopyLeavesNoFile()
    {
        QDir().mkpath(cacheDir);
        writeFile(cacheDir + "/gone.hex", "stale copy of another file");
        FileCache cache;
        cache.cache(QFile(chosen.filePath("gone.hex")));
        QCOMPARE(cache.getCachePath(), cacheDir + "/gone.hex");
        QVERIFY(!QFile::exists(cache.getCachePath()));
        QCOMPARE(cacheEntries(), QStringList());
    }

    void unwritableFolderKeepsSource()
    {
#if defined(Q_OS_WIN)
        QSKIP("Unix permissions only");
#else
        if (geteuid() == 0)
            QSKIP("permissions do not stop root");
#endif
        QDir().mkpath(cacheDir);
        QFile::setPermissions(cacheDir, QFile::ReadOwner | QFile::ExeOwner);
        const QString source = chosen.filePath("ro.hex");
        writeFile(source, "data");
        {
            FileCache cache;
            cache.cache(QFile(source));
            QVERIFY(!QFile::exists(cache.getCachePath()));
        }
        QFile::setPermissions(cacheDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(readFile(source), QByteArray("data"));
        QCOMPARE(cacheEntries(), QStringList());
    }

    // Choosing the copy itself must not delete the only file there is.
    void cachingTheCopyItselfKeepsIt()
    {
        QDir().mkpath(cacheDir);
        const QString inCache = cacheDir + "/self.hex";
        writeFile(inCache, "only file");
        FileCache cache;
        cache.cache(QFile(inCache));
        QCOMPARE(cache.getCachePath(), inCache);
        QCOMPARE(readFile(inCache), QByteArray("only file"));
    }

    void quotedNameIsCleaned()
    {
#if defined(Q_OS_WIN)
        QSKIP("Windows file names cannot hold quotes");
#endif
        const QString source = chosen.filePath("q\"uote.hex");
        writeFile(source, "q");
        FileCache cache;
        cache.cache(QFile(source));
        QCOMPARE(cache.getFileName(), QString("quote.hex"));
        QCOMPARE(readFile(cacheDir + "/quote.hex"), QByteArray("q"));
    }

    void nameWithoutFilePartCopiesNothing()
    {
        FileCache cache;
        cache.cache(QFile(QString()));
        QCOMPARE(cache.getCachePath(), cacheDir + "/");
        cache.clear();
        QVERIFY(QFileInfo(cacheDir).isDir());
    }
};

int runFileCacheTests(int argc, char** argv)
{
    FileCacheTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_filecache.moc"
