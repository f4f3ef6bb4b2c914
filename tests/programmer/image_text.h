// The tests' view of an image: its runs as text, to compare in one go.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "firmware_image.h"

// "08000800:0001.. 08000810:.." for each run of the image.
inline QString runsText(const vbprog::FirmwareImage& img)
{
    QStringList runs;
    for (const auto& s : img.segments())
        runs << QStringLiteral("%1:").arg(s.first, 8, 16, QLatin1Char('0')).toUpper() +
                    QByteArray(reinterpret_cast<const char*>(s.second.data()), int(s.second.size())).toHex().toUpper();
    return runs.join(' ');
}
