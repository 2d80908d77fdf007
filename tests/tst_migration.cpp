#include "testutil.h"
#include "migration.h"

#include <QtTest>

// The expectations here are built from the layouts' description (where each
// old byte moves, what each inserted element holds), not from the migration's
// own tables.

namespace {

// Old offset -> new offset, or -1 for the old bytes the new layout drops.
int newOffsetOf(int old)
{
    if (old == 1979 || old == 2071 || old == 2855 || (old >= 3257 && old <= 3259) || old >= 3430)
        return -1;
    if (old < 803)
        return old;
    if (old < 1427)
        return old + 168;  // after eight inserted entry names
    if (old < 1963)
        return old + 240;  // ... and eight short names
    if (old < 2200)
        return old + 248;  // ... and eight entry bytes
    return old + 344;      // ... and eight twelve-byte records
}

QByteArray newImage(const QByteArray &old, char prefill = '\0')
{
    QByteArray image(kNewSetupSize, prefill);
    migrateSetupImage(old.constData(), image.data());
    return image;
}

// The eight inserted virtual inputs, 9 to 16, with their defaults; every
// other byte is left as expectedCarried() puts it.
void putDefaults(QByteArray &image)
{
    for (int k = 0; k < 8; ++k) {
        const QByteArray number = QByteArray::number(9 + k).rightJustified(2, '0');
        const QByteArray name = "Virtual Input " + number + QByteArray(5, '\0');
        const QByteArray shortName = "VInput" + number + '\0';
        image.replace(803 + 21 * k, 21, name);
        image.replace(1595 + 9 * k, 9, shortName);
        image[2203 + k] = '\0';
        image.replace(2448 + 12 * k, 12, QByteArray(4, char(0xFF)) + QByteArray(8, '\0'));
    }
}

QByteArray expectedFor(const QByteArray &old)
{
    QByteArray image(kNewSetupSize, '\0');
    for (int i = 0; i < kOldSetupSize; ++i) {
        if (const int to = newOffsetOf(i); to >= 0)
            image[to] = old[i];
    }
    putDefaults(image);
    return image;
}

} // namespace

class TestMigration : public QObject
{
    Q_OBJECT

private slots:
    void migratesWholeImage_data()
    {
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<char>("prefill");

        QTest::newRow("all zero") << QByteArray(kOldSetupSize, '\0') << '\0';
        QTest::newRow("all AA") << QByteArray(kOldSetupSize, char(0xAA)) << '\0';
        QTest::newRow("random") << randomImage(kOldSetupSize, 3432) << '\0';
        QTest::newRow("random, new image not zeroed") << randomImage(kOldSetupSize, 3776) << char(0x55);
    }

    void migratesWholeImage()
    {
        QFETCH(QByteArray, old);
        QFETCH(char, prefill);

        const QByteArray migrated = newImage(old, prefill);
        const QByteArray expected = expectedFor(old);
        for (int i = 0; i < kNewSetupSize; ++i) {
            if (migrated[i] != expected[i])
                QFAIL(qPrintable(QStringLiteral("new byte %1 is %2, expected %3")
                                     .arg(i).arg(quint8(migrated[i]), 2, 16).arg(quint8(expected[i]), 2, 16)));
        }
    }

    void insertsDefaults()
    {
        const QByteArray migrated = newImage(QByteArray(kOldSetupSize, char(0xAA)));
        QCOMPARE(migrated.mid(803, 21), QByteArray("Virtual Input 09\0\0\0\0\0", 21));
        QCOMPARE(migrated.mid(950, 21), QByteArray("Virtual Input 16\0\0\0\0\0", 21));
        QCOMPARE(migrated.mid(1595, 9), QByteArray("VInput09\0", 9));
        QCOMPARE(migrated.mid(1658, 9), QByteArray("VInput16\0", 9));
        QCOMPARE(migrated.mid(2203, 8), QByteArray(8, '\0'));
        QCOMPARE(migrated.mid(2448, 12), QByteArray("\xFF\xFF\xFF\xFF\0\0\0\0\0\0\0\0", 12));
        QCOMPARE(migrated.mid(2532, 12), QByteArray("\xFF\xFF\xFF\xFF\0\0\0\0\0\0\0\0", 12));
        for (int zero : {2227, 2319, 3199, 3601, 3602, 3603, 3774, 3775})
            QCOMPARE(int(migrated[zero]), 0);
    }

    // A few carried fields by their offsets as the layouts' description lists them.
    void carriesFields_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("length");

        QTest::newRow("entry name 32 -> 40") << 803 << 971 << 21;
        QTest::newRow("entry name 47 -> 55") << 1118 << 1286 << 21;
        QTest::newRow("short name 47 -> 55") << 1562 << 1802 << 9;
        QTest::newRow("entry bytes 32-47 -> 40-55") << 1963 << 2211 << 16;
        QTest::newRow("twelve-byte records 0-7") << 2104 << 2352 << 96;
        QTest::newRow("180-byte block at 1571") << 1571 << 1811 << 180;
        QTest::newRow("81-byte block at 2510") << 2510 << 2854 << 81;
        QTest::newRow("400-byte block at 2856") << 2856 << 3200 << 400;
        QTest::newRow("last carried bytes") << 3260 << 3604 << 170;
    }

    void carriesFields()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(int, length);

        const QByteArray old = randomImage(kOldSetupSize, 99);
        QCOMPARE(newImage(old).mid(to, length), old.mid(from, length));
    }

    void dropsUncarriedBytes()
    {
        const QByteArray old = randomImage(kOldSetupSize, 5);
        QByteArray changed = old;
        for (int dropped : {1979, 2071, 2855, 3257, 3258, 3259, 3430, 3431})
            changed[dropped] = char(~changed[dropped]);
        QCOMPARE(newImage(changed), newImage(old));
    }

};

QTEST_APPLESS_MAIN(TestMigration)
#include "tst_migration.moc"
