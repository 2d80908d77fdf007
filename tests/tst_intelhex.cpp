#include "intelhex.h"
#include "testutil.h"

#include <QtTest>

class TestIntelHex : public QObject
{
    Q_OBJECT

private slots:
    // Each text is read into a 16-byte image prefilled with EE, so that untouched bytes show.
    void reads_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>(
                "result"); // the image in hex when read (EE beyond); else a fragment of the message

        const int ok = HexError::None, bad = HexError::BadRecord, outside = HexError::OutOfRange;
        const QByteArray good = ":02000100ABCD85\n", inside = hexRecord(0, 0, "\x01") + '\n',
                         at0 = '\n' + hexRecord(0, 0, "\x99");
        auto row = [](const char *name, const QByteArray &text, int code, int line,
                      const QString &result) {
            QTest::newRow(name) << text << code << line << result;
        };
        row("lower case, no line end", ":02000100abcd85", ok, 0, "EEABCD");
        row("BOM, CR LF, blanks", "\xEF\xBB\xBF:02000100ABCD85 \t\r\n:00000001FF\r\n", ok, 0,
            "EEABCD");
        row("CR alone, CRs before LF",
            ":02000100ABCD85\r\r\r\n" + hexRecord(0, 4, "\x01") + '\r' + hexRecord(0, 5, "\x02"),
            ok, 0, "EEABCDEE0102");
        row("other lines passed over", "; setup\n\n " + good + "x" + good + hexRecord(0, 4, "\x01"),
            ok, 0, "EEEEEEEE01");
        row("data after end of file", ":00000001FF\n" + hexRecord(0, 2, "\xAB"), ok, 0, "EEEEAB");
        const QByteArray three = hexRecord(0, 0, "\x01\x02\x03") + '\n';
        row("a byte given twice alike", three + hexRecord(0, 1, "\x02"), ok, 0, "010203");
        row("a byte given two values",
            three + hexRecord(0, 2, "\x03\x04") + '\n' + hexRecord(0, 2, "\x0A"),
            HexError::Conflict, 3, "address 0x0002 is 0A here but 03 at line 1");
        row("binary, no text", QByteArray("\x7F\x45LF\0\n", 6) + good, HexError::NotText, 1,
            "byte 0x7F at column 1");
        row("end of file mark after the records", good + "\x1A", ok, 0, "EEABCD");
        row("start addresses ignored",
            hexRecord(3, 0, "\x12\x34\x56\x78") + '\n' + hexRecord(5, 0, "\x01\x02\x03\x04"), ok, 0,
            "");
        row("non-hex digit", good + ":02000100ABC~85\n", bad, 2, "'~' at column 13");
        row("CR-only lines counted", ":02000100ABCD85\r\r; x\r\r\n:02000100ABCG85\r", bad, 4,
            "'G' at column 13");
        row("start code alone", good + good + ":\r\n", bad, 3, "cut short");
        row("data cut short", ":0200010005\n", bad, 1, "byte count is 02");
        row("text after checksum", good + ":02000100ABCD85!\n", bad, 2, "'!' follows");
        row("wrong checksum", ":02000100ABCD84\n", HexError::BadChecksum, 1, "bytes give 85");
        row("unknown type", good + hexRecord(6, 0, "\x01"), HexError::UnknownType, 2, "type 06");
        row("long extended address", hexRecord(4, 0, QByteArray("\x00\x01\x02", 3)), bad, 1,
            "(type 04) holds 02 data bytes, this one 03");
        // Data outside the image is reported once the whole file is read, by its first record.
        row("damage after data outside", hexRecord(0, 0x20, "\x01") + "\n:0\n", bad, 2,
            "cut short");
        row("record runs past the end",
            inside + hexRecord(0, 14, "\x0E\x0F\x10") + '\n' + hexRecord(0, 32, " "), outside, 2,
            "address 0x0010 ");
        row("linear address", inside + hexRecord(4, 0, QByteArray("\0\1", 2)) + at0, outside, 3,
            "address 0x10000 ");
        row("segment address", inside + hexRecord(2, 0, QByteArray("\0\1", 2)) + at0, outside, 3,
            "address 0x0010 ");
    }

    void reads()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, code);
        QFETCH(int, line);
        QFETCH(QString, result);

        QByteArray image(16, char(0xEE));
        const HexReadResult read = parseHexImage(text, image.data(), image.size());
        QCOMPARE(int(read.error.code), code);
        QCOMPARE(read.error.line, line);
        const QString message = read.error.message("f");
        if (code != HexError::None)
            QVERIFY2(message.startsWith(QString("f, line %1: ").arg(line))
                             && message.contains(result),
                     qPrintable(message));
        else
            QCOMPARE(QString::fromLatin1(image.toHex().toUpper()), result.leftJustified(32, 'E'));
    }

    // None, a record cut short, and the most that 16-bit addresses reach.
    void writesWhatItReads_data()
    {
        QTest::addColumn<int>("size");
        for (int size : { 0, 17, 65536 })
            QTest::addRow("%d bytes", size) << size;
    }

    void writesWhatItReads()
    {
        QFETCH(int, size);
        const QByteArray image = randomImage(size, quint32(size));
        QByteArray back(size, '\0');
        const HexReadResult read =
                parseHexImage(formatHexImage(image.constData(), size), back.data(), size);
        QVERIFY2(read.error.ok(), qPrintable(read.error.detail));
        QCOMPARE(back, image);
        QCOMPARE(read.covered.count(true), size);
    }
};

QTEST_APPLESS_MAIN(TestIntelHex)
#include "tst_intelhex.moc"
