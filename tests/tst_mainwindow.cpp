#include "mainwindow.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

static QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The shown controls of `widget` that a screen reader finds unnamed, by role and object name.
static QStringList unnamed(QWidget *widget)
{
    using A = QAccessible;
    const QList<A::Role> controls{ A::PushButton,  A::ComboBox, A::EditableText, A::Table,
                                   A::ProgressBar, A::ToolBar,  A::MenuBar };
    QStringList found;
    QList<QAccessibleInterface *> left{ QAccessible::queryAccessibleInterface(widget) };
    while (!left.isEmpty()) {
        QAccessibleInterface *item = left.takeLast();
        for (int i = 0; i < item->childCount(); ++i)
            left << item->child(i);
        if (controls.contains(item->role()) && !item->state().invisible
            && item->text(A::Name).isEmpty())
            found << QString::number(item->role()) + ' ' + item->object()->objectName();
    }
    return found;
}

// How many controls of `window` overlap another, as one left out of its layout does.
static int overlaps(QWidget *window)
{
    int found = 0;
    const auto shown = window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *a : shown)
        for (QWidget *b : shown)
            found += a != b && a->isVisible() && b->isVisible()
                    && a->geometry().intersects(b->geometry());
    return found;
}

// What a modal window showed: a file dialog as {"open" or "save", its folder, proposed name,
// suffix, how many files it lists, the status bar's text}; a message box as {"box", its text,
// informative, detailed text}; the entries as {"entries", how many, the first inserted one's old
// name, "OLD>NEW FIRST" of rows 41 and 1, whether row 41's name is carried}.
using Shown = QStringList;

// Puts `input` in the field ("=" leaves it), presses `keys` on the widget named `target` (or the
// focus), and answers each modal window with the next of `replies`: a file name (empty cancels),
// or the message box's button of that text, else its default. Returns what each showed.
static QList<Shown> act(MainWindow &window, const QString &input, const QString &target,
                        const QString &keys, QStringList replies)
{
    QList<Shown> shown;
    QTimer poll;
    int polls = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal->property("answered").toBool())
            return;
        auto dialog = qobject_cast<QFileDialog *>(modal);
        auto box = qobject_cast<QMessageBox *>(modal);
        auto table = modal->findChild<QTableWidget *>("entries");
        if (!dialog && !box && !table) // a list, open beside the window
            return;
        if (table) {
            shown << Shown{
                "entries" + unnamed(modal).join(' ')
                        + (table->accessibleDescription().isEmpty() ? " undescribed" : ""),
                QString::number(table->rowCount()), table->item(32, 1)->text(),
                table->item(40, 0)->text() + '>' + table->item(40, 2)->text() + ' '
                        + table->item(0, 2)->text(),
                table->item(40, 1)->text() == table->item(40, 3)->text() ? "carried" : ""
            };
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        }
        const QString reply = replies.isEmpty() ? QString() : replies.takeFirst();
        if (box) {
            shown << Shown{ "box" + unnamed(box).join(' '), box->text(), box->informativeText(),
                            box->detailedText() };
            QAbstractButton *answer =
                    box->defaultButton() ? box->defaultButton() : box->buttons()[0];
            for (QAbstractButton *button : box->buttons())
                answer = button->text() == reply ? button : answer;
            QMetaObject::invokeMethod(answer, "click", Qt::QueuedConnection);
        } else if (dialog) {
            // Once it lists its folder and has the focus (half a second at most).
            auto view = dialog->findChild<QListView *>("listView");
            auto name = dialog->findChild<QLineEdit *>("fileNameEdit");
            const int listed = view->model()->rowCount(view->rootIndex());
            const QDir folder = dialog->directory();
            if ((listed < folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size()
                 || !name->hasFocus())
                && ++polls % 100) {
                replies.prepend(reply);
                return;
            }
            const bool save = dialog->acceptMode() == QFileDialog::AcceptSave;
            // What the caption adds to "Save Hex setup file": why it opens there.
            shown << Shown{ (save ? "save" : "open") + dialog->windowTitle().section(" file", 1),
                            folder.canonicalPath(),
                            name->text(),
                            dialog->defaultSuffix(),
                            QString::number(listed),
                            window.statusBar()->findChild<QLabel *>()->text() };
            name->setText(reply);
            QMetaObject::invokeMethod(dialog, reply.isEmpty() ? "reject" : "accept",
                                      Qt::QueuedConnection);
        }
        modal->setProperty("answered", true);
    });
    poll.start(5);
    if (input != "=")
        window.findChild<QLineEdit *>()->setText(input);
    window.show();
    window.activateWindow(); // again after each dialog, for the Alt shortcuts
    if (QTest::qWaitForWindowActive(&window)) {
        QWidget *to = target == "focus" ? QApplication::focusWidget()
                                        : window.findChild<QWidget *>(target);
        to->setFocus(); // as a click or Tab would give it
        QTest::keySequence(to, QKeySequence(keys));
    }
    // A mnemonic clicks a moment later; the action runs to its end in here.
    (void)QTest::qWaitFor([&] { return !shown.isEmpty(); }, 1000);
    return shown;
}

// Makes `folder` writable or not for this process (for root by the immutable flag); false where
// the system cannot.
static bool setWritable(const QString &folder, bool writable)
{
#ifdef Q_OS_LINUX
    if (writable || QFileInfo(folder).isWritable())
        setAttribute(folder, FS_IMMUTABLE_FL, !writable);
#endif
    if (QFileInfo(folder).isWritable() != writable) // not root
        QFile::setPermissions(folder,
                              QFile::ReadOwner | QFile::ExeOwner
                                      | (writable ? QFile::WriteOwner : QFile::Permissions()));
    return QFileInfo(folder).isWritable() == writable;
}

// Entry names as an old setup holds them.
static QByteArray named(const QByteArrayList &names)
{
    QByteArray entries;
    for (const QByteArray &name : names)
        entries += name.leftJustified(21, '\0');
    return entries;
}

static QPushButton *button(QWidget *widget, const QString &text)
{
    for (QPushButton *button : widget->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home, m_work;
    // Its first entries are named, as the line under the field shows.
    QByteArray m_old =
            randomImage(kOldSetupSize, 2).replace(131, 63, named({ "Door", "Gate", "Lift" }));

    static QString trash()
    {
#ifdef Q_OS_WIN
        return "the Recycle Bin";
#else
        return "the Trash";
#endif
    }
    QString at(const QString &name) const
    {
        return name.isEmpty() ? name : m_work.filePath(name);
    }

private slots:
    void initTestCase()
    {
        // The file dialogs start here and keep their state here.
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("USERPROFILE", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(".config")));
        QVERIFY(writeFile(m_home.filePath("site.hex"), oldFile(m_old))); // ~/site.hex
        // Large text fits too.
        QApplication::setFont(
                QFont(QApplication::font().family(), QApplication::font().pointSize() * 2));
    }

    // Each row starts with these: old.hex, an old setup, and expected.hex, its conversion; b.hex
    // and other.hex, another and its conversion; files that are no setup at all.
    void init()
    {
        const QByteArray other = randomImage(kOldSetupSize, 3);
        QVERIFY(QDir(m_work.path()).removeRecursively());
        QVERIFY(QDir().mkpath(at("A")) && QDir().mkpath(at("B")) && QDir().mkpath(at("C")));
        const QMap<QString, QByteArray> files{
            { "old.hex", oldFile(m_old) },
            { "expected.hex", newFile(m_old) },
            { "b.hex", oldFile(other) },
            { "other.hex", newFile(other) },
            { "bad.hex", oldFile(m_old).replace(":00000001FF", ":00000001FE") },
            { "both.hex", oldFile(m_old) + oldFile(other) },
            { "notes.txt", "notes\n" },
            { "A/site.hex", oldFile(m_old) },
            { "firmware.hex",
              hexRecord(4, 0, QByteArray("\x08\x00", 2)) + '\n' + hexRecord(0, 0, "\x01") },
            { "A/nodot", "notes\n" },
            { "B/site.hex", oldFile(other) },
            { "C/SITE.HEX", oldFile(m_old) },
            { "C/b.hex", oldFile(other) }, // listed after SITE.HEX where case counts
        };
        for (auto file = files.begin(); file != files.end(); ++file)
            QVERIFY(writeFile(at(file.key()), file.value()));
        QVERIFY(writeFile(at("locked.txt"), "notes\n") // read-only, as attrib +r makes it
                && QFile::setPermissions(at("locked.txt"), QFile::ReadOwner | QFile::ReadOther));
    }

    // The open dialog starts beside the path in the field, else where it was left; the save
    // dialog beside the input, proposing a name made from its name. "All files" lists "nodot";
    // "Saved" leaves the status bar as the field changes and as a conversion starts.
    void dialogs()
    {
        MainWindow window;
        // n: entries at home (on Windows the profile, whatever HOME is)
        const QString home = QFileInfo(QDir::homePath()).canonicalFilePath(),
                      n = QString::number(
                              QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size()),
                      a = QFileInfo(at("A")).canonicalFilePath(),
                      b = QFileInfo(at("B")).canonicalFilePath();
        // The field's text, the widget the keys go to, the keys, the reply.
        const QList<QStringList> steps{
            { "", "InputFile", "Alt+B", at("A/site.hex") },
            { home + "/x.hex", "InputFile", "Alt+B", "" },
            { at("A/site.hex"), "InputFile", "Return", "a-16" },
            { at("B/site.hex"), "InputFile", "Alt+B", "" },
            { at("B/site.hex"), "InputFile", "Alt+C", "site-16" },
            { at("B/site.hex"), "pushButtonConvert", "Enter", "" },
            { at("missing/x.hex"), "pushButtonInput", "Enter", "" },
            // Enter after a file is chosen converts it.
            { at("A/site.hex"), "pushButtonInput", "Space", at("B/site.hex") },
            { "=", "focus", "Return", "" },
            { at("B/site.hex"), "pushButtonEntries", "Space", "" },
        };
        QList<Shown> shown; // a step at a time: operands of + run in no fixed order
        for (const QStringList &step : steps)
            shown += act(window, step[0], step[1], step[2], { step[3] });
        QCOMPARE(shown,
                 (QList<Shown>{ { "open", home, "", "", n, "" },
                                { "open", home, "x.hex", "", n, "" },
                                { "save", a, "site-16.hex", "hex", "2", "" },
                                { "open", b, "site.hex", "", "1", "" },
                                { "save", b, "site-16.hex", "hex", "1", "" },
                                { "save", b, "site-16.hex", "hex", "2", "" },
                                { "open", b, "site.hex", "", "2", "" },
                                { "open", a, "site.hex", "", "3", "" },
                                { "save", b, "site-16.hex", "hex", "2", "" },
                                { "entries", "56", "(inserted)", "33>41 1", "carried" } }));
        QCOMPARE(readFile(at("B/site-16.hex")), savedText(readFile(at("other.hex"))));
        for (QWidget *widget : window.centralWidget()->findChildren<QWidget *>()) // none cut off
            QVERIFY2(widget->size() == widget->size().expandedTo(widget->sizeHint()),
                     qPrintable(widget->objectName()));
        // A screen reader finds every control by a name, the field by its label's; Tab goes on
        // to Browse, Convert and Save, then Entries.
        QCOMPARE(unnamed(&window), QStringList());
        QLineEdit *field = window.findChild<QLineEdit *>();
        QCOMPARE(QAccessible::queryAccessibleInterface(field)->text(QAccessible::Name),
                 "Old TARVIK setup file (8 virtual inputs):");
        QStringList order;
        field->setFocus();
        for (QWidget *at = field; order.size() < 4; at = window.focusWidget()) {
            order << at->objectName();
            QTest::keyClick(at, Qt::Key_Tab);
        }
        QCOMPARE(order.join(' '), "InputFile pushButtonInput pushButtonConvert pushButtonEntries");
        window.takeArguments({ "program", at("A") }); // then Browse starts where the list was
        QTRY_VERIFY(window.findChild<QDialog *>("batch"));
        window.findChild<QDialog *>("batch")->close();
        QTRY_VERIFY(!window.findChild<QDialog *>("batch"));
        QCOMPARE(act(window, "", "InputFile", "Alt+B", { "" }).value(0),
                 (Shown{ "open", a, "", "", "3", "" }));
    }

    // A conversion of the file typed into the field, as pasted paths are meant. Over an output the
    // window says what it holds and asks, and Enter keeps it; a box says what went wrong, what to
    // do, and the file. The output holds the conversion exactly when "Saved".
    void convert_data()
    {
        QTest::addColumn<QString>("input");       // %1 is the work folder, %2 its address
        QTest::addColumn<QStringList>("replies"); // the name to save as, then the answer
        // How the last box's text starts|its informative text ends|its detailed text starts.
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("status");

        const QString old = "%1/old.hex", saved = "Saved new.hex in %1";
        const QStringList none, toNew{ "new.hex" };
        auto row = [](const char *name, const QString &input, const QStringList &replies,
                      const QString &box, const QString &status = "") {
            QTest::newRow(name) << input << replies << box << status;
        };
        row("typed", old, toNew, "", saved);
        row("quoted", "\"%1/old.hex\"", toNew, "", saved);
        row("address", "%2/old.hex", toNew, "", saved);
        row("blank at the end", "%1/old.hex ", toNew, "", saved);
        row("empty field", "", none, "Choose the old setup file first.");
        row("bad checksum", "%1/bad.hex", none,
            "This file is damaged: line 216 |Nothing was written.\n\n%1/bad.hex|%1/bad.hex, "
            "line 216: checksum");
        row("two setups in one", "%1/both.hex", none, "This file holds two different setups");
        row("into a missing folder", old, { "missing/new.hex" },
            "The converted setup was not saved: its folder is no longer there.|written.\n\n"
            "%1/missing/new.hex");
        row("over the input", old, { "old.hex" }, "old.hex in %1 holds the 8-input setup you are");
        row("over another old setup", old, { "b.hex" },
            "b.hex in %1 holds another 8-input setup|conversion of old.hex in %1?");
        row("over another conversion", old, { "other.hex" }, "other.hex in %1 holds a different");
        row("over another conversion, replaced", old, { "other.hex", "&Replace" },
            "other.hex in %1 holds", "Saved other.hex in %1; the earlier file is in " + trash());
#ifndef Q_OS_WIN
        row("replaced, no trash to be had", old, { "other.hex", "&Replace" },
            "other.hex in %1 holds",
            "Saved other.hex in %1; the earlier file is kept as other.hex~");
#endif
        row("over no setup", old, { "notes.txt" }, "notes.txt in %1 is not a setup file");
        row("over a write-protected file", old, { "locked.txt", "&Replace" },
            "The converted setup was not saved: the file is write-protected.|earlier "
            "contents.\n\n%1/locked.txt");
        row("over its own conversion", old, { "expected.hex" }, "",
            "expected.hex in %1 is already up to date");
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QStringList, replies);
        QFETCH(QString, box);
        QFETCH(QString, status);

        // A path as the system writes it; an address as it stands.
        auto fill = [&](QString text) {
            text.replace("%1", m_work.path());
            return text.contains("%2")
                    ? text.replace("%2", QUrl::fromLocalFile(m_work.path()).toString())
                    : native(text);
        };
        const QString output = at(replies.value(0));
        const QByteArray before = readFile(output);
        // A row that keeps the earlier file beside runs where no trash can be made.
        const QString kept = status.section("kept as ", 1);
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        if (!kept.isEmpty())
            qputenv("XDG_DATA_HOME", QFile::encodeName(at("notes.txt/data")));
        MainWindow window;
        window.resize(2000, 200); // nothing in the status bar is left out
        const QList<Shown> shown = act(window, fill(input), "pushButtonConvert", "Space", replies);
        qputenv("XDG_DATA_HOME", dataHome);
        const QStringList last = shown.value(shown.size() - 1), expected = fill(box).split('|');
        QVERIFY2(box.isEmpty() ? last.value(0) != "box"
                               : last.value(0) == "box" && last[1].startsWith(expected[0])
                                 && last[2].endsWith(expected.value(1))
                                 && last[3].startsWith(expected.value(2)),
                 qPrintable(last.join('|')));
        // After a refusal the name can be put right at once.
        if (last.value(0) == "box" && !last[2].endsWith('?'))
            QCOMPARE(window.focusWidget(), window.findChild<QLineEdit *>());
        QLabel *label = window.statusBar()->findChild<QLabel *>();
        QCOMPARE(label->text() + '|' + label->toolTip(), fill(status) + '|' + fill(status));
        label->resize(label->fontMetrics().horizontalAdvance(label->toolTip()), 30); // just fits
        QCOMPARE(label->text(), label->toolTip());
        // Where the window is too narrow, the folder alone is shortened.
        const QString head = fill(status.section("%1", 0, 0)), tail = fill(status.section("%1", 1));
        window.resize(label->fontMetrics().horizontalAdvance(head + tail) + 150, 200);
        QTRY_VERIFY2(status.isEmpty()
                             || (label->text().startsWith(head) && label->text().endsWith(tail)
                                 && label->text().contains(QChar(0x2026))),
                     qPrintable(label->text()));
        if (!output.isEmpty())
            QCOMPARE(readFile(output),
                     status.startsWith("Saved") ? savedText(newFile(m_old)) : before);
        // The earlier file is where the status bar says it is.
        if (!kept.isEmpty())
            QCOMPARE(readFile(at(kept)), before);
#ifndef Q_OS_WIN
        if (status.contains("in the Trash"))
            QCOMPARE(readFile(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                              + "/Trash/files/" + replies.value(0)),
                     before);
#endif
    }

    // A list converted at one press, each file beside its input: one question for all it would
    // replace; one up to date is left alone, a damaged one refused; each row says what became of
    // its file. Cancel writes nothing.
    void batch_data()
    {
        QTest::addColumn<QString>("answers"); // a button's text, or a key, at each Convert All
        QTest::addColumn<QString>("site");    // what becomes of A/site-16.hex
        QTest::addColumn<QString>("summary"); // the line under the list
        const QString others = "1 already up to date, 1 already converted, ";
        QTest::newRow("Replace All")
                << "&Replace All"
                << "Saved site-16.hex; the earlier file is in " + trash()
                << "2 converted, " + others + "3 not converted: see their rows.";
        QTest::newRow("Skip These")
                << "&Skip These"
                << "Not replaced: site-16.hex is kept as it was"
                << "1 converted, " + others + "1 not replaced, 3 not converted: see their rows.";
        QTest::newRow("Enter, the default, writes nothing") << "Enter"
                                                            << ""
                                                            << "";
        QTest::newRow("Escape writes nothing, then Replace All")
                << "Escape,&Replace All"
                << "Saved site-16.hex; the earlier file is in " + trash()
                << "2 converted, " + others + "3 not converted: see their rows.";
    }

    void batch()
    {
        QFETCH(QString, answers);
        QFETCH(QString, site);
        QFETCH(QString, summary);
        QVERIFY(writeFile(at("A/site-16.hex"), "an earlier file\n")
                && writeFile(at("b-16.hex"), readFile(at("other.hex"))));
        MainWindow window;
        QVERIFY(QFile::copy(at("old.hex"), at("old-16.hex"))); // in the list: never replaced
        window.takeArguments({ "program", at("A/site.hex"), at("b.hex"), at("bad.hex"),
                               at("old.hex"), at("old-16.hex"), at("missing.hex"),
                               at("b-16.hex") });
        window.show();
        QDialog *list = nullptr;
        QTRY_VERIFY((list = window.findChild<QDialog *>("batch")));
        // The old setups are counted; where their conversions go is said, within the screen; Tab
        // leaves the table, of three columns and no row numbers.
        QCOMPARE(list->windowTitle(), "Convert 4 setup files");
        QVERIFY(list->findChild<QLabel *>("where")->text().endsWith(
                "beside its file as NAME-16.hex (site.hex becomes site-16.hex)."));
        auto table = list->findChild<QTableWidget *>();
        table->setFocus();
        QTest::keyClick(table, Qt::Key_Tab);
        QCOMPARE(list->focusWidget()->objectName(), "saveInto");
        QVERIFY(unnamed(list).isEmpty() && !overlaps(list)
                && list->width() <= list->screen()->availableGeometry().width()
                && table->columnCount() == 3 && table->verticalHeader()->isHidden());
        const auto before = snapshot(m_work.path());
        QStringList asked;
        QString answer;
        QTimer reply; // answers the question, and records it
        connect(&reply, &QTimer::timeout, [&] {
            auto box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->property("answered").toBool())
                return;
            box->setProperty("answered", true);
            asked << box->text() + '|' + box->informativeText() + unnamed(box).join(' ');
            if (!answer.startsWith('&'))
                QTest::keyClick(box, answer == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
            for (QAbstractButton *button : box->buttons())
                if (button->text() == answer)
                    QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
        });
        reply.start(5);
        QPushButton *convert = button(list, "&Convert All");
        QList<int> steps; // the bar's values as it goes, negative where Convert All may be pressed
        connect(list->findChild<QProgressBar *>(), &QProgressBar::valueChanged,
                [&](int value) { steps << (convert->isEnabled() ? -value : value); });
        for (const QString &next : answers.split(',')) {
            answer = next;
            QVERIFY(convert->isEnabled());
            // The first time as most press it: Enter, where the focus is.
            asked.isEmpty() ? QTest::keyClick(list->focusWidget(), Qt::Key_Return)
                            : convert->click();
        }
        QCOMPARE(asked.size(), answers.count(',') + 1);
        QVERIFY2(asked[0].contains("site-16.hex in " + native(at("A"))
                                   + " differs from its conversion; it holds now: This file holds "
                                     "no setup."),
                 qPrintable(asked[0]));
        // Each result as a screen reader reads it, shown whole in its row and as its tooltip.
        QAccessibleTableInterface *cells =
                QAccessible::queryAccessibleInterface(table)->tableInterface();
        QStringList results;
        for (int row = 0; row < table->rowCount(); ++row) {
            results << cells->cellAt(row, 2)->text(QAccessible::Name);
            // As high as its text wrapped in the cell's width needs.
            QStyleOptionViewItem cell;
            cell.initFrom(table);
            cell.rect = table->visualRect(table->model()->index(row, 2));
            cell.features |= QStyleOptionViewItem::WrapText;
            QVERIFY2(table->itemDelegate()->sizeHint(cell, table->model()->index(row, 2)).height()
                                     <= cell.rect.height()
                             && table->item(row, 2)->toolTip() == results.last(),
                     qPrintable(results.last()));
        }
        QCOMPARE(list->findChild<QLabel *>("summary")->text(), summary);
        if (site.isEmpty()) { // as it was, and Convert All can be pressed again
            QCOMPARE(results,
                     QStringList(QVector<QString>(6).toList())
                             << "Already converted: it needs no conversion");
            QCOMPARE(snapshot(m_work.path()), before);
            QVERIFY(convert->isEnabled() && !list->property("finished").toBool());
            return;
        }
        // What is not saved can go to another folder, at once.
        QVERIFY(list->property("finished").toBool() && convert->isEnabled() && !overlaps(list)
                && list->findChild<QWidget *>("saveInto")->isEnabled());
        QCOMPARE(steps, (QList<int>{ 0, 1, 2, 3, 4, 5, 6 }));
        QCOMPARE(results,
                 (QStringList{ site, "Already up to date: b-16.hex",
                               "Refused: This file is damaged: line 216 does not match its "
                               "checksum.",
                               "Not converted: old-16.hex is in this list; it is not replaced",
                               "Saved old-16-16.hex", "Refused: There is no file of this name.",
                               "Already converted: it needs no conversion" }));
        QCOMPARE(readFile(at("A/site-16.hex")),
                 site.startsWith("Saved") ? savedText(newFile(m_old)) : "an earlier file\n");
        QCOMPARE(readFile(at("old-16.hex")), readFile(at("old.hex")));
        QVERIFY(!QFile::exists(at("bad-16.hex")));
#ifndef Q_OS_WIN
        // Every file there was is still on the disk, beside its conversion or in the trash.
        const auto kept = snapshot(m_work.path()).values()
                + snapshot(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                           + "/Trash/files")
                          .values();
        for (const QByteArray &file : before)
            QVERIFY(kept.contains(file));
#endif
    }

    // Where the files' folder may not be written, the list says so and saves into the folder
    // chosen under "Save into", which the next list offers again; of two of one name, the first.
    void batchIntoFolder()
    {
        const auto writable = qScopeGuard([this] { setWritable(at("A"), true); });
        if (!setWritable(at("A"), false))
            QSKIP("this system cannot make a folder read-only for this process");
        MainWindow window;
        QStringList shown;
        for (const bool first : { true, false }) { // the second list is offered B again
            window.takeArguments({ "program", at("A/site.hex"), at("B/site.hex") });
            QDialog *list = nullptr;
            QTRY_VERIFY((list = window.findChild<QDialog *>("batch")));
            auto box = list->findChild<QComboBox *>();
            shown << box->currentText();
            if (!first) { // "a folder..." cancelled, then another folder in B's place
                (void)act(window, "=", "saveInto", "Down", { "" });
                shown << list->findChild<QLabel *>("where")->text().section(" as", 0, 0);
                (void)act(window, "=", "saveInto", "Down", { at("C") });
                shown << box->itemText(1) + ' ' + box->itemText(2);
                break;
            }
            shown << list->findChild<QLabel *>("where")->text().section(". ", 1);
            (void)act(window, "=", "saveInto", "Down", { at("B") }); // "a folder..."
            button(list, "&Convert All")->click();
            auto table = list->findChild<QTableWidget *>();
            shown << table->item(0, 2)->text() << table->item(1, 2)->text()
                  << list->findChild<QLabel *>("summary")->text();
            list->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close)->click();
            QTRY_VERIFY(!window.findChild<QDialog *>("batch"));
        }
        QCOMPARE(shown,
                 (QStringList{ "beside each file",
                               "You may not write in " + native(at("A"))
                                       + ": choose a folder under Save into.",
                               "Saved site-16.hex",
                               "Not converted: another file of this list is saved as site-16.hex "
                               "there",
                               "1 converted, 1 not converted: see its row.", native(at("B")),
                               "Each conversion is saved in " + native(at("B")),
                               native(at("C")) + " a folder..." }));
        QCOMPARE(readFile(at("B/site-16.hex")), savedText(newFile(m_old)));
    }

    // The line under the field follows the file: read once typing pauses, not at each key, and
    // again as the window is activated or the entries are asked for, showing a file replaced
    // meanwhile.
    void readAgain()
    {
        MainWindow window, other;
        QLabel *line = window.findChild<QLabel *>("fileSummary");
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClicks(window.findChild<QLineEdit *>(), at("b.hex"));
        QVERIFY(line->toolTip().isEmpty());
        QTRY_VERIFY(line->toolTip().startsWith("Old setup"));
        const QString before = line->toolTip();
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(QFile::remove(at("b.hex")) && QFile::copy(at("old.hex"), at("b.hex")));
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(line->toolTip().startsWith("Old setup") && line->toolTip() != before);
        // Entries reads it again first: a file no longer a setup has none to show.
        QVERIFY(writeFile(at("b.hex"), "notes\n"));
        QVERIFY2(act(window, "=", "pushButtonEntries", "Space", {}).isEmpty()
                         && line->toolTip().startsWith("This file holds no setup"),
                 qPrintable(line->toolTip()));
    }

    // One file named on the command line or dropped goes into the field, the line under it saying
    // what it holds; several, or a folder's, make a list to convert.
    void intoTheField_data()
    {
        QTest::addColumn<QString>("how");   // "arg" or "drop"
        QTest::addColumn<QString>("what");  // arguments or dropped addresses; %1 is the work folder
        QTest::addColumn<QString>("field"); // what the field then holds
        // How the line under the field starts; or the files a list shows, by name.
        QTest::addColumn<QString>("shows");

        const QString oldSetup = "Old setup, 8 virtual inputs: Door, Gate, Lift, *48 entries";
        auto row = [](const char *name, const char *how, const char *what, const char *field,
                      const QString &shows) {
            QTest::newRow(name) << QString(how) << QString(what) << QString(field) << shows;
        };
        row("argument, after Qt's own option", "arg", "-platform offscreen %1/old.hex",
            "%1/old.hex", oldSetup);
        row("a file and a folder", "arg", "%1/old.hex %1/C", "", "list: old.hex b.hex SITE.HEX");
#ifndef Q_OS_WIN
        row("typed with ~", "type", "~/site.hex", "~/site.hex", oldSetup);
#endif
        row("typed in single quotes", "type", "'%1/old.hex'", "'%1/old.hex'", oldSetup);
        row("typed folder", "type", "%1/C", "%1/C", "list: b.hex SITE.HEX");
        row("typed folder, before Enter", "type", "%1/C/", "%1/C/",
            "A folder with 2 .hex files: Convert*");
        row("dropped file", "drop", "%1/old.hex", "%1/old.hex", oldSetup);
        row("dropped damaged file", "drop", "%1/bad.hex", "%1/bad.hex",
            "This file is damaged: line 216 does not match its checksum.");
        row("dropped conversion", "drop", "%1/expected.hex", "%1/expected.hex",
            "Already converted, 16 virtual inputs: *56 entries");
        row("dropped firmware", "drop", "%1/firmware.hex", "%1/firmware.hex",
            "This is not a setup file: it holds data far beyond where any setup ends.");
        row("dropped folder", "drop", "%1", "",
            "list: b.hex bad.hex both.hex expected.hex firmware.hex old.hex other.hex");
    }

    void intoTheField()
    {
        QFETCH(QString, how);
        QFETCH(QString, what);
        QFETCH(QString, field);
        QFETCH(QString, shows);

        MainWindow window;
        QLineEdit *input = window.findChild<QLineEdit *>();
        window.resize(800, 200); // too narrow for the whole line under the field
        window.show();
        const QStringList words = what.replace("%1", m_work.path()).split(' ');
        if (how == "arg") {
            QCOMPARE(window.takeArguments(QStringList{ "program" } + words).status, -1);
#ifdef Q_OS_WIN
            QCOMPARE(MainWindow::parseArguments({ "program", "/?" }).status, 0); // help, as asked
#endif
        } else if (how == "type") { // and Enter where it lists a folder's files
            input->setText(native(words.join(' ')));
            if (shows.startsWith("list:"))
                QTest::keyClick(input, Qt::Key_Return);
        } else {
            QMimeData data; // addresses, and the same as text
            data.setUrls(QUrl::fromStringList(QStringList(words).replaceInStrings(
                    m_work.path(), QUrl::fromLocalFile(m_work.path()).toString())));
            data.setText(words.join('\n'));
            QDragEnterEvent enter(QPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QDropEvent drop(QPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            if (QApplication::sendEvent(input, &enter) && enter.isAccepted())
                QApplication::sendEvent(input, &drop);
        }
        QCOMPARE(input->text(), native(field.replace("%1", m_work.path())));
        // The line under the field in full (its tooltip) and as shown; or the list, a moment later.
        QString seen, shown;
        QTRY_VERIFY2_WITH_TIMEOUT(
                [&] {
                    const auto line = window.findChild<QLabel *>("fileSummary");
                    QStringList listed;
                    if (auto list = window.findChild<QDialog *>("batch")) {
                        auto table = list->findChild<QTableWidget *>();
                        for (int row = 0; row < table->rowCount(); ++row)
                            listed << table->item(row, 0)->text().section(" in ", 0, 0);
                    }
                    seen = listed.isEmpty() ? line->toolTip() : "list: " + listed.join(' ');
                    shown = listed.isEmpty() ? line->text() : seen;
                    // "start*end": how it starts and how it ends.
                    return shows.isEmpty() ? seen.isEmpty()
                                           : seen.startsWith(shows.section('*', 0, 0))
                                    && seen.endsWith(shows.section('*', 1))
                                    && shown.endsWith(shows.section('*', 1));
                }(),
                qPrintable(seen + '|' + shown), 2000);
    }

    // Where the input's folder cannot be written, the save dialog opens where the last save went,
    // and its caption says why.
    void saveDialogWhenTheInputFolderIsReadOnly()
    {
        MainWindow window;
        (void)act(window, at("old.hex"), "InputFile", "Alt+C", { "new.hex" });
        const auto writable = qScopeGuard([this] { setWritable(at("A"), true); });
        if (!setWritable(at("A"), false))
            QSKIP("this system cannot make a folder read-only for this process");
        const QList<Shown> shown = act(window, at("A/site.hex"), "InputFile", "Alt+C", { "" });
        QCOMPARE(shown.value(0).mid(0, 2),
                 (QStringList{ "save (you may not write in the folder of site.hex)",
                               QFileInfo(m_work.path()).canonicalFilePath() }));
    }

    // Enter on a completion chosen in the list takes it; on a whole path typed, the list open, it
    // converts.
    void enterTakesCompletion()
    {
        MainWindow window;
        QLineEdit *field = window.findChild<QLineEdit *>();
        QCompleter *completer = field->completer();
        bool modal = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (QWidget *widget = QApplication::activeModalWidget())
                modal = widget->close();
        });
        poll.start(5);
        QVERIFY(writeFile(at("old.hex.x"), ""));
        field->setText(at("old.hex."));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        // The model lists the folder in the background; then typing shows the list.
        (void)qobject_cast<QFileSystemModel *>(completer->model())->index(m_work.path());
        QVERIFY(QTest::qWaitFor([&] {
            QTest::keyClicks(field, "l");
            QTest::keyClick(field, Qt::Key_Backspace);
            return completer->popup()->isVisible();
        }));
        QTest::keyClick(completer->popup(), Qt::Key_Down);
        QTest::keyClick(completer->popup(), Qt::Key_Return);
        QCOMPARE(field->text(), native(at("old.hex.x")));
        // old.hex typed whole, old.hex.x offered too: Enter takes nothing; old.hex.x, alone, converts.
        for (const char *keys : { "\b\b", ".x" }) {
            QVERIFY(!modal);
            QTest::keyClicks(field, keys);
            QVERIFY(completer->popup()->isVisible());
            QTest::keyClick(field, Qt::Key_Return);
        }
        QVERIFY(modal);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
