#pragma once

#include <QFile>
#include <QObject>
#include <QString>

// Keeps a private copy of the chosen firmware file; the window flashes the copy, never
// the user's file.
class FileCache : public QObject
{
    Q_OBJECT

public:
    explicit FileCache(QObject* parent = nullptr);
    ~FileCache() override;

    FileCache* cache(QFile file);
    QString getCachePath();
    QString getFileName();
    FileCache* setFileName(QString fileName);
    QFile getCache();
    QString parseFileName(QString filePath);
    FileCache* clear();

private:
    QString cachedFilePath;
    QString fileName;
    const QString localDirPath;
};
