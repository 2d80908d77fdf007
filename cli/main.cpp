#include "convertcommand.h"
#include "readfile.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    if (!openClosedStandardStreams())
        return SomeFailed; // nothing is converted
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVIK_VERSION));
    return runConvertCommand(commandLineArguments(argc, argv));
}
