#include "testutil.h"
#include "intelhex.h"
#include "migration.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

// Black-box tests of tarvik-convert: every case runs the real executable. In the
// argument and path tables "@" stands for the test's temporary folder.

struct Run {
    int status = -1;
    QByteArray out;
    QList<QByteArray> errLines;
};

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void convertsOneFile_data();
    void convertsOneFile();
    void printsHelpAndVersion_data();
    void printsHelpAndVersion();
    void rejectsUsage_data();
    void rejectsUsage();
    void reportsUnwritableOutput_data();
    void reportsUnwritableOutput();
    void keepsOutputOfBadInput_data();
    void keepsOutputOfBadInput();
    void batchSkipsBadFile_data();
    void batchSkipsBadFile();
    void batchProtectsInputs_data();
    void batchProtectsInputs();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    Run run(const QStringList &arguments) const;
    QByteArray writeOldSetup(const QString &relative, quint32 seed) const;
    void writeBadInput(const QString &relative, const QString &kind) const;
    void verifyConverted(const QString &relative, const QByteArray &oldImage) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

Run TestCli::run(const QStringList &arguments) const
{
    QStringList expanded;
    for (const QString &argument : arguments)
        expanded << QString(argument).replace(QLatin1Char('@'), m_dir->path());
    QProcess process;
    process.start(QStringLiteral(TARVIK_CONVERT), expanded);
    Run result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput().replace("\r\n", "\n");
    const QByteArray err = process.readAllStandardError().replace("\r\n", "\n");
    if (!err.isEmpty())
        result.errLines = err.trimmed().split('\n');
    return result;
}

QByteArray TestCli::writeOldSetup(const QString &relative, quint32 seed) const
{
    const QByteArray image = randomImage(kOldSetupSize, seed);
    QDir().mkpath(QFileInfo(path(relative)).path());
    if (!writeHexImage(path(relative), image.constData(), image.size()).ok())
        qFatal("cannot write %s", qPrintable(path(relative)));
    return image;
}

// Inputs the core refuses, one of each kind of refusal.
void TestCli::writeBadInput(const QString &relative, const QString &kind) const
{
    if (kind == QLatin1String("missing"))
        return;
    QByteArray image = randomImage(kind == QLatin1String("already converted") ? kNewSetupSize : kOldSetupSize, 7);
    if (kind == QLatin1String("incomplete"))
        image.truncate(kOldSetupSize - 16);
    QByteArray text = formatHexImage(image.constData(), image.size());
    if (kind == QLatin1String("bad checksum"))
        text.replace(":00000001FF", ":00000001FE");
    QFile file(path(relative));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path(relative)));
}

void TestCli::verifyConverted(const QString &relative, const QByteArray &oldImage) const
{
    QByteArray expected(kNewSetupSize, '\0');
    migrateSetupImage(oldImage.constData(), expected.data());
    QByteArray written(kNewSetupSize, '\0');
    const HexReadResult read = readHexImage(path(relative), written.data(), written.size());
    QVERIFY2(read.error.ok(), qPrintable(read.error.message(relative)));
    QCOMPARE(read.covered.count(true), kNewSetupSize);
    QVERIFY2(written == expected, qPrintable(relative + QStringLiteral(" is not the conversion of its input")));
}

static QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestCli::convertsOneFile_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("out");

    QTest::newRow("quiet") << QStringList() << QByteArray();
    const QByteArray line = QStringLiteral("converted %1 -> %2\n")
                                .arg(QDir::toNativeSeparators(QStringLiteral("@/old.hex")), QDir::toNativeSeparators(QStringLiteral("@/new.hex")))
                                .toLocal8Bit();
    QTest::newRow("verbose") << QStringList{QStringLiteral("--verbose")} << line;
}

void TestCli::convertsOneFile()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, out);

    const QByteArray image = writeOldSetup(QStringLiteral("old.hex"), 1);
    const Run result = run(options + QStringList{QStringLiteral("@/old.hex"), QStringLiteral("@/new.hex")});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.errLines, QList<QByteArray>());
    QCOMPARE(result.out, QByteArray(out).replace('@', QDir::toNativeSeparators(m_dir->path()).toLocal8Bit()));
    verifyConverted(QStringLiteral("new.hex"), image);
}

void TestCli::printsHelpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("--help") << QStringLiteral("--help") << QByteArray("--output-dir <DIR>");
    QTest::newRow("--version") << QStringLiteral("--version") << QByteArray("tarvik-convert " TARVIK_VERSION "\n");
}

void TestCli::printsHelpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QByteArray, expected);

    const Run result = run({option});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.errLines, QList<QByteArray>());
    QVERIFY2(result.out.contains(expected), result.out.constData());
}

void TestCli::rejectsUsage_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("input only") << QStringList{QStringLiteral("@/old.hex")};
    QTest::newRow("three files") << QStringList{QStringLiteral("@/old.hex"), QStringLiteral("@/new.hex"), QStringLiteral("@/new2.hex")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--overwrite"), QStringLiteral("@/old.hex"), QStringLiteral("@/new.hex")};
    QTest::newRow("-d without inputs") << QStringList{QStringLiteral("-d"), QStringLiteral("@/out")};
    QTest::newRow("-d without folder") << QStringList{QStringLiteral("@/old.hex"), QStringLiteral("-d")};
    QTest::newRow("-d twice") << QStringList{QStringLiteral("-d"), QStringLiteral("@/out"), QStringLiteral("--output-dir"),
                                             QStringLiteral("@/out"), QStringLiteral("@/old.hex")};
}

void TestCli::rejectsUsage()
{
    QFETCH(QStringList, arguments);

    writeOldSetup(QStringLiteral("old.hex"), 1);
    QVERIFY(QDir().mkdir(path(QStringLiteral("out"))));
    const Run result = run(arguments);
    QCOMPARE(result.status, 2);
    QVERIFY(!result.errLines.isEmpty());
    QVERIFY(result.errLines.first().startsWith("tarvik-convert: "));
    QVERIFY(std::any_of(result.errLines.cbegin(), result.errLines.cend(), [](const QByteArray &line) { return line.startsWith("Usage: "); }));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(QDir(path(QStringLiteral("out"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    QVERIFY(!QFile::exists(path(QStringLiteral("new.hex"))));
}

void TestCli::reportsUnwritableOutput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("blocked"); // must be left as it is: a folder, or nothing

    QTest::newRow("output is a folder") << QStringList{QStringLiteral("@/old.hex"), QStringLiteral("@/taken")} << QStringLiteral("taken");
    QTest::newRow("output in a missing folder") << QStringList{QStringLiteral("@/old.hex"), QStringLiteral("@/missing/new.hex")}
                                                << QStringLiteral("missing");
    QTest::newRow("batch output is a folder") << QStringList{QStringLiteral("-d"), QStringLiteral("@/out"), QStringLiteral("@/taken/old.hex")}
                                              << QStringLiteral("out/old.hex");
    QTest::newRow("batch into a missing folder") << QStringList{QStringLiteral("-d"), QStringLiteral("@/missing"), QStringLiteral("@/old.hex")}
                                                 << QStringLiteral("missing");
}

void TestCli::reportsUnwritableOutput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, blocked);

    writeOldSetup(QStringLiteral("old.hex"), 1);
    writeOldSetup(QStringLiteral("taken/old.hex"), 2);
    QVERIFY(QDir().mkpath(path(QStringLiteral("out/old.hex"))));
    const bool wasFolder = QFileInfo(path(blocked)).isDir();

    const Run result = run(arguments);
    QCOMPARE(result.status, 1);
    QCOMPARE(result.errLines.size(), 1);
    QVERIFY(result.errLines.first().startsWith("tarvik-convert: "));
    QCOMPARE(QFileInfo(path(blocked)).isDir(), wasFolder);
    QCOMPARE(QFileInfo::exists(path(blocked)), wasFolder);
}

void TestCli::keepsOutputOfBadInput_data()
{
    QTest::addColumn<QString>("kind");

    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("bad checksum") << QStringLiteral("bad checksum");
    QTest::newRow("incomplete") << QStringLiteral("incomplete");
    QTest::newRow("already converted") << QStringLiteral("already converted");
}

void TestCli::keepsOutputOfBadInput()
{
    QFETCH(QString, kind);

    writeBadInput(QStringLiteral("old.hex"), kind);
    QFile output(path(QStringLiteral("new.hex")));
    QVERIFY(output.open(QIODevice::WriteOnly));
    output.write("an earlier conversion\n");
    output.close();

    const Run result = run({QStringLiteral("@/old.hex"), QStringLiteral("@/new.hex")});
    QCOMPARE(result.status, 1);
    QCOMPARE(result.errLines.size(), 1);
    QVERIFY(result.errLines.first().startsWith("tarvik-convert: "));
    QCOMPARE(contents(output.fileName()), QByteArray("an earlier conversion\n"));
}

void TestCli::batchSkipsBadFile_data()
{
    QTest::addColumn<int>("badIndex");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("verbose");

    QTest::newRow("first missing") << 0 << QStringLiteral("missing") << false;
    QTest::newRow("middle bad checksum") << 1 << QStringLiteral("bad checksum") << false;
    QTest::newRow("last incomplete") << 2 << QStringLiteral("incomplete") << true;
    QTest::newRow("middle already converted") << 1 << QStringLiteral("already converted") << true;
}

void TestCli::batchSkipsBadFile()
{
    QFETCH(int, badIndex);
    QFETCH(QString, kind);
    QFETCH(bool, verbose);

    QStringList arguments{QStringLiteral("--output-dir"), QStringLiteral("@/out")};
    if (verbose)
        arguments << QStringLiteral("--verbose");
    QList<QByteArray> images;
    QByteArray out;
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("%1.hex").arg(i);
        if (i == badIndex)
            writeBadInput(QStringLiteral("in/") + name, kind);
        images << (i == badIndex ? QByteArray() : writeOldSetup(QStringLiteral("in/") + name, quint32(10 + i)));
        arguments << QStringLiteral("@/in/") + name;
        if (verbose && i != badIndex)
            out += QStringLiteral("converted %1 -> %2\n").arg(QDir::toNativeSeparators(path(QStringLiteral("in/") + name)),
                                                              QDir::toNativeSeparators(path(QStringLiteral("out/") + name))).toLocal8Bit();
    }
    QVERIFY(QDir().mkpath(path(QStringLiteral("out"))));

    const Run result = run(arguments);
    QCOMPARE(result.status, 1);
    QCOMPARE(result.out, out);
    QCOMPARE(result.errLines.size(), 1);
    QVERIFY(result.errLines.first().startsWith("tarvik-convert: "));
    QVERIFY(result.errLines.first().contains(QStringLiteral("%1.hex").arg(badIndex).toLocal8Bit()));
    for (int i = 0; i < 3; ++i) {
        const QString output = QStringLiteral("out/%1.hex").arg(i);
        if (i == badIndex)
            QVERIFY(!QFile::exists(path(output)));
        else
            verifyConverted(output, images.at(i));
    }
}

void TestCli::batchProtectsInputs_data()
{
    QTest::addColumn<QStringList>("inputs");    // old setups to create, all left unchanged
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("errLines");
    QTest::addColumn<QStringList>("converted"); // pairs: output, the input it must hold the conversion of

    const QStringList ab{QStringLiteral("src/a.hex"), QStringLiteral("src/b.hex")};
    QTest::newRow("output folder is the inputs' folder")
        << ab << QStringList{QStringLiteral("-d"), QStringLiteral("@/src"), QStringLiteral("@/src/a.hex"), QStringLiteral("@/src/b.hex")}
        << 1 << 2 << QStringList();
    QTest::newRow("same folder by another path")
        << ab << QStringList{QStringLiteral("-d"), QStringLiteral("@/src/../src/."), QStringLiteral("@/src/a.hex")}
        << 1 << 1 << QStringList();
    QTest::newRow("output would be a later input")
        << QStringList{QStringLiteral("src/a.hex"), QStringLiteral("src/b.hex"), QStringLiteral("out/a.hex")}
        << QStringList{QStringLiteral("-d"), QStringLiteral("@/out"), QStringLiteral("@/src/a.hex"), QStringLiteral("@/src/b.hex"),
                       QStringLiteral("@/out/a.hex")}
        << 1 << 2 << QStringList{QStringLiteral("out/b.hex"), QStringLiteral("src/b.hex")};
    QTest::newRow("same name from two folders")
        << QStringList{QStringLiteral("one/a.hex"), QStringLiteral("two/a.hex")}
        << QStringList{QStringLiteral("-d"), QStringLiteral("@/out"), QStringLiteral("@/one/a.hex"), QStringLiteral("@/two/a.hex")}
        << 1 << 1 << QStringList{QStringLiteral("out/a.hex"), QStringLiteral("one/a.hex")};
    QTest::newRow("one input named twice")
        << ab << QStringList{QStringLiteral("-d"), QStringLiteral("@/out"), QStringLiteral("@/src/a.hex"), QStringLiteral("@/src/../src/a.hex")}
        << 0 << 0 << QStringList{QStringLiteral("out/a.hex"), QStringLiteral("src/a.hex")};
#ifndef Q_OS_WIN
    QTest::newRow("output folder links to the inputs")
        << ab << QStringList{QStringLiteral("-d"), QStringLiteral("@/link"), QStringLiteral("@/src/a.hex"), QStringLiteral("@/src/b.hex")}
        << 1 << 2 << QStringList();
#endif
}

void TestCli::batchProtectsInputs()
{
    QFETCH(QStringList, inputs);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(int, errLines);
    QFETCH(QStringList, converted);

    QHash<QString, QByteArray> images;
    QHash<QString, QByteArray> texts;
    for (const QString &input : inputs) {
        images.insert(input, writeOldSetup(input, quint32(images.size() + 1)));
        texts.insert(input, contents(path(input)));
    }
    QVERIFY(QDir().mkpath(path(QStringLiteral("out"))));
    if (arguments.contains(QStringLiteral("@/link")))
        QVERIFY(QFile::link(path(QStringLiteral("src")), path(QStringLiteral("link"))));

    const Run result = run(arguments);
    QCOMPARE(result.status, status);
    QCOMPARE(result.errLines.size(), errLines);
    for (const QByteArray &line : result.errLines)
        QVERIFY(line.startsWith("tarvik-convert: "));
    for (const QString &input : inputs)
        QVERIFY2(contents(path(input)) == texts.value(input), qPrintable(input + QStringLiteral(" was changed")));
    for (int i = 0; i < converted.size(); i += 2)
        verifyConverted(converted.at(i), images.value(converted.at(i + 1)));
    // Nothing else was written.
    QCOMPARE(QDir(path(QStringLiteral("out"))).entryList(QDir::Files).size(), int(converted.size() / 2 + inputs.filter(QStringLiteral("out/")).size()));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
