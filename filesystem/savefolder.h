#pragma once

#include "fileerror.h"

#include <QByteArray>
#include <QSet>
#include <QString>

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
    // made where `makeFolders`). The text goes to this program's temporary file beside it
    // (".tarvik-save-<16 hex digits>.tmp", one name per output, locked while written; on Linux
    // an unnamed file until it is complete, and a new file needs no temporary name at all),
    // reaches the disk, and only then takes the file's place: the file is either as it was or
    // complete. A temporary that a killed save left there is removed; one in use by a live save
    // makes this save fail (InUse). Refused, with the file left as it was: a symbolic link (never
    // followed, nor are links among the folders of `relative`), a folder, anything but a regular
    // file, a write-protected file and one of the kept files.
    [[nodiscard]] FileError save(const QString &relative, const QByteArray &text,
                                 bool makeFolders = false) const;
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
#endif
    QString m_path;
    QSet<QString> m_kept;
};

// Saves `text` as the file at `path` as SaveFolder::save does, through its folder held open, and
// puts its name on the disk. `kept`: the files, by fileKey(), that it may not replace.
[[nodiscard]] FileError saveFile(const QString &path, const QByteArray &text,
                                 const QSet<QString> &kept = {});
