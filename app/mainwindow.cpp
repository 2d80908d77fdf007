#include "mainwindow.h"

#include "setupfile.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace {

// "All files" comes first, so that a setup file of any name can be chosen.
const QString kFilter = QStringLiteral("All files (*.*);;HEX file (*.hex)");
constexpr int kStatusTimeoutMs = 5000;

// The dialog's start location: the last chosen file, or home before the first choice.
QString startLocation(const QString &remembered)
{
    return remembered.isEmpty() ? QDir::homePath() : remembered;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui_MainWindow)
{
    m_ui->setupUi(this);
    connect(m_ui->pushButtonInput, &QPushButton::clicked, this, &MainWindow::browseInput);
    connect(m_ui->pushButtonConvert, &QPushButton::clicked, this, &MainWindow::convert);
    connect(m_ui->InputFile, &QLineEdit::returnPressed, this, &MainWindow::convert);
}

MainWindow::~MainWindow()
{
    delete m_ui;
}

void MainWindow::browseInput()
{
    m_openStart = startLocation(m_openStart);
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Hex setup file"), m_openStart, kFilter);
    if (path.isEmpty())
        return;
    // The file's own path, not its folder: the next dialog opens beside it with it selected.
    m_openStart = QDir(path).absolutePath();
    m_ui->InputFile->setText(path);
}

void MainWindow::convert()
{
    // An earlier "Saved ..." must not stand beside a failure.
    m_ui->statusBar->clearMessage();

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
        showFailure(loaded.message);
        return;
    }

    m_saveStart = startLocation(m_saveStart);
    // No options: the dialog asks before it lets an existing file be replaced.
    const QString outputPath = QFileDialog::getSaveFileName(this, QStringLiteral("Save Hex setup file"), m_saveStart, kFilter);
    if (outputPath.isEmpty())
        return;
    m_saveStart = QDir(outputPath).absolutePath();

    // The input was read completely into memory, so the output may be the input file itself.
    if (const SetupError saved = saveNewSetup(outputPath, oldImage); !saved.ok()) {
        showFailure(saved.message);
        return;
    }
    m_ui->statusBar->showMessage(QStringLiteral("Saved ") + QDir::toNativeSeparators(outputPath), kStatusTimeoutMs);
}

void MainWindow::showFailure(const QString &message)
{
    // Plain text: a file name such as "<b>.hex" is shown as it is, not as markup.
    QMessageBox box(QMessageBox::Warning, windowTitle(), message, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
