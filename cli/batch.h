#pragma once

#include "options.h"

// Converts what the command line names: INPUT to OUTPUT (convertOne), or each INPUT into a
// folder, several at a time (convertIntoFolder). Every file goes through loadOldSetup and
// saveNewSetup; a failed one prints one line to stderr and the others still go on. Each returns
// the exit status.
int convertOne(const ConvertOptions &options);
int convertIntoFolder(const ConvertOptions &options);
