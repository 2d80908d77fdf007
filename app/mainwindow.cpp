#include "mainwindow.h"

#include "batchdialog.h"
#include "elidedlabel.h"
#include "plainwords.h"

#include "migration.h"
#include "setupfile.h"
#include "ui_mainwindow.h"

#include <QAbstractItemView>
#include <QCommandLineParser>
#include <QCompleter>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// "All files" comes first, so that a setup file of any name can be chosen; "*"
// matches every name, one without a dot too, on every platform.
const QString kFilter = QStringLiteral("All files (*);;HEX file (*.hex)");

// The dialog's start location: the remembered one, or home before the first choice.
QString startLocation(const QString &remembered)
{
    return remembered.isEmpty() ? QDir::homePath() : remembered;
}

// The file a path names as people paste it: as typed where that names a file; else
// without blanks at either end and without surrounding double quotes (as Explorer's
// "Copy as path" gives it), and a file:// address as its local file, where that
// names one. Nothing else is guessed: a path that names no file stays as typed.
QString pastedPath(const QString &text)
{
    if (text.isEmpty() || QFileInfo::exists(text))
        return text;
    QString path = text.trimmed();
    if (path.size() >= 2 && path.startsWith(QLatin1Char('"')) && path.endsWith(QLatin1Char('"')))
        path = path.mid(1, path.size() - 2);
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        path = QUrl(path).toLocalFile();
    return QFileInfo::exists(path) ? path : text;
}

// Every entry of a setup of either layout, a row for each new entry: its old number and name
// beside its new number and name, the inserted virtual inputs marked. Numbers count from 1.
void fillEntries(QTableWidget *table, const SetupFileContents &contents)
{
    // The new names are those the conversion writes, of an old setup's migrated image.
    const bool old = contents.kind == SetupFileContents::OldSetup;
    QByteArray converted = contents.image;
    if (old) {
        converted = QByteArray(kNewSetupSize, '\0');
        migrateSetupImage(contents.image.constData(), converted.data());
    }
    const QStringList oldNames = entryNames(contents.image.constData(), contents.image.size()),
                      newNames = entryNames(converted.constData(), converted.size());
    table->setColumnCount(4);
    table->setHorizontalHeaderLabels({ QStringLiteral("Old entry"), QStringLiteral("Old name"),
                                       QStringLiteral("New entry"), QStringLiteral("New name") });
    table->setRowCount(kNewEntries);
    auto put = [table](int row, int column, const QString &text) {
        table->setItem(row, column, new QTableWidgetItem(text));
    };
    for (int row = 0; row < kNewEntries; ++row) {
        put(row, 2, QString::number(row + 1));
        put(row, 3, newNames.value(row));
    }
    for (int i = 0; i < kOldEntries; ++i) {
        put(newEntryIndex(i), 0, QString::number(i + 1));
        put(newEntryIndex(i), 1, old ? oldNames.value(i) : newNames.value(newEntryIndex(i)));
    }
    for (int row = kFirstInsertedEntry; row < kFirstInsertedEntry + kInsertedEntries; ++row)
        put(row, 1, QStringLiteral("(inserted)"));
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->resizeColumnsToContents();
}

// The local files a drop brings, a folder as the *.hex files in it, in the order of their
// names; remote addresses are passed over.
QStringList droppedFiles(const QMimeData *data)
{
    QStringList files;
    for (const QUrl &url : data->urls()) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (QFileInfo(path).isDir()) {
            const QDir folder(path);
            for (const QString &name : folder.entryList({ QStringLiteral("*.hex") }, QDir::Files,
                                                        QDir::Name | QDir::IgnoreCase))
                files << folder.filePath(name);
        } else if (!path.isEmpty()) {
            files << path;
        }
    }
    return files;
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui_MainWindow)
{
    m_ui->setupUi(this);
    connect(m_ui->pushButtonInput, &QPushButton::clicked, this, &MainWindow::browseInput);
    connect(m_ui->pushButtonConvert, &QPushButton::clicked, this, &MainWindow::convert);

    // Paths typed into the field are completed from the file system.
    auto completer = new QCompleter(this);
    auto files = new QFileSystemModel(completer);
    files->setRootPath(QString());
    completer->setModel(files);
    m_ui->InputFile->setCompleter(completer);
    // Enter converts, but Enter on a completion only takes it: the field sees that
    // Enter while the list of completions is still open. A list that offers nothing beyond the
    // field's own text (a whole path typed or pasted) takes nothing: Enter converts.
    connect(m_ui->InputFile, &QLineEdit::returnPressed, this, [this, completer] {
        const bool offersMore = completer->popup()->isVisible()
                && (completer->completionCount() > 1
                    || completer->currentCompletion() != QFileInfo(inputPath()).fileName());
        if (!offersMore) {
            completer->popup()->hide();
            convert();
        }
    });

    // The field takes no drops of its own (it would insert the file's address as
    // text): a drop anywhere on the window is handled below.
    setAcceptDrops(true);

    // What a file holds reads from its start: its layout and first entries.
    m_ui->fileSummary->setElideMode(Qt::ElideRight);
    m_status = new ElidedLabel;
    m_ui->statusBar->addWidget(m_status, 1);
    // What the status bar says of a save is about the file that was in the field; the line
    // under the field says what the file it names holds, read anew as the field changes.
    connect(m_ui->InputFile, &QLineEdit::textChanged, this, [this] {
        showStatus(QString());
        const QString path = pastedPath(m_ui->InputFile->text());
        m_contents = path.isEmpty() ? SetupFileContents{} : readSetupFile(path);
        const QString summary = path.isEmpty() ? QString() : summaryOf(m_contents);
        m_ui->fileSummary->setFullText(summary);
        m_ui->fileSummary->setToolTip(summary); // in full where the line is too short
        m_ui->pushButtonEntries->setEnabled(!m_contents.image.isEmpty());
    });
    connect(m_ui->pushButtonEntries, &QPushButton::clicked, this, [this] {
        QDialog dialog(this);
        dialog.setWindowTitle(
                QStringLiteral("Entries of %1")
                        .arg(QFileInfo(pastedPath(m_ui->InputFile->text())).fileName()));
        auto table = new QTableWidget(&dialog);
        table->setObjectName(QStringLiteral("entries"));
        fillEntries(table, m_contents);
        (new QVBoxLayout(&dialog))->addWidget(table);
        dialog.resize(table->horizontalHeader()->length() + 60, 480);
        dialog.exec();
    });
}

MainWindow::~MainWindow()
{
    delete m_ui;
}

MainWindow::Start MainWindow::takeArguments(const QStringList &arguments)
{
    const Start start = parseArguments(arguments);
    // Several files, as the desktop entry passes them, open a list once the window shows.
    if (start.status < 0 && start.files.size() > 1)
        QTimer::singleShot(0, this, [this, start] { openFiles(start.files); });
    else if (start.status < 0 && !start.files.isEmpty())
        setInputFile(QFileInfo(start.files.first()).absoluteFilePath());
    return start;
}

MainWindow::Start MainWindow::parseArguments(const QStringList &arguments)
{
    const QString usage = QStringLiteral("Usage: tarvik-setup-converter [options] [FILE...]");
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Opens the Tarvik Setup Converter window, with "
                                                    "FILE, an old setup file, in its field; "
                                                    "several files in a list to convert at "
                                                    "once."));
    // Not addHelpOption(): Qt's usage line names the path the program was started from.
    const QCommandLineOption helpOption({ QStringLiteral("h"), QStringLiteral("help") },
                                        QStringLiteral("Displays this help."));
    parser.addOption(helpOption);
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The old setup file to put in the field."),
                                 QStringLiteral("[FILE...]"));
    const QString problem = QStringLiteral("tarvik-setup-converter: ");
#ifdef Q_OS_WIN
    // "/?" is how Windows users ask for help.
    if (!parser.parse(QStringList(arguments).replaceInStrings(
                QRegularExpression(QStringLiteral("^/\\?$")), QStringLiteral("--help"))))
#else
    if (!parser.parse(arguments))
#endif
        return { 2, problem + parser.errorText() + QLatin1Char('\n') + usage, {} };
    if (parser.isSet(helpOption)) {
        const QString help = parser.helpText();
        return { 0, (usage + help.mid(help.indexOf(QLatin1Char('\n')))).trimmed(), {} };
    }
    if (parser.isSet(versionOption))
        return { 0,
                 QCoreApplication::applicationName() + QLatin1Char(' ')
                         + QCoreApplication::applicationVersion(),
                 {} };
    return { -1, QString(), parser.positionalArguments() };
}

void MainWindow::browseInput()
{
    // Beside the file named in the field when its folder exists, else where this dialog was left.
    const QFileInfo typed(inputPath());
    const bool besideTyped = !typed.filePath().isEmpty() && typed.absoluteDir().exists();
    // Several files chosen make a list to convert at once.
    const QStringList paths = QFileDialog::getOpenFileNames(
            this, QStringLiteral("Open Hex setup file"),
            besideTyped ? typed.absoluteFilePath() : startLocation(m_openFile), kFilter);
    if (paths.isEmpty())
        return;
    // The file's own path, not its folder: the next dialog opens beside it with it selected.
    m_openFile = QDir(paths.first()).absolutePath();
    openFiles(paths);
    // Enter converts what was chosen, rather than opening this dialog again.
    m_ui->pushButtonConvert->setFocus();
}

void MainWindow::convert()
{
    // An earlier status must not stand beside a failure.
    showStatus(QString());

    const QString input = inputPath();
    if (input.isEmpty()) {
        showFailure(QStringLiteral("Choose the old setup file first."),
                    QStringLiteral("Type its name, choose it with Browse, or drop it here."));
        return;
    }
    // The input is read and checked before asking where to save, so a refused
    // file costs no save dialog and nothing is written or remembered for it.
    QByteArray oldImage;
    if (const SetupError loaded = loadOldSetup(input, &oldImage); !loaded.ok()) {
        const PlainWords words = plainWords(loaded);
        showFailure(words.problem, words.action + QStringLiteral(" Nothing was written."), input,
                    loaded.message);
        return;
    }

    // Beside the input, so that same-named setups of different site folders never
    // meet in one folder by default; where that folder cannot be written, where the
    // last save went. The window asks before replacing a file, not the dialog: it
    // says what the file holds. A name typed without a suffix gets ".hex".
    const QString inputFolder = QFileInfo(input).absolutePath();
    QFileDialog dialog(this, QStringLiteral("Save Hex setup file"),
                       QFileInfo(inputFolder).isWritable() ? inputFolder
                                                           : startLocation(m_saveFolder),
                       kFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setDefaultSuffix(QStringLiteral("hex"));
    dialog.selectFile(proposedName(input));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString output = dialog.selectedFiles().value(0);
    const QFileInfo outputInfo(output);
    m_saveFolder = outputInfo.absolutePath();
    const QString where = QStringLiteral("%1 in %2")
                                  .arg(outputInfo.fileName(), native(outputInfo.absolutePath()));

    const bool replacing = outputInfo.exists();
    if (replacing) {
        QByteArray newImage(kNewSetupSize, '\0');
        migrateSetupImage(oldImage.constData(), newImage.data());
        const QString contents = replacedContents(output, oldImage, newImage);
        if (contents.isEmpty()) {
            showStatus(where + QStringLiteral(" is already up to date"), output);
            return;
        }
        if (!confirmReplace(contents, input))
            return;
    }
    // The input was read completely into memory, so the output may be the input file itself.
    // What it replaces goes to the trash, so that a wrong choice can be undone.
    Replaced earlier;
    if (const SetupError saved = saveNewSetup(output, oldImage, {}, SaveOptions::Trash, &earlier);
        !saved.ok()) {
        const PlainWords words = plainWords(saved);
        const QString kept = earlier.where != Replaced::Nowhere
                ? QStringLiteral(" The earlier file is now %1.").arg(native(earlier.path))
                : replacing
                ? QStringLiteral(" %1 keeps its earlier contents.").arg(outputInfo.fileName())
                : QStringLiteral(" Nothing was written.");
        showFailure(words.problem, words.action + kept, output, saved.message);
        return;
    }
    showStatus(QStringLiteral("Saved ") + where + earlierNowIn(earlier), output);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!event->mimeData()->urls().isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    const QStringList files = droppedFiles(event->mimeData());
    if (urls.size() == 1 && !QFileInfo(urls.first().toLocalFile()).isDir() && !files.isEmpty())
        setInputFile(files.first());
    else if (!files.isEmpty())
        openFiles(files);
    else if (urls.size() == 1 && QFileInfo(urls.first().toLocalFile()).isDir())
        showFailure(QStringLiteral("This folder holds no .hex files."),
                    QStringLiteral("Drop the setup files themselves, or choose them with Browse."),
                    urls.first().toLocalFile());
    event->acceptProposedAction();
}

void MainWindow::openFiles(const QStringList &files)
{
    if (files.size() == 1) {
        setInputFile(files.first());
        return;
    }
    // Beside the window, not blocking it: the window stays usable for a single file.
    auto batch = new BatchDialog(files, this);
    batch->setAttribute(Qt::WA_DeleteOnClose);
    batch->open();
}

// The field's path, as pasted paths are meant; the field then shows the file taken.
QString MainWindow::inputPath()
{
    const QString typed = m_ui->InputFile->text();
    const QString path = pastedPath(typed);
    if (path != typed)
        setInputFile(path);
    return path;
}

void MainWindow::setInputFile(const QString &path)
{
    m_ui->InputFile->setText(native(path));
}

bool MainWindow::confirmReplace(const QString &contents, const QString &input)
{
    QMessageBox box(QMessageBox::Warning, windowTitle(), contents, QMessageBox::Cancel, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(
            QStringLiteral("Replace it with the conversion of %1?").arg(fileInFolder(input)));
    const QPushButton *replace = box.addButton(QStringLiteral("&Replace"), QMessageBox::AcceptRole);
    // Cancel is what Enter presses: replacing must be chosen, never a habit.
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == replace;
}

void MainWindow::showStatus(const QString &text, const QString &path)
{
    m_status->setFullText(text);
    m_status->setToolTip(native(path));
}

void MainWindow::showFailure(const QString &problem, const QString &action, const QString &file,
                             const QString &detail)
{
    // Plain text: a file name such as "<b>.hex" is shown as it is, not as markup.
    // Qt takes the informative text as markup when its first line looks like it:
    // that line is always our own sentence, and the file's name comes after it.
    QMessageBox box(QMessageBox::Warning, windowTitle(), problem, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(file.isEmpty() ? action
                                          : action + QStringLiteral("\n\n") + native(file));
    box.setDetailedText(detail);
    box.exec();
}
