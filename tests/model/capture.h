// Captures what the process writes to standard output, at the file-descriptor level, so the
// text is seen exactly as a redirected run would leave it.
#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// Standard streams are text streams on Windows, where every line ends in CR LF; the
// expectations are written with line feeds.
inline QByteArray withLineFeeds(QByteArray text)
{
#if defined(_WIN32)
    text.replace("\r\n", "\n");
#endif
    return text;
}

class StdoutCapture
{
public:
    StdoutCapture()
    {
        file.open();
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(file.handle(), STDOUT_FILENO);
    }

    ~StdoutCapture() { finish(); }

    // Ends the capture and returns everything written since it began.
    QByteArray finish()
    {
        if (saved >= 0) {
            fflush(stdout);
            dup2(saved, STDOUT_FILENO);
            close(saved);
            saved = -1;
            file.seek(0);
            text = file.readAll();
            text = withLineFeeds(text);
        }
        return text;
    }

private:
    QTemporaryFile file;
    int saved = -1;
    QByteArray text;
};
