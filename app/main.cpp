#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Empty without Qt's SVG plugins.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarvik-setup-converter.svg")));
    MainWindow window;
    if (const QString usage = window.takeArguments(QApplication::arguments()); !usage.isEmpty()) {
#ifdef Q_OS_WIN
        // Started from Explorer or a shortcut, the window has no console to print to.
        QMessageBox::warning(nullptr, window.windowTitle(), usage);
#else
        std::fputs(qPrintable(usage + QLatin1Char('\n')), stderr);
#endif
        return 2;
    }
    window.show();
    return app.exec();
}
