#include "convertcommand.h"

#include "batch.h"
#include "info.h"
#include "options.h"
#include "report.h"
#include "fileerror.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#  include <fcntl.h>
#  include <unistd.h>
#endif

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
