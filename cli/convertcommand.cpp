#include "convertcommand.h"

#include "batch.h"
#include "info.h"
#include "options.h"
#include "report.h"
#include "fileerror.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>

QStringList commandLineArguments(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << decodedName(QByteArray(argv[i]));
    return arguments;
#else
    // Windows gives every argument as UTF-16, as the file system names files.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return QCoreApplication::arguments();
#endif
}

int runConvertCommand(const QStringList &arguments)
{
    ConvertOptions options;
    int status = parseConvertOptions(arguments, &options);
    if (status < 0 && options.info)
        status = printInfo(options);
    else if (status < 0)
        status = options.hasOutputDir ? convertIntoFolder(options) : convertOne(options);
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
