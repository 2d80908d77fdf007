#include "intelhex.h"
#include "mainwindow.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

// Clicks `button` and answers each modal widget with the next reply: a file dialog takes it as the
// chosen file, a box is closed; an empty reply, or none left, cancels. Returns what appeared, each
// as its kind ("open", "save" or "message") and the folder a file dialog showed or a box's text.
static QList<QStringList> click(MainWindow &window, const char *button, QStringList replies = {})
{
    QList<QStringList> seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal->property("answered").toBool())
            return;
        modal->setProperty("answered", true);
        const QString reply = replies.isEmpty() ? QString() : replies.takeFirst();
        auto dialog = qobject_cast<QFileDialog *>(modal);
        auto box = qobject_cast<QMessageBox *>(modal);
        seen << QStringList{QLatin1String(!dialog ? "message" : dialog->acceptMode() == QFileDialog::AcceptSave ? "save" : "open"),
                            dialog ? QFileInfo(dialog->directory().absolutePath()).canonicalFilePath() : box ? box->text() : QString()};
        if (dialog && !reply.isEmpty())
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(reply);
        QMetaObject::invokeMethod(modal, dialog && !reply.isEmpty() ? "accept" : "close", Qt::QueuedConnection);
    });
    poll.start(5);
    QTest::mouseClick(window.findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
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
        // The file dialogs start at home and keep their state below it.
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("USERPROFILE", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".config"))));
        QByteArray text = formatHexImage(randomImage(kOldSetupSize, 2).constData(), kOldSetupSize);
        QVERIFY(writeFile(at("old.hex"), text) && writeFile(at("bad.hex"), text.replace(":00000001FF", ":00000001FE")));
    }

    // Each dialog starts at home, then at the file last chosen in it; neither moves the other.
    void remembersEachDialogsFolder()
    {
        MainWindow window;
        window.findChild<QLineEdit *>()->setText(at("old.hex"));
        const QString home = QFileInfo(QDir::homePath()).canonicalFilePath(), work = QFileInfo(m_work.path()).canonicalFilePath();
        QList<QStringList> seen; // one click at a time: the operands of + would run in no fixed order
        for (const auto &step : QList<QPair<const char *, QString>>{{"pushButtonInput", at("old.hex")}, {"pushButtonInput", {}},
                                                                  {"pushButtonConvert", at("new.hex")}, {"pushButtonConvert", {}}})
            seen += click(window, step.first, {step.second});
        QCOMPARE(seen, (QList<QStringList>{{"open", home}, {"open", work}, {"save", home}, {"save", work}}));
    }

    // The input is checked before the save dialog opens; every failure is shown in a box.
    void convert_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("kinds");
        QTest::addColumn<QString>("message"); // a fragment of the box's text; empty for success

        QTest::newRow("saved") << "old.hex" << "new.hex" << QStringList{"save"} << "";
        QTest::newRow("empty field") << "" << "" << QStringList{"message"} << "Choose the old setup file first.";
        QTest::newRow("bad checksum") << "bad.hex" << "" << QStringList{"message"} << "bad.hex, line 216";
        QTest::newRow("missing folder") << "old.hex" << "missing/new.hex" << QStringList{"save", "message"} << "new.hex";
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QStringList, kinds);
        QFETCH(QString, message);

        QFile::remove(at("new.hex"));
        MainWindow window;
        window.findChild<QLineEdit *>()->setText(at(input));
        const QList<QStringList> seen = click(window, "pushButtonConvert", {at(output)});
        QStringList seenKinds;
        for (const QStringList &s : seen)
            seenKinds << s.first();
        QCOMPARE(seenKinds, kinds);
        if (!message.isEmpty()) {
            QVERIFY2(seen.last().last().contains(message), qPrintable(seen.last().last()));
            QVERIFY(!QFile::exists(at("new.hex")));
            return;
        }
        QByteArray image;
        QVERIFY(loadOldSetup(at("old.hex"), &image).ok() && saveNewSetup(at("expected.hex"), image).ok());
        QCOMPARE(readFile(at("new.hex")), readFile(at("expected.hex")));
        QCOMPARE(window.statusBar()->currentMessage(), "Saved " + QDir::toNativeSeparators(at("new.hex")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
