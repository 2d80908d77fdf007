#include "mainwindow.h"
#include "readfile.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char **argv)
{
    if (!openClosedStandardStreams())
        return 1;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 scales a window by the screen's factor (150 % on most Windows laptops) only when
    // told, and draws icons sharp at that scale only when told too; Qt 6 does all of this.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // By 1.5 at 150 %, not rounded up to 2 as Qt 5 would.
    QApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
    QApplication::setApplicationName(QStringLiteral("tarvik-setup-converter"));
    QApplication::setApplicationVersion(QStringLiteral(TARVIK_VERSION));
#ifndef Q_OS_WIN
    // --help, --version and a wrong command line are answered before Qt looks for a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    if (const MainWindow::Start start = MainWindow::parseArguments(arguments); start.status >= 0) {
        std::fputs(qPrintable(start.text + QLatin1Char('\n')), start.status == 0 ? stdout : stderr);
        return start.status;
    }
#endif
    QApplication app(argc, argv);
    // Empty without Qt's SVG plugins.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarvik-setup-converter.svg")));
    MainWindow window;
    if (const MainWindow::Start start = window.takeArguments(QApplication::arguments());
        start.status >= 0) {
        // On Windows, started from Explorer or a shortcut, the window has no console to print to.
        QMessageBox box(start.status == 0 ? QMessageBox::Information : QMessageBox::Warning,
                        window.windowTitle(), start.text);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return start.status;
    }
    window.show();
    return app.exec();
}
