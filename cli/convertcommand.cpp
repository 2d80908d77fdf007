#include "convertcommand.h"

#include "readfile.h"
#include "savefolder.h"
#include "setupfile.h"
#include "wildcards.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#  include <fcntl.h>
#  include <unistd.h>
#endif
#ifdef Q_OS_WIN
#  include <fcntl.h>
#  include <io.h>
#endif

namespace {

// "-" for a file names standard input or output.
bool isStandard(const QString &path)
{
    return path == QLatin1String("-");
}

void printLine(FILE *stream, const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
}

void printFailure(const QString &message)
{
    printLine(stderr, QStringLiteral("tarvik-convert: ") + message);
}

// A byte of a name that the system's encoding cannot decode is kept as a lone surrogate (see
// commandLineArguments): such a name is never handed to the system, which would take it for
// another name.
bool isKeptByte(QChar c)
{
    return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
}

bool faithful(const QString &path)
{
    return std::none_of(path.begin(), path.end(), isKeptByte);
}

// How messages show a path: with the system's separators, and a byte that is not valid in the
// system's encoding as \xFF.
QString native(const QString &path)
{
    QString shown;
    for (const QChar c : QDir::toNativeSeparators(path))
        shown += isKeptByte(c)
                ? QStringLiteral("\\x") + QString::number(c.unicode() - 0xDC00, 16).toUpper()
                : QString(c);
    return shown;
}

QString unfaithful(const QString &path)
{
    return QStringLiteral("%1: the file name is not valid in this system's encoding")
            .arg(native(path));
}

// Windows and macOS file systems ignore case by default, so "A.HEX" and "a.hex"
// there name one file.
QString foldCase(const QString &path)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return path.toCaseFolded();
#else
    return path;
#endif
}

// What identifies a file that exists, however it is named (see the core's fileKey); for "-" the
// regular file that standard input or output (`descriptor`) is, where the system tells it.
constexpr int kStandardInput = 0, kStandardOutput = 1;

QString identity(const QString &path, int descriptor = kStandardInput)
{
    return isStandard(path) ? ::fileKey(descriptor) : ::fileKey(path);
}

// How messages name a file: "<stdin>" for standard input.
QString displayName(const QString &input)
{
    return isStandard(input) ? QStringLiteral("<stdin>") : native(input);
}

// Standard input or output as a file. On Windows the bytes pass untranslated
// (no Ctrl-Z end of input); the writer puts in CR LF line ends itself, as in a
// saved file, when the file is opened as Text.
bool openStandard(QFile *file, FILE *stream, QIODevice::OpenMode mode)
{
#ifdef Q_OS_WIN
    _setmode(_fileno(stream), _O_BINARY);
#endif
    return file->open(stream, mode);
}

// The old setup of an input. Returns the failure's message, or an empty string. Safe on any
// thread: it touches only its own file, image and message.
QString load(const QString &input, QByteArray *image)
{
    if (!faithful(input))
        return unfaithful(input);
    SetupError error;
    if (isStandard(input)) {
        QFile in;
        if (!openStandard(&in, stdin, QIODevice::ReadOnly))
            return QStringLiteral("<stdin>: cannot open: %1").arg(in.errorString());
        error = loadOldSetup(&in, QStringLiteral("<stdin>"), image);
    } else if (isWildcardPattern(input)) {
        return QStringLiteral("%1: cannot open: no file matches this name").arg(native(input));
    } else {
        error = loadOldSetup(input, image);
    }
    return error.ok() ? QString() : error.message;
}

struct Job
{
    QString input;
    QString output;    // as messages name it
    QString relative;  // under the batch's folder
    QString failure;   // empty once it is converted
    bool done = false; // converted or refused, and ready to report
};

void report(const Job &job, bool verbose)
{
    // Standard output carries the setup alone when it is the output.
    if (!job.failure.isEmpty())
        printFailure(job.failure);
    else if (verbose && !isStandard(job.output))
        printLine(stdout,
                  QStringLiteral("converted %1 -> %2")
                          .arg(displayName(job.input), native(job.output)));
}

// Where an input goes under the batch's folder: its file name; with --parents its path as
// given, without its root, as cp --parents has it. Empty for a path that "..", after the
// path is cleaned, would take out of the folder.
QString relativeOutput(const QString &input, bool parents)
{
    if (!parents)
        return QFileInfo(input).fileName();
    QString path = QDir::cleanPath(QDir::fromNativeSeparators(input));
    if (path == QLatin1String("..") || path.startsWith(QLatin1String("../")))
        return QString();
#ifdef Q_OS_WIN
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        path.remove(0, 2); // the drive
#endif
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path;
}

// Decides where each input goes. An output never replaces one of the inputs (the
// user would lose an old setup that is not converted yet), nor the output of
// another input of the same file name (setups from two folders would silently
// become one): such an input is refused, and of one file name only the first
// input is converted. A file named twice under one file name is converted once.
// With --parents the same holds for the inputs' paths under the folder.
std::vector<Job> planFolderJobs(const SaveFolder &folder, const QStringList &inputs, bool parents,
                                const QSet<QString> &inputKeys)
{
    QSet<QString> seen;
    QHash<QString, QString> owners; // output, case-folded where the system ignores case -> input
    std::vector<Job> jobs;
    for (const QString &input : inputs) {
        Job job{ input, {}, relativeOutput(input, parents), {} };
        job.output = folder.filePath(job.relative);
        if (!faithful(input)) {
            job.failure = unfaithful(input);
        } else if (job.relative.isEmpty()) {
            job.failure = QStringLiteral("%1: not converted: with --parents its output would "
                                         "lie outside %2 ('..' leads out of it)")
                                  .arg(native(input), native(folder.path()));
        } else {
            if (const QString key = identity(input); !key.isEmpty()) {
                if (seen.contains(key + QLatin1Char('/') + foldCase(job.relative)))
                    continue;
                seen.insert(key + QLatin1Char('/') + foldCase(job.relative));
            }
            const auto owner = owners.constFind(foldCase(job.relative));
            if (inputKeys.contains(identity(job.output))) {
                job.failure = QStringLiteral("%1: not converted: its output %2 is one of the "
                                             "files being converted")
                                      .arg(native(input), native(job.output));
            } else if (owner != owners.constEnd()) {
                job.failure = QStringLiteral("%1: not converted: its output %2 is taken by %3, "
                                             "which has the same %4")
                                      .arg(native(input), native(job.output), native(*owner),
                                           parents ? QStringLiteral("path")
                                                   : QStringLiteral("file name"));
            } else {
                owners.insert(foldCase(job.relative), input);
            }
        }
        jobs.push_back(job);
    }
    return jobs;
}

// More threads than this gain nothing: the disk is the limit long before.
constexpr size_t kMaxThreads = 64;

// Converts the planned jobs on up to `threads` threads and reports each in the
// order of the inputs, from this thread alone, so that lines never mix. The
// conversions share nothing but the folder they save into (no two outputs are one
// file); the threads share only the index of the next job and the done flags, under
// the mutex. A thread holds one file at a time, so memory grows with the threads,
// not with the files. Returns how many files were not converted.
int runFolderJobs(std::vector<Job> &jobs, int threads, bool verbose, const SaveFolder &folder,
                  bool parents)
{
    std::mutex mutex;
    std::condition_variable finished;
    size_t next = 0;
    auto work = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (next < jobs.size()) {
            Job &job = jobs[next++];
            lock.unlock();
            QByteArray image;
            if (job.failure.isEmpty())
                job.failure = load(job.input, &image);
            if (job.failure.isEmpty())
                job.failure = saveNewSetup(folder, job.relative, image, parents).message;
            lock.lock();
            job.done = true;
            finished.notify_all();
        }
    };
    // A thread that the system cannot start leaves the batch to those it did start; with
    // none at all, this thread converts every file before it reports.
    std::vector<std::thread> pool;
    try {
        while (pool.size() < std::min({ size_t(threads), jobs.size(), kMaxThreads }))
            pool.emplace_back(work);
    } catch (const std::system_error &) {
    }
    if (pool.empty())
        work();

    int failed = 0;
    for (const Job &job : jobs) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return job.done; });
        }
        report(job, verbose);
        failed += job.failure.isEmpty() ? 0 : 1;
    }
    for (std::thread &thread : pool)
        thread.join();
    return failed;
}

// INPUT OUTPUT. The output's folder is held open while the output is saved, and the input is
// among the files it never replaces, checked again just before the output takes its place.
bool convertOne(const QString &input, const QString &output, bool verbose)
{
    Job job{ input, output, {}, {} };
    QByteArray image;
    const QString inputKey = faithful(input) ? identity(input, kStandardInput) : QString();
    if (!faithful(input) || !faithful(output)) {
        job.failure = unfaithful(faithful(input) ? output : input);
    } else if (!inputKey.isEmpty() && inputKey == identity(output, kStandardOutput)) {
        job.failure =
                QStringLiteral(
                        "%1: not converted: the output %2 is this same file; choose another output")
                        .arg(displayName(job.input),
                             isStandard(output) ? QStringLiteral("<stdout>") : native(output));
    } else {
        job.failure = load(input, &image);
    }
    if (job.failure.isEmpty() && isStandard(output)) {
        QFile out;
        if (!openStandard(&out, stdout, QIODevice::WriteOnly | QIODevice::Text))
            job.failure = QStringLiteral("<stdout>: cannot open: %1").arg(out.errorString());
        else
            job.failure = saveNewSetup(&out, QStringLiteral("<stdout>"), image).message;
    } else if (job.failure.isEmpty()) {
        job.failure = saveNewSetup(output, image, { inputKey }).message;
    }
    report(job, verbose);
    return job.failure.isEmpty();
}

} // namespace

void openClosedStandardDescriptors()
{
#ifdef Q_OS_UNIX
    // A closed one would be taken by the next file opened (an output, or Qt's own wake-up
    // descriptor), and what is printed to it would land there. Files on Windows get handles,
    // never these numbers, so there it needs nothing.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF
            && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            ::_exit(SomeFailed); // nothing is safe to write to: nothing is converted
    }
#endif
}

QStringList commandLineArguments(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QByteArray bytes(argv[i]);
        QString decoded = QFile::decodeName(bytes);
        if (QFile::encodeName(decoded) != bytes) {
            decoded.clear();
            for (const char c : bytes) {
                const auto u = static_cast<unsigned char>(c);
                decoded += u < 0x80 ? QChar(u) : QChar(ushort(0xDC00 + u));
            }
        }
        arguments << decoded;
    }
    return arguments;
#else
    // Windows gives every argument as UTF-16, as the file system names files.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return QCoreApplication::arguments();
#endif
}

static int runCommand(const QStringList &arguments)
{
    // A conversion spends most of its time waiting for its file to reach the disk,
    // and the disk gets through several syncs at once sooner than one after another.
    // On a 2-core machine with a virtual disk (bench/run.sh) 4 to 8 conversions per
    // core were fastest, up to 3 times as fast as one at a time, with no steady
    // winner between them; fewer left the disk waiting, 16 per core were slower.
    const int defaultJobs = 4 * QThread::idealThreadCount();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Converts old setup files (Intel HEX, 8 virtual inputs) to the new layout (16 virtual "
            "inputs).\n"
            "Without -d, converts INPUT and writes OUTPUT; - stands for standard input or output.\n"
            "With -d, converts each INPUT to DIR/<its file name>, several files at a time; DIR\n"
            "must exist. An existing OUTPUT is replaced; an INPUT never is.\n"
            "\n"
            "A file that is not converted is reported on stderr and the others still are; a batch\n"
            "then ends with a line that counts them.\n"
            "Exit status: 0 when every file was converted, 1 when any was not, 2 for a usage "
            "error."));
    // Not addHelpOption(): its --help-all would print Qt's help, which knows neither
    // the program's name nor its two forms.
    const QCommandLineOption helpOption({ QStringLiteral("h"), QStringLiteral("help") },
                                        QStringLiteral("Displays this help."));
    parser.addOption(helpOption);
    // -v is --verbose, as in most tools; --version has -V.
    const QCommandLineOption versionOption({ QStringLiteral("V"), QStringLiteral("version") },
                                           QStringLiteral("Displays version information."));
    parser.addOption(versionOption);
    const QCommandLineOption outputDirOption(
            { QStringLiteral("d"), QStringLiteral("output-dir") },
            QStringLiteral("Write each converted file into <DIR>, under its input's file name."),
            QStringLiteral("DIR"));
    const QCommandLineOption jobsOption(
            { QStringLiteral("j"), QStringLiteral("jobs") },
            QStringLiteral("With -d, convert <N> files at a time (default %1, at most %2).")
                    .arg(defaultJobs)
                    .arg(kMaxThreads),
            QStringLiteral("N"));
    const QCommandLineOption verboseOption(
            { QStringLiteral("v"), QStringLiteral("verbose") },
            QStringLiteral("Print a line for every converted file, unless the setup goes to "
                           "standard output."));
    const QCommandLineOption parentsOption(
            QStringLiteral("parents"),
            QStringLiteral("With -d, write each INPUT to DIR/<its path as given>, making folders "
                           "as needed (sites/A/site.hex to DIR/sites/A/site.hex). A path with "
                           "'..' that leads out of its folder is refused; an absolute one is "
                           "kept without its root."));
    parser.addOptions({ outputDirOption, jobsOption, parentsOption, verboseOption });
    parser.addPositionalArgument(
            QStringLiteral("INPUT"),
            QStringLiteral("An old setup file; - for standard input, without -d."));
    parser.addPositionalArgument(
            QStringLiteral("OUTPUT"),
            QStringLiteral("The new setup file to write; - for standard output."));

    auto usageError = [](const QString &problem) {
        printFailure(problem);
        printLine(stderr, QStringLiteral("Try 'tarvik-convert --help' for more information."));
        return UsageError;
    };

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        // Qt's usage line names the path the program was started from, and one form only.
        const QString help = parser.helpText();
        std::fputs(qPrintable(QStringLiteral("Usage: tarvik-convert [-v] INPUT OUTPUT\n"
                                             "       tarvik-convert [-v] [-j N] [--parents] -d DIR "
                                             "INPUT...\n")
                              + help.mid(help.indexOf(QLatin1Char('\n')) + 1)),
                   stdout);
        return AllConverted;
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout,
                  QCoreApplication::applicationName() + QLatin1Char(' ')
                          + QCoreApplication::applicationVersion());
        return AllConverted;
    }

    // Without -d the last file is the OUTPUT, a name to create.
    const QStringList files =
            expandWildcards(parser.positionalArguments(), parser.isSet(outputDirOption) ? 0 : 1);
    const bool verbose = parser.isSet(verboseOption), parents = parser.isSet(parentsOption);
    bool jobsOk = true;
    const int jobs =
            parser.isSet(jobsOption) ? parser.value(jobsOption).toInt(&jobsOk) : defaultJobs;
    if (!jobsOk || jobs < 1)
        return usageError(QStringLiteral("--jobs takes a whole number of at least 1, not '%1'")
                                  .arg(parser.value(jobsOption)));
    if (parser.isSet(outputDirOption)) {
        const QStringList folders = parser.values(outputDirOption);
        if (folders.size() > 1)
            return usageError(QStringLiteral("--output-dir is given more than once"));
        if (files.isEmpty())
            return usageError(QStringLiteral("--output-dir needs at least one INPUT"));
        if (isStandard(folders.first()) || std::any_of(files.begin(), files.end(), isStandard))
            return usageError(QStringLiteral(
                    "--output-dir takes files and a folder, not - for standard input or output"));
        if (!faithful(folders.first())) {
            printFailure(unfaithful(folders.first()) + QStringLiteral("; nothing was converted"));
            return SomeFailed;
        }
        const QFileInfo folder(folders.first());
        if (!folder.isDir()) {
            printFailure(QStringLiteral("%1: %2; nothing was converted")
                                 .arg(native(folders.first()),
                                      folder.exists()
                                              ? QStringLiteral("not a folder")
                                              : QStringLiteral("the folder does not exist")));
            return SomeFailed;
        }
        // Held open, the folder written into is the one checked, whatever becomes of its path.
        SaveFolder out;
        if (const FileError opened = out.open(folders.first()); !opened.ok()) {
            printFailure(QStringLiteral("%1: %2; nothing was converted")
                                 .arg(native(folders.first()), opened.detail));
            return SomeFailed;
        }
        QSet<QString> inputKeys;
        for (const QString &input : files) {
            if (const QString key = faithful(input) ? identity(input) : QString(); !key.isEmpty())
                inputKeys.insert(key);
        }
        out.keepUnchanged(inputKeys);
        std::vector<Job> planned = planFolderJobs(out, files, parents, inputKeys);
        const int failed = runFolderJobs(planned, jobs, verbose, out, parents);
        // The new names reach the disk with the folder, once for the whole batch.
        const FileError synced = out.sync();
        if (!synced.ok())
            printFailure(synced.message(folders.first()));
        if (failed > 0)
            printFailure(QStringLiteral("%1 of %2 %3 not converted")
                                 .arg(failed)
                                 .arg(planned.size())
                                 .arg(planned.size() == 1 ? QStringLiteral("file")
                                                          : QStringLiteral("files")));
        return failed > 0 || !synced.ok() ? SomeFailed : AllConverted;
    }
    if (parents)
        return usageError(QStringLiteral("--parents needs -d DIR"));
    if (files.size() != 2)
        return usageError(
                QStringLiteral("expected INPUT and OUTPUT, or -d DIR and one or more INPUTs"));
    return convertOne(files.at(0), files.at(1), verbose) ? AllConverted : SomeFailed;
}

int runConvertCommand(const QStringList &arguments)
{
    const int status = runCommand(arguments);
    // Lines that never reached standard output (--verbose, --help onto a full disk) fail too.
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (!flushed || std::ferror(stdout)) {
        printFailure(QStringLiteral("<stdout>: cannot write: %1")
                             .arg(flushed ? QStringLiteral("some lines were lost")
                                          : systemReason(error)));
        return qMax(status, int(SomeFailed));
    }
    return status;
}
