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

QString systemReason(int code)
{
    return qt_error_string(code);
}

HexError::Cause systemCause(int code)
{
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return HexError::DiskFull;
    case ERROR_WRITE_PROTECT:
        return HexError::ReadOnlyDisk;
    case ERROR_ACCESS_DENIED:
        return HexError::NoPermission;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return HexError::InUse;
    default:
        return HexError::OtherCause;
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

HexError readWholeFile(const QString &path, QByteArray *text)
{
    text->clear();
    if (path.isEmpty())
        return failure(HexError::CannotOpen, QStringLiteral("no file name given"));
    const QString name = systemPath(path);
    const DWORD attributes = GetFileAttributesW(wide(name));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return openFailure(int(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return failure(HexError::CannotOpen, QStringLiteral("is a folder, not a setup file"));
    // Shared for reading only: no program can write the file while it is read, so it cannot
    // change meanwhile; one that has it open for writing makes this fail as a file in use.
    const HandleCloser file{ CreateFileW(wide(name), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) };
    if (file.handle == INVALID_HANDLE_VALUE)
        return openFailure(int(GetLastError()));
    if (GetFileType(file.handle) != FILE_TYPE_DISK)
        return failure(HexError::CannotOpen, QStringLiteral("is not a regular file"));
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.handle, &size))
        return openFailure(int(GetLastError()));
    if (size.QuadPart > kMaxHexFileSize)
        return tooLarge(size.QuadPart);
    text->resize(int(kMaxHexFileSize + 1));
    DWORD total = 0, got = 0;
    do {
        if (!ReadFile(file.handle, text->data() + total, DWORD(text->size()) - total, &got,
                      nullptr)) {
            const int code = int(GetLastError());
            text->clear();
            return failure(HexError::CannotOpen,
                           QStringLiteral("cannot read: %1").arg(systemReason(code)),
                           systemCause(code));
        }
        total += got;
    } while (got > 0 && total < DWORD(text->size()));
    text->resize(int(total));
    return total > kMaxHexFileSize ? tooLarge(-1) : HexError{};
}

HexError readRest(QFileDevice *file, QByteArray *text)
{
    text->clear();
    while (text->size() <= kMaxHexFileSize) {
        const QByteArray piece = file->read(kMaxHexFileSize + 1 - text->size());
        if (piece.isEmpty())
            break;
        *text += piece;
    }
    if (file->error() != QFileDevice::NoError)
        return failure(HexError::CannotOpen,
                       QStringLiteral("cannot read: %1").arg(file->errorString()));
    return text->size() > kMaxHexFileSize ? tooLarge(-1) : HexError{};
}

HexError writeAll(QFileDevice *file, const QByteArray &text)
{
    if (file->write(text) != text.size() || !file->flush())
        return failure(HexError::CannotWrite,
                       QStringLiteral("cannot write: %1").arg(file->errorString()));
    return {};
}

SaveFolder::~SaveFolder()
{
    if (m_handle)
        CloseHandle(m_handle);
}

HexError SaveFolder::open(const QString &path)
{
    m_path = path;
    const QString folder = QDir::toNativeSeparators(path);
    const QString name = systemPath(path.isEmpty() ? QStringLiteral(".") : path);
    const DWORD attributes = GetFileAttributesW(wide(name));
    const int code = int(GetLastError());
    if (attributes == INVALID_FILE_ATTRIBUTES && code != ERROR_FILE_NOT_FOUND
        && code != ERROR_PATH_NOT_FOUND)
        return failure(
                HexError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(code, QStringLiteral("no permission to open it"))),
                systemCause(code));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failure(HexError::CannotWrite,
                       QStringLiteral("the folder %1 does not exist").arg(folder));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failure(HexError::CannotWrite, QStringLiteral("%1 is not a folder").arg(folder));
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
                HexError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(error, QStringLiteral("no permission to open it"))),
                systemCause(error));
    }
    m_handle = handle;
    m_absolute = QString::fromWCharArray(final.data());
    return {};
}

HexError SaveFolder::save(const QString &relative, const QByteArray &text, bool makeFolders) const
{
    QStringList folders = relative.split(QLatin1Char('/'));
    const QString name = folders.takeLast();
    QString folder = m_absolute, shown = m_path, under;
    for (const QString &part : folders) {
        folder += QLatin1Char('\\') + part;
        under += (under.isEmpty() ? QString() : QStringLiteral("/")) + part;
        shown = filePath(under);
        DWORD attributes = GetFileAttributesW(wide(folder));
        if (attributes == INVALID_FILE_ATTRIBUTES && makeFolders
            && (CreateDirectoryW(wide(folder), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS))
            attributes = GetFileAttributesW(wide(folder));
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return saveFailure(QStringLiteral("cannot create the folder %1")
                                       .arg(QDir::toNativeSeparators(shown)),
                               int(GetLastError()), shown, false);
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return refused(QStringLiteral("cannot create: %1 is a link; links are not followed")
                                   .arg(QDir::toNativeSeparators(shown)));
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return refused(QStringLiteral("cannot create: %1 is not a folder")
                                   .arg(QDir::toNativeSeparators(shown)));
    }
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return refused(QStringLiteral("is a folder; choose a file name in it"));
    const QString target = folder + QLatin1Char('\\') + name;
    const DWORD attributes = GetFileAttributesW(wide(target));
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (existed && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return refused(QStringLiteral(
                "is a link; it is not replaced, and a link is never written through"));
    if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return refused(QStringLiteral("is a folder; choose a file name in it"));
    if (existed && (attributes & FILE_ATTRIBUTE_READONLY))
        return failure(HexError::CannotWrite,
                       QStringLiteral("cannot save: the file is write-protected; it keeps its "
                                      "earlier contents"),
                       HexError::NoPermission);
    auto isKept = [&] { return m_kept.contains(fileKey(filePath(relative))); };
    if (existed && isKept())
        return refused(QStringLiteral("is one of the files being converted; it is not replaced"));

    // Not shared at all while it is written: a live save of the same output makes this one fail
    // as in use, and one left by a killed save is taken over (CREATE_ALWAYS empties it) and then
    // renamed away.
    const QString temporary =
            folder + QLatin1Char('\\') + QString::fromLatin1(temporaryName(name.toUtf8()));
    const HandleCloser file{ CreateFileW(wide(temporary), GENERIC_WRITE | DELETE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr) };
    if (file.handle == INVALID_HANDLE_VALUE) {
        const int code = int(GetLastError());
        if (code == ERROR_SHARING_VIOLATION)
            return failure(HexError::CannotWrite,
                           QStringLiteral("cannot save: another program is saving it at this "
                                          "moment; try again"),
                           HexError::InUse);
        return saveFailure(QStringLiteral("cannot create"), code, shown, existed);
    }
    // Marked for deletion on close, a temporary that did not take the file's place disappears.
    auto discard = [&](HexError error) {
        FILE_DISPOSITION_INFO dispose{ TRUE };
        SetFileInformationByHandle(file.handle, FileDispositionInfo, &dispose, sizeof dispose);
        return error;
    };
    DWORD written = 0;
    if (!WriteFile(file.handle, text.constData(), DWORD(text.size()), &written, nullptr)
        || written != DWORD(text.size()) || !FlushFileBuffers(file.handle))
        return discard(
                saveFailure(QStringLiteral("cannot write"), int(GetLastError()), shown, existed));
    if (GetFileAttributesW(wide(target)) != INVALID_FILE_ATTRIBUTES && isKept())
        return discard(
                refused(QStringLiteral("is one of the files being converted; it is not replaced")));

    // Renamed through its own handle, so that nothing can come between its writing and its move.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + size_t(target.size()) * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
    std::copy(wide(target), wide(target) + target.size(), rename->FileName);
    if (!SetFileInformationByHandle(file.handle, FileRenameInfo, rename, DWORD(buffer.size()))) {
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
        return discard(saveFailure(QStringLiteral("cannot save"), code, shown, existed));
    }
    return {};
}

HexError SaveFolder::sync() const
{
    return {}; // the rename through the file's handle is as durable as the system makes it
}
