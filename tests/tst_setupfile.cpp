#include "intelhex.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

static const QString kData = QStringLiteral(TARVIK_TEST_DATA);

class TestSetupFile : public QObject
{
    Q_OBJECT

private slots:
    // A known old setup file and the new file that its layouts' description gives,
    // both kept as test data.
    void convertsKnownSetup()
    {
        QByteArray old;
        const SetupError loaded = loadOldSetup(kData + QStringLiteral("/old-setup.hex"), &old);
        QVERIFY2(loaded.ok(), qPrintable(loaded.message));
        QCOMPARE(old.size(), kOldSetupSize);

        const QString output = m_dir.filePath(QStringLiteral("new.hex"));
        const SetupError saved = saveNewSetup(output, old);
        QVERIFY2(saved.ok(), qPrintable(saved.message));
        QByteArray written = readFile(output);
        written.replace("\r\n", "\n");
        QCOMPARE(written, readFile(kData + QStringLiteral("/new-setup.hex")));
    }

    void independentDecoderAgrees()
    {
        const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
        if (objcopy.isEmpty())
            QSKIP("objcopy is not installed");

        const QByteArray oldImage = randomImage(kOldSetupSize, 11);
        const QString input = m_dir.filePath(QStringLiteral("decode-old.hex"));
        QVERIFY(writeHexImage(input, oldImage.constData(), oldImage.size()).ok());
        QByteArray loaded;
        QVERIFY(loadOldSetup(input, &loaded).ok());
        const QString output = m_dir.filePath(QStringLiteral("decode-new.hex"));
        QVERIFY(saveNewSetup(output, loaded).ok());

        const QString binary = m_dir.filePath(QStringLiteral("decode-new.bin"));
        QProcess process;
        process.start(objcopy, {QStringLiteral("-I"), QStringLiteral("ihex"), QStringLiteral("-O"), QStringLiteral("binary"), output, binary});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);

        QByteArray expected(kNewSetupSize, '\0');
        migrateSetupImage(oldImage.constData(), expected.data());
        QCOMPARE(readFile(binary), expected);
    }

    void refusesWhatIsNotAnOldSetup_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("detail");

        const QByteArray complete = formatHexImage(randomImage(kOldSetupSize, 1).constData(), kOldSetupSize);
        QTest::newRow("record missing") << QByteArray(complete).remove(7 * 44, 44) << int(SetupError::Incomplete) << 0
                                        << QStringLiteral("covers 3416 of the 3432 bytes of an 8-input setup; bytes 0x0070-0x007F are missing");
        QTest::newRow("last byte missing") << formatHexImage(randomImage(kOldSetupSize - 1, 2).constData(), kOldSetupSize - 1)
                                           << int(SetupError::Incomplete) << 0 << QStringLiteral("byte 0x0D67 is missing");
        QTest::newRow("empty file") << QByteArray() << int(SetupError::NoData) << 0 << QStringLiteral("no setup data");
        QTest::newRow("not Intel HEX") << QByteArray("\x7F" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0", 16) << int(SetupError::NoData) << 0
                                       << QStringLiteral("no setup data");
        QTest::newRow("only end of file") << QByteArray(":00000001FF\n") << int(SetupError::NoData) << 0 << QStringLiteral("no setup data");
        QTest::newRow("data beyond 8 inputs") << complete + hexRecord(0, kOldSetupSize, "\x01") << int(SetupError::TooLong)
                                              << 217 << QStringLiteral("address 0x0D68");
        QTest::newRow("16-input setup") << formatHexImage(randomImage(kNewSetupSize, 3).constData(), kNewSetupSize)
                                        << int(SetupError::AlreadyConverted) << 0 << QStringLiteral("16-input setup already");
        QByteArray damaged = complete;
        damaged[4 * 44 + 20] = 'x';
        QTest::newRow("damaged record") << damaged << int(SetupError::BadFile) << 5 << QStringLiteral("'x' at column 21");
        QByteArray badSum = complete;
        badSum[100 * 44 + 41] = badSum[100 * 44 + 41] == '0' ? '1' : '0';
        QTest::newRow("bad checksum") << badSum << int(SetupError::BadFile) << 101 << QStringLiteral("checksum is");
    }

    void refusesWhatIsNotAnOldSetup()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QFETCH(int, line);
        QFETCH(QString, detail);

        const QString path = writeText(QStringLiteral("refused.hex"), text);
        QByteArray image(5, 'x');
        const SetupError error = loadOldSetup(path, &image);
        QCOMPARE(int(error.code), code);
        QCOMPARE(error.line, line);
        QVERIFY2(error.message.startsWith(QDir::toNativeSeparators(path)), qPrintable(error.message));
        QVERIFY2(error.message.contains(detail), qPrintable(error.message));
        QVERIFY(image.isEmpty());
    }

    void keepsNothingOfEarlierLoads()
    {
        const QByteArray a = randomImage(kOldSetupSize, 21);
        const QString pathA = m_dir.filePath(QStringLiteral("a.hex"));
        QVERIFY(writeHexImage(pathA, a.constData(), a.size()).ok());
        QByteArray image;
        QVERIFY(loadOldSetup(pathA, &image).ok());
        QCOMPARE(image, a);

        // B names every byte but the first sixteen: the gap is found, not filled from A.
        QByteArray b = formatHexImage(randomImage(kOldSetupSize, 22).constData(), kOldSetupSize);
        b.remove(0, 44);
        const SetupError error = loadOldSetup(writeText(QStringLiteral("b.hex"), b), &image);
        QCOMPARE(int(error.code), int(SetupError::Incomplete));
        QVERIFY(image.isEmpty());
    }

    void refusesToSave_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("imageSize");

        QTest::newRow("missing folder") << QStringLiteral("missing/new.hex") << kOldSetupSize;
        QTest::newRow("folder") << QStringLiteral("folder") << kOldSetupSize;
        QTest::newRow("image not an old setup") << QStringLiteral("existing.hex") << kNewSetupSize;
    }

    void refusesToSave()
    {
        QFETCH(QString, target);
        QFETCH(int, imageSize);

        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
        writeText(QStringLiteral("existing.hex"), "before\n");
        const QString path = m_dir.filePath(target);
        const SetupError error = saveNewSetup(path, QByteArray(imageSize, '\0'));
        QCOMPARE(int(error.code), int(SetupError::CannotSave));
        QVERIFY2(error.message.startsWith(QDir::toNativeSeparators(path) + QLatin1Char(':')), qPrintable(error.message));
        QCOMPARE(readFile(m_dir.filePath(QStringLiteral("existing.hex"))), QByteArray("before\n"));
    }

private:
    QString writeText(const QString &name, const QByteArray &text)
    {
        const QString path = m_dir.filePath(name);
        if (!writeFile(path, text))
            qFatal("cannot write test file %s", qPrintable(path));
        return path;
    }

    QTemporaryDir m_dir;
};

QTEST_APPLESS_MAIN(TestSetupFile)
#include "tst_setupfile.moc"
