#include "disk.h"
#include "filesystem_p.h"

#include <QDir>
#include <QFile>
#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

#include <sys/file.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#  include <linux/fs.h>
#  include <sys/ioctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <chrono>
#include <ctime>
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

// A file's new name reaches the disk with its folder.
FileError syncFolder(int fd)
{
    return ::fsync(fd) == 0 ? FileError{} : folderNotSynced(errno);
}

// A file's contents, and what reading them needs, on the disk.
int syncData(int fd)
{
#ifdef Q_OS_LINUX
    return ::fdatasync(fd);
#else
    return ::fsync(fd);
#endif
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

// 0 where the file from `offset` on holds `text` and nothing more, -1 where it holds anything
// else, or the errno of a reading that failed. Read a piece at a time, so that the check costs no
// second copy of the file.
int holdsStill(int fd, qint64 offset, const QByteArray &text)
{
    QByteArray piece;
    for (qint64 at = 0;; at += piece.size()) {
        const qint64 wanted = qMin<qint64>(64 * 1024, text.size() - at) + 1;
        if (const int error = readFully(fd, offset + at, wanted, &piece))
            return error;
        if (piece.size() < wanted)
            return at + piece.size() == text.size()
                            && std::equal(piece.begin(), piece.end(), text.begin() + at)
                    ? 0
                    : -1;
        // A byte past the end of `text` is a file that has grown since (a copy still running).
        if (at + piece.size() > text.size()
            || !std::equal(piece.begin(), piece.end() - 1, text.begin() + at))
            return -1;
        piece.chop(1); // the byte past the piece is read again as the next one's first
    }
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

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// How long to wait before a file of the times `info` gives is read once more: a writer that
// pauses less than kQuietMs between two pieces of the file has written its next piece by then.
// The file system dates a write by a clock that runs up to one of its steps behind the real
// time, so that step is waited for too. Where the file's times carry no part of a second (FAT's
// two-second steps, SFTP's whole seconds), its age is not known within its step: the quiet time
// is waited for whatever the time says, as it is where the disk does not date a write when it
// is made (datesWrites: an SMB share gives a file its time when it is closed). No wait for a
// file modified in the future on a disk that keeps fractions: its age is not known, and the
// second reading is all there is.
constexpr qint64 kQuietMs = 100;

std::chrono::nanoseconds quietTimeLeft(const struct stat &info, bool datedWrites)
{
    if (!datedWrites || (info.st_mtim.tv_nsec == 0 && info.st_ctim.tv_nsec == 0))
        return std::chrono::milliseconds(kQuietMs);
    timespec now{}, step{ 0, 10000000 }; // 10 ms where the system does not say
    ::clock_gettime(CLOCK_REALTIME, &now);
#ifdef CLOCK_REALTIME_COARSE
    ::clock_getres(CLOCK_REALTIME_COARSE, &step);
#endif
    const qint64 age = nanoseconds(now) - nanoseconds(info.st_mtim);
    const qint64 left = kQuietMs * 1000000 + nanoseconds(step) - age;
    return std::chrono::nanoseconds(age < 0 || left < 0 ? 0 : left);
}

// The rest of an open file, one byte more than a setup file may have at most. A regular file
// rewritten in place while it is read may give part of its old and part of its new contents: a
// mix of two setups, each byte valid. It is read a second time and its size and times are
// compared; any difference refuses it. The times alone would miss a rewrite within the file
// system's clock step, the second reading alone a writer that paused between two pieces of the
// file: a file changed a moment ago is given the quiet time to show a change (quietTimeLeft),
// and then read once more (Reading::Settled). `path` names the file, for what its folder's disk
// does with times; where it is empty the disk is not known and the quiet time is waited for.
FileError readTwice(int fd, QByteArray *text, const QString &path, Reading reading)
{
    struct stat before;
    if (::fstat(fd, &before) != 0)
        return openFailure(errno);
    const off_t start = S_ISREG(before.st_mode) ? ::lseek(fd, 0, SEEK_CUR) : -1;
    // One byte more than its size tells a file that grew (some report a size of 0: /proc).
    const qint64 limit = start >= 0 && before.st_size > 0
            ? qMin(qMax<qint64>(before.st_size - start, 0) + 1, kMaxFileSize + 1)
            : kMaxFileSize + 1;
    if (const int error = readFully(fd, -1, limit, text))
        return readFailure(error);
    if (text->size() > kMaxFileSize)
        return tooLarge(-1);
    if (start < 0)
        return {};
    for (bool waited = false;; waited = true) {
        // A disk that fails the second reading is said to fail, not to hold a changed file.
        struct stat after;
        const int held = ::fstat(fd, &after) != 0 ? errno : holdsStill(fd, start, *text);
        if (held > 0)
            return readFailure(held);
        if (held < 0 || !sameState(before, after))
            return changed();
        if (waited || reading == Reading::AsItStands)
            return {};
        const auto left =
                quietTimeLeft(after, !path.isEmpty() && datesWrites(QFileInfo(path).path()));
        if (left.count() == 0)
            return {};
        std::this_thread::sleep_for(left);
    }
}

// The file's attributes that forbid replacing it or changing its folder's entries (chattr +a,
// +i on Linux); 0 where the file system has none or does not tell.
int lockedAttributes(int fd)
{
#ifdef Q_OS_LINUX
    int flags = 0;
    return fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0
            ? flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)
            : 0;
#else
    Q_UNUSED(fd);
    return 0;
#endif
}

// Where the system has unnamed files and names them through /proc (Linux).
bool hasUnnamedFiles()
{
#ifdef O_TMPFILE
    static const bool procFd = ::access("/proc/self/fd", X_OK) == 0;
    return procFd;
#else
    return false;
#endif
}

// The same, with nothing kept of a file it refuses.
FileError readChecked(int fd, QByteArray *text, const QString &path,
                      Reading reading = Reading::Settled)
{
    FileError error = readTwice(fd, text, path, reading);
    if (!error.ok())
        text->clear();
    return error;
}

} // namespace

FileError::Cause systemCause(int code)
{
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        return FileError::DiskFull;
    case EROFS:
        return FileError::ReadOnlyDisk;
    case EACCES:
    case EPERM:
        return FileError::NoPermission;
    case ETXTBSY:
    case EBUSY:
        return FileError::InUse;
    case EMFILE:
    case ENFILE:
        return FileError::NoDescriptors;
    case ENOENT:
    case ENOTDIR:
        return FileError::Missing;
    default:
        return FileError::OtherCause;
    }
}

bool FilePrivate::isTaken(int code)
{
    return code == EEXIST;
}

QString fileKey(const QString &path)
{
    struct stat info, link;
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &info) != 0)
        return QString();
    // Where case is ignored, some drivers give each spelling of a name its own inode number: the
    // file is known by its path there, as the disk compares it, through any link to it.
    const bool linked = ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode);
    if (!S_ISREG(info.st_mode) || !(linked || ignoresCase(QFileInfo(path).path())))
        return keyOf(info);
    const QFileInfo file(QFileInfo(path).canonicalFilePath());
    if (file.filePath().isEmpty() || !ignoresCase(file.path())) // no path: a file since deleted
        return keyOf(info);
    return QStringLiteral("%1:").arg(qulonglong(info.st_dev))
            + asCompared(file.path(), file.filePath());
}

QString fileKey(int descriptor)
{
    struct stat info;
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode))
        return QString();
#ifdef Q_OS_LINUX
    // Known as its path is, where the system names it: where case is ignored, the inode number
    // may differ from that of the same file opened by its name (`IN - 1<>IN`).
    if (const QString key = fileKey(QStringLiteral("/proc/self/fd/%1").arg(descriptor));
        !key.isEmpty())
        return key;
#endif
    return keyOf(info);
}

bool openClosedStandardStreams()
{
    // A closed one would be taken by the next file opened (an output, or Qt's own wake-up
    // descriptor), and what is printed to it, or what Qt warns of, would land there.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF
            && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}

FileError readWholeFile(const QString &path, QByteArray *text, Reading reading)
{
    text->clear();
    if (path.isEmpty())
        return failure(FileError::CannotOpen, QStringLiteral("no file name given"));
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking, a FIFO opens at once and is refused below instead of waiting for a writer.
    const FdCloser file{ ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) };
    struct stat info;
    if (file.fd < 0) {
        const int error = errno;
        if (error == ENAMETOOLONG)
            return failure(FileError::CannotOpen,
                           QStringLiteral("cannot open: the path is too long for this system "
                                          "(%1 bytes)")
                                   .arg(name.size()));
        // A socket cannot be opened at all: told for what it is, not by the system's words.
        if (error == ENXIO && ::stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode))
            return notRegular();
        return openFailure(error);
    }
    if (::fstat(file.fd, &info) != 0)
        return openFailure(errno);
    if (S_ISDIR(info.st_mode))
        return folderToRead();
    // A FIFO or device would block the reading or never end; a setup file is a plain file.
    if (!S_ISREG(info.st_mode))
        return notRegular();
    if (info.st_size > kMaxFileSize)
        return tooLarge(info.st_size);
    return readChecked(file.fd, text, path, reading);
}

FileError readRest(QFileDevice *file, QByteArray *text)
{
    const auto *named = qobject_cast<const QFile *>(file);
    return readChecked(file->handle(), text, named ? named->fileName() : QString());
}

FileError writeAll(QFileDevice *file, const QByteArray &text)
{
    const int error =
            file->flush() ? writeFully(file->handle(), text.constData(), text.size()) : EIO;
    if (error != 0)
        return failure(FileError::CannotWrite,
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

FileError SaveFolder::open(const QString &path)
{
    m_path = path;
    const QString folder = QDir::toNativeSeparators(path);
    const QByteArray name = QFile::encodeName(path.isEmpty() ? QStringLiteral(".") : path);
    m_fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (m_fd >= 0 && ::fstat(m_fd, &info) == 0) {
        m_mode = info.st_mode;
        m_uid = info.st_uid;
        m_device = info.st_dev;
        m_locked = lockedAttributes(m_fd) != 0;
        return {};
    }
    const int error = errno;
    switch (error) {
    case ENOENT:
        return folderMissing(folder);
    case ENOTDIR:
        return failure(FileError::CannotWrite, QStringLiteral("%1 is not a folder").arg(folder));
    case ENAMETOOLONG:
        return failure(FileError::CannotWrite,
                       QStringLiteral("the folder's path is too long for this system (%1 bytes)")
                               .arg(name.size()));
    default:
        return failure(
                FileError::CannotWrite,
                QStringLiteral("cannot open the folder %1: %2")
                        .arg(folder, reason(error, QStringLiteral("no permission to open it"))),
                systemCause(error));
    }
}

FileError SaveFolder::sync() const
{
    return syncFolder(m_fd);
}

SaveAttempt::SaveAttempt(const SaveFolder &folder, const QString &relative,
                         const SaveOptions &options)
    : m_folder(folder),
      m_relative(relative),
      m_folders(relative.split(QLatin1Char('/'))),
      m_name(m_folders.takeLast()),
      m_shown(folder.path()),
      m_options(options),
      m_dir(folder.m_fd),
      m_encoded(QFile::encodeName(m_name))
{
}

SaveAttempt::~SaveAttempt()
{
    // Closed first: some network folders (SMB) refuse to remove a file that is open.
    if (m_temporary >= 0)
        ::close(m_temporary);
    if (m_named && !m_placed)
        ::unlinkat(m_dir, m_temporaryName.constData(), 0);
    if (m_dir != m_folder.m_fd)
        ::close(m_dir);
}

FileError SaveAttempt::openParent(bool makeFolders)
{
    QString under;
    for (const QString &part : qAsConst(m_folders)) {
        under += (under.isEmpty() ? QString() : QStringLiteral("/")) + part;
        m_shown = m_folder.filePath(under);
        const QByteArray encoded = QFile::encodeName(part);
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(m_dir, encoded.constData(), flags);
        if (next < 0 && errno == ENOENT && makeFolders
            && (::mkdirat(m_dir, encoded.constData(), 0777) == 0 || errno == EEXIST))
            next = ::openat(m_dir, encoded.constData(), flags);
        if (next < 0 && (errno == ELOOP || errno == ENOTDIR))
            return refused(QStringLiteral("cannot create: %1 is a symbolic link or not a folder; "
                                          "links are not followed")
                                   .arg(QDir::toNativeSeparators(m_shown)));
        if (next < 0)
            return saveFailure(QStringLiteral("cannot create the folder %1")
                                       .arg(QDir::toNativeSeparators(m_shown)),
                               errno, QFileInfo(m_shown).path(), false);
        if (m_dir != m_folder.m_fd)
            ::close(m_dir);
        m_dir = next;
    }
    return {};
}

FileError SaveAttempt::inspectTarget()
{
    if (m_name.isEmpty() || m_name == QLatin1String(".") || m_name == QLatin1String(".."))
        return isFolder();
    struct stat target;
    m_existed = ::fstatat(m_dir, m_encoded.constData(), &target, AT_SYMLINK_NOFOLLOW) == 0;
    if (!m_existed && errno == ENAMETOOLONG)
        return nameTooLong(m_encoded.size());
    if (!m_existed && errno != ENOENT)
        return saveFailure(QStringLiteral("cannot create"), errno, m_shown, false);
    if (!m_existed)
        return {};
    if (S_ISLNK(target.st_mode))
        return isLink();
    if (S_ISDIR(target.st_mode))
        return isFolder();
    if (!S_ISREG(target.st_mode))
        return refused(QStringLiteral("is not a regular file; it is not replaced"));
    if (m_folder.m_kept.contains(keyOf(target))
        || m_folder.m_kept.contains(fileKey(m_folder.filePath(m_relative))))
        return isKept();
    if (FileError folder = inspectFolder(); !folder.ok())
        return folder;
    if (m_options.earlier == SaveOptions::Keep)
        return exists();
    // A file mounted over its name (a bind mount) cannot be renamed over.
    if (target.st_dev != m_dirDevice)
        return refused(QStringLiteral("is a mount point; it is not replaced"));
    m_mode = target.st_mode;
    m_uid = target.st_uid;
    m_gid = target.st_gid;
    // A write-protected file is not replaced, as it would not be written over; root may write
    // any file, so for root a file that nobody may write is write-protected.
    const int access = ::faccessat(m_dir, m_encoded.constData(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
    if (access != 0)
        return keptBecause(reason(access, QStringLiteral("the file is write-protected")),
                           access == EACCES ? FileError::Protected : systemCause(access));
    if ((m_mode & 0222) == 0)
        return keptBecause(QStringLiteral("the file is write-protected"), FileError::Protected);
    // In a folder with the sticky bit (such as /tmp) only a file's owner may replace it.
    const uid_t me = ::geteuid();
    if ((m_dirMode & S_ISVTX) && me != 0 && me != m_uid && me != m_dirUid)
        return keptBecause(QStringLiteral("it belongs to another user, and its folder lets only "
                                          "a file's owner replace it"));
    if (m_dirLocked)
        return keptBecause(QStringLiteral("its folder is append-only or immutable, so no file in "
                                          "it can be replaced"));
    return {};
}

// What the file's folder allows, asked only where a file is to be replaced, so that a new file
// costs nothing more; the held folder was asked once, when it was opened.
FileError SaveAttempt::inspectFolder()
{
    if (m_dir == m_folder.m_fd) {
        m_dirMode = m_folder.m_mode;
        m_dirUid = m_folder.m_uid;
        m_dirDevice = m_folder.m_device;
        m_dirLocked = m_folder.m_locked;
        return {};
    }
    struct stat folder;
    if (::fstat(m_dir, &folder) != 0)
        return saveFailure(QStringLiteral("cannot save"), errno, m_shown, true);
    m_dirMode = folder.st_mode;
    m_dirUid = folder.st_uid;
    m_dirDevice = folder.st_dev;
    m_dirLocked = lockedAttributes(m_dir) != 0;
    return {};
}

// A temporary older than this is a leftover, even where a lock cannot show it: a save that runs
// on another machine, whose lock this one cannot see, has its temporary for a moment only.
constexpr qint64 kLeftoverSeconds = 3600;

FileError SaveAttempt::removeLeftover()
{
    const QByteArray prefix = temporaryPrefix(m_encoded);
    const qint64 now = std::time(nullptr);
    QStringList names;
    if (m_dir == m_folder.m_fd) {
        std::lock_guard<std::mutex> lock(m_folder.m_listing);
        if (!m_folder.m_listed)
            m_folder.m_temporaries =
                    namesBeside().filter(QRegularExpression(QStringLiteral("^\\.tarvik-save-")));
        m_folder.m_listed = true;
        names = m_folder.m_temporaries;
    } else {
        names = namesBeside();
    }
    for (const QString &name : qAsConst(names)) {
        const QByteArray entry = QFile::encodeName(name);
        struct stat named, held;
        if (!entry.startsWith(prefix) || !entry.endsWith(".tmp")
            || ::fstatat(m_dir, entry.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(named.st_mode) || now - named.st_mtim.tv_sec < kLeftoverSeconds)
            continue;
        // Unless a live save here holds it, or it has just been renamed away, it is a leftover.
        const FdCloser left{ ::openat(m_dir, entry.constData(),
                                      O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) };
        if (left.fd >= 0 && ::flock(left.fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(left.fd, &held) == 0
            && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            (void)::unlinkat(m_dir, entry.constData(), 0); // another save may remove it too
    }
    return {};
}

FileError SaveAttempt::claimTemporary()
{
#ifdef O_TMPFILE
    // Where the system has unnamed files, the temporary has no name until it is complete: a
    // killed save leaves nothing behind.
    if (hasUnnamedFiles()) {
        m_temporary = ::openat(m_dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (m_temporary >= 0) {
            m_unnamed = true;
            return {};
        }
    }
#endif
    // A name of its own, which no other save, here or on another machine, takes; locked, so that
    // a save here never takes it for a leftover.
    for (int attempt = 0; m_temporary < 0 && attempt < 8; ++attempt) {
        m_temporaryName = temporaryName(m_encoded);
        m_temporary = ::openat(m_dir, m_temporaryName.constData(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_temporary < 0 && errno != EEXIST)
            return saveFailure(QStringLiteral("cannot create"), errno, m_shown, m_existed);
    }
    if (m_temporary < 0)
        return saveFailure(QStringLiteral("cannot create"), EEXIST, m_shown, m_existed);
    m_named = true;
    (void)::flock(m_temporary, LOCK_EX | LOCK_NB); // a disk without locks has leftovers by age
    return {};
}

// A replaced file keeps what it would keep if it were written over, as cp(1) does: its owner and
// group where the system lets this user give them, and its permissions, but never a set-user-ID
// or set-group-ID bit that would now belong to another owner or group than the one that set it.
// What the new file has already is not given again, and what a disk cannot keep (no modes, or
// none this user may give there) is no reason to refuse: the file is saved as cp and mv save it
// there. A temporary has no set-ID bits of its own, so none is left that was not given here.
// Returns 0 or the errno.
int SaveAttempt::keepAttributes()
{
    struct stat made;
    if (!m_existed)
        return 0;
    if (::fstat(m_temporary, &made) != 0)
        return errno;
    if (m_uid != made.st_uid || m_gid != made.st_gid) {
        if (::fchown(m_temporary, m_uid, m_gid) != 0)
            (void)::fchown(m_temporary, uid_t(-1), m_gid);
        if (::fstat(m_temporary, &made) != 0)
            return errno;
    }
    mode_t mode = m_mode & 07777;
    if (made.st_uid != m_uid)
        mode &= ~S_ISUID;
    if (made.st_gid != m_gid)
        mode &= ~mode_t(S_ISGID);
    if ((made.st_mode & 07777) == mode || ::fchmod(m_temporary, mode) == 0)
        return 0;
    return errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP || errno == EPERM ? 0 : errno;
}

FileError SaveAttempt::writeDurably(const QByteArray &text)
{
    // The attributes after the writing, which would clear a set-user-ID bit of its own accord
    // where this user may not keep it: the bits are the ones given here, whoever saves.
    int error = writeFully(m_temporary, text.constData(), text.size());
    if (error == 0)
        error = keepAttributes();
    if (error == 0 && syncData(m_temporary) != 0)
        error = errno;
    return error == 0 ? FileError{}
                      : saveFailure(QStringLiteral("cannot write"), error, m_shown, m_existed);
}

int SaveAttempt::keepBeside(const QString &backup, bool replace)
{
    // A second name for the earlier file, so that it stays under its own until the new one
    // takes it; where the file system has no such names, it is renamed, never over another file.
    const QByteArray encoded = QFile::encodeName(backup);
    if (replace && ::unlinkat(m_dir, encoded.constData(), 0) != 0 && errno != ENOENT)
        return errno;
    if (::linkat(m_dir, m_encoded.constData(), m_dir, encoded.constData(), 0) == 0)
        return 0;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK)
        return errno;
    int renamed = -1;
#ifdef RENAME_NOREPLACE
    renamed =
            ::renameat2(m_dir, m_encoded.constData(), m_dir, encoded.constData(), RENAME_NOREPLACE);
    if (renamed != 0 && errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    struct stat there;
    if (renamed != 0 && ::fstatat(m_dir, encoded.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (renamed != 0 && ::renameat(m_dir, m_encoded.constData(), m_dir, encoded.constData()) != 0)
        return errno;
    m_movedAside = true;
    return 0;
}

bool SaveAttempt::readBeside(const QString &name, QByteArray *bytes, qint64 size)
{
    // Asked of the name first, so that nothing but a regular file of that size is opened.
    const QByteArray encoded = QFile::encodeName(name);
    struct stat info;
    if (::fstatat(m_dir, encoded.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(info.st_mode) || (size >= 0 && info.st_size != size)
        || info.st_size > kMaxFileSize)
        return false;
    const FdCloser file{ ::openat(m_dir, encoded.constData(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    return file.fd >= 0 && readFully(file.fd, 0, info.st_size + 1, bytes) == 0;
}

QStringList SaveAttempt::namesBeside()
{
    QStringList names;
    const int fd = ::openat(m_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!folder && fd >= 0)
        ::close(fd);
    while (const dirent *entry = folder ? ::readdir(folder) : nullptr)
        names << QFile::decodeName(entry->d_name);
    if (folder)
        ::closedir(folder);
    return names;
}

FileError SaveAttempt::putInPlace()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_temporary);
    if (m_unnamed && !m_existed) {
        // A new file is linked to its name; one that took the name meanwhile is replaced as
        // any existing file is.
        if (::linkat(AT_FDCWD, self.constData(), m_dir, m_encoded.constData(), AT_SYMLINK_FOLLOW)
            == 0) {
            m_placed = true;
            return m_dir != m_folder.m_fd ? syncFolder(m_dir) : FileError{};
        }
        if (errno != EEXIST)
            return saveFailure(QStringLiteral("cannot save"), errno, m_shown, false);
        if (FileError refusal = inspectTarget(); !refusal.ok())
            return refusal;
        if (const int error = keepAttributes())
            return saveFailure(QStringLiteral("cannot save"), error, m_shown, m_existed);
    }
    // A replacement gets a temporary name of its own first, then is renamed over the file.
    for (int attempt = 0; m_unnamed && !m_named && attempt < 8; ++attempt) {
        m_temporaryName = temporaryName(m_encoded);
        m_named = ::linkat(AT_FDCWD, self.constData(), m_dir, m_temporaryName.constData(),
                           AT_SYMLINK_FOLLOW)
                == 0;
        if (!m_named && errno != EEXIST)
            return saveFailure(QStringLiteral("cannot save"), errno, m_shown, m_existed);
    }
    // Closed before it is renamed: some network folders (SMB) refuse to rename an open file.
    ::close(m_temporary);
    m_temporary = -1;
    return m_named ? renameOver()
                   : saveFailure(QStringLiteral("cannot save"), EEXIST, m_shown, m_existed);
}

FileError SaveAttempt::renameOver()
{
    // Once more just before the file is replaced: it may have become a link or an input meanwhile.
    if (FileError refusal = inspectTarget(); !refusal.ok())
        return refusal;
    int error = ::renameat(m_dir, m_temporaryName.constData(), m_dir, m_encoded.constData()) == 0
            ? 0
            : errno;
    if (error != 0) {
        // An append-only or immutable file cannot be renamed over; said so, not as a permission.
        const FdCloser file{ error == EPERM ? ::openat(m_dir, m_encoded.constData(),
                                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY
                                                               | O_CLOEXEC)
                                            : -1 };
        if (lockedAttributes(file.fd) != 0)
            return keptBecause(QStringLiteral("the file is append-only or immutable"),
                               FileError::Protected);
        if (m_existed)
            error = renameAside(error);
    }
    if (error != 0) {
        const QString earlier = !m_aside.isEmpty()
                ? QStringLiteral("the earlier file is now %1")
                          .arg(QDir::toNativeSeparators(shownBeside(m_aside)))
                : m_existed ? QStringLiteral("it keeps its earlier contents")
                            : QStringLiteral("nothing was written");
        return failure(FileError::CannotWrite,
                       QStringLiteral("cannot save: the disk refused to put the new file in place "
                                      "(%1); %2")
                               .arg(systemReason(error), earlier),
                       systemCause(error));
    }
    m_placed = true;
    // Where a file's place in its folder is part of the file itself (FAT keeps its size and first
    // cluster in the folder's entry), the rename reaches the disk with the file, not with the
    // folder: it is synced once more under its name. Elsewhere that costs nothing: its data is
    // on the disk already.
    const FdCloser placed{ ::openat(m_dir, m_encoded.constData(),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    if (placed.fd < 0 || syncData(placed.fd) != 0)
        return failure(FileError::CannotWrite,
                       QStringLiteral("was saved, but could not be synced to disk: %1")
                               .arg(systemReason(errno)));
    return m_dir != m_folder.m_fd ? syncFolder(m_dir) : FileError{};
}

// Where the disk refuses to rename a file over another (an SFTP server without POSIX renames), the
// earlier file leaves its name first, as a backup does, so that the new one takes a free name;
// should that fail, the earlier one is put back. Its aside copy then goes, unless it is the backup
// asked for. Returns 0 or the errno of the rename refused.
int SaveAttempt::renameAside(int refused)
{
    const bool kept = !m_backup.isEmpty();
    QString aside = m_backup;
    if (!kept && keepAsBackup(&aside) != 0)
        return refused;
    const QByteArray encoded = QFile::encodeName(aside);
    // A backup that is a second name (a hard link) left the earlier file under its own too.
    if (!m_movedAside && ::unlinkat(m_dir, m_encoded.constData(), 0) != 0) {
        if (!kept)
            (void)::unlinkat(m_dir, encoded.constData(), 0);
        return refused;
    }
    if (::renameat(m_dir, m_temporaryName.constData(), m_dir, m_encoded.constData()) != 0) {
        // The earlier file takes its name back: as a second name where it has one (the aside
        // name then goes, unless it is the backup asked for), else by a rename; a backup renamed
        // aside is put back by the save. Where that fails too, the failure says where it is.
        const int error = errno;
        if (!m_movedAside
            && ::linkat(m_dir, encoded.constData(), m_dir, m_encoded.constData(), 0) == 0) {
            if (!kept)
                (void)::unlinkat(m_dir, encoded.constData(), 0);
        } else if (!kept && !putBack(aside)) {
            m_aside = aside;
        }
        return error;
    }
    if (!kept)
        (void)::unlinkat(m_dir, encoded.constData(), 0);
    return 0;
}

#ifdef Q_OS_DARWIN
bool SaveAttempt::moveToTrash(QString *inTrash)
{
    return QFile::moveToTrash(m_folder.filePath(m_relative), inTrash);
}
#else
// The freedesktop trash's folder for files of the disk `device`: the home trash where it lies on
// that disk, else the disk's own at its top folder (.Trash/UID where the disk offers a shared
// one, else .Trash-UID). Empty where that one cannot be had, for a file is never copied there.
static QString trashFor(quint64 device, const QString &folder)
{
    const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/Trash");
    // The home trash's disk, as the nearest folder of it that there is tells, where it is not made.
    struct stat info;
    QString there = home;
    while (::stat(QFile::encodeName(there).constData(), &info) != 0
           && there != QFileInfo(there).path())
        there = QFileInfo(there).path();
    if (info.st_dev == device)
        return QDir().mkpath(home + QStringLiteral("/files"))
                        && QDir().mkpath(home + QStringLiteral("/info"))
                ? home
                : QString();
    QString top = QFileInfo(folder).absoluteFilePath();
    for (QString up = QFileInfo(top).path(); up != top; up = QFileInfo(top).path()) {
        if (::stat(QFile::encodeName(up).constData(), &info) != 0 || info.st_dev != device)
            break;
        top = up;
    }
    const QString uid = QString::number(::geteuid());
    const QString shared = top + QStringLiteral("/.Trash");
    QString trash = top + QStringLiteral("/.Trash-") + uid;
    if (::lstat(QFile::encodeName(shared).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && (info.st_mode & S_ISVTX))
        trash = shared + QLatin1Char('/') + uid;
    for (const QString &made :
         { trash, trash + QStringLiteral("/files"), trash + QStringLiteral("/info") }) {
        const QByteArray name = QFile::encodeName(made);
        if ((::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
            || ::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode)
            || info.st_uid != ::geteuid() || info.st_dev != device)
            return QString();
    }
    return trash;
}

// Into the freedesktop trash by a rename, its record written first; a name taken there is
// passed over for the next, a hundred at most, and any other failure ends the try.
bool SaveAttempt::moveToTrash(QString *inTrash)
{
    struct stat file;
    const QString path = QFileInfo(m_folder.filePath(m_relative)).absoluteFilePath();
    const QString trash = ::fstatat(m_dir, m_encoded.constData(), &file, AT_SYMLINK_NOFOLLOW) == 0
            ? trashFor(file.st_dev, QFileInfo(path).path())
            : QString();
    const QByteArray record = "[Trash Info]\nPath=" + QUrl::toPercentEncoding(path, "/")
            + "\nDeletionDate="
            + QDateTime::currentDateTime().toString(Qt::ISODate).left(19).toLatin1() + '\n';
    for (int n = 1; !trash.isEmpty() && n <= 100; ++n) {
        const QString name = n == 1 ? m_name : QStringLiteral("%1.%2").arg(m_name).arg(n);
        const QByteArray info = QFile::encodeName(trash + QStringLiteral("/info/") + name
                                                  + QStringLiteral(".trashinfo")),
                         into = QFile::encodeName(trash + QStringLiteral("/files/") + name);
        const FdCloser written{ ::open(info.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                       0600) };
        struct stat taken;
        if (written.fd < 0 && errno == EEXIST)
            continue;
        if (written.fd < 0 || writeFully(written.fd, record.constData(), record.size()) != 0)
            return false;
        const bool free = ::lstat(into.constData(), &taken) != 0 && errno == ENOENT;
        if (free && ::renameat(m_dir, m_encoded.constData(), AT_FDCWD, into.constData()) == 0) {
            *inTrash = QFile::decodeName(into);
            return true;
        }
        ::unlink(info.constData());
        if (free)
            return false; // the rename failed
    }
    return false;
}
#endif

bool SaveAttempt::putBack(const QString &aside)
{
    return ::renameat(m_dir, QFile::encodeName(aside).constData(), m_dir, m_encoded.constData())
            == 0;
}

QString SaveAttempt::removeTemporary()
{
    if (m_temporary >= 0)
        ::close(m_temporary);
    m_temporary = -1;
    if (!m_named || m_placed || ::unlinkat(m_dir, m_temporaryName.constData(), 0) == 0
        || errno == ENOENT) {
        m_named = false;
        return QString();
    }
    return QFile::decodeName(m_temporaryName);
}
