#include "intelhex.h"
#include "migration.h"
#include "setupfile.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QtTest>

class TestSetupFile : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // A known old setup of random bytes and its conversion, made from the two layouts independently
    // of this code and kept as test data: every carried, inserted and dropped byte shows here.
    void convertsKnownSetup()
    {
        QByteArray old;
        const SetupError loaded = loadOldSetup(QString(TARVIK_TEST_DATA "/old-setup.hex"), &old);
        QVERIFY2(loaded.ok(), qPrintable(loaded.message));
        const QString output = m_dir.filePath("new.hex");
        const SetupError saved = saveNewSetup(output, old);
        QVERIFY2(saved.ok(), qPrintable(saved.message));
        QCOMPARE(readFile(output), savedText(readFile(QString(TARVIK_TEST_DATA "/new-setup.hex"))));
    }

    void refusesWhatIsNotAnOldSetup_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("detail");

        const QByteArray image = randomImage(kOldSetupSize, 1), complete = oldFile(image);
        QTest::newRow("record missing")
                << QByteArray(complete).remove(7 * 44, 44) << int(SetupError::Incomplete) << 0
                << "covers 3416 of the 3432 bytes of an 8-input setup; bytes 0x0070-0x007F are "
                   "missing";
        QTest::newRow("last byte missing")
                << formatHexImage(image.constData(), kOldSetupSize - 1)
                << int(SetupError::Incomplete) << 0 << "byte 0x0D67 is missing";
        QTest::newRow("only an end record")
                << QByteArray(":00000001FF\n") << int(SetupError::NoData) << 0 << "no setup data";
        QTest::newRow("bad checksum") << QByteArray(complete).replace(":00000001FF", ":00000001FE")
                                      << int(SetupError::BadFile) << 216 << "checksum";
        QTest::newRow("data beyond 8 inputs") << complete + hexRecord(0, kOldSetupSize, "\x01")
                                              << int(SetupError::TooLong) << 217 << "0x0D68";
        QTest::newRow("16-input setup, an empty record far past it")
                << formatHexImage(randomImage(kNewSetupSize, 3).constData(), kNewSetupSize)
                        + hexRecord(0, 0x8000, "")
                << int(SetupError::AlreadyConverted) << 0 << "16-input setup already";
    }

    void refusesWhatIsNotAnOldSetup()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QFETCH(int, line);
        QFETCH(QString, detail);

        const QString path = m_dir.filePath("refused.hex");
        QVERIFY(writeFile(path, text));
        QByteArray image(5, 'x'); // nothing of an earlier load may survive a refusal
        const SetupError error = loadOldSetup(path, &image);
        QCOMPARE(int(error.code), code);
        QCOMPARE(error.line, line);
        QVERIFY2(error.message.startsWith(QDir::toNativeSeparators(path))
                         && error.message.contains(detail),
                 qPrintable(error.message));
        QVERIFY(image.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestSetupFile)
#include "tst_setupfile.moc"
