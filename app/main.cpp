#include "mainwindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    MainWindow window;
    if (const QString usage = window.takeArguments(QApplication::arguments()); !usage.isEmpty()) {
        std::fputs(qPrintable(usage + QLatin1Char('\n')), stderr);
        return 2;
    }
    window.show();
    return app.exec();
}
