#include "FileCache.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

namespace {

// The folder of the application's own that holds the copy. On Windows the second
// configuration location is the machine-wide program-data folder; elsewhere that entry is
// a system folder (/etc/xdg/<app>) a user cannot write, so the user's own configuration
// folder is used instead.
QString chooseCacheFolder()
{
#if defined(Q_OS_WIN)
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation);
    if (locations.size() > 1) {
        const QString candidate = locations.at(1);
        if (QDir().mkpath(candidate) && QFileInfo(candidate).isWritable())
            return candidate;
    }
#endif
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

// Copies source to target without ever leaving a half-written file under the target's name:
// the data goes to a temporary file in the target's folder, which is renamed over the target
// only once it is complete. The source is only read.
bool copyReplacing(const QString& source, const QString& target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = in.readAll();
    const bool readOk = in.error() == QFileDevice::NoError;
    in.close();
    if (!readOk)
        return false;

    QSaveFile out(target);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(data) != data.size()) {
        out.cancelWriting();  // the temporary file goes with `out`
        return false;
    }
    return out.commit();
}

}  // namespace

FileCache::FileCache(QObject* parent)
    : QObject(parent), cachedFilePath(), fileName(), localDirPath(chooseCacheFolder())
{
    // Parents too: a fresh user account has no configuration folder yet.
    if (!localDirPath.isEmpty() && !QFileInfo::exists(localDirPath))
        QDir().mkpath(localDirPath);
}

FileCache::~FileCache()
{
    clear();
}

FileCache* FileCache::cache(QFile file)
{
    const QString sourcePath = file.fileName();
    setFileName(parseFileName(QFileInfo(sourcePath).fileName()));
    cachedFilePath = QString() + localDirPath + "/" + fileName;

    const QFileInfo source(sourcePath);
    const QFileInfo target(cachedFilePath);

    // Choosing the copy itself: it already is what is to be flashed, and removing the
    // target first would destroy the only file there is.
    const QString sourceCanonical = source.canonicalFilePath();
    if (!sourceCanonical.isEmpty() && sourceCanonical == target.canonicalFilePath()) {
        file.close();
        return this;
    }

    // A name without a file part ("", ".", "..") would point at a folder; nothing is copied.
    if (fileName.isEmpty() || fileName == "." || fileName == ".." || target.isDir()) {
        file.close();
        return this;
    }

    // Whatever stood under this name before is a copy of some other file; it must not
    // survive a failed copy and be flashed in its place.
    if (!copyReplacing(sourcePath, cachedFilePath) && QFileInfo::exists(cachedFilePath))
        QFile::remove(cachedFilePath);
    file.close();
    return this;
}

QString FileCache::getCachePath()
{
    return cachedFilePath;
}

QString FileCache::getFileName()
{
    return fileName;
}

FileCache* FileCache::setFileName(QString fileName)
{
    this->fileName = fileName;
    return this;
}

QFile FileCache::getCache()
{
    return QFile(cachedFilePath);
}

QString FileCache::parseFileName(QString filePath)
{
    // Everything up to the last "/" still followed by a ".hex"-like ending, and any double
    // quote, goes.
    static const QRegularExpression pattern(QStringLiteral("(.*/(?=.+.hex))|(\")"),
                                            QRegularExpression::CaseInsensitiveOption);
    return filePath.replace(pattern, QString());
}

FileCache* FileCache::clear()
{
    if (!cachedFilePath.isEmpty() && !QFileInfo(cachedFilePath).isDir())
        QFile::remove(cachedFilePath);
    return this;
}
