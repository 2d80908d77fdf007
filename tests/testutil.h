#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
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

// Every entry below `root` by relative path: a file by its bytes, a folder, link or
// other special file by its kind, so that a test can tell exactly what a run
// changed, temporary files included. FIFOs are never opened: that would block.
inline QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray &entry = entries[QDir(root).relativeFilePath(info.filePath())];
        if (info.isSymLink())
            entry = "link to " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            entry = "folder";
        else if (info.isFile() && info.size() > (1 << 20))
            entry = QByteArray::number(info.size()) + " bytes";
        else if (info.isFile())
            entry = readFile(info.filePath());
        else
            entry = "special";
    }
    return entries;
}
