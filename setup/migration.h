#pragma once

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
