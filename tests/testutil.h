#pragma once

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

// Builders for test input, kept independent of the writer under test, and
// small file helpers shared by the suites.

// One Intel HEX record line, without its line end, with a correct checksum.
inline QByteArray hexRecord(int type, int address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(char(-sum));
    return ':' + bytes.toHex().toUpper();
}

inline QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray image(size, '\0');
    for (char &c : image)
        c = char(random.bounded(256));
    return image;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
