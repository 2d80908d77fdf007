#include "mainwindow.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

// Puts `input` in the field, presses `keys` on `target` and answers each modal widget: a file
// dialog takes `reply` (none cancels), a box is closed. Returns each as "message" and its text,
// or "open" or "save", folder, name, suffix, files listed, status bar.
static QList<QStringList> press(MainWindow &window, const QString &input, const QString &target,
                                const QString &keys, const QString &reply)
{
    QList<QStringList> seen;
    QTimer poll;
    int polls = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        auto dialog = qobject_cast<QFileDialog *>(modal);
        auto view = modal ? modal->findChild<QListView *>(QStringLiteral("listView")) : nullptr;
        const int rows = view ? view->model()->rowCount(view->rootIndex()) : 0;
        const int files = dialog
                ? dialog->directory().entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size()
                : 0;
        if (!modal || modal->property("answered").toBool()
            || (rows < files && ++polls % 100)) // let it list its folder (0.5 s at most)
            return;
        modal->setProperty("answered", true);
        auto name = modal->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        const QString kind = !dialog                              ? "message"
                : dialog->acceptMode() == QFileDialog::AcceptSave ? "save"
                                                                  : "open";
        const QString status = window.statusBar()->findChild<QLabel *>()->text();
        seen << (dialog ? QStringList{ kind, dialog->directory().canonicalPath(), name->text(),
                                       dialog->defaultSuffix(), QString::number(rows), status }
                        : QStringList{ kind, qobject_cast<QMessageBox *>(modal)->text() });
        if (dialog && !reply.isEmpty())
            name->setText(reply);
        QMetaObject::invokeMethod(modal, dialog && !reply.isEmpty() ? "accept" : "close",
                                  Qt::QueuedConnection);
    });
    poll.start(5);
    window.findChild<QLineEdit *>()->setText(input);
    window.show();
    window.activateWindow(); // again after each dialog, for the Alt shortcuts
    if (QTest::qWaitForWindowActive(
                &window)) // else nothing appears and the caller's comparison fails
        QTest::keySequence(window.findChild<QWidget *>(target), QKeySequence(keys));
    (void)QTest::qWaitFor([&] { return !seen.isEmpty(); },
                          1000); // a mnemonic clicks its button a moment later
    return seen;
}

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home, m_work;

    QString at(const QString &name) const { return name.isEmpty() ? name : m_work.filePath(name); }

private slots:
    void initTestCase()
    {
        // The file dialogs start here and keep their state below it.
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("USERPROFILE", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
        QApplication::setFont(
                QFont(QApplication::font().family(),
                      QApplication::font().pointSize() * 2)); // large text must fit too
        QByteArray text = formatHexImage(randomImage(kOldSetupSize, 2).constData(), kOldSetupSize);
        QVERIFY(writeFile(at("old.hex"), text) && writeFile(at("nodot"), text)
                && saveNewSetup(at("expected.hex"), randomImage(kOldSetupSize, 2)).ok()
                && writeFile(
                        at("bad.hex"),
                        text.replace(":00000001FF", ":00000001FE"))); // the end record's checksum
    }

    // Where each dialog starts; the name saving proposes and the suffix it adds; "All files"
    // lists "nodot"; each action clears "Saved".
    void dialogs()
    {
        MainWindow window;
        // n: entries at home, which on Windows is the user's profile whatever HOME says
        const QString home = QFileInfo(QDir::homePath()).canonicalFilePath(),
                      work = QFileInfo(m_work.path()).canonicalFilePath(),
                      n = QString::number(
                              QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
        QList<QStringList>
                seen; // one step at a time: the operands of + would run in no fixed order
        const QList<QStringList> steps{ { "", "InputFile", "Alt+B", at("old.hex") },
                                        { home + "/x.hex", "InputFile", "Alt+B", "" },
                                        { at("old.hex"), "InputFile", "Return", at("new") },
                                        { at("missing/x.hex"), "pushButtonInput", "Enter", "" },
                                        { at("old.hex"), "pushButtonConvert", "Enter",
                                          at("other") },
                                        { at("old.hex"), "InputFile", "Alt+C", "" } };
        for (const QStringList &step :
             steps) // the field's text, where the keys go, the keys, the reply
            seen += press(window, step[0], step[1], step[2], step[3]);
        QCOMPARE(seen,
                 (QList<QStringList>{ { "open", home, "", "", n, "" },
                                      { "open", home, "x.hex", "", n, "" },
                                      { "save", home, "old-16.hex", "hex", n, "" },
                                      { "open", work, "old.hex", "", "5", "" },
                                      { "save", work, "old-16.hex", "hex", "5", "" },
                                      { "save", work, "old-16.hex", "hex", "6", "" } }));
        for (QWidget *widget :
             window.centralWidget()->findChildren<QWidget *>()) // no text is cut off
            QVERIFY2(widget->size() == widget->size().expandedTo(widget->sizeHint()),
                     qPrintable(widget->objectName()));
    }

    // The input is typed, named on the command line ("arg") or dropped ("drop"), one local file
    // only, and checked before saving.
    void convert_data()
    {
        QTest::addColumn<QString>("input"); // %1 is the work folder
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message"); // how the box's text starts; empty for success

        QTest::newRow("bad checksum")
                << "bad.hex"
                << ""
                << "This file is damaged: line 216 does not match its checksum. Copy the setup "
                   "from the device again.\n\n%1/bad.hex";
        QTest::newRow("missing folder") << "old.hex"
                                        << "missing/new.hex"
                                        << "The converted setup was not saved. ";
        QTest::newRow("argument") << "arg %1/old.hex"
                                  << "new.hex"
                                  << "";
        QTest::newRow("two arguments") << "arg %1/old.hex %1/bad.hex"
                                       << ""
                                       << "Choose the old setup file first.";
        QTest::newRow("unknown option") << "arg --old"
                                        << ""
                                        << "Choose the old setup file first.";
        QTest::newRow("dropped file") << "drop %1/old.hex"
                                      << "new.hex"
                                      << "";
        QTest::newRow("dropped folder") << "drop %1"
                                        << ""
                                        << "Choose the old setup file first.";
        QTest::newRow("two dropped files") << "drop %1/old.hex %1/bad.hex"
                                           << ""
                                           << "Choose the old setup file first.";
        QTest::newRow("web address") << "drop https://example.com/old.hex"
                                     << ""
                                     << "Choose the old setup file first.";
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, message);

        QFile::remove(at("new.hex"));
        MainWindow window;
        auto field = window.findChild<QLineEdit *>();
        QStringList words = input.split(QLatin1Char(' '));
        const QString how = words.size() > 1 ? words.takeFirst() : QString();
        QMimeData data; // addresses, and the same as text
        data.setUrls(QUrl::fromStringList(QStringList(words).replaceInStrings(
                "%1", QUrl::fromLocalFile(m_work.path()).toString())));
        data.setText(words.replaceInStrings("%1", m_work.path()).join('\n'));
        QDragEnterEvent enter(QPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (how == "drop" && QApplication::sendEvent(field, &enter) && enter.isAccepted())
            QApplication::sendEvent(field, &drop);
        QVERIFY(how != "arg"
                || window.takeArguments(QStringList{ "tarvik-setup-converter" } + words).isEmpty()
                        == message.isEmpty());
        const auto seen = press(window, how.isEmpty() ? at(input) : field->text(), "InputFile",
                                "Alt+C", at(output));
        QCOMPARE(seen.size(),
                 int(!output.isEmpty()) + int(!message.isEmpty())); // a save dialog, a box or both
        if (message.isEmpty())
            QCOMPARE(readFile(at("new.hex")), readFile(at("expected.hex")));
        else // first in plain words what is wrong and what to do
            QVERIFY2(seen.last()[1].startsWith(
                             QDir::toNativeSeparators(message.replace("%1", m_work.path()))),
                     qPrintable(seen.last()[1]));
        const QLabel *saved = window.statusBar()->findChild<QLabel *>();
        QCOMPARE(saved->text() + '|' + saved->toolTip(),
                 message.isEmpty() ? "Saved new.hex|" + QDir::toNativeSeparators(at("new.hex"))
                                   : "|");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
