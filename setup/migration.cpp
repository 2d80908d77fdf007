#include "migration.h"

#include <QByteArray>

#include <cstring>
#include <iterator>

namespace {

// The new layout inserts virtual inputs 9 to 16 as entries 32 to 39 of the three
// per-entry arrays (entry names of 21 bytes, short names of 9, entry bytes of 1),
// grows the table of twelve-byte records from 8 to 16, and shifts everything
// behind them. Nothing in the carried bytes is interpreted.

struct Move
{
    int from; // offset in the old image
    int to;   // offset in the new image
    int length;
};

// The two tables read as the map they implement, a region a row.
// clang-format off
constexpr Move kCarried[] = {
    {   0,    0, 131},  // leading bytes
    { 131,  131, 672},  // entry names 0-31
    { 803,  971, 624},  // entry names 32-47 (now 40-55), short names 0-31
    {1427, 1667, 536},  // short names 32-47, two 180-byte blocks, entry bytes 0-31
    {1963, 2211,  16},  // entry bytes 32-47
    {1980, 2228,  91},
    {2072, 2320, 128},  // 32 bytes, then twelve-byte records 0-7
    {2200, 2544, 655},
    {2856, 3200, 401},
    {3260, 3604, 170},
};
// clang-format on
// Old bytes 1979, 2071, 2855, 3257-3259 and 3430-3431 are not carried.

enum class Default {
    Zero,
    EntryName, // "Virtual Input 09", NUL-padded to the element's length
    ShortName, // "VInput09" and its NUL, exactly 9 bytes
    Record,    // FF FF FF FF, then zeros
};

struct Insert
{
    int at;     // offset in the new image
    int count;  // elements
    int stride; // bytes per element
    Default value;
};

constexpr int kFirstInsertedInput = 9;

// clang-format off
constexpr Insert kInserted[] = {
    { 803, 8, 21, Default::EntryName},  // entries 32-39: virtual inputs 9-16
    {1595, 8,  9, Default::ShortName},
    {2203, 8,  1, Default::Zero},       // entry bytes 32-39
    {2227, 1,  1, Default::Zero},
    {2319, 1,  1, Default::Zero},
    {2448, 8, 12, Default::Record},     // twelve-byte records 8-15
    {3199, 1,  1, Default::Zero},
    {3601, 1,  3, Default::Zero},
    {3774, 1,  2, Default::Zero},
};
// clang-format on

// Walks the new image from byte 0: each region must start exactly where the one
// before ended, and every region must be met once.
constexpr bool writesEveryNewByteOnce()
{
    int at = 0;
    int regions = 0;
    while (at < kNewSetupSize) {
        int starting = 0;
        int next = at;
        for (const Move &m : kCarried) {
            if (m.to == at) {
                ++starting;
                next = at + m.length;
            }
        }
        for (const Insert &i : kInserted) {
            if (i.at == at) {
                ++starting;
                next = at + i.count * i.stride;
            }
        }
        if (starting != 1 || next <= at)
            return false;
        regions += starting;
        at = next;
    }
    return at == kNewSetupSize && regions == int(std::size(kCarried) + std::size(kInserted));
}

constexpr bool readsEachOldByteAtMostOnce()
{
    int end = 0;
    for (const Move &m : kCarried) {
        if (m.from < end || m.length <= 0)
            return false;
        end = m.from + m.length;
    }
    return end <= kOldSetupSize;
}

static_assert(writesEveryNewByteOnce(), "the new layout's regions must cover it exactly once");
static_assert(readsEachOldByteAtMostOnce(),
              "carried regions must lie in the old image, in order, apart");

QByteArray twoDigits(int n)
{
    return QByteArray::number(n).rightJustified(2, '0');
}

void fillDefault(char *element, int length, Default value, int input)
{
    std::memset(element, 0, size_t(length));
    QByteArray text;
    switch (value) {
    case Default::Zero:
        return;
    case Default::Record:
        std::memset(element, 0xFF, 4);
        return;
    case Default::EntryName:
        text = "Virtual Input " + twoDigits(input);
        break;
    case Default::ShortName:
        text = "VInput" + twoDigits(input);
        break;
    }
    Q_ASSERT(text.size() < length); // room for the NUL
    std::memcpy(element, text.constData(), size_t(text.size()));
}

} // namespace

void migrateSetupImage(const char *oldImage, char *newImage)
{
    for (const Move &m : kCarried)
        std::memcpy(newImage + m.to, oldImage + m.from, size_t(m.length));
    for (const Insert &i : kInserted) {
        for (int k = 0; k < i.count; ++k)
            fillDefault(newImage + i.at + k * i.stride, i.stride, i.value, kFirstInsertedInput + k);
    }
}

QStringList entryNames(const char *image, int size)
{
    constexpr int kNames = 131, kNameSize = 21; // the entry-name array, in both layouts
    const int entries = size == kNewSetupSize ? kNewEntries : kOldEntries;
    QStringList names;
    for (int i = 0; i < entries; ++i) {
        const char *name = image + kNames + i * kNameSize;
        QString text;
        for (int k = 0; k < kNameSize && name[k] != '\0'; ++k)
            text += name[k] >= 0x20 && name[k] < 0x7F ? QLatin1Char(name[k]) : QLatin1Char('?');
        names << text;
    }
    return names;
}
