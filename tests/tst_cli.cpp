#include "testutil.h"
#include "intelhex.h"
#include "migration.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Black-box tests of tarvik-convert: every case runs the real executable in a fresh folder
// set up by init(). In the tables words are split at spaces, and "@" stands for that folder.

static QStringList words(const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts); }

static QByteArray oldSetup(const QString &name) { return randomImage(kOldSetupSize, quint32(qHash(name))); } // differs by name

static QByteArrayList lines(QByteArray text) { return text.trimmed().isEmpty() ? QByteArrayList() : text.replace("\r\n", "\n").trimmed().split('\n'); }

struct Run { int status = -1; QByteArrayList out, err; }; // status -1 also when it crashed or hung

class TestCli : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    Run run(const QStringList &arguments) const
    {
        QStringList expanded;
        for (const QString &argument : arguments)
            expanded << QString(argument).replace(QLatin1Char('@'), m_dir->path());
        QProcess process;
        process.start(QStringLiteral(TARVIK_CONVERT), expanded);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), lines(process.readAllStandardOutput()), lines(process.readAllStandardError())};
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        for (const QString &folder : words("sub out taken"))
            QVERIFY(QDir().mkpath(path(folder)));
        for (const QString &name : words("a.hex b.hex sub/a.hex"))
            QVERIFY(writeFile(path(name), formatHexImage(oldSetup(name).constData(), kOldSetupSize)));
        const QByteArray image = oldSetup(QString());
        QVERIFY(writeFile(path(QStringLiteral("checksum.hex")), formatHexImage(image.constData(), kOldSetupSize).replace(":00000001FF", ":00000001FE")));
        QVERIFY(writeFile(path(QStringLiteral("short.hex")), formatHexImage(image.constData(), kOldSetupSize - 16)));
        QVERIFY(writeFile(path(QStringLiteral("new.hex")), "an earlier conversion\n"));
    }

    void answersOrRejectsUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("out"); // what stdout holds on success; empty for a usage error (status 2)

        QTest::newRow("--help") << words("--help") << QByteArray("--output-dir <DIR>");
        QTest::newRow("--version") << words("--version") << QByteArray("tarvik-convert " TARVIK_VERSION);
        QTest::newRow("no arguments") << QStringList() << QByteArray();
        QTest::newRow("input only") << words("@/a.hex") << QByteArray();
        QTest::newRow("three files") << words("@/a.hex @/out/1.hex @/out/2.hex") << QByteArray();
        QTest::newRow("unknown option") << words("--overwrite @/a.hex @/out/1.hex") << QByteArray();
        QTest::newRow("-d without inputs") << words("-d @/out") << QByteArray();
        QTest::newRow("-d without folder") << words("@/a.hex -d") << QByteArray();
        QTest::newRow("-d twice") << words("-d @/out --output-dir @/out @/a.hex") << QByteArray();
    }

    void answersOrRejectsUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, out);
        const auto before = snapshot(m_dir->path());
        const Run result = run(arguments);
        QCOMPARE(result.status, out.isEmpty() ? 2 : 0);
        QCOMPARE(out.isEmpty() ? result.out : result.err, QByteArrayList());
        const QByteArray text = (out.isEmpty() ? result.err : result.out).join('\n');
        QVERIFY2(out.isEmpty() ? text.startsWith("tarvik-convert: ") && text.contains("\nUsage: ") : text.contains(out), text.constData());
        QCOMPARE(snapshot(m_dir->path()), before);
    }

    void converts_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("failed");    // the file each stderr line begins with, in order
        QTest::addColumn<QStringList>("converted"); // pairs: an output, the input it holds the conversion of

        const QStringList none, ab = words("out/a.hex a.hex out/b.hex b.hex");
        QTest::newRow("one file") << words("@/a.hex @/out/new.hex") << none << words("out/new.hex a.hex");
        QTest::newRow("over an earlier output") << words("--verbose @/b.hex @/new.hex") << none << words("new.hex b.hex");
        // A failure leaves everything as it was, an earlier output too.
        QTest::newRow("missing input") << words("@/absent.hex @/new.hex") << words("absent.hex") << none;
        QTest::newRow("bad checksum") << words("@/checksum.hex @/new.hex") << words("checksum.hex") << none;
        QTest::newRow("output is a folder") << words("@/a.hex @/taken") << words("taken") << none;
        QTest::newRow("output in a missing folder") << words("@/a.hex @/missing/new.hex") << words("missing/new.hex") << none;
        QTest::newRow("batch into a missing folder") << words("-d @/missing @/a.hex @/b.hex") << words("missing") << none;
        QTest::newRow("batch, first missing") << words("--verbose -d @/out @/absent.hex @/a.hex @/b.hex") << words("absent.hex") << ab;
        QTest::newRow("batch, middle bad") << words("-d @/out @/a.hex @/checksum.hex @/b.hex") << words("checksum.hex") << ab;
        QTest::newRow("batch, last incomplete") << words("-d @/out --verbose @/a.hex @/b.hex @/short.hex") << words("short.hex") << ab;
        // An output never replaces an input, nor the output of an earlier input of the same name.
        QTest::newRow("into the inputs' folder") << words("-d @ @/a.hex @/b.hex") << words("a.hex b.hex") << none;
        QTest::newRow("output is a later input") << words("-d @/sub @/b.hex @/a.hex @/sub/a.hex") << words("a.hex sub/a.hex") << words("sub/b.hex b.hex");
        QTest::newRow("same name, two folders") << words("-d @/out @/sub/a.hex @/a.hex") << words("a.hex") << words("out/a.hex sub/a.hex");
        QTest::newRow("one input named twice") << words("-d @/out @/a.hex @/sub/../a.hex") << none << words("out/a.hex a.hex");
    }

    void converts()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, failed);
        QFETCH(QStringList, converted);
        auto before = snapshot(m_dir->path());
        const Run result = run(arguments);
        QCOMPARE(result.status, failed.isEmpty() ? 0 : 1);
        QCOMPARE(result.err.size(), failed.size());
        for (int i = 0; i < failed.size(); ++i)
            QVERIFY2(result.err.at(i).startsWith("tarvik-convert: " + QDir::toNativeSeparators(path(failed.at(i))).toLocal8Bit()), result.err.at(i).constData());
        const bool verbose = arguments.contains(QStringLiteral("--verbose"));
        QCOMPARE(result.out.size(), verbose ? converted.size() / 2 : 0);
        auto after = snapshot(m_dir->path());
        for (int i = 0; i < converted.size(); i += 2) {
            QByteArray expected(kNewSetupSize, '\0'), written(kNewSetupSize, '\0');
            migrateSetupImage(oldSetup(converted.at(i + 1)).constData(), expected.data());
            const HexReadResult read = readHexImage(path(converted.at(i)), written.data(), written.size());
            QVERIFY2(read.error.ok() && read.covered.count(true) == kNewSetupSize && written == expected, qPrintable(converted.at(i)));
            QVERIFY(!verbose || result.out.at(i / 2).endsWith(QDir::toNativeSeparators(path(converted.at(i))).toLocal8Bit()));
            const QString output = QDir(m_dir->path()).relativeFilePath(path(converted.at(i)));
            before.insert(output, after.value(output));
        }
        QCOMPARE(after, before); // only the outputs changed: every input is as it was
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
