#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Empty without Qt's SVG plugins.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarvik-setup-converter.svg")));
    MainWindow window;
    if (const QString usage = window.takeArguments(QApplication::arguments()); !usage.isEmpty()) {
        std::fputs(qPrintable(usage + QLatin1Char('\n')), stderr);
        return 2;
    }
    window.show();
    return app.exec();
}
