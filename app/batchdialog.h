#pragma once

#include <QDialog>
#include <QSet>
#include <QStringList>

class QProgressBar;
class QPushButton;
class QTableWidget;

// Several old setup files at once: a row for each, with what it holds. "Convert All" saves each
// conversion beside its input as NAME-16.hex, by the single save's rules: never over one of the
// files in the list, a file that holds exactly this conversion already is left alone, and any
// other existing file is replaced only after one question that names them all: replaced (to the
// trash), skipped while the others are converted, or nothing written at all (Cancel, which
// leaves the list as it was). A file that is refused writes nothing. Each row then says what
// became of its file.
class BatchDialog : public QDialog
{
    Q_OBJECT

public:
    BatchDialog(const QStringList &files, QWidget *parent = nullptr);

private:
    struct Job;
    void convertAll();
    QList<Job> plan();
    enum Answer { ReplaceAll, SkipThese, Cancel };
    Answer confirmReplacing(const QList<Job> &jobs);
    void setResult(int row, const QString &text);

    QStringList m_files;
    QSet<QString> m_inputs; // the files' keys: no conversion replaces one of them
    QTableWidget *m_table;
    QProgressBar *m_progress;
    QPushButton *m_convert;
};
