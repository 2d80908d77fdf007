#pragma once

#include <QMainWindow>
#include <QString>

class Ui_MainWindow;

// The converter's one window: a field for the old setup file, "Browse..." to
// pick it and "Convert and Save..." to write its conversion where the user says.
// Every failure is shown in a warning box with the core's message; a successful
// save is announced in the status bar.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    // Asks for the old setup file and puts its path into the input field.
    void browseInput();
    // Loads the file named in the input field, asks where to save, and saves
    // the conversion there. A file that cannot be converted is refused before
    // the save dialog opens.
    void convert();

private:
    void showFailure(const QString &message);

    Ui_MainWindow *m_ui;
    // Where each file dialog starts: the file last chosen in it (its folder, the
    // file proposed), the home folder until then. Per window and in memory only;
    // the two never share a value.
    QString m_openStart;
    QString m_saveStart;
};
