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
#include <QDialogButtonBox>
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
#include <QToolBar>
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
// "Copy as path" gives it) or single quotes (as a terminal quotes it), a file:// address as its
// local file, and "~" or "~/..." outside Windows as the home folder, as a shell has them, where
// that names one. Nothing else is guessed: a path that names no file stays as typed.
QString pastedPath(const QString &text)
{
    if (text.isEmpty() || QFileInfo::exists(text))
        return text;
    QString path = text.trimmed();
    for (const QLatin1Char quote : { QLatin1Char('"'), QLatin1Char('\'') }) {
        if (path.size() >= 2 && path.startsWith(quote) && path.endsWith(quote))
            path = path.mid(1, path.size() - 2);
    }
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        path = QUrl(path).toLocalFile();
#ifndef Q_OS_WIN
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        path = QDir::homePath() + path.mid(1);
#endif
    return QFileInfo::exists(path) ? path : text;
}

// The setup files a folder holds: its *.hex files (.HEX too), in the order of their names.
QStringList hexFilesIn(const QString &path)
{
    QStringList files;
    const QDir folder(path);
    // A name filter ignores case unless told otherwise.
    for (const QString &name :
         folder.entryList({ QStringLiteral("*.hex") }, QDir::Files, QDir::Name | QDir::IgnoreCase))
        files << folder.filePath(name);
    return files;
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

// The local files and folders a drop brings; remote addresses are passed over.
QStringList droppedPaths(const QMimeData *data)
{
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    }
    return paths;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_ui(new Ui_MainWindow), m_fieldTimer(new QTimer(this))
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
    // field's own text (a whole path typed or pasted), with none of it chosen, takes nothing:
    // Enter converts.
    connect(m_ui->InputFile, &QLineEdit::returnPressed, this, [this, completer] {
        const bool offersMore = completer->popup()->isVisible()
                && (completer->popup()->currentIndex().isValid() || completer->completionCount() > 1
                    || QFileInfo(completer->currentCompletion()).fileName()
                            != QFileInfo(inputPath()).fileName());
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
    // What the status bar says of a save is about the file that was in the field. The file the
    // field names is read once typing pauses, so that a slow network folder never holds up the
    // keys, and again as the window is activated, before the entries show and before converting.
    m_fieldTimer->setSingleShot(true);
    m_fieldTimer->setInterval(300);
    connect(m_fieldTimer, &QTimer::timeout, this, &MainWindow::fieldChanged);
    connect(m_ui->InputFile, &QLineEdit::textChanged, this, [this] {
        showStatus(QString());
        m_fieldTimer->start();
    });
    connect(m_ui->pushButtonEntries, &QPushButton::clicked, this, [this] {
        takeField(true);
        if (m_contents.image.isEmpty()) // no longer a setup: the line under the field says why
            return;
        QDialog dialog(this);
        dialog.setWindowTitle(
                QStringLiteral("Entries of %1")
                        .arg(QFileInfo(pastedPath(m_ui->InputFile->text())).fileName()));
        auto table = new QTableWidget(&dialog);
        table->setObjectName(QStringLiteral("entries"));
        table->setAccessibleName(dialog.windowTitle());
        table->setAccessibleDescription(m_ui->pushButtonEntries->toolTip());
        fillEntries(table, m_contents);
        auto buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
        connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        auto layout = new QVBoxLayout(&dialog);
        layout->addWidget(table);
        layout->addWidget(buttons);
        dialog.resize(table->horizontalHeader()->length() + 60, 480);
        dialog.exec();
    });
    // For a screen reader, where a button's text does not say all.
    m_ui->pushButtonInput->setAccessibleDescription(
            QStringLiteral("Choose the old setup file, or several files to convert at once"));
    m_ui->pushButtonConvert->setAccessibleDescription(
            QStringLiteral("Convert the file in the field and choose where to save it"));
    m_ui->fileSummary->setAccessibleDescription(QStringLiteral("What the file in the field holds"));
    m_status->setAccessibleDescription(QStringLiteral("What became of the last conversion"));
    // The form's menu bar and tool bar hold nothing: a screen reader would find them unnamed,
    // the tool bar's handle as a check box.
    m_ui->menuBar->hide();
    m_ui->mainToolBar->hide();
}

MainWindow::~MainWindow()
{
    delete m_ui;
}

MainWindow::Start MainWindow::takeArguments(const QStringList &arguments)
{
    const Start start = parseArguments(arguments);
    // Several files or a folder, as the desktop entry passes them, open a list once the window
    // shows.
    if (start.status < 0 && start.files.size() == 1 && !QFileInfo(start.files.first()).isDir())
        setInputFile(QFileInfo(start.files.first()).absoluteFilePath());
    else if (start.status < 0 && !start.files.isEmpty())
        QTimer::singleShot(0, this, [this, start] { openPaths(start.files); });
    return start;
}

MainWindow::Start MainWindow::parseArguments(const QStringList &arguments)
{
    const QString usage = QStringLiteral("Usage: tarvik-setup-converter [options] [FILE...]");
    QCommandLineParser parser;
    // "-platform xcb" as every Qt program takes it: QApplication takes Qt's own options out of
    // the arguments, but --help is answered before there is one.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{ QStringLiteral("h"), QStringLiteral("help") }),
            versionOption(QStringList{ QStringLiteral("v"), QStringLiteral("version") });
    parser.addOptions({ helpOption, versionOption });
    for (const char *name : { "platform", "platformpluginpath", "platformtheme", "plugin",
                              "qwindowgeometry", "qwindowicon", "qwindowtitle", "style",
                              "stylesheet", "session", "display", "geometry", "name", "title" })
        parser.addOption(QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("v")));
    for (const char *name : { "reverse", "widgetcount", "sync", "nograb", "dograb" })
        parser.addOption(QCommandLineOption(QLatin1String(name)));
#ifdef Q_OS_WIN
    // "/?" is how Windows users ask for help.
    if (!parser.parse(QStringList(arguments).replaceInStrings(
                QRegularExpression(QStringLiteral("^/\\?$")), QStringLiteral("--help"))))
#else
    if (!parser.parse(arguments))
#endif
        return { 2,
                 QStringLiteral("tarvik-setup-converter: %1\n%2\nTry 'tarvik-setup-converter "
                                "--help' for more information.")
                         .arg(parser.errorText(), usage),
                 {} };
    // Not Qt's help text: it names the path the program was started from, and it asks for the
    // application, which the help never waits for.
    if (parser.isSet(helpOption))
        return { 0,
                 usage
                         + QStringLiteral(
                                 "\nOpens the Tarvik Setup Converter window, with FILE, an old "
                                 "setup file, in its field; several files, or a folder's .hex "
                                 "files, in a list to convert at once.\n\nOptions:\n"
                                 "  -h, --help     Displays this help.\n"
                                 "  -v, --version  Displays version information.\n\nArguments:\n"
                                 "  FILE           An old setup file to put in the field, or "
                                 "a folder."),
                 {} };
    if (parser.isSet(versionOption))
        return { 0,
                 QCoreApplication::applicationName() + QLatin1Char(' ')
                         + QCoreApplication::applicationVersion(),
                 {} };
    return { -1, QString(), parser.positionalArguments() };
}

void MainWindow::browseInput()
{
    takeField(false);
    // Several files chosen make a list to convert at once.
    const QStringList paths = QFileDialog::getOpenFileNames(
            this, QStringLiteral("Open Hex setup file"), startLocation(m_openFile), kFilter);
    if (paths.isEmpty())
        return;
    // The file's own path, not its folder: the next dialog opens beside it with it selected.
    m_openFile = QDir(paths.first()).absolutePath();
    openPaths(paths);
    // Enter converts what was chosen, rather than opening this dialog again.
    m_ui->pushButtonConvert->setFocus();
}

void MainWindow::convert()
{
    // An earlier status must not stand beside a failure.
    showStatus(QString());
    takeField(true); // the line under the field as the file is now

    const QString input = inputPath();
    if (input.isEmpty()) {
        showFailure(QStringLiteral("Choose the old setup file first."),
                    QStringLiteral("Type its name, choose it with Browse, or drop it here."));
        return;
    }
    if (QFileInfo(input).isDir()) {
        openPaths({ input });
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
    const QString output = askOutput(input);
    if (output.isEmpty())
        return;
    const QFileInfo outputInfo(output);
    const QString in = outputInfo.fileName() + QStringLiteral(" in "),
                  folder = native(outputInfo.absolutePath());

    const bool replacing = outputInfo.exists();
    if (replacing) {
        QByteArray newImage(kNewSetupSize, '\0');
        migrateSetupImage(oldImage.constData(), newImage.data());
        const QString contents = replacedContents(output, oldImage, newImage);
        if (contents.isEmpty()) {
            showStatus(in + folder + QStringLiteral(" is already up to date"), in.size(),
                       folder.size());
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
    showStatus(QStringLiteral("Saved ") + in + folder + earlierNowIn(earlier), in.size() + 6,
               folder.size());
}

QString MainWindow::askOutput(const QString &input)
{
    // Beside the input, so that same-named setups of different site folders never
    // meet in one folder by default; where that folder cannot be written, where the
    // last save went, and the caption says why. The window asks before replacing a file, not
    // the dialog: it says what the file holds. A name typed without a suffix gets ".hex".
    const QString inputFolder = QFileInfo(input).absolutePath();
    const bool beside = QFileInfo(inputFolder).isWritable();
    QFileDialog dialog(this,
                       beside ? QStringLiteral("Save Hex setup file")
                              : QStringLiteral("Save Hex setup file (you may not write in the "
                                               "folder of %1)")
                                        .arg(QFileInfo(input).fileName()),
                       beside ? inputFolder : startLocation(m_saveFolder), kFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setDefaultSuffix(QStringLiteral("hex"));
    dialog.selectFile(proposedName(input));
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    const QString output = dialog.selectedFiles().value(0);
    m_saveFolder = QFileInfo(output).absolutePath();
    return output;
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // Back from another program: the file may have been replaced meanwhile (a fresh copy from
    // the device).
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        takeField(true);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!event->mimeData()->urls().isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    openPaths(droppedPaths(event->mimeData()));
    event->acceptProposedAction();
}

void MainWindow::openPaths(const QStringList &paths)
{
    QStringList files;
    bool folders = false;
    for (const QString &path : paths) {
        const bool folder = QFileInfo(path).isDir();
        files << (folder ? hexFilesIn(path) : QStringList(path));
        folders = folders || folder;
    }
    if (files.isEmpty()) {
        if (folders)
            showFailure(QStringLiteral("This folder holds no .hex files."),
                        QStringLiteral("Choose the setup files themselves with Browse, or drop "
                                       "them here."),
                        paths.first());
        return;
    }
    if (files.size() == 1 && !folders) {
        setInputFile(files.first());
        return;
    }
    // The open dialog starts next in the folder, or beside the list's first file.
    m_openFile = QFileInfo(paths.first()).absoluteFilePath();
    // Beside the window, not blocking it: the window stays usable for a single file.
    auto batch = new BatchDialog(files, m_saveInto, this);
    connect(batch, &BatchDialog::saveIntoChanged, this,
            [this](const QString &folder) { m_saveInto = folder; });
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
    takeField(false); // nothing was typed: no need to wait
}

void MainWindow::takeField(bool readAgain)
{
    if (m_fieldTimer->isActive()) {
        m_fieldTimer->stop();
        fieldChanged();
    } else if (readAgain) {
        readField();
    }
}

void MainWindow::fieldChanged()
{
    const QFileInfo named(pastedPath(m_ui->InputFile->text()));
    if (!named.filePath().isEmpty() && named.absoluteDir().exists())
        m_openFile = named.absoluteFilePath();
    readField();
}

void MainWindow::readField()
{
    const QString path = pastedPath(m_ui->InputFile->text());
    m_contents = {};
    QString summary;
    int length = -1; // how much of it may be shortened: all, or all but the count of entries
    if (QFileInfo(path).isDir()) {
        const int count = int(hexFilesIn(path).size());
        summary = count == 0 ? QStringLiteral("A folder with no .hex files in it.")
                             : QStringLiteral("A folder with %1 .hex %2: Convert and Save lists "
                                              "them to convert at once.")
                                       .arg(count)
                                       .arg(count == 1 ? "file" : "files");
    } else if (!path.isEmpty()) {
        m_contents = readSetupFile(path);
        summary = summaryOf(m_contents);
        // "Old setup, 8 virtual inputs: NAMES, ... 48 entries": the count stays.
        if (!m_contents.image.isEmpty())
            length = int(summary.lastIndexOf(QStringLiteral(", \u2026")));
    }
    m_ui->fileSummary->setFullText(summary, 0, length);
    // Heard where the field has the focus, as the line changes.
    m_ui->InputFile->setAccessibleDescription(summary);
    m_ui->pushButtonEntries->setEnabled(!m_contents.image.isEmpty());
}

bool MainWindow::confirmReplace(const QString &contents, const QString &input)
{
    QMessageBox box(QMessageBox::Warning, windowTitle(), contents, QMessageBox::Cancel, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(
            whereReplacedGo()
            + QStringLiteral(" Replace it with the conversion of %1?").arg(fileInFolder(input)));
    const QPushButton *replace = box.addButton(QStringLiteral("&Replace"), QMessageBox::AcceptRole);
    // Cancel is what Enter presses: replacing must be chosen, never a habit.
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == replace;
}

void MainWindow::showStatus(const QString &text, int from, int length)
{
    m_status->setFullText(text, from, length);
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
    // Where the name is to be put right, or another typed.
    m_ui->InputFile->setFocus();
}
