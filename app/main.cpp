#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarvik-setup-converter"));
    QApplication::setApplicationVersion(QStringLiteral(TARVIK_VERSION));
    // Empty without Qt's SVG plugins.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarvik-setup-converter.svg")));
    MainWindow window;
    if (const MainWindow::Start start = window.takeArguments(QApplication::arguments());
        start.status >= 0) {
#ifdef Q_OS_WIN
        // Started from Explorer or a shortcut, the window has no console to print to.
        QMessageBox box(start.status == 0 ? QMessageBox::Information : QMessageBox::Warning,
                        window.windowTitle(), start.text);
        box.setTextFormat(Qt::PlainText);
        box.exec();
#else
        std::fputs(qPrintable(start.text + QLatin1Char('\n')), start.status == 0 ? stdout : stderr);
#endif
        return start.status;
    }
    window.show();
    return app.exec();
}
