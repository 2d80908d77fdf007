#pragma once

#include <QDialog>
#include <QSet>
#include <QStringList>
#include <QVector>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Several old setup files at once: a row for each, with what it holds; a file already in the new
// layout is marked so and is no work. "Convert All" saves each conversion as NAME-16.hex beside
// its input, or in the folder chosen under "Save into", by the single save's rules: never over
// one of the old setups in the list, nor twice to one name, a file that holds exactly this
// conversion already is left alone, and any other existing file is replaced only after one
// question that names them all: replaced (to the trash), skipped while the others are
// converted, or nothing written at all (Cancel, which leaves the list as it was). A file that
// is refused writes nothing. Each row then says, whole, what became of its file, and a line
// under the list counts them.
class BatchDialog : public QDialog
{
    Q_OBJECT

public:
    // `saveInto`: the folder the conversions go to, as chosen earlier; empty: beside each file.
    BatchDialog(const QStringList &files, const QString &saveInto, QWidget *parent = nullptr);

signals:
    // Another folder chosen under "Save into" (empty: beside each file), to be offered again.
    void saveIntoChanged(const QString &folder);

private:
    struct Job;
    enum Outcome { Converted, UpToDate, NotReplaced, Failed, NoWork };
    void fillRows();
    QLayout *saveIntoRow();
    void chooseSaveInto(int index);
    void showWhere();
    void convertAll();
    QList<Job> plan();
    enum Answer { ReplaceAll, SkipThese, Cancel };
    Answer confirmReplacing(const QList<Job> &jobs);
    void setResult(int row, const QString &text);
    void showSummary(const QVector<int> &outcomes);

    QStringList m_files;
    QVector<bool> m_converted; // a row's file is in the new layout already: nothing to do
    QSet<QString> m_inputs;    // the old setups' keys: no conversion replaces one of them
    QString m_saveInto;        // empty: beside each file
    QTableWidget *m_table;
    QComboBox *m_saveIntoBox;
    QLabel *m_where, *m_summary;
    QProgressBar *m_progress;
    QPushButton *m_convert;
};
