// Saving when things go wrong: the disk fills up mid-write, the folder is missing
// or read-only, the target is a folder or a FIFO, the output is the input; and
// inputs that are no files at all. In every case the target is afterwards either
// the complete new file or byte for byte what it was, no temporary file stays
// behind, the user gets one line naming the file, and the next conversion works.
//
// Every conversion is the real tarvik-convert in a child process, so that a
// file-size limit or another user can be imposed on it.

#include "intelhex.h"
#include "migration.h"
#include "testutil.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

struct Run {
    int status = -1; // also when it crashed or hung
    QString errors;
};

static Run convert(const QString &input, const QString &output, QStringList prefix = {})
{
    prefix << QStringLiteral(TARVIK_CONVERT) << input << output;
    QProcess process;
    process.start(prefix.first(), prefix.mid(1));
    const bool finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {finished ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAllStandardError())};
}

static bool makeFifo(const QString &path)
{
#ifdef Q_OS_UNIX
    return ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
#else
    Q_UNUSED(path);
    return false;
#endif
}

class TestSaveFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_input;
    QByteArray m_newText; // what a conversion of m_input writes

    void checkConverts(const QString &output)
    {
        const Run run = convert(m_input, output);
        QVERIFY2(run.status == 0 && run.errors.isEmpty(), qPrintable(run.errors));
        QByteArray written = readFile(output);
        QCOMPARE(written.replace("\r\n", "\n"), m_newText);
    }

private slots:
    void initTestCase()
    {
#ifndef Q_OS_UNIX
        QSKIP("the faults are imposed with POSIX file-size limits, FIFOs and users");
#endif
        const QByteArray oldImage = randomImage(kOldSetupSize, 77);
        QByteArray newImage(kNewSetupSize, '\0');
        migrateSetupImage(oldImage.constData(), newImage.data());
        m_newText = formatHexImage(newImage.constData(), kNewSetupSize);
        m_input = m_dir.filePath(QStringLiteral("old.hex"));
        QVERIFY(writeFile(m_input, formatHexImage(oldImage.constData(), kOldSetupSize)));
    }

    void faultLeavesTargetIntact_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("limitBlocks");    // disk full: the file-size limit, in 512-byte blocks
        QTest::addColumn<bool>("targetExists");  // a regular file is at the output path beforehand

        QTest::newRow("disk full at once, new file") << "disk full" << 0 << false;
        QTest::newRow("disk full after 2 KB, new file") << "disk full" << 4 << false;
        QTest::newRow("disk full just before the end, file exists") << "disk full" << 20 << true;
        QTest::newRow("folder missing") << "missing folder" << 0 << false;
        QTest::newRow("target is a folder") << "folder" << 0 << false;
        QTest::newRow("target is a fifo") << "fifo" << 0 << false;
        QTest::newRow("target links to a fifo") << "link to fifo" << 0 << false;
        QTest::newRow("read-only folder, file exists") << "read-only folder" << 0 << true;
    }

    void faultLeavesTargetIntact()
    {
        QFETCH(QString, fault);
        QFETCH(int, limitBlocks);
        QFETCH(bool, targetExists);

        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("old.hex")); // readable where the child runs as another user
        QVERIFY(QFile::copy(m_input, input));
        const QString folder = dir.filePath(QStringLiteral("out"));
        QString output = folder + QStringLiteral("/new.hex");
        QVERIFY(QDir().mkdir(folder));
        // A read-only folder would keep QTemporaryDir from removing it.
        const auto writable = qScopeGuard([&] { QFile::setPermissions(folder, QFile::permissions(folder) | QFile::WriteOwner); });
        if (targetExists)
            QVERIFY(writeFile(output, "an earlier setup file that must survive\n"));

        QStringList prefix;
        if (fault == QLatin1String("disk full")) {
            // SIGXFSZ ignored: a write past the limit fails with EFBIG instead of killing the child.
            prefix << QStringLiteral("/bin/sh") << QStringLiteral("-c")
                   << QStringLiteral("ulimit -f %1 && trap '' XFSZ && exec \"$@\"").arg(limitBlocks) << QStringLiteral("sh");
        } else if (fault == QLatin1String("missing folder")) {
            output = folder + QStringLiteral("/missing/new.hex");
        } else if (fault == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(output));
            QVERIFY(writeFile(output + QStringLiteral("/kept.txt"), "kept"));
        } else if (fault == QLatin1String("fifo")) {
            QVERIFY(makeFifo(output));
        } else if (fault == QLatin1String("link to fifo")) {
            QVERIFY(makeFifo(folder + QStringLiteral("/pipe")));
            QVERIFY(QFile::link(QStringLiteral("pipe"), output));
        } else if (fault == QLatin1String("read-only folder")) {
#ifdef Q_OS_UNIX
            if (::geteuid() == 0) {
                // Root writes anywhere: the child runs as nobody, who owns none of this.
                const passwd *user = ::getpwnam("nobody");
                const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
                if (!user || setpriv.isEmpty())
                    QSKIP("running as root without a user nobody or setpriv to drop privileges");
                prefix << setpriv << QStringLiteral("--reuid=%1").arg(user->pw_uid) << QStringLiteral("--regid=%1").arg(user->pw_gid)
                       << QStringLiteral("--clear-groups") << QStringLiteral("--");
                QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther));
            }
#endif
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        }
        const auto before = snapshot(dir.path());

        const Run run = convert(input, output, prefix);
        QCOMPARE(run.status, 1);
        // One line that names the file; a sanitizer report would be more.
        QVERIFY2(run.errors.count(QLatin1Char('\n')) == 1 && run.errors.contains(QStringLiteral("new.hex")), qPrintable(run.errors));
        QCOMPARE(snapshot(dir.path()), before);

        // With the fault lifted, converting works again, to the very target where it is a file.
        QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::WriteOwner));
        checkConverts(folder + QStringLiteral("/next.hex"));
        if (fault == QLatin1String("disk full") || fault == QLatin1String("read-only folder"))
            checkConverts(output);
    }

    void replacesItsOwnInput()
    {
        const QString input = m_dir.filePath(QStringLiteral("in-place.hex"));
        QVERIFY(QFile::copy(m_input, input));
        const Run run = convert(input, input);
        QVERIFY2(run.status == 0 && run.errors.isEmpty(), qPrintable(run.errors));
        QByteArray written = readFile(input);
        QCOMPARE(written.replace("\r\n", "\n"), m_newText);
    }

    // A picked input that is no file may neither hang the tool nor leave an output:
    // a FIFO would block the reading for ever, a video would be read whole.
    void refusesInputsThatAreNotFiles_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"fifo", "link to a fifo", "folder", "2 GB file"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    void refusesInputsThatAreNotFiles()
    {
        QFETCH(QString, kind);

        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("picked.hex"));
        if (kind == QLatin1String("fifo")) {
            QVERIFY(makeFifo(input));
        } else if (kind == QLatin1String("link to a fifo")) {
            QVERIFY(makeFifo(dir.filePath(QStringLiteral("pipe"))));
            QVERIFY(QFile::link(QStringLiteral("pipe"), input));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(input));
        } else {
            QFile file(input);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30)); // sparse where the file system allows
        }
        const auto before = snapshot(dir.path());

        const Run run = convert(input, dir.filePath(QStringLiteral("new.hex")));
        QCOMPARE(run.status, 1);
        QVERIFY2(run.errors.count(QLatin1Char('\n')) == 1 && run.errors.contains(QStringLiteral("picked.hex")), qPrintable(run.errors));
        QCOMPARE(snapshot(dir.path()), before);
        checkConverts(dir.filePath(QStringLiteral("new.hex")));
    }
};

QTEST_GUILESS_MAIN(TestSaveFaults)
#include "tst_savefaults.moc"
