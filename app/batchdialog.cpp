#include "batchdialog.h"

#include "migration.h"
#include "disk.h"
#include "plainwords.h"
#include "readfile.h"

#include <QApplication>
#include <QComboBox>
#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString kAlreadyConverted = QStringLiteral("Already converted: it needs no conversion");

enum Column { FileColumn, HoldsColumn, ResultColumn };

} // namespace

// One file of the list on its way: its old setup, where its conversion goes and what is there.
struct BatchDialog::Job
{
    int row = 0;
    QString input, output;
    QByteArray oldImage;
    bool replacing = false; // the output exists and holds something else
    QString result;         // where it was decided before converting, what became of it
    Outcome outcome = Failed;
};

BatchDialog::BatchDialog(const QStringList &files, const QString &saveInto, QWidget *parent)
    : QDialog(parent),
      m_files(files),
      m_saveInto(saveInto),
      m_table(new QTableWidget(int(files.size()), 3, this)),
      m_where(new QLabel(this)),
      m_summary(new QLabel(this)),
      m_progress(new QProgressBar(this))
{
    setObjectName(QStringLiteral("batch"));
    fillRows();
    m_table->setAccessibleName(QStringLiteral("Files to convert"));
    m_progress->setAccessibleName(QStringLiteral("Files converted so far"));
    m_where->setObjectName(QStringLiteral("where"));
    m_where->setWordWrap(true);
    m_where->setTextFormat(Qt::PlainText);
    m_summary->setWordWrap(true);
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->hide(); // until the list is converted

    auto buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_convert = buttons->addButton(QStringLiteral("&Convert All"), QDialogButtonBox::ActionRole);
    m_convert->setDefault(true);
    connect(m_convert, &QPushButton::clicked, this, &BatchDialog::convertAll);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(saveIntoRow());
    layout->addWidget(m_where);
    layout->addWidget(m_progress);
    layout->addWidget(m_summary);
    layout->addWidget(buttons);
    // Tab leaves the table for the controls under it, in the order they are seen.
    setTabOrder(m_table, m_saveIntoBox);
    setTabOrder(m_saveIntoBox, m_convert);
    setTabOrder(m_convert, buttons->button(QDialogButtonBox::Close));
    showWhere();
    // Room for what happened to each file, never wider than the screen: where it is narrow, the
    // file and what it holds take less, and their rows grow.
    const int wanted = m_table->columnWidth(FileColumn) + m_table->columnWidth(HoldsColumn)
            + fontMetrics().averageCharWidth() * 50 + 60;
    const int width = qMin(wanted, screen()->availableGeometry().width() * 9 / 10);
    for (const int column : { FileColumn, HoldsColumn })
        m_table->setColumnWidth(column, qMin(m_table->columnWidth(column), width * 3 / 10));
    resize(width, qMin(screen()->availableGeometry().height() * 8 / 10, 640));
}

// A row for each file, with what it holds; a file already converted says so at once.
void BatchDialog::fillRows()
{
    int setups = 0;
    for (int row = 0; row < m_files.size(); ++row) {
        const SetupFileContents contents = readSetupFile(m_files[row]);
        setups += contents.kind == SetupFileContents::OldSetup;
        m_converted << (contents.kind == SetupFileContents::NewSetup);
        if (const QString key = fileKey(m_files[row]); !key.isEmpty() && !m_converted[row])
            m_inputs.insert(key); // a missing file has none
        auto put = [this, row](int column, const QString &text, const QString &tip) {
            auto item = new QTableWidgetItem(text);
            item->setToolTip(tip);
            m_table->setItem(row, column, item);
        };
        put(FileColumn, fileInFolder(m_files[row]),
            native(QFileInfo(m_files[row]).absoluteFilePath()));
        put(HoldsColumn, summaryOf(contents), summaryOf(contents));
        put(ResultColumn, m_converted[row] ? kAlreadyConverted : QString(),
            m_converted[row] ? kAlreadyConverted : QString());
    }
    setWindowTitle(setups == 1 ? QStringLiteral("Convert 1 setup file")
                               : QStringLiteral("Convert %1 setup files").arg(setups));
    m_table->setHorizontalHeaderLabels(
            { QStringLiteral("File"), QStringLiteral("What it holds"), QStringLiteral("Result") });
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false); // Tab goes on to the buttons; arrows move in the table
    m_table->verticalHeader()->hide();
    m_table->resizeColumnsToContents();
    // A long folder or summary wraps in its row rather than squeezing what happened.
    const int widest = fontMetrics().averageCharWidth() * 45;
    for (const int column : { FileColumn, HoldsColumn })
        m_table->setColumnWidth(column, qMin(m_table->columnWidth(column), widest));
    // What happened takes the room left, whatever it says, and wraps there.
    m_table->horizontalHeader()->setSectionResizeMode(ResultColumn, QHeaderView::Stretch);
    // Every row as high as its text needs, in full, at any width of the list.
    connect(m_table->horizontalHeader(), &QHeaderView::sectionResized, m_table,
            &QTableWidget::resizeRowsToContents);
    m_table->resizeRowsToContents();
}

QLayout *BatchDialog::saveIntoRow()
{
    m_saveIntoBox = new QComboBox(this);
    m_saveIntoBox->setObjectName(QStringLiteral("saveInto"));
    m_saveIntoBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_saveIntoBox->view()->setAccessibleName(QStringLiteral("Where to save"));
    m_saveIntoBox->addItem(QStringLiteral("beside each file"), QString());
    if (!m_saveInto.isEmpty())
        m_saveIntoBox->addItem(native(m_saveInto), m_saveInto);
    m_saveIntoBox->addItem(QStringLiteral("a folder...")); // no data: asks for one
    m_saveIntoBox->setCurrentIndex(m_saveInto.isEmpty() ? 0 : 1);
    connect(m_saveIntoBox, QOverload<int>::of(&QComboBox::activated), this,
            &BatchDialog::chooseSaveInto);
    auto label = new QLabel(QStringLiteral("Save &into:"), this);
    label->setBuddy(m_saveIntoBox);
    auto row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(m_saveIntoBox, 1);
    return row;
}

void BatchDialog::chooseSaveInto(int index)
{
    QString folder = m_saveIntoBox->itemData(index).toString();
    if (!m_saveIntoBox->itemData(index).isValid()) { // "a folder..."
        folder = QFileDialog::getExistingDirectory(
                this, QStringLiteral("Save the new files into"),
                m_saveInto.isEmpty() ? QFileInfo(m_files.first()).absolutePath() : m_saveInto);
        if (folder.isEmpty()) { // as it was
            m_saveIntoBox->setCurrentIndex(m_saveIntoBox->findData(m_saveInto));
            return;
        }
        if (m_saveIntoBox->count() == 3)
            m_saveIntoBox->removeItem(1);
        m_saveIntoBox->insertItem(1, native(folder), folder);
        m_saveIntoBox->setCurrentIndex(1);
    }
    m_saveInto = folder;
    showWhere();
    emit saveIntoChanged(folder);
}

// Where the conversions go, said before anything is converted, and where they cannot.
void BatchDialog::showWhere()
{
    const QString first = m_files.value(int(m_converted.indexOf(false)), m_files.first());
    const QString example =
            QStringLiteral("(%1 becomes %2)").arg(QFileInfo(first).fileName(), proposedName(first));
    QString text = m_saveInto.isEmpty()
            ? QStringLiteral("Each conversion is saved beside its file as NAME-16.hex %1.")
                      .arg(example)
            : QStringLiteral("Each conversion is saved in %1 as NAME-16.hex %2.")
                      .arg(native(m_saveInto), example);
    QSet<QString> folders, locked;
    for (int row = 0; row < m_files.size(); ++row) {
        if (!m_converted[row])
            folders << (m_saveInto.isEmpty() ? QFileInfo(m_files[row]).absolutePath() : m_saveInto);
    }
    for (const QString &folder : qAsConst(folders)) {
        if (!QFileInfo(folder).isWritable())
            locked << native(folder);
    }
    if (!locked.isEmpty())
        text += QStringLiteral(" You may not write in %1: choose a folder under Save into.")
                        .arg(QStringList(locked.values()).join(QStringLiteral(", ")));
    m_where->setText(text);
}

void BatchDialog::setResult(int row, const QString &text)
{
    m_table->item(row, ResultColumn)->setText(text);
    m_table->item(row, ResultColumn)->setToolTip(text);
    m_table->resizeRowToContents(row);
    m_progress->setValue(m_progress->value() + 1);
    // A long list stays responsive and shows how far it got.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// Reads every file and decides where its conversion goes. A refused file, and one whose output
// would be one of the listed old setups, another file's output or holds the conversion already,
// has its result at once.
QList<BatchDialog::Job> BatchDialog::plan()
{
    QList<Job> jobs;
    QSet<QString> outputs; // as the disk compares names
    for (int row = 0; row < m_files.size(); ++row) {
        if (m_converted[row])
            continue;
        Job job{ row, m_files[row], {}, {}, false, {}, Failed };
        const QDir folder =
                m_saveInto.isEmpty() ? QFileInfo(job.input).absoluteDir() : QDir(m_saveInto);
        job.output = folder.filePath(proposedName(job.input));
        const QString name = QFileInfo(job.output).fileName();
        const QString compared = asCompared(folder.absolutePath(), folder.absoluteFilePath(name));
        if (const SetupError loaded = loadOldSetup(job.input, &job.oldImage); !loaded.ok()) {
            const bool converted = loaded.code == SetupError::AlreadyConverted;
            job.result = converted ? kAlreadyConverted
                                   : QStringLiteral("Refused: ") + plainWords(loaded).problem;
            job.outcome = converted ? NoWork : Failed;
        } else if (m_inputs.contains(fileKey(job.output))) {
            job.result = QStringLiteral("Not converted: %1 is in this list; it is not replaced")
                                 .arg(name);
        } else if (outputs.contains(compared)) {
            job.result = QStringLiteral("Not converted: another file of this list is saved as "
                                        "%1 there")
                                 .arg(name);
        } else {
            outputs.insert(compared);
            if (QFileInfo::exists(job.output)) {
                QByteArray newImage(kNewSetupSize, '\0');
                migrateSetupImage(job.oldImage.constData(), newImage.data());
                job.replacing = !replacedContents(job.output, job.oldImage, newImage).isEmpty();
                job.result =
                        job.replacing ? QString() : QStringLiteral("Already up to date: ") + name;
                job.outcome = UpToDate;
            }
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
                           + QStringLiteral("\n\nReplace All replaces them: %1 Skip These "
                                            "converts every other file and leaves these as they "
                                            "are; Cancel writes nothing.")
                                     .arg(whereReplacedGo()));
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
    m_saveIntoBox->setEnabled(false);
    m_progress->setRange(0, int(jobs.size()));
    m_progress->setValue(0);
    QVector<int> counts(NoWork + 1, 0);
    for (Job job : jobs) {
        const QString name = QFileInfo(job.output).fileName();
        if (job.result.isEmpty() && job.replacing && answer == SkipThese) {
            job.result = QStringLiteral("Not replaced: %1 is kept as it was").arg(name);
            job.outcome = NotReplaced;
        } else if (job.result.isEmpty()) {
            Replaced earlier;
            const SetupError saved =
                    saveNewSetup(job.output, job.oldImage, m_inputs, SaveOptions::Trash, &earlier);
            const PlainWords words = plainWords(saved);
            job.result = saved.ok()
                    ? QStringLiteral("Saved ") + name + earlierNowIn(earlier)
                    : QStringLiteral("Not saved: %1 %2").arg(words.problem, words.action);
            job.outcome = saved.ok() ? Converted : Failed;
        }
        ++counts[job.outcome];
        setResult(job.row, job.result);
    }
    showSummary(counts);
    // Another folder may be chosen for what was not saved, and the list converted again.
    m_convert->setEnabled(true);
    m_saveIntoBox->setEnabled(true);
    setProperty("finished", true);
}

// "12 converted, 3 already up to date, 1 not converted: see its row."
void BatchDialog::showSummary(const QVector<int> &counts)
{
    QStringList parts;
    auto add = [&parts](int count, const QString &words) {
        if (count > 0)
            parts << QStringLiteral("%1 %2").arg(count).arg(words);
    };
    add(counts[Converted], QStringLiteral("converted"));
    add(counts[UpToDate], QStringLiteral("already up to date"));
    add(counts[NoWork] + int(m_converted.count(true)), QStringLiteral("already converted"));
    add(counts[NotReplaced], QStringLiteral("not replaced"));
    add(counts[Failed],
        counts[Failed] == 1 ? QStringLiteral("not converted: see its row")
                            : QStringLiteral("not converted: see their rows"));
    m_summary->setText(parts.join(QStringLiteral(", ")) + QLatin1Char('.'));
    m_summary->show();
    // Read with the table, where the focus is.
    m_table->setAccessibleDescription(m_summary->text());
    m_table->setFocus();
}
