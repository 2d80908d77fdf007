#include "options.h"

#include "convertcommand.h"
#include "report.h"
#include "wildcards.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace {

int usageError(const QString &problem)
{
    printFailure(problem);
    printLine(stderr, QStringLiteral("Try 'tarvik-convert --help' for more information."));
    return UsageError;
}

// The usage error in what was parsed, if any.
int checkUsage(const QCommandLineParser &parser, const ConvertOptions &options, bool jobsOk,
               const QString &jobs)
{
    if (options.info && (options.hasOutputDir || options.files.isEmpty()))
        return usageError(QStringLiteral("--info takes one or more files and no -d"));
    if (options.info)
        return -1;
    if (!jobsOk || options.jobs < 1)
        return usageError(
                QStringLiteral("--jobs takes a whole number of at least 1, not '%1'").arg(jobs));
    if (options.hasOutputDir) {
        if (parser.values(QStringLiteral("output-dir")).size() > 1)
            return usageError(QStringLiteral("--output-dir is given more than once"));
        if (options.files.isEmpty())
            return usageError(QStringLiteral("--output-dir needs at least one INPUT"));
        if (isStandard(options.outputDir)
            || std::any_of(options.files.begin(), options.files.end(), isStandard))
            return usageError(QStringLiteral(
                    "--output-dir takes files and a folder, not - for standard input or output"));
        return -1;
    }
    if (options.parents)
        return usageError(QStringLiteral("--parents needs -d DIR"));
    if (options.files.size() != 2)
        return usageError(
                QStringLiteral("expected INPUT and OUTPUT, or -d DIR and one or more INPUTs"));
    return -1;
}

// What --help says before the options.
QString description()
{
    return QStringLiteral(
            "Converts old setup files (Intel HEX, 8 virtual inputs) to the new layout (16 virtual "
            "inputs).\n"
            "Without -d, converts INPUT and writes OUTPUT; - stands for standard input or output.\n"
            "With -d, converts each INPUT to DIR/<its file name>, several files at a time; DIR\n"
            "must exist. An existing OUTPUT is replaced, unless it holds an old setup (-f\n"
            "replaces that too, -b keeps it as OUTPUT~); an INPUT never is.\n"
            "\n"
            "A file that is not converted is reported on stderr and the others still are; a batch\n"
            "then ends with a line that counts them.\n"
            "Exit status: 0 when every file was converted, 1 when any was not, 2 for a usage "
            "error.");
}

// Every option tarvik-convert takes, with its help text.
struct KnownOptions
{
    explicit KnownOptions(int defaultJobs)
        : jobs({ QStringLiteral("j"), QStringLiteral("jobs") },
               QStringLiteral("With -d, convert <N> files at a time (default %1, at most %2).")
                       .arg(defaultJobs)
                       .arg(kMaxJobs),
               QStringLiteral("N"))
    {
    }

    // Not Qt's addHelpOption(): its --help-all would print Qt's help, which knows neither the
    // program's name nor its two forms.
    const QCommandLineOption help{ { QStringLiteral("h"), QStringLiteral("help") },
                                   QStringLiteral("Displays this help.") };
    // -v is --verbose, as in most tools; --version has -V.
    const QCommandLineOption version{ { QStringLiteral("V"), QStringLiteral("version") },
                                      QStringLiteral("Displays version information.") };
    const QCommandLineOption outputDir{
        { QStringLiteral("d"), QStringLiteral("output-dir") },
        QStringLiteral("Write each converted file into <DIR>, under its input's file name."),
        QStringLiteral("DIR")
    };
    const QCommandLineOption jobs;
    const QCommandLineOption parents{
        QStringLiteral("parents"),
        QStringLiteral("With -d, write each INPUT to DIR/<its path as given>, making folders as "
                       "needed (sites/A/site.hex to DIR/sites/A/site.hex). A path with '..' that "
                       "leads out of its folder is refused; an absolute one is kept without its "
                       "root.")
    };
    const QCommandLineOption force{
        { QStringLiteral("f"), QStringLiteral("force") },
        QStringLiteral("Replace an existing OUTPUT that holds an old setup too.")
    };
    const QCommandLineOption noClobber{
        { QStringLiteral("n"), QStringLiteral("no-clobber") },
        QStringLiteral("Never replace an existing file: it is named on stderr and counts as not "
                       "converted.")
    };
    const QCommandLineOption backup{
        { QStringLiteral("b"), QStringLiteral("backup") },
        QStringLiteral("Before replacing a file, keep it beside its replacement as <its name>~ "
                       "(an earlier one of that name is replaced); an old setup is then "
                       "replaced too.")
    };
    const QCommandLineOption info{
        QStringLiteral("info"),
        QStringLiteral("Convert nothing: print what each INPUT holds (its layout and its entries' "
                       "names, a line each), or why it is no setup.")
    };
    const QCommandLineOption verbose{
        { QStringLiteral("v"), QStringLiteral("verbose") },
        QStringLiteral("Print a line for every converted file, unless the setup goes to standard "
                       "output.")
    };
};

// --help: Qt's usage line names the path the program was started from, and one form only.
void printHelp(const QCommandLineParser &parser)
{
    const QString help = parser.helpText();
    std::fputs(qPrintable(QStringLiteral("Usage: tarvik-convert [-bfnv] INPUT OUTPUT\n"
                                         "       tarvik-convert [-bfnv] [-j N] [--parents] -d DIR "
                                         "INPUT...\n"
                                         "       tarvik-convert --info FILE...\n")
                          + help.mid(help.indexOf(QLatin1Char('\n')) + 1)),
               stdout);
}

} // namespace

int parseConvertOptions(const QStringList &arguments, ConvertOptions *options)
{
    // A conversion spends most of its time waiting for its file to reach the disk,
    // and the disk gets through several syncs at once sooner than one after another.
    // On a 2-core machine with a virtual disk (bench/run.sh) 4 to 8 conversions per
    // core were fastest, up to 3 times as fast as one at a time, with no steady
    // winner between them; fewer left the disk waiting, 16 per core were slower.
    const int defaultJobs = 4 * QThread::idealThreadCount();
    const KnownOptions known(defaultJobs);
    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addOptions({ known.help, known.version, known.outputDir, known.jobs, known.parents,
                        known.force, known.noClobber, known.backup, known.info, known.verbose });
    parser.addPositionalArgument(
            QStringLiteral("INPUT"),
            QStringLiteral("An old setup file; - for standard input, without -d."));
    parser.addPositionalArgument(
            QStringLiteral("OUTPUT"),
            QStringLiteral("The new setup file to write; - for standard output."));

#ifdef Q_OS_WIN
    // "/?" is how Windows users ask for help.
    if (!parser.parse(QStringList(arguments).replaceInStrings(
                QRegularExpression(QStringLiteral("^/\\?$")), QStringLiteral("--help"))))
#else
    if (!parser.parse(arguments))
#endif
        return usageError(parser.errorText());
    if (parser.isSet(known.help)) {
        printHelp(parser);
        return AllConverted;
    }
    if (parser.isSet(known.version)) {
        printLine(stdout,
                  QCoreApplication::applicationName() + QLatin1Char(' ')
                          + QCoreApplication::applicationVersion());
        return AllConverted;
    }

    options->hasOutputDir = parser.isSet(known.outputDir);
    options->outputDir = options->hasOutputDir ? parser.value(known.outputDir) : QString();
    options->info = parser.isSet(known.info);
    // Without -d the last file is the OUTPUT, a name to create.
    options->files = expandWildcards(parser.positionalArguments(),
                                     options->hasOutputDir || options->info ? 0 : 1);
    options->verbose = parser.isSet(known.verbose);
    options->parents = parser.isSet(known.parents);
    options->force = parser.isSet(known.force);
    options->noClobber = parser.isSet(known.noClobber);
    options->backup = parser.isSet(known.backup);
    bool jobsOk = true;
    options->jobs =
            parser.isSet(known.jobs) ? parser.value(known.jobs).toInt(&jobsOk) : defaultJobs;
    return checkUsage(parser, *options, jobsOk, parser.value(known.jobs));
}
