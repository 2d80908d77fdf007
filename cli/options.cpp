#include "options.h"

#include "convertcommand.h"
#include "report.h"
#include "wildcards.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
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

// A path in --help as this system writes it.
QString shown(const char *path)
{
    return QDir::toNativeSeparators(QString::fromLatin1(path));
}

// What --help says before the options.
QString description()
{
    return QStringLiteral(
                   "Converts old setup files (Intel HEX, 8 virtual inputs) to the new layout (16 "
                   "virtual inputs).\n"
                   "Without -d, converts INPUT and writes OUTPUT; - stands for standard input or "
                   "output.\n"
                   "With -d, converts each INPUT to %1, several files at a time; DIR\n"
                   "must exist. An OUTPUT that holds this conversion already is left alone; any "
                   "other\n"
                   "existing OUTPUT is replaced, unless it holds an old setup (-b keeps it as %2 "
                   "and\n"
                   "replaces it; -f replaces it, and the setup it holds is lost). An INPUT never "
                   "is.\n"
                   "\n"
                   "A file that is not converted is reported on stderr and the others still are; "
                   "a batch\n"
                   "then ends with a line that counts them.\n"
                   "Exit status: 0 when every file was converted, 1 when any was not, 2 for a "
                   "usage error.")
            .arg(shown("DIR/<its file name>"), backupName(QStringLiteral("OUTPUT"), QString()));
}

// cp's names for the ways of naming backups (--backup=CONTROL), with none for no backup.
struct BackupControl
{
    const char *name;
    int backups; // a SaveOptions::Backups, or -1 for none
};
constexpr BackupControl kBackupControls[] = {
    { "none", -1 },
    { "off", -1 },
    { "numbered", SaveOptions::Numbered },
    { "t", SaveOptions::Numbered },
    { "existing", SaveOptions::Existing },
    { "nil", SaveOptions::Existing },
    { "simple", SaveOptions::Simple },
    { "never", SaveOptions::Simple },
};

// The control a word names, exactly or by a beginning that names one control only; -2 for none.
int backupControl(const QString &word)
{
    int found = -2;
    for (const BackupControl &control : kBackupControls) {
        if (word == QLatin1String(control.name))
            return control.backups;
        if (!word.isEmpty() && QLatin1String(control.name).startsWith(word))
            found = found == -2 || found == control.backups ? control.backups : -3;
    }
    return found == -3 ? -2 : found;
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
#ifdef Q_OS_WIN
    const QCommandLineOption help{ { QStringLiteral("h"), QStringLiteral("help") },
                                   QStringLiteral("Displays this help; /? too.") };
#else
    const QCommandLineOption help{ { QStringLiteral("h"), QStringLiteral("help") },
                                   QStringLiteral("Displays this help.") };
#endif
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
        QStringLiteral("With -d, write each INPUT to %1, making folders as needed (%2 to %3). A "
                       "path with '..' that leads out of its folder is refused; an absolute one "
                       "is kept without its root.")
                .arg(shown("DIR/<its path as given>"), shown("sites/A/site.hex"),
                     shown("DIR/sites/A/site.hex"))
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
    const QCommandLineOption backupShort{ QStringLiteral("b"),
                                          QStringLiteral("Like --backup=existing.") };
    // Shown as --backup[=CONTROL]: a bare --backup is taken as --backup=existing.
    const QCommandLineOption backup{
        QStringLiteral("backup"),
        QStringLiteral("Before replacing a file, keep it beside its replacement; an old setup is "
                       "then replaced too. CONTROL names the backup: numbered %1, %2 and on; "
                       "simple %3; existing (the default) numbered where the file has numbered "
                       "backups already, else simple; none keeps none. A backup never replaces "
                       "another file: where %3 holds anything but the file kept now, the next "
                       "number is taken.")
                .arg(backupName(QStringLiteral("NAME"), 1), backupName(QStringLiteral("NAME"), 2),
                     backupName(QStringLiteral("NAME"), QString())),
        QStringLiteral("CONTROL")
    };
    const QCommandLineOption suffix{
        { QStringLiteral("S"), QStringLiteral("suffix") },
        QStringLiteral("End a simple backup's name with <SUFFIX> instead of %1 (implies --backup).")
                .arg(backupName(QString(), QString())),
        QStringLiteral("SUFFIX")
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
    const QString help = parser.helpText().replace(QLatin1String("--backup <CONTROL>"),
                                                   QLatin1String("--backup[=CONTROL]"));
    std::fputs(qPrintable(QStringLiteral("Usage: tarvik-convert [-bfnv] INPUT OUTPUT\n"
                                         "       tarvik-convert [-bfnv] [-j N] [--parents] -d DIR "
                                         "INPUT...\n"
                                         "       tarvik-convert --info FILE...\n")
                          + help.mid(help.indexOf(QLatin1Char('\n')) + 1)),
               stdout);
}

// The arguments as the parser takes them: a bare --backup, which takes no CONTROL, is
// --backup=existing, and on Windows "/?", how Windows users ask for help, is --help.
QStringList withBareBackup(QStringList arguments)
{
    for (QString &argument : arguments) {
        if (argument == QLatin1String("--"))
            break;
        if (argument == QLatin1String("--backup"))
            argument = QStringLiteral("--backup=existing");
#ifdef Q_OS_WIN
        if (argument == QLatin1String("/?"))
            argument = QStringLiteral("--help");
#endif
    }
    return arguments;
}

// -b, --backup[=CONTROL] and -S into `options`; a usage error's status, or -1.
int takeBackup(const QCommandLineParser &parser, const KnownOptions &known, ConvertOptions *options)
{
    int control = SaveOptions::Existing;
    if (parser.isSet(known.backup)) {
        control = backupControl(parser.value(known.backup));
        if (control == -2)
            return usageError(QStringLiteral("--backup takes none, numbered, existing or simple, "
                                             "not '%1'")
                                      .arg(parser.value(known.backup)));
    }
    options->suffix = parser.value(known.suffix);
    if (parser.isSet(known.suffix)
        && (options->suffix.isEmpty()
            || QDir::fromNativeSeparators(options->suffix).contains(QLatin1Char('/'))))
        return usageError(QStringLiteral("--suffix takes one or more characters and no folder "
                                         "separator, not '%1'")
                                  .arg(options->suffix));
    options->backup = control >= 0
            && (parser.isSet(known.backupShort) || parser.isSet(known.backup)
                || parser.isSet(known.suffix));
    options->backups = SaveOptions::Backups(qMax(control, 0));
    return -1;
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
                        known.force, known.noClobber, known.backupShort, known.backup, known.suffix,
                        known.info, known.verbose });
    parser.addPositionalArgument(
            QStringLiteral("INPUT"),
            QStringLiteral("An old setup file; - for standard input, without -d."));
    parser.addPositionalArgument(
            QStringLiteral("OUTPUT"),
            QStringLiteral("The new setup file to write; - for standard output."));

    if (!parser.parse(withBareBackup(arguments)))
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
    if (const int status = takeBackup(parser, known, options); status >= 0)
        return status;
    bool jobsOk = true;
    options->jobs =
            parser.isSet(known.jobs) ? parser.value(known.jobs).toInt(&jobsOk) : defaultJobs;
    return checkUsage(parser, *options, jobsOk, parser.value(known.jobs));
}
