#include "batch.h"

#include "convertcommand.h"
#include "disk.h"
#include "readfile.h"
#include "report.h"
#include "savefolder.h"
#include "setupfile.h"
#include "wildcards.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#  include <fcntl.h>
#  include <io.h>
#endif

namespace {

// What identifies a file that exists, however it is named (see fileKey); for "-" the regular
// file that standard input or output (`descriptor`) is, where the system tells it.
constexpr int kStandardInput = 0, kStandardOutput = 1;

QString identity(const QString &path, int descriptor = kStandardInput)
{
    return isStandard(path) ? ::fileKey(descriptor) : ::fileKey(path);
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

// The old setup of an input. Safe on any thread: it touches only its own file and image.
SetupError load(const QString &input, QByteArray *image)
{
    if (!faithful(input))
        return { SetupError::BadFile, 0, unfaithful(input) };
    if (isStandard(input)) {
        QFile in;
        if (!openStandard(&in, stdin, QIODevice::ReadOnly))
            return { SetupError::BadFile, 0,
                     QStringLiteral("<stdin>: cannot open: %1").arg(in.errorString()) };
        return loadOldSetup(&in, QStringLiteral("<stdin>"), image);
    }
    if (isWildcardPattern(input))
        return { SetupError::BadFile, 0,
                 QStringLiteral("%1: cannot open: no file matches this name").arg(native(input)) };
    return loadOldSetup(input, image);
}

// Why `output` is not replaced although the save could: it holds an old setup, the one kind of
// file this tool exists to keep, and nothing but -f or a backup says to replace it. Its INPUT is
// an old setup too: most likely a pattern named two sites' files, and a folder converts both.
// Empty where it may be replaced.
QString oldSetupKept(const QString &output, const ConvertOptions &options)
{
    if (!holdsOldSetup(output))
        return QString();
    return QStringLiteral("%1 holds an old setup (8 virtual inputs) that is not converted yet; it "
                          "is not replaced. Both files hold old setups: to convert both, %2. -b "
                          "keeps a copy of it and replaces it; -f replaces it, and the setup it "
                          "holds is lost")
            .arg(native(output),
                 options.hasOutputDir ? QStringLiteral("give another folder with -d")
                                      : QStringLiteral("give a folder: -d DIR, with --parents "
                                                       "where their names are the same"));
}

// How tarvik-convert's options have a save treat an existing file. An old setup is asked about
// by the save itself, only where a file stands at the name; `kept` then says why it was kept.
SaveOptions saveOptions(const ConvertOptions &options, QString *kept)
{
    SaveOptions save(options.noClobber        ? SaveOptions::Keep
                             : options.backup ? SaveOptions::Backup
                                              : SaveOptions::Replace);
    save.backups = options.backups;
    save.suffix = options.suffix;
    save.makeFolders = options.parents;
    if (!options.force && !options.backup)
        save.mayReplace = [&options, kept](const QString &path) {
            *kept = oldSetupKept(path, options);
            return kept->isEmpty()
                    ? FileError{}
                    : FileError{ FileError::CannotWrite, *kept, FileError::Protected };
        };
    return save;
}

struct Job
{
    QString input;
    QString output;    // as messages name it
    QString relative;  // under the batch's folder
    QString failure;   // empty once it is converted
    Replaced earlier;  // what became of the file at the output's name
    bool done = false; // converted or refused, and ready to report
};

void report(const Job &job, bool verbose)
{
    // Standard output carries the setup alone when it is the output.
    if (!job.failure.isEmpty()) {
        printFailure(job.failure);
    } else if (verbose && job.earlier.where == Replaced::Unchanged) {
        printLine(stdout,
                  QStringLiteral("%1 -> %2: already up to date")
                          .arg(displayName(job.input), native(job.output)));
    } else if (verbose && !isStandard(job.output)) {
        printLine(
                stdout,
                QStringLiteral("converted %1 -> %2").arg(displayName(job.input), native(job.output))
                        + (job.earlier.where == Replaced::Beside
                                   ? QStringLiteral("; the earlier file is kept as %1")
                                             .arg(native(job.earlier.path))
                                   : QString()));
    }
}

// Where an input goes under the batch's folder: its file name; with --parents its path as
// given, without its root, as cp --parents has it. Empty for a path that "..", after the
// path is cleaned, would take out of the folder, and for one that names no file.
QString relativeOutput(const QString &input, bool parents)
{
    if (!parents || QFileInfo(input).fileName().isEmpty())
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

// Why an input that has a place under the folder may not take it, or an empty string.
QString conflict(const Job &job, const QString &compared, const QHash<QString, QString> &owners,
                 bool parents, const QSet<QString> &inputKeys)
{
    if (inputKeys.contains(identity(job.output)))
        return QStringLiteral("%1: not converted: its output %2 is one of the files being "
                              "converted")
                .arg(native(job.input), native(job.output));
    const auto owner = owners.constFind(compared);
    if (owner == owners.constEnd())
        return QString();
    return QStringLiteral("%1: not converted: its output %2 is taken by %3, which has the same %4")
            .arg(native(job.input), native(job.output), native(*owner),
                 parents ? QStringLiteral("path")
                         : QStringLiteral("file name (--parents writes each to its path under "
                                          "the folder)"));
}

// Decides where each input goes. An output never replaces one of the inputs (the
// user would lose an old setup that is not converted yet), nor the output of
// another input of the same file name (setups from two folders would silently
// become one): such an input is refused, and of one file name only the first
// input is converted. A file named twice under one file name is converted once.
// With --parents the same holds for the inputs' paths under the folder. An input that
// names no file ("", "dir/") is left to the loader, which says what it is.
std::vector<Job> planFolderJobs(const SaveFolder &folder, const QStringList &inputs, bool parents,
                                const QSet<QString> &inputKeys)
{
    QSet<QString> seen;
    QHash<QString, QString> owners; // output, as the folder's disk compares names -> input
    std::vector<Job> jobs;
    for (const QString &input : inputs) {
        Job job{ input, {}, relativeOutput(input, parents), {}, {} };
        job.output = folder.filePath(job.relative);
        const QString compared = asCompared(folder.path(), job.relative);
        if (!faithful(input)) {
            job.failure = unfaithful(input);
        } else if (job.relative.isEmpty() && !QFileInfo(input).fileName().isEmpty()) {
            job.failure = QStringLiteral("%1: not converted: with --parents its output would "
                                         "lie outside %2 ('..' leads out of it)")
                                  .arg(native(input), native(folder.path()));
        } else if (!job.relative.isEmpty()) {
            if (const QString key = identity(input); !key.isEmpty()) {
                if (seen.contains(key + QLatin1Char('/') + compared))
                    continue;
                seen.insert(key + QLatin1Char('/') + compared);
            }
            job.failure = conflict(job, compared, owners, parents, inputKeys);
            if (job.failure.isEmpty())
                owners.insert(compared, input);
        }
        jobs.push_back(job);
    }
    return jobs;
}

// A file larger than any setup (at most 9.5 KB; this allows for comments) is read by one thread
// at a time, so that memory stays bounded however many threads convert.
constexpr qint64 kLargeFile = 64 * 1024;

// The batch's threads and what they share: the index of the next job, the jobs handed back by a
// thread that ran out of file descriptors, the done flags and the number of threads still
// converting, all under the mutex.
struct Batch
{
    Batch(std::vector<Job> &jobs, const SaveFolder &folder, const ConvertOptions &options)
        : jobs(jobs), folder(folder), options(options)
    {
    }

    std::vector<Job> &jobs;
    const SaveFolder &folder;
    const ConvertOptions &options;
    std::mutex mutex, largeFiles;
    std::condition_variable finished;
    size_t next = 0;
    std::deque<Job *> handedBack;
    int running = 0;

    // The load and save of one job. Returns false where the system had no file descriptor left
    // for it, so that another thread may take it over.
    bool convert(Job &job)
    {
        if (!job.failure.isEmpty())
            return true; // refused when planned
        std::unique_lock<std::mutex> large(largeFiles, std::defer_lock);
        if (QFileInfo(job.input).size() > kLargeFile)
            large.lock();
        QByteArray image;
        SetupError error = load(job.input, &image);
        QString kept;
        if (error.ok())
            error = saveNewSetup(folder, job.relative, image, saveOptions(options, &kept),
                                 &job.earlier);
        if (!error.ok())
            job.failure = kept.isEmpty() ? error.message : kept;
        return error.cause != FileError::NoDescriptors;
    }

    // One thread's work: jobs until none is left. A thread whose job ran out of descriptors
    // hands it back and ends, unless it is the last one converting: the batch goes on with fewer
    // at a time.
    void work()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!handedBack.empty() || next < jobs.size()) {
            Job *job = nullptr;
            if (handedBack.empty()) {
                job = &jobs[next++];
            } else {
                job = handedBack.front();
                handedBack.pop_front();
            }
            lock.unlock();
            const bool converted = convert(*job);
            lock.lock();
            if (!converted && running > 1) {
                job->failure.clear();
                handedBack.push_back(job);
                break;
            }
            job->done = true;
            finished.notify_all();
        }
        --running;
    }
};

// Converts the planned jobs on up to `threads` threads and reports each in the
// order of the inputs, from this thread alone, so that lines never mix. The
// conversions share nothing but the folder they save into (no two outputs are one
// file). A thread holds one file at a time, so memory grows with the threads, not
// with the files. Returns how many files were not converted.
int runFolderJobs(std::vector<Job> &jobs, const ConvertOptions &options, const SaveFolder &folder)
{
    Batch batch(jobs, folder, options);
    const int threads = std::min(options.jobs, kMaxJobs);
    // A thread that the system cannot start leaves the batch to those it did start; with
    // none at all, this thread converts every file before it reports.
    std::vector<std::thread> pool;
    auto count = [&batch](int threads) {
        std::lock_guard<std::mutex> lock(batch.mutex);
        batch.running += threads;
    };
    try {
        while (pool.size() < std::min(size_t(threads), jobs.size())) {
            count(1); // before the thread can look at it
            pool.emplace_back([&batch] { batch.work(); });
        }
    } catch (const std::system_error &) {
        count(-1);
    }
    if (pool.empty()) {
        count(1);
        batch.work();
    }

    int failed = 0;
    for (const Job &job : jobs) {
        {
            std::unique_lock<std::mutex> lock(batch.mutex);
            batch.finished.wait(lock, [&] { return job.done; });
        }
        report(job, options.verbose);
        failed += job.failure.isEmpty() ? 0 : 1;
    }
    for (std::thread &thread : pool)
        thread.join();
    return failed;
}

// The folder of a batch, checked and held open, or the failure's status.
int openFolder(const QString &path, SaveFolder *out)
{
    if (!faithful(path)) {
        printFailure(unfaithful(path) + QStringLiteral("; nothing was converted"));
        return SomeFailed;
    }
    const QFileInfo folder(path);
    if (!folder.isDir()) {
        printFailure(native(path)
                     + (folder.exists() ? QStringLiteral(": not a folder; nothing was converted")
                                        : QStringLiteral(": the folder does not exist; nothing was "
                                                         "converted (make it first with mkdir)")));
        return SomeFailed;
    }
    // Held open, the folder written into is the one checked, whatever becomes of its path.
    if (const FileError opened = out->open(path); !opened.ok()) {
        printFailure(
                QStringLiteral("%1: %2; nothing was converted").arg(native(path), opened.detail));
        return SomeFailed;
    }
    return AllConverted;
}

} // namespace

int convertIntoFolder(const ConvertOptions &options)
{
    SaveFolder out;
    if (const int status = openFolder(options.outputDir, &out); status != AllConverted)
        return status;
    QSet<QString> inputKeys;
    for (const QString &input : options.files) {
        if (const QString key = faithful(input) ? identity(input) : QString(); !key.isEmpty())
            inputKeys.insert(key);
    }
    out.keepUnchanged(inputKeys);
    std::vector<Job> planned = planFolderJobs(out, options.files, options.parents, inputKeys);
    const int failed = runFolderJobs(planned, options, out);
    // The new names reach the disk with the folder, once for the whole batch.
    const FileError synced = out.sync();
    if (!synced.ok())
        printFailure(synced.message(options.outputDir));
    if (failed > 0)
        printFailure(QStringLiteral("%1 of %2 %3 not converted")
                             .arg(failed)
                             .arg(planned.size())
                             .arg(planned.size() == 1 ? QStringLiteral("file")
                                                      : QStringLiteral("files")));
    return failed > 0 || !synced.ok() ? SomeFailed : AllConverted;
}

// INPUT OUTPUT. The output's folder is held open while the output is saved, and the input is
// among the files it never replaces, checked again just before the output takes its place.
int convertOne(const ConvertOptions &options)
{
    const QString input = options.files.at(0), output = options.files.at(1);
    Job job{ input, output, {}, {}, {} };
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
        job.failure = load(input, &image).message;
    }
    if (job.failure.isEmpty() && isStandard(output)) {
        QFile out;
        if (!openStandard(&out, stdout, QIODevice::WriteOnly | QIODevice::Text))
            job.failure = QStringLiteral("<stdout>: cannot open: %1").arg(out.errorString());
        else
            job.failure = saveNewSetup(&out, QStringLiteral("<stdout>"), image).message;
    } else if (job.failure.isEmpty()) {
        QString kept;
        job.failure =
                saveNewSetup(output, image, { inputKey }, saveOptions(options, &kept), &job.earlier)
                        .message;
        if (!kept.isEmpty())
            job.failure = kept;
    }
    report(job, options.verbose);
    return job.failure.isEmpty() ? AllConverted : SomeFailed;
}
