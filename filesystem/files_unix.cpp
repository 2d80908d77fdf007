#include "filesystem_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace FilePrivate;

namespace {

struct FdCloser
{
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString keyOf(const struct stat &info)
{
    return QStringLiteral("%1:%2").arg(qulonglong(info.st_dev)).arg(qulonglong(info.st_ino));
}

HexError changed()
{
    return failure(HexError::Changed, QStringLiteral("changed while it was being read; try again"));
}

// A file's new name reaches the disk with its folder.
HexError syncFolder(int fd)
{
    if (::fsync(fd) == 0)
        return {};
    return failure(HexError::CannotWrite,
                   QStringLiteral("was saved, but its folder could not be synced to disk: %1")
                           .arg(systemReason(errno)));
}

// Waits until a non-blocking descriptor can go on.
void waitFor(int fd, short event)
{
    pollfd ready{ fd, event, 0 };
    ::poll(&ready, 1, -1);
}

// Reads from fd until its end or `limit` bytes: at `offset` where it is at least 0, else from
// where the descriptor stands. Returns 0 or the errno.
int readFully(int fd, qint64 offset, qint64 limit, QByteArray *text)
{
    text->resize(int(limit));
    qint64 total = 0;
    while (total < limit) {
        char *into = text->data() + total;
        const size_t wanted = size_t(limit - total);
        const ssize_t got = offset < 0 ? ::read(fd, into, wanted)
                                       : ::pread(fd, into, wanted, off_t(offset + total));
        if (got == 0)
            break;
        if (got > 0)
            total += got;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            waitFor(fd, POLLIN);
        else if (errno != EINTR)
            return errno;
    }
    text->resize(int(total));
    return 0;
}

int writeFully(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size_t(size));
        if (put >= 0) {
            data += put;
            size -= put;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(fd, POLLOUT);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

#ifdef Q_OS_DARWIN
#  define st_mtim st_mtimespec
#  define st_ctim st_ctimespec
#endif
bool sameState(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
            && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec
            && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The rest of an open file, one byte more than a setup file may have at most. A regular file
// rewritten in place while it is read may give part of its old and part of its new contents: a
// mix of two setups, each byte valid. It is read a second time and its size and times are
// compared; any difference refuses it. The times alone would miss a rewrite within the file
// system's clock step of a few milliseconds, the second reading alone a writer that paused
// between two pieces of the file: a file changed less than kQuietMs ago is given the rest of
// that time to show a change, and then read once more.
constexpr qint64 kQuietMs = 100;

HexError readChecked(int fd, QByteArray *text)
{
    struct stat before;
    if (::fstat(fd, &before) != 0)
        return openFailure(errno);
    const off_t start = S_ISREG(before.st_mode) ? ::lseek(fd, 0, SEEK_CUR) : -1;
    // One byte more than its size tells a file that grew (some report a size of 0: /proc).
    const qint64 limit = start >= 0 && before.st_size > 0
            ? qMin(qMax<qint64>(before.st_size - start, 0) + 1, kMaxHexFileSize + 1)
            : kMaxHexFileSize + 1;
    if (const int error = readFully(fd, -1, limit, text)) {
        text->clear();
        return failure(HexError::CannotOpen,
                       QStringLiteral("cannot read: %1").arg(systemReason(error)),
                       systemCause(error));
    }
    if (text->size() > kMaxHexFileSize)
        return tooLarge(-1);
    if (start < 0)
        return {};
    for (bool waited = false;; waited = true) {
        struct stat after;
        QByteArray again;
        if (::fstat(fd, &after) != 0 || readFully(fd, start, limit, &again) != 0 || again != *text
            || !sameState(before, after))
            return changed();
        const qint64 age = QDateTime::currentMSecsSinceEpoch() - qint64(after.st_mtim.tv_sec) * 1000
                - after.st_mtim.tv_nsec / 1000000;
        if (waited || age >= kQuietMs)
            return {};
        std::this_thread::sleep_for(
                std::chrono::milliseconds(qBound<qint64>(0, kQuietMs - age, kQuietMs)));
    }
}

} // namespace

QString systemReason(int code)
{
    return qt_error_string(code);
}

HexError::Cause systemCause(int code)
{
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        return HexError::DiskFull;
    case EROFS:
        return HexError::ReadOnlyDisk;
    case EACCES:
    case EPERM:
        return HexError::NoPermission;
    case ETXTBSY:
    case EBUSY:
        return HexError::InUse;
    default:
        return HexError::OtherCause;
    }
}

QString fileKey(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    return keyOf(info);
}

QString fileKey(int descriptor)
{
    struct stat info;
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode))
        return QString();
    return keyOf(info);
}

HexError readWholeFile(const QString &path, QByteArray *text)
{
    text->clear();
    if (path.isEmpty())
        return failure(HexError::CannotOpen, QStringLiteral("no file name given"));
    // Non-blocking, a FIFO opens at once and is refused below instead of waiting for a writer.
    const FdCloser file{ ::open(QFile::encodeName(path).constData(),
                                O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) };
    if (file.fd < 0) {
        if (errno == ENAMETOOLONG)
            return failure(HexError::CannotOpen,
                           QStringLiteral("cannot open: the path is too long for this system "
                                          "(%1 bytes)")
                                   .arg(QFile::encodeName(path).size()));
        return openFailure(errno);
    }
    struct stat info;
    if (::fstat(file.fd, &info) != 0)
        return openFailure(errno);
    if (S_ISDIR(info.st_mode))
        return failure(HexError::CannotOpen, QStringLiteral("is a folder, not a setup file"));
    // A FIFO or device would block the reading or never end; a setup file is a plain file.
    if (!S_ISREG(info.st_mode))
        return failure(HexError::CannotOpen, QStringLiteral("is not a regular file"));
    if (info.st_size > kMaxHexFileSize)
        return tooLarge(info.st_size);
    return readChecked(file.fd, text);
}

HexError readRest(QFileDevice *file, QByteArray *text)
{
    return readChecked(file->handle(), text);
}

HexError writeAll(QFileDevice *file, const QByteArray &text)
{
    const int error =
            file->flush() ? writeFully(file->handle(), text.constData(), text.size()) : EIO;
    if (error != 0)
        return failure(HexError::CannotWrite,
                       QStringLiteral("cannot write: %1")
                               .arg(reason(error, QStringLiteral("no permission to write"))),
                       systemCause(error));
    return {};
}

SaveFolder::~SaveFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

HexError SaveFolder::open(const QString &path)
{
    m_path = path;
    const QString folder = QDir::toNativeSeparators(path);
    const QByteArray name = QFile::encodeName(path.isEmpty() ? QStringLiteral(".") : path);
    m_fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd >= 0)
        return {};
    const int error = errno;
    switch (error) {
    case ENOENT:
        return failure(HexError::CannotWrite,
                       QStringLiteral("the folder %1 does not exist").arg(folder));
    case ENOTDIR:
        return failure(HexError::CannotWrite, QStringLiteral("%1 is not a folder").arg(folder));
    case ENAMETOOLONG:
        return failure(HexError::CannotWrite,
                       QStringLiteral("the folder's path is too long for this system (%1 bytes)")
                               .arg(name.size()));
    default:
        return failure(
                HexError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(error, QStringLiteral("no permission to open it"))),
                systemCause(error));
    }
}

HexError SaveFolder::save(const QString &relative, const QByteArray &text, bool makeFolders) const
{
    // Down to the file's own folder, one folder at a time and never through a link.
    QStringList folders = relative.split(QLatin1Char('/'));
    const QString name = folders.takeLast();
    FdCloser sub{ -1 };
    int dir = m_fd;
    QString shown = m_path, under;
    for (const QString &part : folders) {
        under += (under.isEmpty() ? QString() : QStringLiteral("/")) + part;
        shown = filePath(under);
        const QByteArray encoded = QFile::encodeName(part);
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(dir, encoded.constData(), flags);
        if (next < 0 && errno == ENOENT && makeFolders
            && (::mkdirat(dir, encoded.constData(), 0777) == 0 || errno == EEXIST))
            next = ::openat(dir, encoded.constData(), flags);
        if (next < 0 && (errno == ELOOP || errno == ENOTDIR))
            return refused(QStringLiteral("cannot create: %1 is a symbolic link or not a folder; "
                                          "links are not followed")
                                   .arg(QDir::toNativeSeparators(shown)));
        if (next < 0)
            return saveFailure(QStringLiteral("cannot create the folder %1")
                                       .arg(QDir::toNativeSeparators(shown)),
                               errno, QFileInfo(shown).path(), false);
        if (sub.fd >= 0)
            ::close(sub.fd);
        sub.fd = dir = next;
    }

    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return refused(QStringLiteral("is a folder; choose a file name in it"));
    const QByteArray encoded = QFile::encodeName(name);
    struct stat target;
    // What stands at the name: no error where it is missing or may be replaced, else the refusal.
    auto check = [&](bool *exists) -> HexError {
        *exists = ::fstatat(dir, encoded.constData(), &target, AT_SYMLINK_NOFOLLOW) == 0;
        if (!*exists && errno == ENAMETOOLONG)
            return refused(QStringLiteral("cannot create: the file name is too long for this "
                                          "system (%1 bytes)")
                                   .arg(encoded.size()));
        if (!*exists && errno != ENOENT)
            return saveFailure(QStringLiteral("cannot create"), errno, shown, false);
        if (!*exists)
            return {};
        if (S_ISLNK(target.st_mode))
            return refused(QStringLiteral("is a symbolic link; it is not replaced, and a link is "
                                          "never written through"));
        if (S_ISDIR(target.st_mode))
            return refused(QStringLiteral("is a folder; choose a file name in it"));
        if (!S_ISREG(target.st_mode))
            return refused(QStringLiteral("is not a regular file; it is not replaced"));
        if (m_kept.contains(keyOf(target)))
            return refused(
                    QStringLiteral("is one of the files being converted; it is not replaced"));
        return {};
    };
    bool existed = false;
    if (HexError refusal = check(&existed); !refusal.ok())
        return refusal;

    // This output's temporary name: what stands there is a leftover of a killed save, which is
    // removed, unless a live save holds its lock, which makes this save fail as in use.
    const QByteArray temporary = temporaryName(encoded);
    auto inUse = [] {
        return failure(HexError::CannotWrite,
                       QStringLiteral("cannot save: another program is saving it at this "
                                      "moment; try again"),
                       HexError::InUse);
    };
    auto removeLeftover = [&]() -> HexError {
        const FdCloser left{ ::openat(dir, temporary.constData(),
                                      O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) };
        if (left.fd < 0 && errno == ENOENT)
            return {};
        const QString step = QStringLiteral("cannot remove %1, left there by an earlier save")
                                     .arg(QString::fromLatin1(temporary));
        if (left.fd < 0)
            return saveFailure(step, errno, shown, existed);
        if (::flock(left.fd, LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? inUse() : saveFailure(step, errno, shown, existed);
        // Locked; unless the save that held it has just renamed it away, it is a leftover.
        struct stat mine, named;
        if (::fstat(left.fd, &mine) == 0
            && ::fstatat(dir, temporary.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && mine.st_dev == named.st_dev && mine.st_ino == named.st_ino
            && ::unlinkat(dir, temporary.constData(), 0) != 0)
            return saveFailure(step, errno, shown, existed);
        return {};
    };
    auto writeAndSync = [&](int fd) {
        int error = writeFully(fd, text.constData(), text.size());
#ifdef Q_OS_LINUX
        if (error == 0 && ::fdatasync(fd) != 0)
#else
        if (error == 0 && ::fsync(fd) != 0)
#endif
            error = errno;
        return error;
    };
    if (HexError left = removeLeftover(); !left.ok())
        return left;

#ifdef O_TMPFILE
    // A new file where the system has unnamed files: complete before it has a name at all, then
    // linked to its name in one step, so that a killed save leaves nothing behind.
    if (!existed) {
        const FdCloser unnamed{ ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) };
        if (unnamed.fd >= 0) {
            if (const int error = writeAndSync(unnamed.fd))
                return saveFailure(QStringLiteral("cannot write"), error, shown, false);
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(unnamed.fd);
            if (::linkat(AT_FDCWD, self.constData(), dir, encoded.constData(), AT_SYMLINK_FOLLOW)
                == 0)
                return sub.fd >= 0 ? syncFolder(sub.fd) : HexError{};
            if (errno != EEXIST && errno != ENOENT)
                return saveFailure(QStringLiteral("cannot save"), errno, shown, false);
            // The name was taken meanwhile, or there is no /proc: saved the other way.
            if (HexError refusal = check(&existed); !refusal.ok())
                return refusal;
        }
    }
#endif

    // A write-protected file is not replaced, as it would not be written over.
    if (existed && ::faccessat(dir, encoded.constData(), W_OK, AT_EACCESS) != 0) {
        const int error = errno;
        return failure(HexError::CannotWrite,
                       QStringLiteral("cannot save: %1; it keeps its earlier contents")
                               .arg(reason(error, QStringLiteral("the file is write-protected"))),
                       systemCause(error));
    }

    // A replaced file keeps its permissions, as it would when written over.
    auto fillTemporary = [&](int fd) {
        const int error = existed && ::fchmod(fd, target.st_mode & 07777) != 0 ? errno : 0;
        return error != 0 ? error : writeAndSync(fd);
    };
    auto discard = [&](const HexError &error) {
        ::unlinkat(dir, temporary.constData(), 0);
        return error;
    };
    // Once more just before the file is replaced: it may have become a link or an input meanwhile.
    auto renameOver = [&]() -> HexError {
        bool exists = false;
        if (HexError refusal = check(&exists); !refusal.ok())
            return discard(refusal);
        if (::renameat(dir, temporary.constData(), dir, encoded.constData()) != 0)
            return discard(saveFailure(QStringLiteral("cannot save"), errno, shown, existed));
        return sub.fd >= 0 ? syncFolder(sub.fd) : HexError{};
    };

#ifdef O_TMPFILE
    // A replacement where the system has unnamed files: locked, written and synced before it
    // has a name, then named as the temporary and renamed over the file. A sync of an unnamed
    // file carries no new name with it, which makes a batch of replacements a tenth faster.
    if (existed) {
        const FdCloser unnamed{ ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) };
        if (unnamed.fd >= 0) {
            if (const int error = ::flock(unnamed.fd, LOCK_EX | LOCK_NB) != 0
                        ? errno
                        : fillTemporary(unnamed.fd))
                return saveFailure(QStringLiteral("cannot write"), error, shown, true);
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(unnamed.fd);
            auto link = [&] {
                return ::linkat(AT_FDCWD, self.constData(), dir, temporary.constData(),
                                AT_SYMLINK_FOLLOW);
            };
            int linked = link();
            if (linked != 0 && errno == EEXIST) { // a save killed meanwhile, or one still running
                if (HexError left = removeLeftover(); !left.ok())
                    return left;
                if ((linked = link()) != 0 && errno == EEXIST)
                    return inUse();
            }
            if (linked == 0)
                return renameOver();
            if (errno != ENOENT)
                return saveFailure(QStringLiteral("cannot save"), errno, shown, true);
            // There is no /proc: saved the other way.
        }
    }
#endif

    // The temporary, locked while it is written, then renamed over the file. Made anew: a save
    // that finds it taken removes the leftover, or fails where a live save holds it.
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        fd = ::openat(dir, temporary.constData(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) {
            if (HexError left = removeLeftover(); !left.ok())
                return left;
            continue;
        }
        if (fd < 0)
            return saveFailure(QStringLiteral("cannot create"), errno, shown, existed);
        // Another save may take it for a leftover before it is locked: then it is gone.
        struct stat mine, named;
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!locked || ::fstat(fd, &mine) != 0
            || ::fstatat(dir, temporary.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0
            || mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return inUse();
    const FdCloser file{ fd };
    if (const int error = fillTemporary(fd))
        return discard(saveFailure(QStringLiteral("cannot write"), error, shown, existed));
    return renameOver();
}

HexError SaveFolder::sync() const
{
    return syncFolder(m_fd);
}
