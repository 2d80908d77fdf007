#pragma once

// What the file-system code shares between its platforms: how a failure is told, in the user's
// words, this program's temporary names, and the steps of a save, which each platform's file
// implements. Not for use outside this folder.

#include "readfile.h"
#include "savefolder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace FilePrivate {

FileError failure(FileError::Code code, const QString &detail,
                  FileError::Cause cause = FileError::OtherCause);
// A failure's reason in a user's words where its cause is one they can act on, else the
// system's own words.
QString reason(int code, const QString &noPermission);
FileError openFailure(int code);
FileError readFailure(int code);
FileError tooLarge(qint64 size);
FileError changed();
// A save that failed: why, at which step, and what became of the file.
FileError saveFailure(const QString &step, int code, const QString &folder, bool existed);
// A save refused before anything was written, for what stands at the name.
FileError refused(const QString &detail);
FileError isLink();
FileError isFolder();
FileError isKept();
FileError nameTooLong(int bytes);
// "cannot save: <why>; it keeps its earlier contents"
FileError keptBecause(const QString &why, FileError::Cause cause = FileError::NoPermission);
FileError inUse();
FileError folderNotSynced(int code);
FileError exists();
FileError folderToRead();
FileError notRegular();
FileError folderMissing(const QString &folder);

// Whether a system error code says that a name is taken already.
bool isTaken(int code);

// How the temporary files of one output start: short whatever the output's name, and plainly
// this program's (".tarvik-save-" and 16 hexadecimal digits made from the name).
QByteArray temporaryPrefix(const QByteArray &name);
// A temporary name for the output `name` that no other save takes: its prefix, "-", 8 random
// hexadecimal digits and ".tmp".
QByteArray temporaryName(const QByteArray &name);

} // namespace FilePrivate

// One save of one file into a folder held open, as the named steps SaveFolder::save takes in
// order; each platform's file implements them. A step that fails says why, and the attempt
// removes, when it ends, a temporary file that did not take the file's place.
class SaveAttempt
{
public:
    SaveAttempt(const SaveFolder &folder, const QString &relative, const SaveOptions &options);
    ~SaveAttempt();
    SaveAttempt(const SaveAttempt &) = delete;
    SaveAttempt &operator=(const SaveAttempt &) = delete;

    // Opens the file's own folder under the held one, one folder at a time and never through a
    // link; with `makeFolders` the missing ones are made.
    FileError openParent(bool makeFolders);
    // What stands at the file's name: nothing, or a regular file that may be replaced; anything
    // else is refused.
    FileError inspectTarget();
    bool replaces() const { return m_existed; }
    // Whether the regular file at the name holds exactly `text`, so that nothing needs writing.
    bool holds(const QByteArray &text);
    // Removes what a killed save left at this output's temporary name; a live save holding it
    // makes this one fail as in use.
    FileError removeLeftover();
    // Makes this save's own temporary file, locked while it is written.
    FileError claimTemporary();
    // Writes `text` into it, with a replaced file's owner, group and permissions, and puts it on
    // the disk.
    FileError writeDurably(const QByteArray &text);
    // Keeps the file it replaces as the save's options say (moved to the trash or kept beside),
    // while the new one is complete under its temporary name.
    FileError keepEarlier(Replaced *replaced);
    // Gives it the file's name, checking once more what stands there: the file is then either as
    // it was or complete.
    FileError putInPlace();
    // Whether the earlier file left its name to be kept (renamed, not given a second name), and
    // puts it back there from `aside`; true where it is back.
    bool movedAside() const { return m_movedAside; }
    bool putBack(const QString &aside);
    // Removes the temporary of a save that failed, now; the name of one that could not be
    // removed, else an empty string.
    QString removeTemporary();

private:
    const SaveFolder &m_folder;
    QString m_relative;
    QStringList m_folders; // from the held folder down to the file's own
    QString m_name;        // the file's name in its folder
    QString m_shown;       // the file's folder as messages name it
    bool m_existed = false;
    bool m_placed = false;     // the temporary has taken the file's place
    bool m_movedAside = false; // the earlier file was renamed to its backup's name
    QString m_backup;          // the backup's name in the folder, once it is kept
    QString m_aside; // where the earlier file was left, its name not given back (renameAside)
    const SaveOptions &m_options;

    // Keeps the file beside itself as a backup (SaveOptions::Backups) and says which name it
    // took. Returns 0 or the system's error code.
    int keepAsBackup(QString *backup);
    // Keeps the file as `backup` in its folder, replacing what stands there only with `replace`
    // (a name taken is then an error isTaken() knows). Returns 0 or the system's error code.
    int keepBeside(const QString &backup, bool replace);
    // The regular file `name` in the file's folder, read where it is of `size` bytes (any size up
    // to kMaxFileSize where -1); false for anything else, a link included.
    bool readBeside(const QString &name, QByteArray *bytes, qint64 size = -1);
    // Every name in the file's folder.
    QStringList namesBeside();
    // The file `name` beside this one, as messages name it: "new.hex~" beside "new.hex".
    QString shownBeside(const QString &name) const;
    // Moves the file into the system's trash, in one bounded try; says where it went.
    bool moveToTrash(QString *inTrash);
#ifdef Q_OS_WIN
    QString m_parent;            // the file's folder, absolute, as the system is given it
    void *m_temporary = nullptr; // the temporary's HANDLE
#else
    int keepAttributes();
    FileError inspectFolder();
    FileError renameOver();
    int renameAside(int refused);

    int m_dir = -1; // the file's folder; closed at the end unless it is the held folder
    QByteArray m_encoded, m_temporaryName;
    int m_temporary = -1;
    bool m_unnamed = false; // an unnamed file (O_TMPFILE) until it is linked
    bool m_named = false;   // it stands at the temporary name
    // The replaced file's, and its folder's, as the system gave them.
    unsigned m_mode = 0, m_dirMode = 0;
    bool m_dirLocked = false; // append-only or immutable
    unsigned m_uid = 0, m_gid = 0, m_dirUid = 0;
    quint64 m_dirDevice = 0;
#endif
};
