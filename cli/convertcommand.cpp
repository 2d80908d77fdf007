#include "convertcommand.h"

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
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>
#  include <unistd.h>
#endif
#ifdef Q_OS_WIN
#  include <fcntl.h>
#  include <io.h>
#  include <windows.h>
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

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
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

// What identifies a file that exists, however it is named ("a.hex", "../x/a.hex",
// "A.HEX" where case is ignored, a symbolic or a hard link; "-" for the file
// standard input reads, if it is one): its device and inode, or on Windows its
// volume and file index, where the system has them, else its canonical path.
// Empty for a missing file.
QString fileKey(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info;
    if ((isStandard(path) ? ::fstat(STDIN_FILENO, &info)
                          : ::stat(QFile::encodeName(path).constData(), &info))
        != 0)
        return QString();
    return QStringLiteral("%1:%2").arg(qulonglong(info.st_dev)).arg(qulonglong(info.st_ino));
#elif defined(Q_OS_WIN)
    // Opened for no access at all, which no other program's sharing mode refuses.
    const HANDLE file = isStandard(path)
            ? GetStdHandle(STD_INPUT_HANDLE)
            : CreateFileW(reinterpret_cast<const wchar_t *>(native(path).utf16()), 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool found = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (!isStandard(path) && file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!found)
        return QString();
    return QStringLiteral("%1:%2:%3")
            .arg(info.dwVolumeSerialNumber)
            .arg(info.nFileIndexHigh)
            .arg(info.nFileIndexLow);
#else
    return isStandard(path) ? QString() : foldCase(QFileInfo(path).canonicalFilePath());
#endif
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

// The same steps as the window's convert action, and nothing else. Returns the
// failure's message, or an empty string. Safe on any thread: it touches only its
// own files, images and messages, and the layouts and tables it reads are constants.
QString convertFile(const QString &input, const QString &output)
{
    QByteArray image;
    SetupError error;
    if (isStandard(input)) {
        QFile in;
        if (!openStandard(&in, stdin, QIODevice::ReadOnly))
            return QStringLiteral("<stdin>: cannot open: %1").arg(in.errorString());
        error = loadOldSetup(&in, QStringLiteral("<stdin>"), &image);
    } else if (isWildcardPattern(input)) {
        return QStringLiteral("%1: cannot open: no file matches this name").arg(native(input));
    } else {
        error = loadOldSetup(input, &image);
    }
    if (error.ok() && isStandard(output)) {
        QFile out;
        if (!openStandard(&out, stdout, QIODevice::WriteOnly | QIODevice::Text))
            return QStringLiteral("<stdout>: cannot open: %1").arg(out.errorString());
        error = saveNewSetup(&out, QStringLiteral("<stdout>"), image);
    } else if (error.ok()) {
        error = saveNewSetup(output, image);
    }
    return error.ok() ? QString() : error.message;
}

struct Job
{
    QString input;
    QString output;
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

// Decides where each input goes. An output never replaces one of the inputs (the
// user would lose an old setup that is not converted yet), nor the output of
// another input of the same file name (setups from two folders would silently
// become one): such an input is refused, and of one file name only the first
// input is converted. A file named twice under one file name is converted once.
std::vector<Job> planFolderJobs(const QString &folder, const QStringList &inputs)
{
    QSet<QString> inputKeys;
    for (const QString &input : inputs) {
        if (const QString key = fileKey(input); !key.isEmpty())
            inputKeys.insert(key);
    }

    const QDir outputDir(folder);
    QSet<QString> seen;
    QHash<QString, QString>
            nameOwners; // output file name, case-folded where the system ignores case -> its input
    std::vector<Job> jobs;
    for (const QString &input : inputs) {
        const QString name = QFileInfo(input).fileName();
        if (const QString key = fileKey(input); !key.isEmpty()) {
            if (seen.contains(key + QLatin1Char('/') + foldCase(name)))
                continue;
            seen.insert(key + QLatin1Char('/') + foldCase(name));
        }
        Job job{ input, outputDir.filePath(name), {} };
        const auto owner = nameOwners.constFind(foldCase(name));
        if (inputKeys.contains(fileKey(job.output))) {
            job.failure =
                    QStringLiteral(
                            "%1: not converted: its output %2 is one of the files being converted")
                            .arg(native(input), native(job.output));
        } else if (owner != nameOwners.constEnd()) {
            job.failure = QStringLiteral("%1: not converted: its output %2 is taken by %3, which "
                                         "has the same file name")
                                  .arg(native(input), native(job.output), native(*owner));
        } else {
            nameOwners.insert(foldCase(name), input);
        }
        jobs.push_back(job);
    }
    return jobs;
}

// Converts the planned jobs on up to `threads` threads and reports each in the
// order of the inputs, from this thread alone, so that lines never mix. The
// conversions share nothing (see convertFile, and no two outputs are one file);
// the threads share only the index of the next job and the done flags, under the
// mutex. A thread holds one file at a time, so memory grows with the threads,
// not with the files.
bool runFolderJobs(std::vector<Job> &jobs, int threads, bool verbose)
{
    std::mutex mutex;
    std::condition_variable finished;
    size_t next = 0;
    auto work = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (next < jobs.size()) {
            Job &job = jobs[next++];
            lock.unlock();
            if (job.failure.isEmpty())
                job.failure = convertFile(job.input, job.output);
            lock.lock();
            job.done = true;
            finished.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (size_t i = 0; i < qMin(size_t(threads), jobs.size()); ++i)
        pool.emplace_back(work);

    bool allConverted = true;
    for (const Job &job : jobs) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return job.done; });
        }
        report(job, verbose);
        allConverted = allConverted && job.failure.isEmpty();
    }
    for (std::thread &thread : pool)
        thread.join();
    return allConverted;
}

} // namespace

int runConvertCommand(const QStringList &arguments)
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
            "With -d, converts each INPUT to DIR/<its file name>, several files at a time.\n"
            "\n"
            "A file that is not converted is reported on stderr and the others still are.\n"
            "Exit status: 0 when every file was converted, 1 when any was not, 2 for a usage "
            "error."));
    // Not addHelpOption(): its --help-all would print Qt's help, which knows neither
    // the program's name nor its two forms.
    const QCommandLineOption helpOption({ QStringLiteral("h"), QStringLiteral("help") },
                                        QStringLiteral("Displays this help."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption outputDirOption(
            { QStringLiteral("d"), QStringLiteral("output-dir") },
            QStringLiteral("Write each converted file into <DIR>, under its input's file name."),
            QStringLiteral("DIR"));
    const QCommandLineOption jobsOption(
            { QStringLiteral("j"), QStringLiteral("jobs") },
            QStringLiteral("With -d, convert <N> files at a time (default %1).").arg(defaultJobs),
            QStringLiteral("N"));
    const QCommandLineOption verboseOption(
            QStringLiteral("verbose"),
            QStringLiteral("Print a line for every converted file, unless the setup goes to "
                           "standard output."));
    parser.addOptions({ outputDirOption, jobsOption, verboseOption });
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
        std::fputs(qPrintable(QStringLiteral(
                                      "Usage: tarvik-convert [--verbose] INPUT OUTPUT\n"
                                      "       tarvik-convert [--verbose] [-j N] -d DIR INPUT...\n")
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
    const bool verbose = parser.isSet(verboseOption);
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
        const QFileInfo folder(folders.first());
        if (!folder.isDir()) {
            printFailure(QStringLiteral("%1: %2; nothing was converted")
                                 .arg(native(folders.first()),
                                      folder.exists()
                                              ? QStringLiteral("not a folder")
                                              : QStringLiteral("the folder does not exist")));
            return SomeFailed;
        }
        std::vector<Job> planned = planFolderJobs(folders.first(), files);
        return runFolderJobs(planned, jobs, verbose) ? AllConverted : SomeFailed;
    }
    if (files.size() != 2)
        return usageError(
                QStringLiteral("expected INPUT and OUTPUT, or -d DIR and one or more INPUTs"));

    Job job{ files.at(0), files.at(1), {} };
    const QString inputKey = fileKey(job.input);
    if (!inputKey.isEmpty() && !isStandard(job.output) && inputKey == fileKey(job.output)) {
        job.failure =
                QStringLiteral(
                        "%1: not converted: the output %2 is this same file; choose another output")
                        .arg(displayName(job.input), native(job.output));
    } else {
        job.failure = convertFile(job.input, job.output);
    }
    report(job, verbose);
    return job.failure.isEmpty() ? AllConverted : SomeFailed;
}
