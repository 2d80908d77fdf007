#include "batchdialog.h"

#include "migration.h"
#include "plainwords.h"
#include "readfile.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

// One file of the list on its way: its old setup, where its conversion goes and what is there.
struct BatchDialog::Job
{
    int row = 0;
    QString input, output;
    QByteArray oldImage;
    bool replacing = false; // the output exists and holds something else
    QString result;         // where it was decided before converting, what became of it
};

enum Column { FileColumn, HoldsColumn, ResultColumn };

BatchDialog::BatchDialog(const QStringList &files, QWidget *parent)
    : QDialog(parent),
      m_files(files),
      m_table(new QTableWidget(int(files.size()), 3, this)),
      m_progress(new QProgressBar(this))
{
    setObjectName(QStringLiteral("batch"));
    for (const QString &file : files) {
        if (const QString key = fileKey(file); !key.isEmpty()) // a missing file has none
            m_inputs.insert(key);
    }
    setWindowTitle(QStringLiteral("Convert %1 setup files").arg(files.size()));
    m_table->setHorizontalHeaderLabels(
            { QStringLiteral("File"), QStringLiteral("What it holds"), QStringLiteral("Result") });
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    for (int row = 0; row < files.size(); ++row) {
        m_table->setItem(row, FileColumn, new QTableWidgetItem(fileInFolder(files[row])));
        m_table->setItem(row, HoldsColumn,
                         new QTableWidgetItem(summaryOf(readSetupFile(files[row]))));
        m_table->setItem(row, ResultColumn, new QTableWidgetItem);
    }
    m_table->resizeColumnsToContents();
    m_table->horizontalHeader()->setStretchLastSection(true); // room for what happened
    m_progress->setRange(0, int(files.size()));
    m_progress->setValue(0);

    auto buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_convert = buttons->addButton(QStringLiteral("&Convert All"), QDialogButtonBox::ActionRole);
    m_convert->setDefault(true);
    connect(m_convert, &QPushButton::clicked, this, &BatchDialog::convertAll);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addWidget(m_progress);
    layout->addWidget(buttons);
    resize(qMin(m_table->horizontalHeader()->length() + 60, 1000), 400);
}

void BatchDialog::setResult(int row, const QString &text)
{
    m_table->item(row, ResultColumn)->setText(text);
    m_progress->setValue(m_progress->value() + 1);
    // A long list stays responsive and shows how far it got.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// Reads every file and decides where its conversion goes. A refused file, and one whose output
// would be one of the listed files or holds the conversion already, has its result at once.
QList<BatchDialog::Job> BatchDialog::plan()
{
    QList<Job> jobs;
    for (int row = 0; row < m_files.size(); ++row) {
        Job job{ row, m_files[row], {}, {}, false, {} };
        job.output = QFileInfo(job.input).dir().filePath(proposedName(job.input));
        const QString name = QFileInfo(job.output).fileName();
        if (const SetupError loaded = loadOldSetup(job.input, &job.oldImage); !loaded.ok()) {
            job.result = QStringLiteral("Refused: ") + plainWords(loaded).problem;
        } else if (m_inputs.contains(fileKey(job.output))) {
            job.result = QStringLiteral("Not converted: %1 is in this list; it is not replaced")
                                 .arg(name);
        } else if (QFileInfo::exists(job.output)) {
            QByteArray newImage(kNewSetupSize, '\0');
            migrateSetupImage(job.oldImage.constData(), newImage.data());
            job.replacing = !replacedContents(job.output, job.oldImage, newImage).isEmpty();
            if (!job.replacing)
                job.result = QStringLiteral("Already up to date: ") + name;
        }
        jobs << job;
    }
    return jobs;
}

// One question for every file the batch would replace, each with what it holds now. Cancel, the
// default and Escape's, writes nothing at all.
BatchDialog::Answer BatchDialog::confirmReplacing(const QList<Job> &jobs)
{
    QStringList replaced;
    for (const Job &job : jobs) {
        if (job.replacing)
            replaced << QStringLiteral("%1 differs from its conversion; it holds now: %2")
                                .arg(fileInFolder(job.output),
                                     summaryOf(readSetupFile(job.output)));
    }
    if (replaced.isEmpty())
        return ReplaceAll;
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    QStringLiteral("%1 of these conversions would replace an existing file:")
                            .arg(replaced.size()),
                    QMessageBox::Cancel, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(replaced.join(QLatin1Char('\n'))
                           + QStringLiteral("\n\nReplace All sends them to %1; Skip These "
                                            "converts every other file and leaves these as they "
                                            "are; Cancel writes nothing.")
                                     .arg(trashName()));
    const QAbstractButton *replace =
            box.addButton(QStringLiteral("&Replace All"), QMessageBox::AcceptRole);
    const QAbstractButton *skip =
            box.addButton(QStringLiteral("&Skip These"), QMessageBox::AcceptRole);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == replace ? ReplaceAll
            : box.clickedButton() == skip ? SkipThese
                                          : Cancel;
}

void BatchDialog::convertAll()
{
    const QList<Job> jobs = plan();
    const Answer answer = confirmReplacing(jobs);
    if (answer == Cancel)
        return; // the list as it was, to be converted again
    m_convert->setEnabled(false);
    m_progress->setValue(0);
    for (const Job &job : jobs) {
        const QString name = QFileInfo(job.output).fileName();
        if (!job.result.isEmpty()) {
            setResult(job.row, job.result);
            continue;
        }
        if (job.replacing && answer == SkipThese) {
            setResult(job.row, QStringLiteral("Not replaced: %1 is kept as it was").arg(name));
            continue;
        }
        Replaced earlier;
        const SetupError saved =
                saveNewSetup(job.output, job.oldImage, m_inputs, SaveOptions::Trash, &earlier);
        setResult(job.row,
                  saved.ok() ? QStringLiteral("Saved ") + name + earlierNowIn(earlier)
                             : QStringLiteral("Not saved: ") + plainWords(saved).problem);
    }
    setProperty("finished", true);
}
