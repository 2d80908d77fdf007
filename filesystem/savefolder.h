#pragma once

#include "fileerror.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <functional>
#include <mutex>

// How a save treats a file already at its name. A file that holds exactly the text being saved
// is left alone, whatever these say: nothing needs replacing.
struct SaveOptions
{
    enum Earlier {
        Replace, // replaced, as a file written over is
        Keep,    // never replaced: the save is refused (--no-clobber)
        Backup,  // replaced, once it is kept beside the new one (cp --backup)
        Trash,   // replaced, once it is in the system's trash; where its disk has none, kept
                 // beside the new one as a backup of this system's default name
    };
    // How a file kept beside its replacement is named, as cp --backup=CONTROL names it. Simple:
    // NAME and the suffix (NAME~; NAME.bak on Windows). Numbered: NAME.~1~, NAME.~2~ and on
    // (NAME.~1~.bak on Windows). Existing: numbered where the file has numbered backups already,
    // else simple. A backup never takes the place of another file: where the simple name holds
    // anything but the very bytes being kept, the backup takes the next numbered name.
    enum Backups { Existing, Simple, Numbered };

    SaveOptions(Earlier earlier = Replace) : earlier(earlier) { }

    Earlier earlier;
    Backups backups = Existing;
    QString suffix;           // of a simple backup; empty for this system's default
    bool makeFolders = false; // the folders of the name made where missing (--parents)
    // Asked, with the file's path as messages name it, before a file that stands at the name is
    // replaced, when nothing else refuses it: a failure refuses the save, before anything is
    // written. Not asked for a new file, nor for one that holds the text already.
    std::function<FileError(const QString &path)> mayReplace;
};

// What became of the file that stood at a save's name.
struct Replaced
{
    enum Where {
        Nowhere,   // there was none, or it was replaced and dropped
        InTrash,   // in the system's trash
        Beside,    // kept beside its replacement
        Unchanged, // it held the text already: nothing was written
    };
    Where where = Nowhere;
    QString path; // where it is now
};

// An existing folder that files are saved into, held open from open() on, so that every save
// lands in this very folder whatever happens to its path meanwhile (renamed, replaced by a link
// to another folder). On Windows the folder cannot be renamed or removed while it is held.
// save() may be called from several threads at once.
class SaveFolder
{
public:
    SaveFolder() = default;
    ~SaveFolder();
    SaveFolder(const SaveFolder &) = delete;
    SaveFolder &operator=(const SaveFolder &) = delete;

    // Opens the folder at `path` ("." for the current one). On failure the detail names it:
    // "the folder out does not exist", "out is not a folder", "cannot open the folder out: ...".
    [[nodiscard]] FileError open(const QString &path);
    // The files that no save may replace, by fileKey().
    void keepUnchanged(const QSet<QString> &fileKeys) { m_kept = fileKeys; }
    // The folder's path as given to open(), and `relative` under it, as messages name them.
    QString path() const { return m_path; }
    QString filePath(const QString &relative) const;

    // Saves `text` as the file `relative` ("site.hex", or "sites/A/site.hex" with its folders
    // made where `options` says so). The text goes to this program's temporary file beside it
    // (".tarvik-save-<16 hex digits>.tmp", one name per output, locked while written; on Linux
    // an unnamed file until it is complete, and a new file needs no temporary name at all),
    // reaches the disk, and only then takes the file's place: the file is either as it was or
    // complete. A temporary that a killed save left there is removed; one in use by a live save
    // makes this save fail (InUse). Refused, with the file left as it was: a symbolic link (never
    // followed, nor are links among the folders of `relative`), a folder, anything but a regular
    // file, a write-protected file and one of the kept files. A file replaced is dropped, or
    // kept as `options` says, where `replaced` then tells. The earlier file is kept before the
    // new one takes its name, so at every moment it is under its name, in the trash or beside
    // it.
    [[nodiscard]] FileError save(const QString &relative, const QByteArray &text,
                                 const SaveOptions &options = {},
                                 Replaced *replaced = nullptr) const;
    // Puts the new names of the files saved directly in the folder on the disk (those in its
    // folders are synced by save()); a batch of saves syncs once at its end.
    [[nodiscard]] FileError sync() const;

private:
    friend class SaveAttempt;
#ifdef Q_OS_WIN
    void *m_handle = nullptr; // the folder's HANDLE
    QString m_absolute;       // its absolute path, the files' paths are made from
#else
    int m_fd = -1;
    // The held folder as it was opened: what every save that replaces a file in it asks.
    unsigned m_mode = 0, m_uid = 0;
    quint64 m_device = 0;
    bool m_locked = false; // append-only or immutable
#endif
    QString m_path;
    QSet<QString> m_kept;
    // This program's temporaries the held folder had when a save first looked (a batch's saves
    // need not list the folder each), under the mutex.
    mutable QStringList m_temporaries;
    mutable bool m_listed = false;
    mutable std::mutex m_listing;
};

// Saves `text` as the file at `path` as SaveFolder::save does, through its folder held open, and
// puts its name on the disk. `kept`: the files, by fileKey(), that it may not replace.
[[nodiscard]] FileError saveFile(const QString &path, const QByteArray &text,
                                 const QSet<QString> &kept = {}, const SaveOptions &options = {},
                                 Replaced *replaced = nullptr);

// The names a file is kept under beside its replacement: NAME and `suffix` (this system's
// default where empty: "~", ".bak" on Windows), or numbered: NAME.~N~ (NAME.~N~.bak on Windows).
QString backupName(const QString &name, const QString &suffix);
QString backupName(const QString &name, int number);
