#include "intelhex.h"
#include "mainwindow.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString kTitle = QStringLiteral("Tarvik Setup Converter");

// A modal widget as it appeared: kind ("open", "save" or "message"), title, the folder a file
// dialog shows (canonical), the name it proposes or the box's text, the dialog's filters.
using Seen = QStringList;

QString canonical(const QString &path) { return QFileInfo(path).canonicalFilePath(); }

QStringList listing(const QString &dir) { return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }
QStringList kinds(const QList<Seen> &seen) { QStringList k; for (const Seen &s : seen) k << s[0]; return k; }

// Clicks `button`, answering each modal widget with the next reply: typed into a file dialog, Yes
// to a box; an empty reply, or none left, cancels.
QList<Seen> click(MainWindow &window, const char *button, QStringList replies = {})
{
    QList<Seen> seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal->property("answered").toBool())
            return;
        modal->setProperty("answered", true);
        auto dialog = qobject_cast<QFileDialog *>(modal);
        auto box = qobject_cast<QMessageBox *>(modal);
        auto name = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        seen << Seen{QLatin1String(!dialog ? (box ? "message" : "other") : dialog->acceptMode() == QFileDialog::AcceptSave ? "save" : "open"),
                     modal->windowTitle(), dialog ? canonical(dialog->directory().absolutePath()) : QString(),
                     box ? box->text() : name ? name->text() : QString(), dialog ? dialog->nameFilters().join(";;") : QString()};
        const QString reply = replies.isEmpty() ? QString() : replies.takeFirst();
        QAbstractButton *yes = box ? box->button(QMessageBox::Yes) : nullptr;
        if (name && !reply.isEmpty())
            name->setText(reply);
        // Queued, so that a box the dialog opens in turn (before replacing a file) is answered too.
        if (reply.isEmpty() || !(yes || dialog))
            QMetaObject::invokeMethod(modal, "close", Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(yes ? static_cast<QObject *>(yes) : modal, yes ? "click" : "accept", Qt::QueuedConnection);
    });
    poll.start(5);
    QTest::mouseClick(window.findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
    return seen;
}

// Marks every text asked for in the window's context: shows which texts pass through translation.
struct MarkingTranslator : QTranslator {
    QString translate(const char *context, const char *text, const char *, int) const override
    {
        return qstrcmp(context, "MainWindow") ? QString() : '[' + QString::fromUtf8(text) + ']';
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());   // the file dialogs start here and keep their state below it
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("USERPROFILE", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
    }

    void form_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QRect>("geometry");   // null where the window places it
        QTest::addColumn<QString>("text");     // the window's title

        QTest::newRow("MainWindow") << "MainWindow" << "" << QRect(0, 0, 400, 161) << kTitle;
        QTest::newRow("centralWidget") << "QWidget" << "MainWindow" << QRect() << "";
        QTest::newRow("InputFile") << "QLineEdit" << "centralWidget" << QRect(20, 50, 281, 20) << "";
        QTest::newRow("label") << "QLabel" << "centralWidget" << QRect(20, 20, 281, 16) << "Old TARVIK setup file (8 virtual inputs):";
        QTest::newRow("pushButtonInput") << "QPushButton" << "centralWidget" << QRect(310, 50, 75, 23) << "Browse...";
        QTest::newRow("pushButtonConvert") << "QPushButton" << "centralWidget" << QRect(130, 80, 121, 23) << "Convert and Save...";
        QTest::newRow("menuBar") << "QMenuBar" << "MainWindow" << QRect(0, 0, 400, 21) << "";
        QTest::newRow("mainToolBar") << "QToolBar" << "MainWindow" << QRect() << "";
        QTest::newRow("statusBar") << "QStatusBar" << "MainWindow" << QRect() << "";
    }

    void form()
    {
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);

        MarkingTranslator marker;
        QVERIFY(QCoreApplication::installTranslator(&marker));
        MainWindow marked;
        QCoreApplication::removeTranslator(&marker);
        MainWindow window;
        const QString name = QString::fromLatin1(QTest::currentDataTag());
        auto find = [&](MainWindow &w) { return name == w.objectName() ? &w : w.findChild<QWidget *>(name); };
        auto textOf = [](QWidget *w) { return w->isWindow() ? w->windowTitle() : w->property("text").toString(); };

        QCOMPARE(int(window.findChildren<QWidget *>(name).size()) + int(window.objectName() == name), 1);
        QWidget *widget = find(window);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        QCOMPARE(widget->parentWidget() ? widget->parentWidget()->objectName() : QString(), parentName);
        if (!geometry.isNull())
            QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(textOf(widget), text);
        QCOMPARE(textOf(find(marked)), text.isEmpty() ? text : '[' + text + ']');
    }

    void frame()
    {
        MainWindow window;
        QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(window.menuWidget()->objectName(), QStringLiteral("menuBar"));
        QVERIFY(window.menuWidget()->actions().isEmpty());
        QCOMPARE(window.toolBarArea(window.findChild<QToolBar *>()), Qt::TopToolBarArea);
        QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusBar"));

        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.findChild<QLineEdit *>()->setFocus();
        for (const char *next : {"pushButtonInput", "pushButtonConvert", "InputFile"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
        }
    }

    // Each button opens one dialog, first at home. Cancelling changes nothing; a choice is where
    // that dialog alone starts next time; browsing reads nothing.
    void dialogs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("choice");   // in the work folder, which holds old.hex and notes.txt

        QTest::newRow("pushButtonInput") << "open" << "Open Hex setup file" << "notes.txt";
        QTest::newRow("pushButtonConvert") << "save" << "Save Hex setup file" << "new.hex";
    }

    void dialogs()
    {
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QString, choice);

        QTemporaryDir work;
        const QString input = work.filePath(QStringLiteral("old.hex"));
        QVERIFY(writeHexImage(input, randomImage(kOldSetupSize, 1).constData(), kOldSetupSize).ok());
        QVERIFY(writeFile(work.filePath(QStringLiteral("notes.txt")), "not a setup file"));
        const char *button = QTest::currentDataTag();
        const bool open = kind == QLatin1String("open");

        MainWindow window;
        auto field = window.findChild<QLineEdit *>();
        field->setText(input);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QList<Seen> seen = click(window, button);
        QCOMPARE(seen, (QList<Seen>{{kind, caption, canonical(QDir::homePath()), "", "All files (*.*);;HEX file (*.hex)"}}));
        QCOMPARE(field->text(), input);
        QVERIFY(window.statusBar()->currentMessage().isEmpty());

        QCOMPARE(kinds(click(window, button, {work.filePath(choice)})), QStringList{kind});
        QCOMPARE(field->text(), open ? work.filePath(choice) : input);
        field->setText(input);
        seen = click(window, open ? "pushButtonConvert" : "pushButtonInput") + click(window, button) + click(window, button);
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen[0][2], canonical(QDir::homePath()));
        for (int i : {1, 2})
            QCOMPARE(seen[i].mid(2, 2), QStringList({canonical(work.path()), choice}));
    }

    void convert_data()
    {
        // In the work folder (%1) old.hex is valid, bad.hex has a wrong checksum on line 3, part.hex
        // lacks a record; a-new.hex holds the conversion of a.hex, made first by the same window.
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("dialogs");
        QTest::addColumn<QString>("mentions");   // what the warning must name; empty for success

        const QStringList save{"save"}, saveThenBox{"save", "message"}, box{"message"};
        QTest::newRow("new file") << "%1/old.hex" << "%1/new.hex" << save << "";
        QTest::newRow("existing file replaced") << "%1/old.hex" << "%1/a-new.hex" << saveThenBox << "";
        QTest::newRow("input file replaced") << "%1/old.hex" << "%1/old.hex" << saveThenBox << "";
        QTest::newRow("name with blanks") << "%1/old.hex" << "%1/ new setup .hex" << save << "";
        QTest::newRow("empty field") << "" << "" << box << "Choose the old setup file first.";
        QTest::newRow("blank after the path") << "%1/old.hex " << "" << box << "%1/old.hex ";
        QTest::newRow("bad checksum") << "%1/bad.hex" << "" << box << "%1/bad.hex, line 3";
        QTest::newRow("incomplete") << "%1/part.hex" << "" << box << "%1/part.hex";
        QTest::newRow("output in a missing folder") << "%1/old.hex" << "%1/missing/new.hex" << saveThenBox << "%1/missing/new.hex";
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QStringList, dialogs);
        QFETCH(QString, mentions);

        QTemporaryDir work;
        const QString folder = work.path();
        auto at = [&](const char *name) { return work.filePath(QLatin1String(name)); };
        const QByteArray image = randomImage(kOldSetupSize, 2), text = formatHexImage(image.constData(), kOldSetupSize);
        QList<QByteArray> bad = text.split('\n'), part = bad;
        bad[2][bad[2].size() - 1] = bad[2].endsWith('0') ? '1' : '0';
        part.removeAt(0x10);
        QVERIFY(writeFile(at("old.hex"), text) && writeFile(at("bad.hex"), bad.join('\n'))
                && writeFile(at("part.hex"), part.join('\n')) && saveNewSetup(at("expected.hex"), image).ok());
        QVERIFY(writeHexImage(at("a.hex"), randomImage(kOldSetupSize, 1).constData(), kOldSetupSize).ok());

        MainWindow window;
        auto field = window.findChild<QLineEdit *>();
        field->setText(at("a.hex"));
        QCOMPARE(kinds(click(window, "pushButtonConvert", {at("a-new.hex")})), QStringList{"save"});
        const QStringList files = listing(folder);
        field->setText(input.replace(QLatin1String("%1"), folder));
        output.replace(QLatin1String("%1"), folder);
        const QList<Seen> seen = click(window, "pushButtonConvert", {output, QStringLiteral("Yes")});
        QCOMPARE(kinds(seen), dialogs);
        if (mentions.isEmpty()) {
            QCOMPARE(readFile(output), readFile(at("expected.hex")));
            QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Saved ") + QDir::toNativeSeparators(output));
            return;
        }
        // Refused: a warning naming the file, nothing written, the earlier success no longer announced.
        QCOMPARE(seen.last()[1], kTitle);
        mentions = QDir::toNativeSeparators(mentions.replace(QLatin1String("%1"), folder));
        QVERIFY2(seen.last()[3].contains(mentions), qPrintable(seen.last()[3]));
        QCOMPARE(listing(folder), files);
        QVERIFY(window.statusBar()->currentMessage().isEmpty());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
