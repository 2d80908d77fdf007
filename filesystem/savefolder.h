#pragma once

#include "intelhex.h"

#include <QByteArray>
#include <QSet>
#include <QString>

class QFileDevice;

// Where the codec meets the file system: whole files read and checked for a change while they
// were read, files saved so that they are either their old selves or complete, and what
// identifies a file. Every failure says what became of the file and, where the system's reason
// is one a user can act on (a full disk, a read-only disk, no permission, a file in use), sets
// HexError::cause.

// What identifies a file by any of its names (a hard or symbolic link, "a/../b", "A.HEX" where
// case is ignored): its device and inode on Unix, its volume and file index on Windows. Empty
// for a missing file.
QString fileKey(const QString &path);
// The same for the regular file an open descriptor is (standard input or output); empty for
// anything else.
QString fileKey(int descriptor);

// Reads the whole regular file at `path`, at most kMaxHexFileSize bytes. Refused (code,
// detail): CannotOpen for a missing, unreadable or non-regular file; TooLarge; Changed when its
// contents changed while it was read.
[[nodiscard]] HexError readWholeFile(const QString &path, QByteArray *text);
// The rest of a file already open, such as standard input, at most one byte more than
// kMaxHexFileSize; a non-blocking one is waited for. A regular file is checked for a change too.
[[nodiscard]] HexError readRest(QFileDevice *file, QByteArray *text);
// Writes all of `text` to a file already open, such as standard output, and flushes it.
[[nodiscard]] HexError writeAll(QFileDevice *file, const QByteArray &text);

// The system's words for an error code (errno, or GetLastError() on Windows), and its cause.
QString systemReason(int code);
HexError::Cause systemCause(int code);

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
    [[nodiscard]] HexError open(const QString &path);
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
    [[nodiscard]] HexError save(const QString &relative, const QByteArray &text,
                                bool makeFolders = false) const;
    // Puts the new names of the files saved directly in the folder on the disk (those in its
    // folders are synced by save()); a batch of saves syncs once at its end.
    [[nodiscard]] HexError sync() const;

private:
#ifdef Q_OS_WIN
    void *m_handle = nullptr; // the folder's HANDLE
    QString m_absolute;       // its absolute path, the files' paths are made from
#else
    int m_fd = -1;
#endif
    QString m_path;
    QSet<QString> m_kept;
};
