#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tarvik-setup-converter.svg"))); // empty without Qt's SVG plugins
    MainWindow window;
    window.show();
    return app.exec();
}
