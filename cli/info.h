#pragma once

#include "options.h"

// tarvik-convert --info: for each file, a line "FILE: old setup, 8 virtual inputs, 48 entries"
// (or "converted setup, 16 virtual inputs, 56 entries") and a line "FILE: entry N: NAME" for each
// entry, counted from 1; or "FILE: not a setup..." and why. Writes no file. Returns 0 when every
// file is a setup of either layout, else 1.
int printInfo(const ConvertOptions &options);
