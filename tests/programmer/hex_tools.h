// Helpers of the programming library's tests: hand-made records and the Debian producers.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// One Intel HEX record with a correct checksum (or a wrong one when `breakChecksum`).
inline QByteArray hexRecord(uint8_t type, uint16_t offset, const QByteArray& data, bool breakChecksum = false)
{
    QByteArray raw;
    raw.append(char(data.size()));
    raw.append(char(offset >> 8));
    raw.append(char(offset & 0xFF));
    raw.append(char(type));
    raw.append(data);
    uint8_t sum = 0;
    for (char c : raw)
        sum = uint8_t(sum + uint8_t(c));
    raw.append(char(uint8_t(0x100 - sum) ^ (breakChecksum ? 0x01 : 0x00)));
    return ":" + raw.toHex().toUpper();
}

inline QByteArray hexLinear(uint16_t upper)
{
    return hexRecord(0x04, 0, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

inline QByteArray hexEof()
{
    return ":00000001FF";
}

// Intel HEX of `data` at `address`: extended linear address records and 16-byte data records.
inline QByteArray intelHex(const QByteArray& data, uint32_t address)
{
    QByteArray out;
    uint32_t upper = 0xFFFFFFFF;
    for (int i = 0; i < data.size(); i += 16) {
        const uint32_t a = address + uint32_t(i);
        if (a >> 16 != upper) {
            upper = a >> 16;
            out += hexLinear(uint16_t(upper)) + "\n";
        }
        out += hexRecord(0x00, uint16_t(a & 0xFFFF), data.mid(i, 16)) + "\n";
    }
    return out + hexEof() + "\n";
}

// Runs a producer; empty string when it fails.
inline QString runTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return p.readAllStandardError().isEmpty() ? QStringLiteral("failed") : QString::fromLocal8Bit(p.readAllStandardError());
    return QString();
}

inline QByteArray patternBytes(int n, uint32_t seed)
{
    QByteArray b(n, 0);
    uint32_t x = seed * 2654435761u + 1;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 16);
    }
    return b;
}

// One Motorola S-record of `type` (0..9) with a correct checksum (or a wrong one when
// `breakChecksum`); the address takes 2, 3 or 4 bytes as the type says.
inline QByteArray srecRecord(int type, uint32_t address, const QByteArray& data, bool breakChecksum = false)
{
    static const int addressBytes[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
    const int n = addressBytes[type];
    QByteArray raw;
    raw.append(char(n + data.size() + 1));
    for (int i = n - 1; i >= 0; --i)
        raw.append(char(address >> (8 * i)));
    raw.append(data);
    uint8_t sum = 0;
    for (char c : raw)
        sum = uint8_t(sum + uint8_t(c));
    raw.append(char(uint8_t(~sum) ^ (breakChecksum ? 0x01 : 0x00)));
    return "S" + QByteArray::number(type) + raw.toHex().toUpper();
}
