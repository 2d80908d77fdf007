#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

class ElidedLabel;
class Ui_MainWindow;

// The converter's one window: a field for the old setup file, "Browse..." to
// pick it and "Convert and Save..." to write its conversion where the user says.
// Every failure is shown in a warning box that says first, in plain words, what
// is wrong and what to do, then the core's message; a successful save is shown
// in the status bar until the next action. One local file dropped on the window
// goes into the field.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Takes the program's command line (program name first, as QApplication gives
    // it): at most one old setup file, which goes into the field; nothing is
    // converted. Returns an empty string, or the usage error to print, untouched.
    QString takeArguments(const QStringList &arguments);

public slots:
    // Asks for the old setup file and puts its path into the input field.
    void browseInput();
    // Loads the file named in the input field, asks where to save, and saves
    // the conversion there. A file that cannot be converted is refused before
    // the save dialog opens.
    void convert();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setInputFile(const QString &path);
    void showSaved(const QString &path);
    void showFailure(const QString &problem, const QString &detail = QString());

    Ui_MainWindow *m_ui;
    ElidedLabel *m_saved; // "Saved <file name>" in the status bar, the full path as its tooltip
    // Where each file dialog starts unless told otherwise, per window and in
    // memory only: the open dialog at the file last chosen in it, the save dialog
    // in the folder of the file last chosen in it; the home folder until then.
    QString m_openFile;
    QString m_saveFolder;
};
