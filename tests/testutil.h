#pragma once

#include "intelhex.h"
#include "migration.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

#ifdef Q_OS_LINUX
#  include <fcntl.h>
#  include <linux/fs.h>
#  include <sys/ioctl.h>
#  include <unistd.h>
#endif

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

// The old setup file for `image`, and the new one its conversion, as the writer gives them.
inline QByteArray oldFile(const QByteArray &image)
{
    return formatHexImage(image.constData(), kOldSetupSize);
}
inline QByteArray newFile(const QByteArray &image)
{
    QByteArray converted(kNewSetupSize, '\0');
    migrateSetupImage(image.constData(), converted.data());
    return formatHexImage(converted.constData(), kNewSetupSize);
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

#ifdef Q_OS_LINUX
// Sets or clears an attribute of a file or folder (FS_APPEND_FL, FS_IMMUTABLE_FL: chattr +a, +i),
// which binds root too; false where the system or user cannot.
inline bool setAttribute(const QString &path, int flag, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | flag : flags & ~flag;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}
#endif

// Every entry below `root` by relative path, temporaries too: a file by its bytes (a large one
// by its size), anything else by its kind. FIFOs are never opened: they would block.
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
