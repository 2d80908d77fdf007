#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

// Test input built independently of the writer under test, and file helpers.

// One Intel HEX record line, without its line end, with a correct checksum.
inline QByteArray hexRecord(int type, int address, const QByteArray &data)
{
    QByteArray bytes = char(data.size()) + QByteArray(1, char(address >> 8)) + char(address)
            + char(type) + data;
    int sum = 0;
    for (char c : bytes)
        sum -= static_cast<unsigned char>(c);
    return ':' + (bytes + char(sum)).toHex().toUpper();
}

inline QByteArray randomImage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray image(size, '\0');
    for (char &c : image)
        c = char(random.bounded(256));
    return image;
}

// A setup file's text as this system saves it: CR LF line ends on Windows (10,633 bytes for a
// new setup), LF elsewhere.
inline QByteArray savedText(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace('\n', "\r\n");
#endif
    return text;
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

// Every entry below `root` by relative path, temporary files included: a file by its bytes (a
// large one by its size), anything else by its kind. FIFOs are never opened: that would block.
inline QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray &entry = entries[QDir(root).relativeFilePath(info.filePath())];
        if (info.isSymLink() || !info.isFile())
            entry = info.isSymLink() ? "link to " + info.symLinkTarget().toUtf8()
                                     : QByteArray(info.isDir() ? "folder" : "special");
        else
            entry = info.size() > (1 << 20) ? QByteArray::number(info.size()) + " bytes"
                                            : readFile(info.filePath());
    }
    return entries;
}
