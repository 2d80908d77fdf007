#if !defined(_WIN32_WINNT)
#  define _WIN32_WINNT 0x0601 // Windows 7: GetFinalPathNameByHandleW, FILE_RENAME_INFO
#endif

#include "filesystem_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <vector>

using namespace FilePrivate;

namespace {

// Long paths reach the system only with the \\?\ prefix.
QString systemPath(const QString &path)
{
    const QString absolute =
            QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.size() < MAX_PATH - 12 || absolute.startsWith(QLatin1String("\\\\?\\")))
        return absolute;
    return absolute.startsWith(QLatin1String("\\\\"))
            ? QStringLiteral("\\\\?\\UNC\\") + absolute.mid(2)
            : QStringLiteral("\\\\?\\") + absolute;
}

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

struct HandleCloser
{
    HANDLE handle;
    ~HandleCloser()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

} // namespace

FileError::Cause systemCause(int code)
{
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return FileError::DiskFull;
    case ERROR_WRITE_PROTECT:
        return FileError::ReadOnlyDisk;
    case ERROR_ACCESS_DENIED:
        return FileError::NoPermission;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return FileError::InUse;
    case ERROR_TOO_MANY_OPEN_FILES:
        return FileError::NoDescriptors;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return FileError::Missing;
    default:
        return FileError::OtherCause;
    }
}

// The volume and file index of an open file: what identifies it by any of its names (A.HEX
// and a.hex, a hard link), as device and inode do on Unix.
static QString handleKey(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK
        || !GetFileInformationByHandle(file, &info))
        return QString();
    return QStringLiteral("%1:%2:%3")
            .arg(info.dwVolumeSerialNumber)
            .arg(info.nFileIndexHigh)
            .arg(info.nFileIndexLow);
}

bool FilePrivate::isTaken(int code)
{
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

QString fileKey(const QString &path)
{
    // Opened for no access at all, which no other program's sharing mode refuses.
    const HandleCloser file{ CreateFileW(
            wide(systemPath(path)), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr) };
    return handleKey(file.handle);
}

QString fileKey(int descriptor)
{
    return handleKey(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)));
}

bool openClosedStandardStreams()
{
    return true; // files get handles, never these numbers
}

FileError readWholeFile(const QString &path, QByteArray *text, Reading)
{
    text->clear();
    if (path.isEmpty())
        return failure(FileError::CannotOpen, QStringLiteral("no file name given"));
    const QString name = systemPath(path);
    const DWORD attributes = GetFileAttributesW(wide(name));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return openFailure(int(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return folderToRead();
    // Shared for reading only: no program can write the file while it is read, so it cannot
    // change meanwhile; one that has it open for writing makes this fail as a file in use.
    const HandleCloser file{ CreateFileW(wide(name), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) };
    if (file.handle == INVALID_HANDLE_VALUE)
        return openFailure(int(GetLastError()));
    if (GetFileType(file.handle) != FILE_TYPE_DISK)
        return notRegular();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.handle, &size))
        return openFailure(int(GetLastError()));
    if (size.QuadPart > kMaxFileSize)
        return tooLarge(size.QuadPart);
    text->resize(int(kMaxFileSize + 1));
    DWORD total = 0, got = 0;
    do {
        if (!ReadFile(file.handle, text->data() + total, DWORD(text->size()) - total, &got,
                      nullptr)) {
            const int code = int(GetLastError());
            text->clear();
            return failure(FileError::CannotOpen,
                           QStringLiteral("cannot read: %1").arg(systemReason(code)),
                           systemCause(code));
        }
        total += got;
    } while (got > 0 && total < DWORD(text->size()));
    text->resize(int(total));
    return total > kMaxFileSize ? tooLarge(-1) : FileError{};
}

FileError readRest(QFileDevice *file, QByteArray *text)
{
    text->clear();
    const qint64 start = file->pos();
    while (text->size() <= kMaxFileSize) {
        const QByteArray piece = file->read(kMaxFileSize + 1 - text->size());
        if (piece.isEmpty())
            break;
        *text += piece;
    }
    if (file->error() != QFileDevice::NoError)
        return failure(FileError::CannotOpen,
                       QStringLiteral("cannot read: %1").arg(file->errorString()));
    if (text->size() > kMaxFileSize)
        return tooLarge(-1);
    // A file on disk (standard input redirected from one) that another program may write
    // meanwhile: read once more from where it started, and refused where that differs.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file->handle()));
    if (GetFileType(handle) != FILE_TYPE_DISK || !file->seek(start))
        return {};
    const QByteArray again = file->read(text->size() + 1);
    return again == *text ? FileError{} : changed();
}

FileError writeAll(QFileDevice *file, const QByteArray &text)
{
    if (file->write(text) != text.size() || !file->flush())
        return failure(FileError::CannotWrite,
                       QStringLiteral("cannot write: %1").arg(file->errorString()));
    return {};
}

SaveFolder::~SaveFolder()
{
    if (m_handle)
        CloseHandle(m_handle);
}

FileError SaveFolder::open(const QString &path)
{
    m_path = path;
    const QString folder = QDir::toNativeSeparators(path);
    const QString name = systemPath(path.isEmpty() ? QStringLiteral(".") : path);
    const DWORD attributes = GetFileAttributesW(wide(name));
    const int code = int(GetLastError());
    if (attributes == INVALID_FILE_ATTRIBUTES && code != ERROR_FILE_NOT_FOUND
        && code != ERROR_PATH_NOT_FOUND)
        return failure(
                FileError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(code, QStringLiteral("no permission to open it"))),
                systemCause(code));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return folderMissing(folder);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failure(FileError::CannotWrite, QStringLiteral("%1 is not a folder").arg(folder));
    // Held without sharing its deletion, the folder cannot be renamed or removed meanwhile; its
    // final path (through any link or junction) is what the saves' paths are made from.
    HANDLE handle = CreateFileW(wide(name), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::vector<wchar_t> final(32768);
    const DWORD length = handle == INVALID_HANDLE_VALUE
            ? 0
            : GetFinalPathNameByHandleW(handle, final.data(), DWORD(final.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= final.size()) {
        const int error = int(GetLastError());
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        return failure(
                FileError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(error, QStringLiteral("no permission to open it"))),
                systemCause(error));
    }
    m_handle = handle;
    m_absolute = QString::fromWCharArray(final.data());
    return {};
}

SaveAttempt::SaveAttempt(const SaveFolder &folder, const QString &relative,
                         const SaveOptions &options)
    : m_folder(folder),
      m_relative(relative),
      m_folders(relative.split(QLatin1Char('/'))),
      m_name(m_folders.takeLast()),
      m_shown(folder.path()),
      m_options(options),
      m_parent(folder.m_absolute)
{
}

SaveAttempt::~SaveAttempt()
{
    if (m_temporary && !m_placed) {
        // Marked for deletion on close, a temporary that did not take the file's place goes.
        FILE_DISPOSITION_INFO dispose{ TRUE };
        SetFileInformationByHandle(m_temporary, FileDispositionInfo, &dispose, sizeof dispose);
    }
    if (m_temporary)
        CloseHandle(m_temporary);
}

FileError SaveAttempt::openParent(bool makeFolders)
{
    QString under;
    for (const QString &part : qAsConst(m_folders)) {
        m_parent += QLatin1Char('\\') + part;
        under += (under.isEmpty() ? QString() : QStringLiteral("/")) + part;
        m_shown = m_folder.filePath(under);
        DWORD attributes = GetFileAttributesW(wide(m_parent));
        if (attributes == INVALID_FILE_ATTRIBUTES && makeFolders
            && (CreateDirectoryW(wide(m_parent), nullptr)
                || GetLastError() == ERROR_ALREADY_EXISTS))
            attributes = GetFileAttributesW(wide(m_parent));
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return saveFailure(QStringLiteral("cannot create the folder %1")
                                       .arg(QDir::toNativeSeparators(m_shown)),
                               int(GetLastError()), m_shown, false);
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return refused(QStringLiteral("cannot create: %1 is a link; links are not followed")
                                   .arg(QDir::toNativeSeparators(m_shown)));
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return refused(QStringLiteral("cannot create: %1 is not a folder")
                                   .arg(QDir::toNativeSeparators(m_shown)));
    }
    return {};
}

FileError SaveAttempt::inspectTarget()
{
    if (m_name.isEmpty() || m_name == QLatin1String(".") || m_name == QLatin1String(".."))
        return isFolder();
    const QString target = m_parent + QLatin1Char('\\') + m_name;
    const DWORD attributes = GetFileAttributesW(wide(target));
    m_existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (!m_existed)
        return {};
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return refused(QStringLiteral(
                "is a link; it is not replaced, and a link is never written through"));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return isFolder();
    if (attributes & FILE_ATTRIBUTE_READONLY)
        return keptBecause(QStringLiteral("the file is write-protected"), FileError::Protected);
    if (m_folder.m_kept.contains(fileKey(target)))
        return isKept();
    if (m_options.earlier == SaveOptions::Keep)
        return exists();
    return {};
}

// Nothing to do here: claimTemporary() takes a leftover over.
FileError SaveAttempt::removeLeftover()
{
    return {};
}

FileError SaveAttempt::claimTemporary()
{
    // Not shared at all while it is written: a live save of the same output makes this one fail
    // as in use, and one left by a killed save is taken over (CREATE_ALWAYS empties it).
    const QString temporary = m_parent + QLatin1Char('\\')
            + QString::fromLatin1(temporaryPrefix(m_name.toUtf8()) + ".tmp");
    const HANDLE file = CreateFileW(wide(temporary), GENERIC_WRITE | DELETE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        m_temporary = file;
        return {};
    }
    const int code = int(GetLastError());
    return code == ERROR_SHARING_VIOLATION
            ? inUse()
            : saveFailure(QStringLiteral("cannot create"), code, m_shown, m_existed);
}

FileError SaveAttempt::writeDurably(const QByteArray &text)
{
    DWORD written = 0;
    if (!WriteFile(m_temporary, text.constData(), DWORD(text.size()), &written, nullptr)
        || written != DWORD(text.size()) || !FlushFileBuffers(m_temporary))
        return saveFailure(QStringLiteral("cannot write"), int(GetLastError()), m_shown, m_existed);
    return {};
}

int SaveAttempt::keepBeside(const QString &backup, bool replace)
{
    const QString target = m_parent + QLatin1Char('\\') + m_name;
    const QString kept = m_parent + QLatin1Char('\\') + backup;
    if (!MoveFileExW(wide(target), wide(kept), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return int(GetLastError());
    m_movedAside = true;
    return 0;
}

bool SaveAttempt::moveToTrash(QString *inTrash)
{
    return QFile::moveToTrash(m_parent + QLatin1Char('\\') + m_name, inTrash);
}

bool SaveAttempt::putBack(const QString &aside)
{
    return MoveFileExW(wide(m_parent + QLatin1Char('\\') + aside),
                       wide(m_parent + QLatin1Char('\\') + m_name), 0);
}

QString SaveAttempt::removeTemporary()
{
    if (!m_temporary || m_placed)
        return QString();
    FILE_DISPOSITION_INFO dispose{ TRUE };
    const bool removed =
            SetFileInformationByHandle(m_temporary, FileDispositionInfo, &dispose, sizeof dispose);
    CloseHandle(m_temporary);
    m_temporary = nullptr;
    return removed ? QString() : QString::fromLatin1(temporaryPrefix(m_name.toUtf8()) + ".tmp");
}

bool SaveAttempt::readBeside(const QString &name, QByteArray *bytes, qint64 size)
{
    const QString path = m_parent + QLatin1Char('\\') + name;
    const DWORD attributes = GetFileAttributesW(wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES
        || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    const HandleCloser file{ CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) };
    LARGE_INTEGER length;
    if (file.handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.handle, &length)
        || (size >= 0 && length.QuadPart != size) || length.QuadPart > kMaxFileSize)
        return false;
    bytes->resize(int(length.QuadPart));
    DWORD got = 0;
    return ReadFile(file.handle, bytes->data(), DWORD(bytes->size()), &got, nullptr)
            && got == DWORD(bytes->size());
}

QStringList SaveAttempt::namesBeside()
{
    QStringList names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide(m_parent + QStringLiteral("\\*")), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
        names << QString::fromWCharArray(found.cFileName);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return names;
}

FileError SaveAttempt::putInPlace()
{
    // Once more just before the file is replaced: it may have become a link or an input meanwhile.
    if (FileError refusal = inspectTarget(); !refusal.ok())
        return refusal;
    // Renamed through its own handle, so that nothing can come between its writing and its move.
    const QString target = m_parent + QLatin1Char('\\') + m_name;
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + size_t(target.size()) * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
    std::copy(wide(target), wide(target) + target.size(), rename->FileName);
    if (SetFileInformationByHandle(m_temporary, FileRenameInfo, rename, DWORD(buffer.size()))) {
        m_placed = true;
        return {};
    }
    int code = int(GetLastError());
    // A file that another program holds open is refused as "access denied": tell it apart.
    const HandleCloser probe{ code == ERROR_ACCESS_DENIED ? CreateFileW(
                                      wide(target), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr)
                                                          : INVALID_HANDLE_VALUE };
    if (code == ERROR_ACCESS_DENIED && probe.handle == INVALID_HANDLE_VALUE
        && GetLastError() == ERROR_SHARING_VIOLATION)
        code = ERROR_SHARING_VIOLATION;
    return saveFailure(QStringLiteral("cannot save"), code, m_shown, m_existed);
}

FileError SaveFolder::sync() const
{
    return {}; // the rename through the file's handle is as durable as the system makes it
}
