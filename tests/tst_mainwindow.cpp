#include "intelhex.h"
#include "mainwindow.h"
#include "migration.h"
#include "setupfile.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

#include <functional>

namespace {

const QString kTitle = QStringLiteral("Tarvik Setup Converter");

// How the test answers a modal widget the window opens.
struct Reply {
    enum Action { Cancel, Choose, Yes };
    Action action = Cancel;
    QString path;   // Choose: what is typed into the file dialog's name field
};
Reply cancel() { return {}; }
Reply choose(const QString &path) { return {Reply::Choose, path}; }
Reply yes() { return {Reply::Yes, {}}; }

// What a modal widget looked like when it appeared.
struct Seen {
    QString kind;          // "open", "save" or "message"
    QString title;
    QString folder;        // file dialogs: the folder shown, canonical
    QString proposed;      // file dialogs: the name in the file name field
    QStringList filters;   // file dialogs
    QString text;          // message boxes
};

QString canonical(const QString &path) { return QFileInfo(path).canonicalFilePath(); }

// Runs `action` while a polling timer answers each modal widget that appears
// with the next reply (Cancel once the replies run out) and notes what it saw.
// The reply is applied from a fresh event so that a box the dialog opens in
// turn, such as the question before replacing a file, is answered as well.
QList<Seen> runAnswering(const std::function<void()> &action, QList<Reply> replies)
{
    QList<Seen> seen;
    QList<QPointer<QWidget>> answered;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || answered.contains(modal))
            return;
        answered.append(modal);
        Seen s;
        s.title = modal->windowTitle();
        if (auto dialog = qobject_cast<QFileDialog *>(modal)) {
            s.kind = dialog->acceptMode() == QFileDialog::AcceptOpen ? QStringLiteral("open") : QStringLiteral("save");
            s.folder = canonical(dialog->directory().absolutePath());
            if (auto name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                s.proposed = name->text();
            s.filters = dialog->nameFilters();
        } else if (auto box = qobject_cast<QMessageBox *>(modal)) {
            s.kind = QStringLiteral("message");
            s.text = box->text();
        } else {
            s.kind = QString::fromLatin1(modal->metaObject()->className());
        }
        seen.append(s);

        const Reply reply = replies.isEmpty() ? cancel() : replies.takeFirst();
        QTimer::singleShot(0, modal, [modal, reply] {
            auto box = qobject_cast<QMessageBox *>(modal);
            if (reply.action == Reply::Yes && box) {
                box->button(QMessageBox::Yes)->click();
            } else if (reply.action == Reply::Choose) {
                if (auto name = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    name->setText(reply.path);
                qobject_cast<QDialog *>(modal)->accept();
            } else if (box) {
                QTest::keyClick(box, Qt::Key_Escape);
            } else if (auto dialog = qobject_cast<QDialog *>(modal)) {
                dialog->reject();
            } else {
                modal->close();
            }
        });
    });
    poll.start();
    action();
    poll.stop();
    return seen;
}

QStringList kinds(const QList<Seen> &seen)
{
    QStringList result;
    for (const Seen &s : seen)
        result << s.kind;
    return result;
}

QByteArray randomOldImage(quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray image(kOldSetupSize, '\0');
    for (char &c : image)
        c = char(random.bounded(256));
    return image;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the core writes for `image`: the conversion the window must produce.
QByteArray coreConversion(const QByteArray &image)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("expected.hex"));
    if (!saveNewSetup(path, image).ok())
        return {};
    return readFile(path);
}

// Every path below `root`, so that a test can tell that nothing was written.
QStringList tree(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    return paths;
}

// Marks every text it is asked for in the window's context, so a test can tell
// which texts pass through translation.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "MainWindow") != 0)
            return {};
        return QStringLiteral("[%1]").arg(QString::fromUtf8(sourceText));
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

    QString home() const { return canonical(m_home.path()); }
    template <typename T = QWidget>
    static T *child(MainWindow &window, const char *name)
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }

private slots:
    void initTestCase();
    void form_data();
    void form();
    void windowFrame();
    void formTextsAreTranslatable();
    void eachClickOpensOneDialog_data();
    void eachClickOpensOneDialog();
    void dialogStartsAtLastChosenFile_data();
    void dialogStartsAtLastChosenFile();
    void rememberedFoldersAreSeparate();
    void browsingSetsTheField_data();
    void browsingSetsTheField();
    void convertWritesWhatTheCoreWrites_data();
    void convertWritesWhatTheCoreWrites();
    void refusesAndWritesNothing_data();
    void refusesAndWritesNothing();
    void refusedFileKeepsNothingOfEarlierOne();
};

// The offscreen platform says this of every window shown; it tells nothing here.
static QtMessageHandler g_previousHandler = nullptr;
static void dropOffscreenNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.contains(QLatin1String("does not support propagateSizeHints")))
        g_previousHandler(type, context, message);
}

void TestMainWindow::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(dropOffscreenNoise);
    QVERIFY(m_home.isValid());
    // The file dialogs start in the home folder and keep their state below it.
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("USERPROFILE", QFile::encodeName(m_home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
    QCOMPARE(canonical(QDir::homePath()), home());
}

void TestMainWindow::form_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("createdAfter");   // the sibling made just before it
    QTest::addColumn<QRect>("geometry");         // null where the window places it
    QTest::addColumn<QString>("text");

    const QString window = QStringLiteral("MainWindow");
    const QString central = QStringLiteral("centralWidget");
    QTest::newRow("centralWidget") << "QWidget" << window << "" << QRect() << "";
    QTest::newRow("InputFile") << "QLineEdit" << central << "" << QRect(20, 50, 281, 20) << "";
    QTest::newRow("label") << "QLabel" << central << "InputFile" << QRect(20, 20, 281, 16)
                           << "Old TARVIK setup file (8 virtual inputs):";
    QTest::newRow("pushButtonInput") << "QPushButton" << central << "label" << QRect(310, 50, 75, 23) << "Browse...";
    QTest::newRow("pushButtonConvert") << "QPushButton" << central << "pushButtonInput" << QRect(130, 80, 121, 23)
                                       << "Convert and Save...";
    QTest::newRow("menuBar") << "QMenuBar" << window << "centralWidget" << QRect(0, 0, 400, 21) << "";
    QTest::newRow("mainToolBar") << "QToolBar" << window << "menuBar" << QRect() << "";
    QTest::newRow("statusBar") << "QStatusBar" << window << "mainToolBar" << QRect() << "";
}

void TestMainWindow::form()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, createdAfter);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    MainWindow window;
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QWidget *> found = window.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QWidget *parent = widget->parentWidget();
    QVERIFY(parent);
    QCOMPARE(parent->objectName(), parentName);
    if (!createdAfter.isEmpty()) {
        const QObjectList siblings = parent->children();
        const int before = siblings.indexOf(child(window, createdAfter.toLatin1().constData()));
        QVERIFY(before >= 0);
        QVERIFY(before < siblings.indexOf(widget));
    }
    QCOMPARE(widget->property("text").toString(), text);
    if (geometry.isNull())
        return;
    QCOMPARE(widget->geometry(), geometry);
    if (parentName == QLatin1String("centralWidget")) {
        // No layout: a resized window leaves the fields and buttons where they are.
        window.show();
        window.resize(700, 400);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(widget->geometry(), geometry);
    }
}

void TestMainWindow::windowFrame()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), kTitle);
    QCOMPARE(window.size(), QSize(400, 161));
    QCOMPARE(window.centralWidget(), child(window, "centralWidget"));
    QCOMPARE(window.menuWidget(), child(window, "menuBar"));
    QVERIFY(window.menuWidget()->actions().isEmpty());
    auto toolBar = child<QToolBar>(window, "mainToolBar");
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());
    QCOMPARE(window.statusBar(), child(window, "statusBar"));
    QVERIFY(window.statusBar()->currentMessage().isEmpty());

    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(window.size(), QSize(400, 161));
    child(window, "InputFile")->setFocus();
    QStringList order;
    for (int i = 0; i < 4; ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, QStringList({"InputFile", "pushButtonInput", "pushButtonConvert", "InputFile"}));
}

void TestMainWindow::formTextsAreTranslatable()
{
    MarkingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    MainWindow window;
    QCoreApplication::removeTranslator(&translator);

    QCOMPARE(window.windowTitle(), QStringLiteral("[Tarvik Setup Converter]"));
    QCOMPARE(child<QLabel>(window, "label")->text(), QStringLiteral("[Old TARVIK setup file (8 virtual inputs):]"));
    QCOMPARE(child<QPushButton>(window, "pushButtonInput")->text(), QStringLiteral("[Browse...]"));
    QCOMPARE(child<QPushButton>(window, "pushButtonConvert")->text(), QStringLiteral("[Convert and Save...]"));
}

void TestMainWindow::eachClickOpensOneDialog_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");

    QTest::newRow("Browse...") << "pushButtonInput" << "open" << "Open Hex setup file";
    QTest::newRow("Convert and Save...") << "pushButtonConvert" << "save" << "Save Hex setup file";
}

void TestMainWindow::eachClickOpensOneDialog()
{
    QFETCH(QString, button);
    QFETCH(QString, kind);
    QFETCH(QString, caption);

    QTemporaryDir work;
    const QString input = work.filePath(QStringLiteral("old.hex"));
    QVERIFY(writeHexImage(input, randomOldImage(1).constData(), kOldSetupSize).ok());
    const QStringList files = tree(work.path());

    MainWindow window;
    child<QLineEdit>(window, "InputFile")->setText(input);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QList<Seen> seen = runAnswering([&] {
        QTest::mouseClick(child(window, button.toLatin1().constData()), Qt::LeftButton);
    }, {cancel()});

    QCOMPARE(kinds(seen), QStringList{kind});
    QCOMPARE(seen[0].title, caption);
    QCOMPARE(seen[0].filters, QStringList({"All files (*.*)", "HEX file (*.hex)"}));
    // The first dialog of a window starts in the home folder.
    QCOMPARE(seen[0].folder, home());
    QCOMPARE(seen[0].proposed, QString());
    // A cancelled dialog changes nothing.
    QCOMPARE(child<QLineEdit>(window, "InputFile")->text(), input);
    QCOMPARE(tree(work.path()), files);
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

void TestMainWindow::dialogStartsAtLastChosenFile_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("open dialog") << "pushButtonInput";
    QTest::newRow("save dialog") << "pushButtonConvert";
}

void TestMainWindow::dialogStartsAtLastChosenFile()
{
    QFETCH(QString, button);

    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("setups")));
    const QString input = work.filePath(QStringLiteral("setups/old.hex"));
    QVERIFY(writeHexImage(input, randomOldImage(2).constData(), kOldSetupSize).ok());
    const QString chosen = button == QLatin1String("pushButtonInput") ? input : work.filePath(QStringLiteral("setups/new.hex"));

    MainWindow window;
    child<QLineEdit>(window, "InputFile")->setText(input);
    auto click = [&] { child<QPushButton>(window, button.toLatin1().constData())->click(); };
    const QList<Seen> first = runAnswering(click, {choose(chosen)});
    const QList<Seen> second = runAnswering(click, {cancel()});
    const QList<Seen> third = runAnswering(click, {cancel()});

    QCOMPARE(first.size(), 1);
    QCOMPARE(first[0].folder, home());
    // The chosen file's folder, with that file proposed; a cancelled dialog leaves it so.
    for (const QList<Seen> &later : {second, third}) {
        QCOMPARE(later.size(), 1);
        QCOMPARE(later[0].folder, canonical(work.filePath(QStringLiteral("setups"))));
        QCOMPARE(later[0].proposed, QFileInfo(chosen).fileName());
    }
}

void TestMainWindow::rememberedFoldersAreSeparate()
{
    QTemporaryDir work;
    QDir dir(work.path());
    QVERIFY(dir.mkdir(QStringLiteral("in")) && dir.mkdir(QStringLiteral("out")));
    const QString input = work.filePath(QStringLiteral("in/old.hex"));
    const QString output = work.filePath(QStringLiteral("out/new.hex"));
    QVERIFY(writeHexImage(input, randomOldImage(3).constData(), kOldSetupSize).ok());

    MainWindow window;
    auto browse = [&] { child<QPushButton>(window, "pushButtonInput")->click(); };
    auto convert = [&] { child<QPushButton>(window, "pushButtonConvert")->click(); };
    const QList<Seen> browsed = runAnswering(browse, {choose(input)});
    const QList<Seen> saved = runAnswering(convert, {choose(output)});
    const QList<Seen> browsedAgain = runAnswering(browse, {cancel()});
    const QList<Seen> savedAgain = runAnswering(convert, {cancel()});

    QCOMPARE(kinds(browsed + saved + browsedAgain + savedAgain), QStringList({"open", "save", "open", "save"}));
    QCOMPARE(browsed[0].folder, home());
    QCOMPARE(saved[0].folder, home());
    QCOMPARE(browsedAgain[0].folder, canonical(work.filePath(QStringLiteral("in"))));
    QCOMPARE(browsedAgain[0].proposed, QStringLiteral("old.hex"));
    QCOMPARE(savedAgain[0].folder, canonical(work.filePath(QStringLiteral("out"))));
    QCOMPARE(savedAgain[0].proposed, QStringLiteral("new.hex"));

    // A new window starts at home again.
    MainWindow other;
    const QList<Seen> fresh = runAnswering([&] { child<QPushButton>(other, "pushButtonInput")->click(); }, {cancel()});
    QCOMPARE(fresh.size(), 1);
    QCOMPARE(fresh[0].folder, home());
}

void TestMainWindow::browsingSetsTheField_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("choice");   // a file name in the work folder; empty to cancel
    QTest::addColumn<QByteArray>("contents");

    QTest::newRow("choice replaces typed text") << "typed by hand.hex" << "old.hex" << QByteArray(":00000001FF\n");
    QTest::newRow("any file can be chosen, unread") << "" << "notes.txt" << QByteArray("not a setup file");
    QTest::newRow("cancel keeps typed text") << " typed by hand.hex " << "" << QByteArray();
}

void TestMainWindow::browsingSetsTheField()
{
    QFETCH(QString, typed);
    QFETCH(QString, choice);
    QFETCH(QByteArray, contents);

    QTemporaryDir work;
    const QString path = work.filePath(choice);
    if (!choice.isEmpty())
        QVERIFY(writeFile(path, contents));

    MainWindow window;
    auto field = child<QLineEdit>(window, "InputFile");
    field->setText(typed);
    const QList<Seen> seen = runAnswering([&] { window.browseInput(); },
                                          {choice.isEmpty() ? cancel() : choose(path)});

    // Browsing reads nothing, so even a file that is no setup is taken without a word.
    QCOMPARE(kinds(seen), QStringList{"open"});
    QCOMPARE(field->text(), choice.isEmpty() ? typed : path);
}

void TestMainWindow::convertWritesWhatTheCoreWrites_data()
{
    QTest::addColumn<QString>("output");        // relative to the work folder
    QTest::addColumn<bool>("exists");           // the output is there before, so the dialog asks first
    QTest::addColumn<quint32>("seed");

    QTest::newRow("new file") << "new.hex" << false << 10u;
    QTest::newRow("existing file replaced") << "new.hex" << true << 11u;
    QTest::newRow("input file replaced") << "old.hex" << true << 12u;
    QTest::newRow("name with blanks") << " new setup .hex" << false << 13u;
}

void TestMainWindow::convertWritesWhatTheCoreWrites()
{
    QFETCH(QString, output);
    QFETCH(bool, exists);
    QFETCH(quint32, seed);

    QTemporaryDir work;
    const QByteArray image = randomOldImage(seed);
    const QByteArray expected = coreConversion(image);
    QVERIFY(!expected.isEmpty());
    const QString input = work.filePath(QStringLiteral("old.hex"));
    QVERIFY(writeHexImage(input, image.constData(), kOldSetupSize).ok());
    const QString outputPath = work.filePath(output);
    if (exists && outputPath != input)
        QVERIFY(writeFile(outputPath, "to be replaced"));

    MainWindow window;
    child<QLineEdit>(window, "InputFile")->setText(input);
    QList<Reply> replies{choose(outputPath)};
    if (exists)
        replies << yes();
    const QList<Seen> seen = runAnswering([&] { window.convert(); }, replies);

    QStringList expectedKinds{"save"};
    if (exists)
        expectedKinds << "message";   // the dialog's own question before replacing
    QCOMPARE(kinds(seen), expectedKinds);
    QCOMPARE(readFile(outputPath), expected);
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Saved ") + QDir::toNativeSeparators(outputPath));
}

void TestMainWindow::refusesAndWritesNothing_data()
{
    // %1 stands for the work folder, which holds old.hex (a valid old setup),
    // bad.hex (a checksum wrong on line 3) and part.hex (a record left out).
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");    // empty where no save dialog may open
    QTest::addColumn<QString>("mentions");  // what the warning must name

    QTest::newRow("empty field") << "" << "" << "Choose the old setup file first.";
    QTest::newRow("missing file") << "%1/missing.hex" << "" << "%1/missing.hex";
    QTest::newRow("blank after the path") << "%1/old.hex " << "" << "%1/old.hex ";
    QTest::newRow("folder") << "%1" << "" << "%1: ";
    QTest::newRow("bad checksum") << "%1/bad.hex" << "" << "%1/bad.hex, line 3";
    QTest::newRow("incomplete") << "%1/part.hex" << "" << "%1/part.hex";
    QTest::newRow("output in a missing folder") << "%1/old.hex" << "%1/missing/new.hex" << "%1/missing/new.hex";
    QTest::newRow("output below a file") << "%1/old.hex" << "%1/old.hex/new.hex" << "%1/old.hex/new.hex";
}

void TestMainWindow::refusesAndWritesNothing()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, mentions);

    QTemporaryDir work;
    const QString folder = work.path();
    const QByteArray text = formatHexImage(randomOldImage(20).constData(), kOldSetupSize);
    QList<QByteArray> lines = text.split('\n');
    QVERIFY(writeFile(work.filePath(QStringLiteral("old.hex")), text));
    QByteArray &third = lines[2];
    third[third.size() - 1] = third.endsWith('0') ? '1' : '0';
    QVERIFY(writeFile(work.filePath(QStringLiteral("bad.hex")), lines.join('\n')));
    lines = text.split('\n');
    lines.removeAt(7);
    QVERIFY(writeFile(work.filePath(QStringLiteral("part.hex")), lines.join('\n')));
    const QStringList files = tree(folder);

    auto inWork = [&](QString path) { return path.replace(QLatin1String("%1"), folder); };

    MainWindow window;
    child<QLineEdit>(window, "InputFile")->setText(inWork(input));
    QList<Reply> replies;
    QStringList expectedKinds;
    if (!output.isEmpty()) {
        replies << choose(inWork(output));
        expectedKinds << "save";
    }
    expectedKinds << "message";
    const QList<Seen> seen = runAnswering([&] { window.convert(); }, replies);

    QCOMPARE(kinds(seen), expectedKinds);
    QCOMPARE(seen.last().title, kTitle);
    const QString expectedText = QDir::toNativeSeparators(inWork(mentions));
    QVERIFY2(seen.last().text.contains(expectedText), qPrintable(seen.last().text));
    QCOMPARE(tree(folder), files);
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

void TestMainWindow::refusedFileKeepsNothingOfEarlierOne()
{
    QTemporaryDir work;
    const QByteArray imageA = randomOldImage(30);
    const QString fileA = work.filePath(QStringLiteral("a.hex"));
    QVERIFY(writeHexImage(fileA, imageA.constData(), kOldSetupSize).ok());
    // B leaves out bytes 0x0100-0x010F, which a window that kept A's image would fill from A.
    QList<QByteArray> lines = formatHexImage(randomOldImage(31).constData(), kOldSetupSize).split('\n');
    lines.removeAt(0x10);
    const QString fileB = work.filePath(QStringLiteral("b.hex"));
    QVERIFY(writeFile(fileB, lines.join('\n')));
    const QString outA = work.filePath(QStringLiteral("a-new.hex"));
    const QString outB = work.filePath(QStringLiteral("b-new.hex"));

    MainWindow window;
    auto field = child<QLineEdit>(window, "InputFile");
    field->setText(fileA);
    const QList<Seen> first = runAnswering([&] { window.convert(); }, {choose(outA)});
    field->setText(fileB);
    const QList<Seen> second = runAnswering([&] { window.convert(); }, {choose(outB)});

    QCOMPARE(kinds(first), QStringList{"save"});
    QCOMPARE(readFile(outA), coreConversion(imageA));
    QCOMPARE(kinds(second), QStringList{"message"});
    QVERIFY(second[0].text.contains(QDir::toNativeSeparators(fileB)));
    QVERIFY(!QFile::exists(outB));
    // The earlier success is no longer announced once a conversion has failed.
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
