#include "readfile.h"
#include "savefolder.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#  include <sys/file.h>
#  include <sys/mount.h>
#  include <sys/resource.h>
#  include <sys/socket.h>
#  include <sys/stat.h>
#  include <sys/un.h>
#  include <sys/wait.h>

#  include <csignal>
#  include <fcntl.h>
#  include <unistd.h>
#endif

// Saving and reading through the system, in this process: what a save leaves behind on every path,
// refusals by their cause, and what a replaced file keeps. Row words: "old" an earlier new.hex
// (0640); "link", "folder", "fifo" at new.hex instead; "readonly" new.hex 0444; "leftover" a killed
// save's temporary an hour old, and one a moment old (maybe another machine's live save); "busy" an
// hour-old one a live save here locks; "held" new.hex open in another program (Windows); "kept"
// new.hex one of the files no save may replace; "owned" new.hex another owner's, set-user-ID, in
// that owner's sticky folder (root only); "appendonly", "appendonlydir" that attribute on new.hex
// or its folder (root only); "limit=N" a file-size limit, as a full disk; "parents" folders made,
// as by --parents; "linkedfolder" linked/ a link to a folder.

static const QByteArray kText = QByteArray(9000, 'x') + '\n';
// How the temporaries of new.hex start.
static const QString kTemporary = ".tarvik-save-5be411056b7d9df4";

class TestSaveFolder : public QObject
{
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // Stages a row's word; false where this system or user cannot.
    bool stage(const QString &word)
    {
        const QString target = path("new.hex");
        const QByteArray encoded = QFile::encodeName(target);
        if (word == "folder")
            return QDir().mkpath(target);
        if (word == "leftover" || word == "busy") {
            QFile left(path(kTemporary + (word == "busy" ? "-00000002.tmp" : ".tmp")));
            return writeFile(path(kTemporary + "-00000001.tmp"), "partial")
                    && left.open(QIODevice::WriteOnly)
                    && left.setFileTime(QDateTime::currentDateTime().addSecs(-3601),
                                        QFileDevice::FileModificationTime);
        }
#ifdef Q_OS_UNIX
        if (word == "link")
            return writeFile(path("other.hex"), "other\n")
                    && QFile::link(path("other.hex"), target);
        if (word == "linkedfolder") // made folders are never followed links
            return QDir().mkpath(path("elsewhere"))
                    && QFile::link(path("elsewhere"), path("linked"));
        if (word == "fifo")
            return ::mkfifo(encoded.constData(), 0644) == 0;
        if (word == "readonly")
            return ::chmod(encoded.constData(), 0444) == 0;
        const QByteArray folder = QFile::encodeName(m_dir->path());
        if (word == "owned")
            return ::geteuid() == 0 && ::chown(encoded.constData(), 65534, 65534) == 0
                    && ::chmod(encoded.constData(), 06750) == 0
                    && ::chown(folder.constData(), 65534, 65534) == 0
                    && ::chmod(folder.constData(), 01777) == 0;
        if (word.startsWith("limit=")) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{ word.mid(6).toULong(), RLIM_INFINITY };
            return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
#endif
#ifdef Q_OS_LINUX
        if (word == "appendonly")
            return ::geteuid() == 0 && setAttribute(target, FS_APPEND_FL, true);
        if (word == "appendonlydir")
            return ::geteuid() == 0 && setAttribute(m_dir->path(), FS_APPEND_FL, true);
#endif
        return word == "kept" || word == "held" || word == "parents";
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
    }

    void cleanup()
    {
#ifdef Q_OS_UNIX
        const rlimit none{ RLIM_INFINITY, RLIM_INFINITY };
        ::setrlimit(RLIMIT_FSIZE, &none);
#endif
#ifdef Q_OS_LINUX
        if (::geteuid() == 0) {
            setAttribute(m_dir->path(), FS_APPEND_FL, false);
            setAttribute(path("new.hex"), FS_APPEND_FL, false);
        }
#endif
    }

    void saves_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("detail"); // how the failure's detail starts; empty: saved
        // Its name, its words, the detail, and the name saved.
        auto row = [](const char *name, const char *words, const char *detail,
                      const QString &saved = "new.hex") {
            QTest::newRow(name) << QString(words) << saved << QString(detail);
        };

        row("new", "", "");
        row("over an earlier one", "old", "");
        row("leftover beside it", "old leftover", "");
        row("a live save beside it", "old busy", "");
        row("a folder", "folder", "is a folder; choose a file name");
        row("no name", "", "is a folder; choose a file name", "");
        row("one of the inputs", "old kept", "is one of the files being converted");
#ifdef Q_OS_WIN
        row("open in another program", "old held", "cannot save: another program is using it");
#endif
        row("in a missing folder", "", "cannot create: the folder", "missing/new.hex");
#ifdef Q_OS_UNIX
        row("name of 255 bytes", "", "", QString(255, 'y'));
        row("name of 256 bytes", "", "cannot create: the file name is too long", QString(256, 'y'));
        row("a link", "link", "is a symbolic link; it is not replaced");
        row("folders made", "parents", "", "made/new.hex");
        row("under a link to a folder", "parents linkedfolder",
            "cannot create: ", "linked/new.hex");
        row("a fifo", "fifo", "is not a regular file");
        row("write-protected", "old readonly", "cannot save: the file is write-protected");
        row("another user's, set-user-ID", "old owned", "");
        row("disk full at once", "limit=0", "cannot write: File too large; nothing was written");
        row("disk full near the end, earlier one", "old limit=8192",
            "cannot write: File too large; it keeps its earlier contents");
#endif
#ifdef Q_OS_LINUX
        row("append-only", "old appendonly", "cannot save: the file is append-only");
        row("append-only folder", "old appendonlydir", "cannot save: its folder is append-only");
        row("in a folder under an append-only one", "old parents appendonlydir", "",
            "made/new.hex");
#endif
    }

    // The saved file is complete, or the file as it was; either way no temporary is left.
    void saves()
    {
        QFETCH(QString, row);
        QFETCH(QString, name);
        QFETCH(QString, detail);

        const QStringList words = row.split(' ', Qt::SkipEmptyParts);
        const QString target = path(name);
        const bool old = words.contains("old");
        QVERIFY(!old
                || (QDir().mkpath(QFileInfo(target).path()) && writeFile(target, "earlier\n")
                    && QFile::setPermissions(
                            target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup)));
#ifdef Q_OS_UNIX
        if (old) // of a group not root's, for a replacement to keep
            (void)::chown(QFile::encodeName(target).constData(), uid_t(-1), 65534);
#endif
        for (const QString &word : words) {
            if (word != "old" && !stage(word))
                QSKIP(qPrintable("cannot stage " + word + " here"));
        }
        QFile busy(path(kTemporary + "-00000002.tmp"));
#ifdef Q_OS_UNIX
        if (words.contains("busy"))
            QVERIFY(busy.open(QIODevice::ReadWrite) && ::flock(busy.handle(), LOCK_EX) == 0);
        struct stat before
        {
        };
        ::stat(QFile::encodeName(target).constData(), &before);
        const uint open = QDir("/proc/self/fd").count();
#else
        if (words.contains("held")) // as an editor holds the file it shows
            busy.setFileName(target);
        if (words.contains("busy") || words.contains("held"))
            QVERIFY(busy.open(QIODevice::ReadOnly));
#endif
        const auto earlier = snapshot(m_dir->path());
        const QSet<QString> kept{ words.contains("kept") ? fileKey(target) : QString() };

        FileError error;
        SaveFolder folder;
        SaveOptions parents;
        parents.makeFolders = true;
        if (words.contains("parents")) // folders made, as by --parents
            error = folder.open(m_dir->path()).ok() ? folder.save(name, kText, parents) : error;
        else
            error = saveFile(target, kText, kept);
        cleanup();
        QVERIFY2(detail.isEmpty() ? error.ok() : error.detail.startsWith(detail),
                 qPrintable(error.detail));
        auto expected = earlier;
        if (error.ok()) {
            expected[name] = kText;
            if (name.contains('/'))
                expected[QFileInfo(name).path()] = "folder";
            expected.remove(kTemporary + ".tmp"); // the hour-old leftover no save holds
        }
        QCOMPARE(snapshot(m_dir->path()), expected);
#ifdef Q_OS_UNIX
        // None left open, but the folder held for folders made.
        QCOMPARE(QDir("/proc/self/fd").count(), open + words.contains("parents"));
        // A replaced file keeps its owner, group and permissions; a new one has the umask's,
        struct stat made;
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (error.ok() && ::stat(QFile::encodeName(target).constData(), &made) == 0) {
            QCOMPARE(made.st_mode & 07777, old ? before.st_mode & 07777 : 0666 & ~mask);
            QVERIFY(!old || (made.st_uid == before.st_uid && made.st_gid == before.st_gid));
            // and a folder made the umask's.
            QVERIFY(!words.contains("parents")
                    || (::stat(QFile::encodeName(path("made")), &made) == 0
                        && ((made.st_mode & 07777) | mask) == 0777));
        }
#endif
    }

#ifdef Q_OS_UNIX
    void replacedByAnotherUser_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<QString>("detail");
        // The new file is that user's, so it must not carry root's bits.
        QTest::newRow("folder anyone may write") << 0777 << "";
        // There only a file's owner may replace it.
        QTest::newRow("sticky folder") << 01777 << "cannot save: it belongs to another user";
    }

    // Another user replacing root's set-user-ID file.
    void replacedByAnotherUser()
    {
        QFETCH(int, folderMode);
        QFETCH(QString, detail);
        if (::geteuid() != 0)
            QSKIP("needs root, to be another user");
        const QString target = path("new.hex");
        const QByteArray encoded = QFile::encodeName(target);
        QVERIFY(writeFile(target, "earlier\n") && ::chmod(encoded.constData(), 06777) == 0
                && ::chmod(QFile::encodeName(m_dir->path()).constData(), mode_t(folderMode)) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const FileError error = saveFile(target, kText);
            ::_exit(detail.isEmpty() ? !error.ok() : !error.detail.startsWith(detail));
        }
        int status = -1;
        QVERIFY(child > 0 && ::waitpid(child, &status, 0) == child);
        QCOMPARE(status, 0);
        struct stat made;
        QVERIFY(::stat(encoded.constData(), &made) == 0);
        QCOMPARE(made.st_uid, detail.isEmpty() ? uid_t(65534) : uid_t(0));
        QCOMPARE(made.st_mode & 07777, detail.isEmpty() ? mode_t(0777) : mode_t(06777));
    }
#endif

#ifdef Q_OS_LINUX
    // A replaced file goes to the home trash where it lies on the file's disk, else to the trash
    // at that disk's top, the shared one where that is sticky; where the trash refuses it, it stays
    // beside.
    void trashOfItsDisk()
    {
        const QString disk = path("disk"), file = disk + "/sub/new.hex", top = disk + "/.Trash";
        if (!QDir().mkpath(disk) || ::mount("t", QFile::encodeName(disk), "tmpfs", 0, nullptr))
            QSKIP("needs root, to mount a disk");
        const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(disk), MNT_DETACH); });
        SaveOptions trash;
        trash.earlier = SaveOptions::Trash;
        Replaced earlier;
        for (const QString &into : { disk + "/home/Trash", top + "-0", top + "/0", file }) {
            QVERIFY(into != top + "/0" || ::mkdir(QFile::encodeName(top), 01777) == 0);
            QVERIFY(into != file || setAttribute(top + "/0/files", FS_IMMUTABLE_FL, true));
            qputenv("XDG_DATA_HOME",
                    QFile::encodeName(into.startsWith(disk + "/home") ? disk + "/home"
                                                                      : path("home")));
            QVERIFY(QDir().mkpath(disk + "/sub") && writeFile(file, "x")
                    && saveFile(file, kText, {}, trash, &earlier).ok());
            QCOMPARE(earlier.path, into == file ? file + "~" : into + "/files/new.hex");
        }
    }
#endif

    void reads_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("detail"); // how the refusal starts; empty: read
        auto row = [](const char *name, const QString &kind, const char *detail = "") {
            QTest::newRow(name) << kind << QString(detail);
        };

        row("largest", "size=1048576");
        row("64 KiB and a byte", "size=65537");
        row("one byte more", "size=1048577", "is 1048577 bytes long");
        row("a folder", "folder", "is a folder, not a setup file");
        row("missing", "", "cannot open: ");
        row("dated in the future", "future");
#ifdef Q_OS_UNIX
        row("a fifo", "fifo", "is not a regular file");
        row("a socket", "socket", "is not a regular file");
        row("a path too long", QString(4097, 'y'),
            "cannot open: the path is too long for this system");
        // A writer pausing between two pieces leaves meanwhile a mix that reads twice the same: a
        // file written a moment ago is watched a little longer.
        row("written again 30 ms later", "rewritten", "changed while it was being read");
        // One still being copied onto the disk grows meanwhile.
        row("grown 30 ms later", "grown", "changed while it was being read");
#endif
    }

    void reads()
    {
        QFETCH(QString, kind);
        QFETCH(QString, detail);

        const QString name = kind.size() > 4096 ? kind : path("in.hex");
        const QByteArray encoded = QFile::encodeName(name);
        QFile file(name);
        if (kind.startsWith("size="))
            QVERIFY(writeFile(name, randomImage(kind.mid(5).toInt(), 1))); // read piece by piece
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(name));
        else if (kind == "future" || kind == "rewritten" || kind == "grown")
            QVERIFY(writeFile(name, kText) && file.open(QIODevice::ReadWrite)
                    && file.seek(kind == "grown" ? kText.size() : 0));
        if (kind == "future") { // and closed: on Windows a file open for writing
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(3600), // is not read
                                     QFileDevice::FileModificationTime));
            file.close();
        }
#ifdef Q_OS_UNIX
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, encoded.constData(), sizeof address.sun_path);
        const int socket = kind == "socket" ? ::socket(AF_UNIX, SOCK_STREAM, 0) : -1;
        QVERIFY(socket < 0
                || ::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(kind != "fifo" || ::mkfifo(encoded.constData(), 0644) == 0);
#endif
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (kind == "rewritten" || kind == "grown") {
                file.write("another setup's first line");
                file.flush();
            }
        });
        QElapsedTimer timer;
        timer.start();
        QByteArray text;
        const FileError error = readWholeFile(name, &text);
        const qint64 took = timer.elapsed();
        writer.join();
#ifdef Q_OS_UNIX
        if (socket >= 0)
            ::close(socket);
#endif
        QVERIFY2(detail.isEmpty() ? error.ok() : error.detail.startsWith(detail),
                 qPrintable(error.detail));
        QCOMPARE(text.isEmpty(), !error.ok());
        // A file dated in the future is read at once: its age, and so its quiet time, is unknown.
        QVERIFY2(kind != "future" || took < 60, qPrintable(QString::number(took)));
    }
};

QTEST_APPLESS_MAIN(TestSaveFolder)
#include "tst_savefolder.moc"
