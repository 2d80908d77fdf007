#include "convertcommand.h"

#include "setupfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QVector>

#include <cstdio>

namespace {

void printLine(FILE *stream, const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
}

void printFailure(const QString &message)
{
    printLine(stderr, QStringLiteral("tarvik-convert: ") + message);
}

QString native(const QString &path) { return QDir::toNativeSeparators(path); }

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

// What identifies a file that exists: its canonical path, so that "a.hex",
// "../x/a.hex" and a symbolic link to it are one file. Empty for a missing file.
QString existingFileKey(const QString &path)
{
    return foldCase(QFileInfo(path).canonicalFilePath());
}

// The same steps as the window's convert action, and nothing else. Returns the
// failure's message, or an empty string.
QString convertFile(const QString &input, const QString &output)
{
    QByteArray image;
    SetupError error = loadOldSetup(input, &image);
    if (error.ok())
        error = saveNewSetup(output, image);
    return error.ok() ? QString() : error.message;
}

struct Job {
    QString input;
    QString output;
    QString failure; // empty once it is converted
};

void report(const Job &job, bool verbose)
{
    if (!job.failure.isEmpty())
        printFailure(job.failure);
    else if (verbose)
        printLine(stdout, QStringLiteral("converted %1 -> %2").arg(native(job.input), native(job.output)));
}

// Decides where each input goes. An output never replaces one of the inputs (the
// user would lose an old setup that is not converted yet), nor the output of
// another input of the same file name (setups from two folders would silently
// become one): such an input is refused, and of one file name only the first
// input is converted. An input named twice is converted once.
QVector<Job> planFolderJobs(const QString &folder, const QStringList &inputs)
{
    QSet<QString> inputKeys;
    for (const QString &input : inputs) {
        if (const QString key = existingFileKey(input); !key.isEmpty())
            inputKeys.insert(key);
    }

    const QDir outputDir(folder);
    QSet<QString> seen;
    QHash<QString, QString> nameOwners; // output file name, case-folded where the system ignores case -> its input
    QVector<Job> jobs;
    for (const QString &input : inputs) {
        if (const QString key = existingFileKey(input); !key.isEmpty()) {
            if (seen.contains(key))
                continue;
            seen.insert(key);
        }
        const QString name = QFileInfo(input).fileName();
        Job job{input, outputDir.filePath(name), {}};
        const auto owner = nameOwners.constFind(foldCase(name));
        if (inputKeys.contains(existingFileKey(job.output))) {
            job.failure = QStringLiteral("%1: not converted: its output %2 is one of the files being converted")
                              .arg(native(input), native(job.output));
        } else if (owner != nameOwners.constEnd()) {
            job.failure = QStringLiteral("%1: not converted: its output %2 is taken by %3, which has the same file name")
                              .arg(native(input), native(job.output), native(*owner));
        } else {
            nameOwners.insert(foldCase(name), input);
        }
        jobs.append(job);
    }
    return jobs;
}

// Converts the planned jobs in the order of the inputs and reports each.
bool runFolderJobs(QVector<Job> &jobs, bool verbose)
{
    bool allConverted = true;
    for (Job &job : jobs) {
        if (job.failure.isEmpty())
            job.failure = convertFile(job.input, job.output);
        report(job, verbose);
        allConverted = allConverted && job.failure.isEmpty();
    }
    return allConverted;
}

} // namespace

int runConvertCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts old setup files (Intel HEX, 8 virtual inputs) to the new layout (16 virtual inputs).\n"
        "\n"
        "  tarvik-convert INPUT OUTPUT       converts INPUT and writes OUTPUT\n"
        "  tarvik-convert -d DIR INPUT...    converts each INPUT to DIR/<its file name>\n"
        "\n"
        "A file that is not converted is reported on stderr and the others still are.\n"
        "Exit status: 0 when every file was converted, 1 when any was not, 2 for a usage error."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption outputDirOption({QStringLiteral("d"), QStringLiteral("output-dir")},
                                             QStringLiteral("Write each converted file into <DIR>, under its input's file name."),
                                             QStringLiteral("DIR"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Print a line for every converted file."));
    parser.addOptions({outputDirOption, verboseOption});
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("An old setup file."), QStringLiteral("INPUT..."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"), QStringLiteral("The new setup file to write, without -d."),
                                 QStringLiteral("[OUTPUT]"));

    auto usageError = [&](const QString &problem) {
        printFailure(problem);
        std::fputs(qPrintable(parser.helpText()), stderr);
        return UsageError;
    };

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments); // prints the help with Qt's own options too, and exits
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return AllConverted;
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return AllConverted;
    }

    const QStringList files = parser.positionalArguments();
    const bool verbose = parser.isSet(verboseOption);
    if (parser.isSet(outputDirOption)) {
        const QStringList folders = parser.values(outputDirOption);
        if (folders.size() > 1)
            return usageError(QStringLiteral("--output-dir is given more than once"));
        if (files.isEmpty())
            return usageError(QStringLiteral("--output-dir needs at least one INPUT"));
        if (!QFileInfo(folders.first()).isDir()) {
            printFailure(QStringLiteral("%1: not a folder; nothing was converted").arg(native(folders.first())));
            return SomeFailed;
        }
        QVector<Job> jobs = planFolderJobs(folders.first(), files);
        return runFolderJobs(jobs, verbose) ? AllConverted : SomeFailed;
    }
    if (files.size() != 2)
        return usageError(QStringLiteral("expected INPUT and OUTPUT, or -d DIR and one or more INPUTs"));
    const Job job{files.at(0), files.at(1), convertFile(files.at(0), files.at(1))};
    report(job, verbose);
    return job.failure.isEmpty() ? AllConverted : SomeFailed;
}
