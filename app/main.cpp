#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(
            ":/icons/tarvik-setup-converter.svg"))); // empty without Qt's SVG plugins
    MainWindow window;
    if (const QString usage = window.takeArguments(QApplication::arguments()); !usage.isEmpty()) {
        std::fputs(qPrintable(usage + QLatin1Char('\n')), stderr);
        return 2;
    }
    window.show();
    return app.exec();
}
