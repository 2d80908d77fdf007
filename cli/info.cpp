#include "info.h"

#include "convertcommand.h"
#include "migration.h"
#include "report.h"
#include "setupfile.h"

#include <QDir>

int printInfo(const ConvertOptions &options)
{
    int status = AllConverted;
    for (const QString &file : options.files) {
        const QString name = native(file);
        const SetupFileContents contents =
                faithful(file) ? readSetupFile(file) : SetupFileContents{};
        if (contents.kind != SetupFileContents::OldSetup
            && contents.kind != SetupFileContents::NewSetup) {
            // The loader's message names the file first: the rest says why.
            const QString why = faithful(file)
                    ? contents.problem.message.mid(QDir::toNativeSeparators(file).size())
                    : QStringLiteral(": the file name is not valid in "
                                     "this system's encoding");
            printLine(stdout, name + QStringLiteral(": not a setup") + why);
            status = SomeFailed;
            continue;
        }
        const QStringList names = entryNames(contents.image.constData(), contents.image.size());
        printLine(stdout,
                  name
                          + (contents.kind == SetupFileContents::OldSetup
                                     ? QStringLiteral(": old setup, 8 virtual inputs, %1 entries")
                                     : QStringLiteral(": converted setup, 16 virtual inputs, %1 "
                                                      "entries"))
                                    .arg(names.size()));
        for (int i = 0; i < names.size(); ++i)
            printLine(stdout,
                      QStringLiteral("%1: entry %2: %3").arg(name).arg(i + 1).arg(names[i]));
    }
    return status;
}
