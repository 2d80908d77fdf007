#include "disk.h"

#include "filesystem_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <mutex>

namespace {

// The name with the case of each of its ASCII letters changed: what a disk that ignores case
// takes for the same name.
QString otherCase(const QString &name)
{
    QString other = name;
    for (QChar &c : other) {
        if (c.unicode() < 0x80 && c.isLetter())
            c = c.isUpper() ? c.toLower() : c.toUpper();
    }
    return other;
}

bool askDisk(const QString &folder)
{
    const QDir dir(folder);
    const QStringList names =
            dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QSet<QString> listed(names.begin(), names.end());
    for (const QString &name : names) {
        // A name whose other spelling is listed too is two files: the disk tells case apart.
        if (const QString other = otherCase(name); other != name)
            return !listed.contains(other) && QFileInfo::exists(dir.filePath(other));
    }
    QFile probe(dir.filePath(QString::fromLatin1(FilePrivate::temporaryName("case"))));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool folded = QFileInfo::exists(dir.filePath(otherCase(QFileInfo(probe).fileName())));
    probe.remove();
    return folded;
}

} // namespace

bool ignoresCase(const QString &folder)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(folder);
    return true; // as Windows compares names, on every disk
#else
    // Remembered by the folder's name as given, as well as by its absolute path: a batch asks of
    // one folder many times.
    static std::mutex mutex;
    static QHash<QString, bool> known;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (const auto found = known.constFind(folder); found != known.constEnd())
            return *found;
    }
    const QString absolute =
            QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).absoluteFilePath();
    bool folded = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = known.constFind(absolute);
        folded = found != known.constEnd() ? *found : askDisk(absolute);
        known.insert(absolute, folded);
        known.insert(folder, folded);
    }
    return folded;
#endif
}

QString asCompared(const QString &folder, const QString &path)
{
    return ignoresCase(folder) ? path.toCaseFolded() : path;
}
