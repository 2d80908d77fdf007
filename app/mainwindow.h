#pragma once

#include "setupfile.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

class ElidedLabel;
class Ui_MainWindow;

// The converter's one window: a field for the old setup file, "Browse..." to
// pick it and "Convert and Save..." to write its conversion where the user says.
// Every failure is shown in a warning box that says first, in plain words, what
// is wrong, then what to do and the file, and keeps the core's message as its
// details; a save over an existing file first says what the file holds. The
// status bar says where the last save went until the field changes. One local
// file dropped on the window goes into the field.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // What the program's command line (program name first, as QApplication gives
    // it) asks before the window shows. `status` -1: show the window, with the one
    // old setup file named, if any, in the field (nothing is converted). Otherwise
    // exit with `status` after printing `text`: --help and --version (0) to
    // standard output, a usage error (2) to standard error.
    struct Start
    {
        int status = -1;
        QString text;
        QStringList files; // named on the command line: one for the field, or a list
    };
    Start takeArguments(const QStringList &arguments);
    // The same without a window, so that --help and --version need no display.
    static Start parseArguments(const QStringList &arguments);

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
    QString inputPath();
    // One file into the field; several into a list to convert at once.
    void openFiles(const QStringList &files);
    void setInputFile(const QString &path);
    bool confirmReplace(const QString &contents, const QString &input);
    // The status bar's text, with `path` in full as its tooltip; empty clears it.
    void showStatus(const QString &text, const QString &path = QString());
    void showFailure(const QString &problem, const QString &action, const QString &file = QString(),
                     const QString &detail = QString());

    Ui_MainWindow *m_ui;
    ElidedLabel *m_status;
    // Where each file dialog starts unless told otherwise, per window and in
    // memory only: the open dialog at the file last chosen in it, the save dialog
    // in the folder of the file last chosen in it where the input's folder cannot
    // be written; the home folder until then.
    QString m_openFile;
    QString m_saveFolder;
    SetupFileContents m_contents; // of the file the field names, as it was read last
};
