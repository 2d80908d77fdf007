#include "migration.h"
#include "testutil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>

#  include <fcntl.h>
#  include <unistd.h>
#endif

// The real tarvik-convert, run in a fresh folder for every row: its answers, and that nothing
// changed but the files it reports as converted. A row's arguments are words split at blanks; "@"
// is the row's folder (the tool's working folder). A few words say how it runs instead:
//   <name       the file @/name as standard input
//   |name       the same through a pipe
//   many        60 inputs sub/10.hex to sub/69.hex, every 7th refused
//   files=N     at most N file descriptors open at once
//   umask=N     files made with the permissions it leaves
//   inject=...  system calls failing, as strace -e inject=... makes them (fsync:error=EIO)
//   nothreads   too little memory for any thread's stack
//   <&- 1<>@/a.hex >/dev/full $(...) "$(...)"   handed to the shell as written, last

// Calls made to fail, where LeakSanitizer cannot watch (ptrace).
static const char kStrace[] = "env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e ";

static QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(' ', Qt::SkipEmptyParts);
}
// The old setup a test file holds, one for each name. Its first entry's name starts with what
// --info shows as it is, a blank and ~, and what it shows as ?, 0x1F and DEL.
static QByteArray oldSetup(const QString &name)
{
    return randomImage(kOldSetupSize, qHash(name)).replace(131, 4, " ~\x1F\x7F");
}
// A backup's name as this system gives it: NAME~, NAME.~1~ (on Windows NAME.bak, NAME.~1~.bak).
static QString backup(QString name)
{
#ifdef Q_OS_WIN
    name.replace(QRegularExpression("(\\.~\\d+~)$"), "\\1.bak")
            .replace(QRegularExpression("([^~])~$"), "\\1.bak");
#endif
    return name;
}
static QByteArrayList lines(QByteArray text) // with Windows' line ends too
{
    return text.isEmpty() ? QByteArrayList() : text.replace("\r\n", "\n").trimmed().split('\n');
}

class TestCli : public QObject
{
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_dir;

    // The path a row's word names: "@" is the row's folder ("C:\\..." on Windows).
    QString at(QString name) const
    {
        return QDir::toNativeSeparators(name.replace('@', m_dir->path()));
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QDir().mkpath(at("@/sub")) && QDir().mkpath(at("@/out")));
        for (const QString &name : words("a.hex b.hex sub/a.hex"))
            QVERIFY(writeFile(at("@/" + name), oldFile(oldSetup(name))));
        const QByteArray text = oldFile(oldSetup(QString()));
        QVERIFY(writeFile(at("@/checksum.hex"),
                          QByteArray(text).replace(":00000001FF", ":00000001FE")));
        QVERIFY(writeFile(at("@/new.hex"), "an earlier conversion\n"));
        QFile huge(at("@/huge.hex")); // sparse where the file system allows
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(2) << 30));
#ifdef Q_OS_UNIX
        QVERIFY(::link(QFile::encodeName(at("@/a.hex")).constData(),
                       QFile::encodeName(at("@/hard.hex")).constData())
                == 0);
        QVERIFY(QFile::link(at("@/a.hex"), at("@/link.hex")));
        // A name that the system's encoding cannot decode.
        QVERIFY(QDir().mkpath(at("@/odd")));
        QVERIFY(::close(::creat(QFile::encodeName(at("@/odd/")) + "\xFF.hex", 0644)) == 0);
#endif
    }

    // QTemporaryDir cannot remove a name it cannot decode.
    void cleanup()
    {
#ifdef Q_OS_UNIX
        ::unlink(QFile::encodeName(at("@/odd/")) + "\xFF.hex");
#endif
    }

    void converts_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        // How each line on stderr starts after "tarvik-convert: ", in order: the file it names.
        QTest::addColumn<QStringList>("failed");
        // Pairs: an output, and the input it is the conversion of.
        QTest::addColumn<QStringList>("converted");

        // Failures split at "|", outputs and inputs at blanks.
        const char *ab = "out/a.hex a.hex out/b.hex b.hex";
        auto row = [](const char *name, const char *arguments, int status,
                      const QString &failed = "", const char *converted = "") {
            QTest::newRow(name) << words(arguments) << status
                                << failed.split('|', Qt::SkipEmptyParts) << words(converted);
        };
        row("over an earlier output", "-v @/b.hex @/new.hex", 0, "", "new.hex b.hex");
        row("bad checksum", "@/checksum.hex @/new.hex", 1, "@/checksum.hex");
        row("batch, one bad", "--verbose -d @/out @/a.hex @/checksum.hex @/b.hex", 1,
            "@/checksum.hex|1 of 3 files not converted", ab);
        // An output never replaces an input, nor the output of an earlier input of the same name.
        row("into the inputs' folder", "-d @ @/a.hex @/b.hex", 1,
            "@/a.hex: not converted|@/b.hex: not converted|2 of 2 files not converted");
        row("many, -j 4", "--verbose -j 4 -d @/out many", 1);
        row("same name, two folders", "-d @/out @/sub/a.hex @/a.hex", 1,
            "@/a.hex|1 of 2 files not converted", "out/a.hex sub/a.hex");
        row("--parents", "--parents -d out sub/a.hex a.hex ../x.hex", 1,
            "../x.hex: not converted|1 of 3 files not converted",
            "out/sub/a.hex sub/a.hex out/a.hex a.hex");
        // An old setup is never replaced unasked: see keepsEverySetup.
        row("over an old setup, batch", "-d @ @/sub/a.hex", 1,
            "@/a.hex holds an old setup|1 of 1 file not converted");
        // Inputs that are no setup files, and outputs that cannot be written, change nothing.
        row("input of 2 GB", "@/huge.hex @/out/x.hex", 1, "@/huge.hex: is 2147483648 bytes long");
        row("output ending in /", "@/a.hex @/out/", 1, "@/out/: is a folder");
        row("output in a file, not a folder", "@/a.hex @/b.hex/x.hex", 1,
            "@/b.hex/x.hex: cannot create: @/b.hex is not a folder");
        row("output is the input", "@/a.hex @/sub/../a.hex", 1, "@/a.hex");
        row("stdin is the output", "<a.hex - @/sub/../a.hex", 1, "<stdin>");
        row("bad stdin, nothing on stdout", "<checksum.hex - -", 1, "<stdin>, line 216: ");
        // Patterns as cmd.exe passes them: expanded by the program, sorted; an OUTPUT never.
        row("pattern, sorted", "--verbose -d @/out @/s?b/??.hex many", 1);
        row("pattern matching nothing", "-d @/out @/*.he @/a.hex", 1,
            "@/*.he: cannot open: no file matches|1 of 2 files not", "out/a.hex a.hex");
#ifdef Q_OS_WIN
        row("/? asks for help", "/?", 0);
        row("output is the input in capitals", "@/a.hex @/A.HEX", 1, "@/a.hex");
#endif
#ifdef Q_OS_UNIX
        row("patterns as INPUT and OUTPUT", "@/b*.hex @/a*.hex", 0, "", "a*.hex b.hex");
        row("name not valid in the encoding", "-d @/out @/a.hex $(printf\t'\\377.hex')", 1,
            "\\xFF.hex: the file name is not valid|1 of 2 files not converted", "out/a.hex a.hex");
        row("from a pipe", "|a.hex - @/out/x.hex", 0, "", "out/x.hex a.hex");
        row("a pipe of 2 GB", "|huge.hex - -", 1, "<stdin>: is more than 1048576 bytes long");
        row("stdin closed", "<&- - @/out/x.hex", 1, "<stdin>: holds no setup data");
        row("stdout is the input", "1<>@/a.hex @/a.hex -", 1, "@/a.hex");
        row("output is a hard link to the input", "@/a.hex @/hard.hex", 1, "@/a.hex");
        row("input is a link to the output", "@/link.hex @/a.hex", 1, "@/link.hex");
        row("control characters and an emoji in a name",
            "-d @/out \"$(printf\t'a\\a\\n\\rb\\033\\302\\200\\302\\237\\302\\240"
            "\\360\\237\\222\\200.hex')\"",
            1,
            "a\\a\\n\\rb\\x1B\\u0080\\u009F\u00A0\U0001F480.hex: cannot open|1 of 1 file not "
            "converted");
        row("pattern over an undecodable name", "-d @/out @/odd/*.hex", 1,
            "@/odd/\\xFF.hex: the file name is not valid|1 of 1 file not converted");
        row("input ending in /", "-d @/out @/sub/", 1,
            "@/sub/: is a folder|1 of 1 file not converted");
#endif
#ifdef Q_OS_LINUX
        row("sync fails, earlier output", "inject=fsync,fdatasync:error=EIO @/a.hex @/new.hex", 1,
            "@/new.hex: cannot write: Input/output error; it keeps its "
            "earlier contents");
        row("a new file not linked to its name",
            "inject=linkat:error=EROFS:when=1 @/a.hex @/out/x.hex", 1,
            "@/out/x.hex: cannot save: the disk is read-only; nothing was written");
        row("a folder that may not be made",
            "inject=mkdirat:error=EACCES --parents -d out sub/a.hex", 1,
            "out/sub/a.hex: cannot create the folder out/sub: no permission to write in the folder "
            "out; nothing was written|1 of");
        row("a folder made, its sync failing",
            "inject=fsync:error=EIO\t-P\t$PWD/out/sub --parents -d out sub/a.hex", 1,
            "out/sub/a.hex: was saved, but its folder could not|1 of", "out/sub/a.hex sub/a.hex");
        row("a folder that may not be opened",
            "inject=openat:error=EACCES\t-P\t$PWD/out -d @/out @/a.hex", 1,
            "@/out: cannot open the folder");
        row("a disk failing the second reading",
            "inject=pread64:error=EIO:when=1\t-P\t$PWD/a.hex @/a.hex @/out/x.hex", 1,
            "@/a.hex: cannot read: Input/output error");
        // A replaced file's permissions are given again; a disk that cannot keep any is no reason
        // to refuse, one that fails to is.
        row("chmod fails", "umask=077 inject=fchmod:error=EIO @/a.hex @/new.hex", 1,
            "@/new.hex: cannot write: Input/output error");
        row("chmod refused", "umask=077 inject=fchmod:error=EPERM @/a.hex @/new.hex", 0, "",
            "new.hex a.hex");
        row("input changes while read (/proc)", "/proc/self/io @/out/x.hex", 1,
            "/proc/self/io: changed while it was being read");
        row("stdout full", ">/dev/full @/a.hex -", 1, "<stdout>: cannot write: the disk is full");
        row("--verbose onto a full stdout", ">/dev/full -v @/a.hex @/out/x.hex", 1,
            "<stdout>: cannot write", "out/x.hex a.hex");
#  if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // they need these
        row("few file descriptors, -j 8", "files=8 -j 8 -d @/out many", 1);
        row("no thread to be had", "nothreads -d @/out @/a.hex @/checksum.hex @/b.hex", 1,
            "@/checksum.hex|1 of 3 files not converted", ab);
        row("no thread, no descriptor: not hung",
            "inject=openat:error=EMFILE\t-P\t$PWD/a.hex nothreads -d @/out @/a.hex", 1,
            "@/a.hex: cannot open: Too many|1 of 1");
#  endif
#endif
        // Wrong command lines, one a row; --backup=n is the start of four controls' names.
        for (const char *line : { "", "-d @/out", "-d @/out -d @/sub @/a.hex", "-d @/out - @/a.hex",
                                  "-j 0 -d @/out @/a.hex", "--jobs two -d @/out @/a.hex",
                                  "--backup=bogus @/a.hex @/b.hex", "--backup=n @/a.hex @/b.hex",
                                  "--info -d @/out @/a.hex", "-S x/y @/a.hex @/b.hex" })
            row(qPrintable("usage: " + QString(line)), line, 2);
        row("help", "--help", 0);
        // What files hold, a line each, on stdout; nothing converted.
        row("--info, one no setup", "--info @/a.hex @/checksum.hex", 1);
    }

    void converts()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QStringList, failed);
        QFETCH(QStringList, converted);

        if (int many = arguments.indexOf("many"); many >= 0) {
            arguments.removeAt(many);
            for (int i = 10; i < 70; ++i) {
                const QString name = QString("sub/%1.hex").arg(i);
                QVERIFY(writeFile(at("@/" + name),
                                  i % 7 ? oldFile(oldSetup(name))
                                        : readFile(at("@/checksum.hex"))));
                arguments.insert(many++, "@/" + name);
                i % 7 ? converted << QString("out/%1.hex").arg(i) << name
                      : failed << "@/" + name + ", line 216: ";
            }
            failed << QString("%1 of 60 files not converted").arg(failed.size());
        }
        auto before = snapshot(m_dir->path());

        // The shell runs the tool where a row limits it or redirects its streams.
        QString limits, redirections;
        const QRegularExpression redirection("^([0-9]?(<&|<>|>)|\"?\\$\\()");
        for (const QString &word : arguments.mid(0)) {
            if (word.startsWith("files="))
                limits += "ulimit -n " + word.mid(6) + " && ";
            else if (word.startsWith("umask="))
                limits += "umask " + word.mid(6) + " && ";
            else if (word.startsWith("inject="))
                limits += QString("set -- ") + kStrace + word + " \"$@\" && ";
            else if (word.startsWith('|'))
                limits += "cat " + at("@/" + word.mid(1)) + " | ";
            else if (word == "nothreads")
                limits += "ulimit -s 300000 && ulimit -v 250000 && ";
            else if (word.contains(redirection))
                redirections += ' ' + at(word);
            else
                continue;
            arguments.removeOne(word);
        }
        QStringList command{ QString(TARVIK_CONVERT) };
        if (!limits.isEmpty() || !redirections.isEmpty())
            command = QStringList{ "/bin/sh", "-c", limits + "exec \"$@\"" + redirections, "sh" }
                    + command;
        QProcess process;
        process.setWorkingDirectory(m_dir->path());
        if (arguments.value(0).startsWith('<'))
            process.setStandardInputFile(at("@/" + arguments.takeFirst().mid(1)));
        for (const QString &argument : arguments)
            command << (argument == "/?" ? argument : at(argument)); // "/?" is no path
        const QString program = command.takeFirst();
        process.start(program, command);
        QVERIFY(process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QByteArray stdoutText = process.readAllStandardOutput();
        const QByteArrayList out = lines(stdoutText), err = lines(process.readAllStandardError());
        if (status == 2)
            QVERIFY(err.size() == 2 && err.first().startsWith("tarvik-convert: ")
                    && err.last() == "Try 'tarvik-convert --help' for more information.");
        else
            QCOMPARE(err.size(), failed.size());
        for (int i = 0; i < failed.size(); ++i)
            QVERIFY2(err.at(i).startsWith(
                             "tarvik-convert: "
                             + QDir::toNativeSeparators(at(failed.at(i))).toLocal8Bit()),
                     err.at(i).constData());
        const bool verbose = (arguments.contains("--verbose") || arguments.contains("-v"))
                && !redirections.contains('>');
        QByteArray firstName = oldSetup("a.hex").mid(131, 21).constData(); // entry 1's, as text
        for (char &c : firstName)
            c = c < 0x20 || c > 0x7E ? '?' : c;
        if (arguments.contains("--help") || arguments.contains("/?"))
            QVERIFY(out.value(0).startsWith("Usage: tarvik-convert [")
                    && QString(stdoutText).simplified().contains("at most 64).")
                    && out.value(3).startsWith("Converts old setup files")
                    && out.last().endsWith("OUTPUT                  The new setup file to write; - "
                                           "for standard output."));
        else if (arguments.contains("--info") && status < 2)
            QVERIFY2(out.size() == 50
                             && out[0].endsWith("a.hex: old setup, 8 virtual inputs, 48 entries")
                             && out[1].endsWith("a.hex: entry 1: " + firstName)
                             && out[48].contains("a.hex: entry 48: ")
                             && out.last().contains(
                                     "checksum.hex: not a setup, line 216: checksum is"),
                     stdoutText.constData());
        else
            QCOMPARE(out.size(), verbose ? converted.size() / 2 : 0);

        // Each output holds its input's conversion; nothing else changed.
        auto after = snapshot(m_dir->path());
        for (int i = 0; i < converted.size(); i += 2) {
            QVERIFY(!verbose
                    || out.at(i / 2).startsWith(
                            "converted "
                            + QDir::toNativeSeparators(at("@/" + converted.at(i + 1)))
                                      .toLocal8Bit()));
            if (converted.at(i).count('/') > 1) // a folder made by --parents
                before[QFileInfo(converted.at(i)).path()] = "folder";
            QCOMPARE(before[converted.at(i)] = after.value(converted.at(i)),
                     savedText(newFile(oldSetup(converted.at(i + 1)))));
        }
        QCOMPARE(after, before);
    }

    // What a technician does, run after run, in a folder with two sites' old setups: every file
    // there before keeps its name, every setup is in one, byte for byte, but those -f replaced;
    // --info then finds a setup in every file.
    void keepsEverySetup_data()
    {
        QTest::addColumn<QString>("runs");  // command lines, ";" between them
        QTest::addColumn<QString>("last");  // how the last run's last line ends, stdout or stderr
        QTest::addColumn<int>("status");    // the last run's
        QTest::addColumn<bool>("replaced"); // B's old setup, told to go
        // "A B" is the slip: sites/*/site.hex as the shell gives it, B's old setup as the OUTPUT.
        // A last of "~" or ".X" stands for "kept as sites/B/site.hex~" or "...site.hex.X".
        auto row = [](const char *name, const char *runs, QString last, int status = 0,
                      bool replaced = false) {
            if (last.startsWith('~') || last.startsWith('.'))
                last.prepend("kept as sites/B/site.hex");
            QTest::newRow(name) << QString(runs) << last << status << replaced;
        };
        row("-f as the slip's advice says", "A B; -f A B", "", 0, true);
        row("-b, then -b again", "-b A B; -v -b A B", "already up to date");
        row("-b after another site's -b", "-b A B; -v -b B~ B", ".~1~");
        row("--backup=simple over a different backup",
            "--backup=simple A B; -v --backup=simple B~ B", ".~1~");
        row("--backup=numbered", "--backup=numbered A B; -v --backup=nu B.~1~ B", ".~2~");
        row("-b where numbered backups are", "--backup=t A B; -v --backup B.~1~ B", ".~2~");
        row("--backup=none", "--backup=none A B", "-f replaces it, and the setup it holds is lost",
            1);
        row("--suffix", "-v -S .orig A B", ".orig");
        row("a day: the slip, its retry, a damaged file, two batches, -b",
            "A B; A B; checksum.hex A; -d out A B; --parents -d out A B; -v -b A B", "~");
#ifdef Q_OS_LINUX
        row("-b on a disk without hard links (FAT)", "inject=linkat:error=EPERM:when=1 -v -b A B",
            "~");
        row("-f where a rename over a file is refused (SFTP)",
            "inject=renameat:error=EPERM:when=1 -v -f A B", "-> sites/B/site.hex", 0, true);
        row("-b after another site's -b, on exFAT by FUSE",
            "-b A B; inject=linkat:error=EPERM:when=1..2\t-e\tinject=renameat2:error=EINVAL -v -b "
            "B~ B",
            ".~1~");
        row("-b where the backup holds it already", "-b A B; -b A B~; -v -b B~~ B", "~");
        row("-b where no rename works", "inject=renameat:error=EPERM -b A B",
            "permitted); the earlier file is now sites/B/site.hex~", 1);
        row("-f where no rename works", "inject=renameat:error=EIO -f A B",
            "it keeps its earlier contents", 1);
        row("-f where no rename, nor a second name, works",
            "inject=renameat:error=EIO\t-e\tinject=linkat:error=EIO:when=2+ -f A B",
            "it keeps its earlier contents", 1);
        row("-f where a file is only renamed, and no rename works",
            "inject=renameat:error=EIO:when=1..2\t-e\tinject=linkat:error=EPERM:when=2+ -f A B",
            "it keeps its earlier contents", 1);
#endif
        row("-n over an up-to-date one", "-f A B; -v -n A B", "already up to date", 0, true);
    }

    void keepsEverySetup()
    {
        QFETCH(QString, runs);
        QFETCH(QString, last);
        QFETCH(int, status);
        QFETCH(bool, replaced);
        for (const QString site : { "A", "B" })
            QVERIFY(QDir().mkpath(at("@/sites/" + site))
                    && writeFile(at("@/sites/" + site + "/site.hex"), oldFile(oldSetup(site))));
        const QString sites = at("@/sites");
        const auto before = snapshot(sites);
        QProcess tool;
        tool.setWorkingDirectory(m_dir->path());
        for (const QString &run : runs.split(';')) {
            QStringList arguments = words(run.toLatin1());
            for (QString &word : arguments) // "A" is sites/A/site.hex, "B~" sites/B/site.hex~
                word = backup(word.replace(QRegularExpression("^([AB])"), "sites/\\1/site.hex"));
            QString program = TARVIK_CONVERT;
            if (run.contains("inject=")) { // as in converts(), first
                arguments = words(kStrace) + arguments[0].split('\t') + QStringList(program)
                        + arguments.mid(1);
                program = arguments.takeFirst();
            }
            tool.start(program, arguments);
            QVERIFY(tool.waitForFinished(30000));
        }
        QCOMPARE(tool.exitCode(), status);
        const QByteArrayList said =
                lines(tool.readAllStandardError() + tool.readAllStandardOutput());
        QVERIFY2(said.value(said.size() - 1)
                         .endsWith(QDir::toNativeSeparators(backup(last)).toLatin1()),
                 said.join('\n').constData());
        const auto after = snapshot(sites);
        // No file is left beside them but a backup asked for.
        QVERIFY(runs.contains(QRegularExpression("-[bS] |--backup=(?!none)"))
                || after.keys() == before.keys());
        for (auto file = before.begin(); file != before.end(); ++file)
            QVERIFY2(after.values().contains(file.value())
                                     != (replaced && file.key() == "B/site.hex")
                             && after.contains(file.key()),
                     qPrintable(file.key()));
        QStringList everyFile{ "--info" };
        for (QDirIterator it(sites, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            everyFile << it.next();
        tool.start(TARVIK_CONVERT, everyFile);
        QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
