#pragma once

#include "setupfile.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

class ElidedLabel;
class QTimer;
class Ui_MainWindow;

// The converter's one window: a field for the old setup file, "Browse..." to
// pick it and "Convert and Save..." to write its conversion where the user says.
// Every failure is shown in a warning box that says first, in plain words, what
// is wrong, then what to do and the file, and keeps the core's message as its
// details; a save over an existing file first says what the file holds. The
// status bar says where the last save went until the field changes. One local
// file dropped on the window goes into the field; several files, or a folder, open a list.
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
    void changeEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QString inputPath();
    // One file into the field; several, or a folder's *.hex files, into a list to convert.
    void openPaths(const QStringList &paths);
    void setInputFile(const QString &path);
    // What the field names now: where the open dialog starts, then readField().
    void fieldChanged();
    // The line under the field and the entries, read anew from the file the field names.
    void readField();
    // The field as it stands, taken now rather than when typing pauses; `readAgain`: read even
    // where nothing was typed since.
    void takeField(bool readAgain);
    // The save dialog's answer for the conversion of `input`; empty when it was cancelled.
    QString askOutput(const QString &input);
    bool confirmReplace(const QString &contents, const QString &input);
    // The status bar's text, whose folder (`length` characters from `from` on) is what may be
    // shortened; empty clears it.
    void showStatus(const QString &text, int from = 0, int length = -1);
    void showFailure(const QString &problem, const QString &action, const QString &file = QString(),
                     const QString &detail = QString());

    Ui_MainWindow *m_ui;
    ElidedLabel *m_status;
    // Where each file dialog starts, per window and in memory only: the open dialog where the
    // last file or list came from (the field, a drop, the command line or the dialog itself),
    // the save dialog in the folder of the file last chosen in it where the input's folder
    // cannot be written; the home folder until then.
    QString m_openFile;
    QString m_saveFolder;
    QString m_saveInto;   // the folder a list saves into, as last chosen; empty: beside each file
    QTimer *m_fieldTimer; // the field is read once typing pauses
    SetupFileContents m_contents; // of the file the field names, as it was read last
};
