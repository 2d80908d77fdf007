#include "disk.h"

#include "filesystem_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <mutex>
#include <thread>

#if !defined(Q_OS_WIN)
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

// Whether two writes 20 ms apart give the file two modification times, as a short-lived file of
// this program's shows it.
bool askClock(const QString &folder)
{
    QFile probe(QDir(folder).filePath(QString::fromLatin1(FilePrivate::temporaryName("time"))));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    const auto written = [&probe] {
        return probe.write("x", 1) == 1 ? QFileInfo(probe.fileName()).lastModified() : QDateTime();
    };
    const QDateTime first = written();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const QDateTime second = written();
    probe.remove();
    return first.isValid() && second.isValid() && first != second;
}

// What `ask` answers of the disk under `folder`, remembered by the folder's name as given as well
// as by its absolute path: a batch asks of one folder many times.
bool remembered(QHash<QString, bool> &known, const QString &folder, bool (*ask)(const QString &))
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = known.constFind(folder); found != known.constEnd())
        return *found;
    const QString absolute =
            QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).absoluteFilePath();
    const auto found = known.constFind(absolute);
    const bool answer = found != known.constEnd() ? *found : ask(absolute);
    known.insert(absolute, answer);
    known.insert(folder, answer);
    return answer;
}

} // namespace
#endif

bool ignoresCase(const QString &folder)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(folder);
    return true; // as Windows compares names, on every disk
#else
    static QHash<QString, bool> known;
    return remembered(known, folder, askDisk);
#endif
}

QString asCompared(const QString &folder, const QString &path)
{
    return ignoresCase(folder) ? path.toCaseFolded() : path;
}

bool datesWrites(const QString &folder)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(folder);
    return true;
#else
    static QHash<QString, bool> known;
    return remembered(known, folder, askClock);
#endif
}
