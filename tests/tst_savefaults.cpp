// Saving when things go wrong: the disk fills up mid-write, the folder is missing
// or read-only, the target is a folder or a FIFO, the output is the input. In every
// case the target is afterwards either the complete new file or byte for byte what
// it was, no temporary file stays in the folder, the user gets a message, and the
// next conversion succeeds.
//
// Each conversion runs in a child process, so that a file-size limit or another
// user can be imposed on it: either this program re-invoked as
// `tst_savefaults --convert INPUT OUTPUT` (loadOldSetup and saveNewSetup, the core
// as both front ends call it) or the tarvik-convert executable.

#include "intelhex.h"
#include "migration.h"
#include "setupfile.h"

#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

enum Fault {
    DiskFull,          // a file-size limit of `limitBlocks` 512-byte blocks
    MissingFolder,     // the output's folder does not exist
    TargetIsFolder,
    TargetIsFifo,
    TargetLinksToFifo,
    ReadOnlyFolder,
    OutputIsInput,     // not a failure: the input is replaced by its conversion
};

QByteArray oldImage()
{
    QByteArray image(kOldSetupSize, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + i / 256);
    return image;
}

// The text a conversion of oldImage() writes, with "\n" line ends.
QByteArray convertedText()
{
    QByteArray newImage(kNewSetupSize, '\0');
    migrateSetupImage(oldImage().constData(), newImage.data());
    return formatHexImage(newImage.constData(), newImage.size());
}

// Every entry below `root`, by relative path: a file by its bytes (a large one by
// its size), anything else by its kind. FIFOs are never opened: that would block.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            entries[name] = "link to " + info.symLinkTarget().toUtf8();
        } else if (info.isDir()) {
            entries[name] = "folder";
        } else if (info.isFile() && info.size() > (1 << 20)) {
            entries[name] = QByteArray::number(info.size()) + " bytes";
        } else if (info.isFile()) {
            QFile file(info.filePath());
            entries[name] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
        } else {
            entries[name] = "special";
        }
    }
    return entries;
}

int convertChild(const QString &input, const QString &output)
{
    QByteArray image;
    SetupError error = loadOldSetup(input, &image);
    if (error.ok())
        error = saveNewSetup(output, image);
    if (error.ok())
        return 0;
    std::fprintf(stderr, "%s\n", qPrintable(error.message));
    return 1;
}

struct Run {
    bool finished = false;
    int exitCode = -1;
    QString errors;
};

} // namespace

class TestSaveFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faultLeavesTargetIntact_data();
    void faultLeavesTargetIntact();
    void refusesInputsThatAreNotFiles_data();
    void refusesInputsThatAreNotFiles();

private:
    // The conversion as `tool` ("core" or "cli") does it, below `prefix` (a wrapper
    // command that imposes the fault and then runs its arguments), if any.
    Run convert(const QString &tool, const QString &input, const QString &output, const QStringList &prefix = {});
    // Converts and checks the output is the complete new file; the caller looks at
    // QTest::currentTestFailed() afterwards.
    void checkConverted(const QString &tool, const QString &input, const QString &output);

    QByteArray m_oldText;
    QByteArray m_newText;
};

void TestSaveFaults::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("the faults are imposed with POSIX file-size limits, FIFOs and users");
#endif
    m_oldText = formatHexImage(oldImage().constData(), kOldSetupSize);
    m_newText = convertedText();
}

Run TestSaveFaults::convert(const QString &tool, const QString &input, const QString &output, const QStringList &prefix)
{
    QStringList command = prefix;
    if (tool == QLatin1String("core"))
        command << QCoreApplication::applicationFilePath() << QStringLiteral("--convert");
    else
        command << QStringLiteral(TARVIK_CONVERT);
    command << input << output;

    QProcess process;
    process.start(command.first(), command.mid(1));
    Run run;
    run.finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    if (!run.finished)
        qWarning("%s did not finish normally: %s", qPrintable(command.join(QLatin1Char(' '))), qPrintable(run.errors));
    return run;
}

void TestSaveFaults::checkConverted(const QString &tool, const QString &input, const QString &output)
{
    const Run run = convert(tool, input, output);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.errors));
    QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors));
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(file.readAll(), m_newText);
}

void TestSaveFaults::faultLeavesTargetIntact_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("limitBlocks");
    QTest::addColumn<bool>("targetExists");   // a regular file is at the output path beforehand

    for (const char *tool : {"core", "cli"}) {
        auto row = [tool](const char *name) -> QTestData & { return QTest::addRow("%s: %s", tool, name) << QString::fromLatin1(tool); };
        row("disk full before the first byte, new file") << int(DiskFull) << 0 << false;
        row("disk full before the first byte, file exists") << int(DiskFull) << 0 << true;
        row("disk full after 2 KB, new file") << int(DiskFull) << 4 << false;
        row("disk full after 4 KB, file exists") << int(DiskFull) << 8 << true;
        row("disk full just before the end, file exists") << int(DiskFull) << 20 << true;
        row("folder missing") << int(MissingFolder) << 0 << false;
        row("target is a folder") << int(TargetIsFolder) << 0 << false;
        row("target is a fifo") << int(TargetIsFifo) << 0 << false;
        row("target links to a fifo") << int(TargetLinksToFifo) << 0 << false;
        row("read-only folder, new file") << int(ReadOnlyFolder) << 0 << false;
        row("read-only folder, file exists") << int(ReadOnlyFolder) << 0 << true;
        row("output is the input") << int(OutputIsInput) << 0 << true;
    }
}

void TestSaveFaults::faultLeavesTargetIntact()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, tool);
    QFETCH(int, fault);
    QFETCH(int, limitBlocks);
    QFETCH(bool, targetExists);

    // root/old.hex is the input; root/out/new.hex the output, with the fault set up around it.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    const QString input = dir.filePath(QStringLiteral("old.hex"));
    const QString folder = dir.filePath(QStringLiteral("out"));
    QString output = folder + QStringLiteral("/new.hex");
    const QByteArray previous = "an earlier setup file that must survive\n";
    auto writeFile = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(writeFile(input, m_oldText));
    QVERIFY(QDir().mkdir(folder));
    // A read-only folder would keep QTemporaryDir from removing it after a failure.
    const auto writable = qScopeGuard([&] { QFile::setPermissions(folder, QFile::permissions(folder) | QFile::WriteOwner); });
    if (targetExists)
        QVERIFY(writeFile(output, fault == OutputIsInput ? m_oldText : previous));

    QStringList prefix;
    switch (Fault(fault)) {
    case DiskFull:
        // A shell sets the limit and ignores SIGXFSZ, so that a write past the
        // limit fails with EFBIG instead of killing the child.
        prefix << QStringLiteral("/bin/sh") << QStringLiteral("-c")
               << QStringLiteral("ulimit -f %1 && trap '' XFSZ && exec \"$@\"").arg(limitBlocks) << QStringLiteral("sh");
        break;
    case MissingFolder:
        output = folder + QStringLiteral("/missing/new.hex");
        break;
    case TargetIsFolder:
        QVERIFY(QDir().mkpath(output));
        QVERIFY(writeFile(output + QStringLiteral("/kept.txt"), previous));
        break;
    case TargetIsFifo:
        QCOMPARE(::mkfifo(QFile::encodeName(output).constData(), 0644), 0);
        break;
    case TargetLinksToFifo:
        QCOMPARE(::mkfifo(QFile::encodeName(folder + QStringLiteral("/pipe")).constData(), 0644), 0);
        QVERIFY(QFile::link(QStringLiteral("pipe"), output));
        break;
    case ReadOnlyFolder:
        if (::geteuid() == 0) {
            // Root writes anywhere: the child runs as nobody, who owns none of this.
            const passwd *user = ::getpwnam("nobody");
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (!user || setpriv.isEmpty())
                QSKIP("running as root, and there is no user nobody or no setpriv to run the child as another user");
            prefix << setpriv << QStringLiteral("--reuid=%1").arg(user->pw_uid) << QStringLiteral("--regid=%1").arg(user->pw_gid)
                   << QStringLiteral("--clear-groups") << QStringLiteral("--");
            QVERIFY(QFile::setPermissions(root, QFile::permissions(root) | QFile::ReadOther | QFile::ExeOther));
        }
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        break;
    case OutputIsInput:
        break;
    }
    const QString source = fault == OutputIsInput ? output : input;
    auto before = snapshot(root);

    const Run run = convert(tool, source, output, prefix);
    QVERIFY2(run.finished, qPrintable(run.errors));
    auto after = snapshot(root);
    if (fault == OutputIsInput) {
        QVERIFY2(run.exitCode == 0 && run.errors.isEmpty(), qPrintable(run.errors));
        before[QStringLiteral("out/new.hex")] = m_newText;
        QCOMPARE(after, before);
    } else {
        QCOMPARE(run.exitCode, 1);
        // One line that names the file; a sanitizer report would be more.
        QVERIFY2(run.errors.count(QLatin1Char('\n')) == 1, qPrintable(run.errors));
        QVERIFY2(run.errors.contains(QStringLiteral("new.hex")), qPrintable(run.errors));
        QCOMPARE(after, before);
    }

    // The fault lifted, converting again works: to a new file beside the target,
    // and where the target is a regular file or none, to the target itself.
    if (fault == ReadOnlyFolder)
        QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::WriteOwner));
    checkConverted(tool, input, folder + QStringLiteral("/next.hex"));
    if (QTest::currentTestFailed())
        return;
    if (fault == DiskFull || fault == ReadOnlyFolder || fault == OutputIsInput) {
        checkConverted(tool, input, output);
        if (QTest::currentTestFailed())
            return;
    }
    before[QStringLiteral("out/next.hex")] = m_newText;
    if (fault == DiskFull || fault == ReadOnlyFolder)
        before[QStringLiteral("out/new.hex")] = m_newText;
    QCOMPARE(snapshot(root), before);
#endif
}

// Not a save fault, but what a picked input can do to the save that follows: a
// FIFO would block the reading for ever, a video would be read whole. Neither may
// hang the tool or leave an output.
void TestSaveFaults::refusesInputsThatAreNotFiles_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("kind");

    for (const char *tool : {"core", "cli"}) {
        for (const char *kind : {"fifo", "link to a fifo", "folder", "2 GB file"})
            QTest::addRow("%s: %s", tool, kind) << QString::fromLatin1(tool) << QString::fromLatin1(kind);
    }
}

void TestSaveFaults::refusesInputsThatAreNotFiles()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, tool);
    QFETCH(QString, kind);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString input = dir.filePath(QStringLiteral("picked.hex"));
    const QString output = dir.filePath(QStringLiteral("new.hex"));
    if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0644), 0);
    } else if (kind == QLatin1String("link to a fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe"))).constData(), 0644), 0);
        QVERIFY(QFile::link(QStringLiteral("pipe"), input));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(input));
    } else {
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(2) << 30)); // sparse where the file system allows
    }
    const auto before = snapshot(dir.path());

    const Run run = convert(tool, input, output);
    QVERIFY2(run.finished, qPrintable(run.errors));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errors.count(QLatin1Char('\n')) == 1, qPrintable(run.errors));
    QVERIFY2(run.errors.contains(QStringLiteral("picked.hex")), qPrintable(run.errors));
    QCOMPARE(snapshot(dir.path()), before);

    const QString good = dir.filePath(QStringLiteral("old.hex"));
    QFile file(good);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_oldText) == m_oldText.size());
    file.close();
    checkConverted(tool, good, output);
#endif
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--convert") == 0)
        return convertChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    TestSaveFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_savefaults.moc"
