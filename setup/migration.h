#pragma once

#include <QStringList>

// The two setup layouts. The old layout holds 8 virtual inputs in 3432 bytes,
// the new one 16 in 3776 bytes; both are plain byte images.
constexpr int kOldSetupSize = 3432;
constexpr int kNewSetupSize = 3776;

// Builds the new setup image (kNewSetupSize bytes) from the old one
// (kOldSetupSize bytes, only read). Every byte of the new image is written:
// carried bytes are copied unchanged, the eight inserted virtual inputs get
// their default names and values, and the bytes the old layout has no
// counterpart for become 0. Any old image is accepted.
void migrateSetupImage(const char *oldImage, char *newImage);

// The entries of a setup: 48 in the old layout, 56 in the new one, each with a name of up to 20
// characters at the start of the image's entry-name array. The new layout inserts virtual
// inputs 9 to 16 as entries 32 to 39; old entries 32 to 47 become new entries 40 to 55.
constexpr int kOldEntries = 48;
constexpr int kNewEntries = 56;
constexpr int kFirstInsertedEntry = 32;
constexpr int kInsertedEntries = 8;

// The entry names of a setup image of either layout (kOldSetupSize or kNewSetupSize bytes), as
// text: each up to its NUL, a byte outside printable ASCII shown as '?'.
QStringList entryNames(const char *image, int size);
// The new layout's index of an old entry.
constexpr int newEntryIndex(int oldIndex)
{
    return oldIndex < kFirstInsertedEntry ? oldIndex : oldIndex + kInsertedEntries;
}
