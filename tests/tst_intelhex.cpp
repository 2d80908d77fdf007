#include "intelhex.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QtTest>

static QByteArray counting(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char(i);
    return image;
}

class TestIntelHex : public QObject
{
    Q_OBJECT

private slots:
    void writesRecords_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("lineNumber"); // 1-based
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("lineCount");

        const QByteArray twenty = counting(20);
        QTest::newRow("full record") << twenty << 1 << QByteArray(":10000000000102030405060708090A0B0C0D0E0F78") << 3;
        QTest::newRow("short last record") << twenty << 2 << QByteArray(":0400100010111213A6") << 3;
        QTest::newRow("end of file") << twenty << 3 << QByteArray(":00000001FF") << 3;
        QTest::newRow("empty image") << QByteArray() << 1 << QByteArray(":00000001FF") << 1;

        const QByteArray newZero(3776, '\0');
        QTest::newRow("new setup, first") << newZero << 1 << QByteArray(":1000000000000000000000000000000000000000F0") << 237;
        QTest::newRow("new setup, 236th") << newZero << 236 << QByteArray(":100EB0000000000000000000000000000000000032") << 237;
        QTest::newRow("old setup, tail") << QByteArray(3432, '\0') << 215 << QByteArray(":080D600000000000000000008B") << 216;
        QTest::newRow("bytes above 7F") << QByteArray(2, char(0xFF)) << 1 << QByteArray(":02000000FFFF00") << 2;
    }

    void writesRecords()
    {
        QFETCH(QByteArray, image);
        QFETCH(int, lineNumber);
        QFETCH(QByteArray, line);
        QFETCH(int, lineCount);

        const QByteArray text = formatHexImage(image.constData(), image.size());
        QVERIFY(text.endsWith('\n'));
        const QList<QByteArray> lines = text.left(text.size() - 1).split('\n');
        QCOMPARE(lines.size(), lineCount);
        QCOMPARE(lines.at(lineNumber - 1), line);
    }

    void writesPlatformLineEnds()
    {
        const QString path = m_dir.filePath(QStringLiteral("new.hex"));
        const QByteArray image = randomImage(3776, 1);
        QVERIFY(writeHexImage(path, image.constData(), image.size()).ok());

        const QByteArray bytes = readFile(path);
        QCOMPARE(bytes.count('\n'), 237);
#ifdef Q_OS_WIN
        QCOMPARE(bytes.size(), 10633);
        QCOMPARE(bytes.count("\r\n"), 237);
#else
        QCOMPARE(bytes.size(), 10396);
#endif
    }

    void roundTrips_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 15, 16, 17, 3432, 3776, 65536})
            QTest::addRow("%d bytes", size) << size;
    }

    void roundTrips()
    {
        QFETCH(int, size);
        const QString path = m_dir.filePath(QStringLiteral("round.hex"));
        const QByteArray image = randomImage(size, quint32(size) + 7);
        QVERIFY(writeHexImage(path, image.constData(), size).ok());

        QByteArray back(size, '\0');
        const HexReadResult read = readHexImage(path, back.data(), size);
        QVERIFY2(read.error.ok(), qPrintable(read.error.message(path)));
        QCOMPARE(back, image);
        QCOMPARE(read.covered.count(true), size);
        QCOMPARE(read.dataEnd, qint64(size));
    }

    // Reading into a 16-byte image prefilled with EE, so that untouched bytes show.
    void reads_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");   // the whole image, in hex
        QTest::addColumn<int>("dataEnd");

        const QByteArray untouched = "EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE";
        const QByteArray eof = ":00000001FF\n";
        QTest::newRow("lower-case digits") << QByteArray(":02000100abcd85\n") + eof << QByteArray("EEABCDEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("CR LF") << QByteArray(":02000100ABCD85\r\n:00000001FF\r\n") << QByteArray("EEABCDEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("no final line end") << QByteArray(":02000100ABCD85") << QByteArray("EEABCDEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF:02000100ABCD85\n") << QByteArray("EEABCDEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("blanks after checksum") << QByteArray(":02000100ABCD85 \t \r\n") << QByteArray("EEABCDEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("other lines passed over")
            << QByteArray("; old setup\n\n :02000100ABCD85\nx:02000100ABCD85\n") + hexRecord(0, 4, "\x01") + '\n'
            << QByteArray("EEEEEEEE01EEEEEEEEEEEEEEEEEEEEEE") << 5;
        QTest::newRow("data after end of file") << eof + ":01000200AB52\n" << QByteArray("EEEEABEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("zero-length record") << QByteArray(":00000500FB\n") << untouched << 0;
        QTest::newRow("later record wins")
            << hexRecord(0, 0, "\x01\x02\x03") + '\n' + hexRecord(0, 1, "\x09") + '\n'
            << QByteArray("010903EEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("out of order, mixed lengths")
            << hexRecord(0, 12, "\x0C\x0D\x0E\x0F") + '\n' + hexRecord(0, 0, QByteArray("\x00\x01", 2)) + '\n' + hexRecord(0, 2, QByteArray("\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B", 10)) + '\n'
            << QByteArray("000102030405060708090A0B0C0D0E0F") << 16;
        QTest::newRow("extended linear address 0")
            << QByteArray(":020000040000FA\n:01000200AB52\n") << QByteArray("EEEEABEEEEEEEEEEEEEEEEEEEEEEEEEE") << 3;
        QTest::newRow("extended segment address")
            << QByteArray(":020000020000FC\n") + hexRecord(2, 0, QByteArray("\x00\x00", 2)) + '\n' + ":020000020000FC\n" + hexRecord(0, 0, "\x11")
            << QByteArray("11EEEEEEEEEEEEEEEEEEEEEEEEEEEEEE") << 1;
        QTest::newRow("start address records ignored")
            << hexRecord(3, 0, QByteArray("\x12\x34\x56\x78")) + '\n' + hexRecord(5, 0, QByteArray("\x00\x00\x01\x00", 4)) + '\n'
            << untouched << 0;
    }

    void reads()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        QFETCH(int, dataEnd);

        QByteArray image(16, char(0xEE));
        const HexReadResult read = parseHexImage(text, image.data(), image.size());
        QVERIFY2(read.error.ok(), qPrintable(read.error.message(QStringLiteral("test"))));
        QCOMPARE(image.toHex().toUpper(), expected);
        QCOMPARE(read.dataEnd, qint64(dataEnd));
        for (int i = 0; i < image.size(); ++i)
            QCOMPARE(read.covered.testBit(i), expected.mid(2 * i, 2) != "EE");
    }

    void rejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("detail"); // a fragment the message must carry
        QTest::addColumn<qint64>("dataEnd"); // how far the data reaches; -1 where the reading stops early

        const QByteArray good = ":02000100ABCD85\n";
        QTest::newRow("non-hex digit in data") << good + ":02000100ABCG85\n" << int(HexError::BadRecord) << 2 << QStringLiteral("'G' at column 13") << qint64(-1);
        QTest::newRow("non-hex digit in count") << QByteArray(":x2000100ABCD85\n") << int(HexError::BadRecord) << 1 << QStringLiteral("column 2") << qint64(-1);
        QTest::newRow("blank inside record") << QByteArray(":02000100AB CD85\n") << int(HexError::BadRecord) << 1 << QStringLiteral("byte 0x20 at column 12") << qint64(-1);
        QTest::newRow("binary byte") << QByteArray(":0200\x01\x80") << int(HexError::BadRecord) << 1 << QStringLiteral("byte 0x01 at column 6") << qint64(-1);
        QTest::newRow("start code alone") << good + good + ":\r\n" << int(HexError::BadRecord) << 3 << QStringLiteral("cut short") << qint64(-1);
        QTest::newRow("data cut short") << QByteArray(":0200010005\n") << int(HexError::BadRecord) << 1 << QStringLiteral("byte count is 02") << qint64(-1);
        QTest::newRow("more data than count") << QByteArray(":01000100ABCD85\n") << int(HexError::BadRecord) << 1 << QStringLiteral("byte count is 01") << qint64(-1);
        QTest::newRow("text after checksum") << good + ":02000100ABCD85;\n" << int(HexError::BadRecord) << 2 << QStringLiteral("';' follows") << qint64(-1);
        QTest::newRow("wrong checksum") << QByteArray(":02000100ABCD84\n") << int(HexError::BadChecksum) << 1 << QStringLiteral("checksum is 84, the record's bytes give 85") << qint64(-1);
        QTest::newRow("checksum missing") << QByteArray(":01000100CD\n") << int(HexError::BadRecord) << 1 << QStringLiteral("needs 13 characters, but it has 11") << qint64(-1);
        QTest::newRow("unknown type") << good + hexRecord(6, 0, "\x01") + "\r\n" << int(HexError::UnknownType) << 2 << QStringLiteral("type 06") << qint64(-1);
        QTest::newRow("long extended address") << hexRecord(4, 0, "\x00\x01\x02") << int(HexError::BadRecord) << 1 << QStringLiteral("type 04") << qint64(-1);
        QTest::newRow("short segment address") << hexRecord(2, 0, "\x01") << int(HexError::BadRecord) << 1 << QStringLiteral("type 02") << qint64(-1);
        QTest::newRow("damage after data outside")
            << hexRecord(0, 0x20, "\x01") + '\n' + ":0\n" << int(HexError::BadRecord) << 2 << QStringLiteral("cut short") << qint64(-1);

        // Data outside the image does not stop the reading: the first such record is
        // reported once the whole file is read, and extended addresses count in full.
        const QByteArray inside = hexRecord(0, 0, "\x01") + '\n';
        const int outside = int(HexError::OutOfRange);
        QTest::newRow("record runs past the end")
            << inside + hexRecord(0, 14, "\x0E\x0F\x10\x11") + '\n' + hexRecord(0, 0x20, "\x20") + '\n'
            << outside << 2 << QStringLiteral("address 0x0010 ") << qint64(0x21);
        QTest::newRow("linear address")
            << inside + hexRecord(4, 0, QByteArray("\x00\x01", 2)) + '\n' + hexRecord(0, 0, "\x99") + '\n'
            << outside << 3 << QStringLiteral("address 0x10000 ") << qint64(0x10001);
        QTest::newRow("segment address")
            << inside + hexRecord(2, 0, QByteArray("\x00\x01", 2)) + '\n' + hexRecord(0, 0, "\x99") + '\n'
            << outside << 3 << QStringLiteral("address 0x0010 ") << qint64(0x11);
        QTest::newRow("16-bit address")
            << inside + hexRecord(0, 0xFFFF, "\x99") + '\n' << outside << 2 << QStringLiteral("address 0xFFFF ") << qint64(0x10000);
    }

    void rejects()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QFETCH(int, line);
        QFETCH(QString, detail);
        QFETCH(qint64, dataEnd);

        QByteArray image(16, '\0');
        const HexReadResult read = parseHexImage(text, image.data(), image.size());
        QCOMPARE(int(read.error.code), code);
        if (dataEnd >= 0)
            QCOMPARE(read.dataEnd, dataEnd);
        QCOMPARE(read.error.line, line);
        const QString message = read.error.message(QStringLiteral("old.hex"));
        QVERIFY2(message.startsWith(QStringLiteral("old.hex, line %1: ").arg(line)), qPrintable(message));
        QVERIFY2(message.contains(detail), qPrintable(message));
    }

    void refusesFilesItCannotRead_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("detail");

        QTest::newRow("missing") << QStringLiteral("missing.hex") << int(HexError::CannotOpen) << QStringLiteral("cannot open");
        QTest::newRow("folder") << QStringLiteral("folder") << int(HexError::CannotOpen) << QStringLiteral("folder");
        QTest::newRow("too large") << QStringLiteral("large.hex") << int(HexError::TooLarge) << QStringLiteral("1048577 bytes");
    }

    void refusesFilesItCannotRead()
    {
        QFETCH(QString, name);
        QFETCH(int, code);
        QFETCH(QString, detail);

        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder")));
        QVERIFY(writeFile(m_dir.filePath(QStringLiteral("large.hex")), QByteArray(kMaxHexFileSize + 1, '\n')));

        QByteArray image(16, char(0x5A));
        const HexReadResult read = readHexImage(m_dir.filePath(name), image.data(), image.size());
        QCOMPARE(int(read.error.code), code);
        QCOMPARE(read.error.line, 0);
        QVERIFY2(read.error.detail.contains(detail), qPrintable(read.error.detail));
        QCOMPARE(image, QByteArray(16, char(0x5A)));
    }

    void messageForNoFileName()
    {
        QByteArray image(16, '\0');
        const HexReadResult read = readHexImage(QString(), image.data(), image.size());
        QCOMPARE(int(read.error.code), int(HexError::CannotOpen));
        QCOMPARE(read.error.message(QString()), QStringLiteral("no file name given"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_APPLESS_MAIN(TestIntelHex)
#include "tst_intelhex.moc"