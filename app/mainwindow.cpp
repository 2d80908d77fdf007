#include "mainwindow.h"

#include "setupfile.h"
#include "ui_mainwindow.h"

#include <QCommandLineParser>
#include <QCompleter>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>

namespace {

// "All files" comes first, so that a setup file of any name can be chosen; "*"
// matches every name, one without a dot too, on every platform.
const QString kFilter = QStringLiteral("All files (*);;HEX file (*.hex)");

// The dialog's start location: the remembered one, or home before the first choice.
QString startLocation(const QString &remembered)
{
    return remembered.isEmpty() ? QDir::homePath() : remembered;
}

// The name the save dialog proposes: made from the input's, so that it can be
// neither the input itself nor an earlier output ("site-b.hex" -> "site-b-16.hex").
QString proposedName(const QString &inputPath)
{
    return QFileInfo(inputPath).completeBaseName() + QStringLiteral("-16.hex");
}

// What a technician reads first: what is wrong, in plain words, and what to do.
QString plainWords(const SetupError &error)
{
    const QString again = QStringLiteral(" Copy the setup from the device again.");
    const QString check = QStringLiteral(" Check that you chose the old setup file.");
    switch (error.code) {
    case SetupError::BadFile:
        switch (error.hexCode) {
        case HexError::BadChecksum:
            return QStringLiteral("This file is damaged: line %1 does not match its checksum.")
                           .arg(error.line)
                    + again;
        case HexError::BadRecord:
            return QStringLiteral(
                           "This file is damaged: line %1 is cut off or holds a wrong character.")
                           .arg(error.line)
                    + again;
        case HexError::UnknownType:
            return QStringLiteral("This is not a setup file: line %1 holds a kind of record that "
                                  "setups never have.")
                           .arg(error.line)
                    + check;
        case HexError::TooLarge:
            return QStringLiteral("This is not a setup file: it is far too large for one.") + check;
        default:
            return QStringLiteral("This file cannot be read. Check the name in the field, or "
                                  "choose the file with Browse.");
        }
    case SetupError::NoData:
        return QStringLiteral("This file holds no setup.") + check;
    case SetupError::Incomplete:
        return QStringLiteral("This setup is incomplete: part of it is missing from the file.")
                + again;
    case SetupError::TooLong:
        return QStringLiteral("This file holds more than an 8-input setup, so it is not an old "
                              "setup file.")
                + check;
    case SetupError::AlreadyConverted:
        return QStringLiteral(
                "This file is already in the 16-input layout: it needs no conversion.");
    default:
        return QStringLiteral("The converted setup was not saved. Choose another folder or file "
                              "name and try again.");
    }
}

// The one local file a drop brings, or an empty string for anything else: several
// files, a folder, a remote address or no file at all.
QString droppedFile(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile()
        || QFileInfo(urls.first().toLocalFile()).isDir())
        return QString();
    return urls.first().toLocalFile();
}

} // namespace

// A label that shows as much of its text as fits, leaving out the middle, so
// that a long file name is never cut off at its end; it asks for no width.
class ElidedLabel : public QLabel
{
public:
    void setFullText(const QString &text)
    {
        m_text = text;
        elide();
    }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide()
    {
        setText(fontMetrics().elidedText(m_text, Qt::ElideMiddle, contentsRect().width()));
    }

    QString m_text;
};

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui_MainWindow)
{
    m_ui->setupUi(this);
    connect(m_ui->pushButtonInput, &QPushButton::clicked, this, &MainWindow::browseInput);
    connect(m_ui->pushButtonConvert, &QPushButton::clicked, this, &MainWindow::convert);
    connect(m_ui->InputFile, &QLineEdit::returnPressed, this, &MainWindow::convert);

    // Paths typed into the field are completed from the file system.
    auto completer = new QCompleter(this);
    auto files = new QFileSystemModel(completer);
    files->setRootPath(QString());
    completer->setModel(files);
    m_ui->InputFile->setCompleter(completer);

    // The field takes no drops of its own (it would insert the file's address as
    // text): a drop anywhere on the window is handled below.
    setAcceptDrops(true);

    m_saved = new ElidedLabel;
    m_ui->statusBar->addWidget(m_saved, 1);
}

MainWindow::~MainWindow()
{
    delete m_ui;
}

QString MainWindow::takeArguments(const QStringList &arguments)
{
    const QString usage = QStringLiteral("\nUsage: tarvik-setup-converter [FILE]");
    QCommandLineParser parser;
    if (!parser.parse(arguments))
        return QStringLiteral("tarvik-setup-converter: ") + parser.errorText() + usage;
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return QStringLiteral("tarvik-setup-converter: it takes one setup file at most, not %1")
                       .arg(files.size())
                + usage;
    if (!files.isEmpty())
        setInputFile(QFileInfo(files.first()).absoluteFilePath());
    return QString();
}

void MainWindow::browseInput()
{
    showSaved(QString());
    // Beside the file named in the field when its folder exists, else where this dialog was left.
    const QFileInfo typed(m_ui->InputFile->text());
    const bool besideTyped = !typed.filePath().isEmpty() && typed.absoluteDir().exists();
    const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Open Hex setup file"),
            besideTyped ? typed.absoluteFilePath() : startLocation(m_openFile), kFilter);
    if (path.isEmpty())
        return;
    // The file's own path, not its folder: the next dialog opens beside it with it selected.
    m_openFile = QDir(path).absolutePath();
    m_ui->InputFile->setText(path);
}

void MainWindow::convert()
{
    // An earlier "Saved ..." must not stand beside a failure.
    showSaved(QString());

    // The path is taken as typed: a stray blank makes the file unreadable rather
    // than silently naming another one.
    const QString inputPath = m_ui->InputFile->text();
    if (inputPath.isEmpty()) {
        showFailure(QStringLiteral("Choose the old setup file first."));
        return;
    }
    // The input is read and checked before asking where to save, so a refused
    // file costs no save dialog and nothing is written or remembered for it.
    QByteArray oldImage;
    if (const SetupError loaded = loadOldSetup(inputPath, &oldImage); !loaded.ok()) {
        showFailure(plainWords(loaded), loaded.message);
        return;
    }

    // Without DontConfirmOverwrite the dialog asks before it lets an existing file
    // be replaced; the default suffix is added to a name typed without one.
    QFileDialog dialog(this, QStringLiteral("Save Hex setup file"), startLocation(m_saveFolder),
                       kFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("hex"));
    dialog.selectFile(proposedName(inputPath));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString outputPath = dialog.selectedFiles().value(0);
    m_saveFolder = QFileInfo(outputPath).absolutePath();

    // The input was read completely into memory, so the output may be the input file itself.
    if (const SetupError saved = saveNewSetup(outputPath, oldImage); !saved.ok()) {
        showFailure(plainWords(saved), saved.message);
        return;
    }
    showSaved(outputPath);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (path.isEmpty())
        return;
    setInputFile(path);
    event->acceptProposedAction();
}

void MainWindow::setInputFile(const QString &path)
{
    showSaved(QString());
    m_ui->InputFile->setText(QDir::toNativeSeparators(path));
}

// Empty: the status bar is cleared.
void MainWindow::showSaved(const QString &path)
{
    m_saved->setFullText(path.isEmpty() ? QString()
                                        : QStringLiteral("Saved ") + QFileInfo(path).fileName());
    m_saved->setToolTip(QDir::toNativeSeparators(path));
}

void MainWindow::showFailure(const QString &problem, const QString &detail)
{
    // Plain text: a file name such as "<b>.hex" is shown as it is, not as markup.
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    detail.isEmpty() ? problem : problem + QStringLiteral("\n\n") + detail,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
