#include "convertcommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    openClosedStandardDescriptors();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvik-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVIK_VERSION));
    return runConvertCommand(commandLineArguments(argc, argv));
}
