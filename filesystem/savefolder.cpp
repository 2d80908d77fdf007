#include "filesystem_p.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

QString FileError::message(const QString &path) const
{
    if (path.isEmpty())
        return detail; // "no file name given" needs no empty name before it
    return QDir::toNativeSeparators(path) + QStringLiteral(": ") + detail;
}

// errno on Unix, GetLastError() on Windows: Qt knows the system's words for both.
QString systemReason(int code)
{
    return qt_error_string(code);
}

namespace FilePrivate {

FileError failure(FileError::Code code, const QString &detail, FileError::Cause cause)
{
    return FileError{ code, detail, cause };
}

QString reason(int code, const QString &noPermission)
{
    switch (systemCause(code)) {
    case FileError::DiskFull:
        return QStringLiteral("the disk is full");
    case FileError::ReadOnlyDisk:
        return QStringLiteral("the disk is read-only");
    case FileError::NoPermission:
        return noPermission;
    case FileError::InUse:
        return QStringLiteral("another program is using it");
    default:
        break;
    }
    return systemReason(code);
}

FileError openFailure(int code)
{
    return failure(FileError::CannotOpen,
                   QStringLiteral("cannot open: %1")
                           .arg(reason(code, QStringLiteral("no permission to read it"))),
                   systemCause(code));
}

FileError readFailure(int code)
{
    return failure(FileError::CannotOpen, QStringLiteral("cannot read: %1").arg(systemReason(code)),
                   systemCause(code));
}

FileError tooLarge(qint64 size)
{
    return failure(
            FileError::TooLarge,
            size > kMaxFileSize
                    ? QStringLiteral("is %1 bytes long, too large for a setup file (at most %2 "
                                     "bytes)")
                              .arg(size)
                              .arg(kMaxFileSize)
                    : QStringLiteral("is more than %1 bytes long, too large for a setup file")
                              .arg(kMaxFileSize));
}

FileError changed()
{
    return failure(FileError::Changed,
                   QStringLiteral("changed while it was being read; try again"));
}

FileError saveFailure(const QString &step, int code, const QString &folder, bool existed)
{
    const QString noPermission =
            QStringLiteral("no permission to write in the folder %1")
                    .arg(QDir::toNativeSeparators(folder.isEmpty() ? QStringLiteral(".") : folder));
    return failure(FileError::CannotWrite,
                   QStringLiteral("%1: %2; %3")
                           .arg(step, reason(code, noPermission),
                                existed ? QStringLiteral("it keeps its earlier contents")
                                        : QStringLiteral("nothing was written")),
                   systemCause(code));
}

FileError refused(const QString &detail)
{
    return failure(FileError::CannotWrite, detail);
}

FileError isLink()
{
    return refused(QStringLiteral(
            "is a symbolic link; it is not replaced, and a link is never written through"));
}

FileError isFolder()
{
    return refused(QStringLiteral("is a folder; choose a file name in it"));
}

FileError isKept()
{
    return refused(QStringLiteral("is one of the files being converted; it is not replaced"));
}

FileError nameTooLong(int bytes)
{
    return refused(
            QStringLiteral("cannot create: the file name is too long for this system (%1 bytes)")
                    .arg(bytes));
}

FileError keptBecause(const QString &why, FileError::Cause cause)
{
    return failure(FileError::CannotWrite,
                   QStringLiteral("cannot save: %1; it keeps its earlier contents").arg(why),
                   cause);
}

FileError inUse()
{
    return failure(FileError::CannotWrite,
                   QStringLiteral("cannot save: another program is saving it at this moment; "
                                  "try again"),
                   FileError::InUse);
}

FileError folderToRead()
{
    return failure(FileError::CannotOpen, QStringLiteral("is a folder, not a setup file"),
                   FileError::Folder);
}

FileError notRegular()
{
    return failure(FileError::CannotOpen, QStringLiteral("is not a regular file"),
                   FileError::NotRegular);
}

FileError folderMissing(const QString &folder)
{
    return failure(FileError::CannotWrite,
                   QStringLiteral("the folder %1 does not exist").arg(folder), FileError::Missing);
}

FileError exists()
{
    return refused(QStringLiteral("exists; it is not replaced"));
}

FileError folderNotSynced(int code)
{
    return failure(FileError::CannotWrite,
                   QStringLiteral("was saved, but its folder could not be synced to disk: %1")
                           .arg(systemReason(code)));
}

QByteArray temporaryPrefix(const QByteArray &name)
{
    return ".tarvik-save-"
            + QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex().left(16);
}

QByteArray temporaryName(const QByteArray &name)
{
    return temporaryPrefix(name) + '-'
            + QByteArray::number(QRandomGenerator::system()->generate() | 0x10000000u, 16) + ".tmp";
}

} // namespace FilePrivate

QString SaveFolder::filePath(const QString &relative) const
{
    if (m_path.isEmpty() || m_path.endsWith(QLatin1Char('/')) || m_path.endsWith(QDir::separator()))
        return m_path + relative;
    return m_path + QLatin1Char('/') + relative;
}

QString backupName(const QString &name, const QString &suffix)
{
#ifdef Q_OS_WIN
    const QString standard = QStringLiteral(".bak");
#else
    const QString standard = QStringLiteral("~");
#endif
    return name + (suffix.isEmpty() ? standard : suffix);
}

// A numbered backup's name ends so: on Windows it opens as a backup.
#ifdef Q_OS_WIN
static const QLatin1String kNumberedEnd("~.bak");
#else
static const QLatin1String kNumberedEnd("~");
#endif

QString backupName(const QString &name, int number)
{
    return name + QStringLiteral(".~") + QString::number(number) + kNumberedEnd;
}

// N where `candidate` is backupName(name, N), else 0.
static int backupNumber(const QString &name, const QString &candidate)
{
    const QString start = name + QStringLiteral(".~");
    if (!candidate.startsWith(start) || !candidate.endsWith(kNumberedEnd))
        return 0;
    bool number = false;
    const int n = candidate.mid(start.size(), candidate.size() - start.size() - kNumberedEnd.size())
                          .toInt(&number);
    return number && n > 0 && n < 1000000000 ? n : 0;
}

// The steps of every save, on every system: a step that fails ends it, and the attempt then
// removes its temporary file.
FileError SaveFolder::save(const QString &relative, const QByteArray &text,
                           const SaveOptions &options, Replaced *replaced) const
{
    Replaced earlier;
    SaveAttempt attempt(*this, relative, options);
    FileError error = attempt.openParent(options.makeFolders);
    if (error.ok() && attempt.holds(text)) {
        if (replaced)
            *replaced = { Replaced::Unchanged, filePath(relative) };
        return {};
    }
    if (error.ok())
        error = attempt.inspectTarget();
    if (error.ok() && attempt.replaces() && options.mayReplace)
        error = options.mayReplace(filePath(relative));
    if (error.ok())
        error = attempt.removeLeftover();
    if (error.ok())
        error = attempt.claimTemporary();
    if (error.ok())
        error = attempt.writeDurably(text);
    if (error.ok())
        error = attempt.keepEarlier(&earlier);
    if (error.ok())
        error = attempt.putInPlace();
    // An earlier file that left its name to be kept goes back there, so that the name keeps it.
    if (!error.ok() && earlier.where == Replaced::Beside && attempt.movedAside()
        && attempt.putBack(QFileInfo(earlier.path).fileName()))
        earlier = {};
    if (!error.ok() && earlier.where != Replaced::Nowhere)
        error.detail = error.detail.section(QStringLiteral("; it keeps"), 0, 0)
                + QStringLiteral("; the earlier file is now %1")
                          .arg(QDir::toNativeSeparators(earlier.path));
    // A temporary that is left is said: something was written after all.
    if (const QString left = error.ok() ? QString() : attempt.removeTemporary(); !left.isEmpty())
        error.detail = error.detail.section(QStringLiteral("; nothing was written"), 0, 0)
                + QStringLiteral("; the temporary file %1 is left in its folder").arg(left);
    if (replaced)
        *replaced = earlier;
    return error;
}

bool SaveAttempt::holds(const QByteArray &text)
{
    QByteArray bytes;
    return readBeside(m_name, &bytes, text.size()) && bytes == text;
}

// Where the earlier file goes before the new one takes its name: to the trash, or where the
// trash cannot take it (no trash on its disk), beside it as a backup.
FileError SaveAttempt::keepEarlier(Replaced *replaced)
{
    if (!m_existed || m_options.earlier == SaveOptions::Replace)
        return {};
    QString inTrash;
    if (m_options.earlier == SaveOptions::Trash && moveToTrash(&inTrash)) {
        *replaced = { Replaced::InTrash, inTrash };
        return {};
    }
    QString backup;
    if (const int error = keepAsBackup(&backup))
        return FilePrivate::saveFailure(
                QStringLiteral("cannot keep the earlier file as %1").arg(backup), error, m_shown,
                true);
    m_backup = backup;
    *replaced = { Replaced::Beside, shownBeside(backup) };
    return {};
}

QString SaveAttempt::shownBeside(const QString &name) const
{
    // Named as the file was: "new.hex~" beside "new.hex", not "./new.hex~".
    const QString path = m_folder.filePath(m_relative), folder = QFileInfo(path).path();
    return folder == QLatin1String(".") && !path.startsWith(QLatin1String("./"))
            ? name
            : QDir(folder).filePath(name);
}

int SaveAttempt::keepAsBackup(QString *backup)
{
    // The trash's stand-in is the backup this system's users know.
    const bool trash = m_options.earlier == SaveOptions::Trash;
    const SaveOptions::Backups control = trash ? SaveOptions::Existing : m_options.backups;
    int highest = 0; // of the numbered backups there are
    for (const QString &name : namesBeside())
        highest = qMax(highest, backupNumber(m_name, name));
    int error = 0;
    if (control == SaveOptions::Simple || (control == SaveOptions::Existing && highest == 0)) {
        *backup = backupName(m_name, trash ? QString() : m_options.suffix);
        error = keepBeside(*backup, false);
        // One that holds the very bytes being kept loses nothing when it is replaced.
        QByteArray earlier, there;
        if (FilePrivate::isTaken(error) && readBeside(m_name, &earlier)
            && readBeside(*backup, &there, earlier.size()) && there == earlier)
            error = keepBeside(*backup, true);
        if (!FilePrivate::isTaken(error))
            return error;
    }
    // Any other is kept too, and the backup takes the next number; a number another save takes
    // meanwhile is passed over.
    for (int number = highest + 1, tries = 0; tries < 100; ++number, ++tries) {
        *backup = backupName(m_name, number);
        error = keepBeside(*backup, false);
        if (!FilePrivate::isTaken(error))
            break;
    }
    return error;
}

FileError saveFile(const QString &path, const QByteArray &text, const QSet<QString> &kept,
                   const SaveOptions &options, Replaced *replaced)
{
    if (path.isEmpty())
        return FilePrivate::refused(QStringLiteral("no file name given"));
    const QFileInfo info(path);
    SaveFolder folder;
    if (FileError opened = folder.open(info.fileName() == path ? QString() : info.path());
        !opened.ok()) {
        opened.detail = QStringLiteral("cannot create: ") + opened.detail;
        return opened;
    }
    folder.keepUnchanged(kept);
    const FileError saved = folder.save(info.fileName(), text, options, replaced);
    return saved.ok() ? folder.sync() : saved;
}
