#pragma once

#include <QStringList>

// Exit statuses of tarvik-convert.
enum ConvertStatus {
    AllConverted = 0,
    SomeFailed = 1, // at least one file was not converted; each has its line on stderr
    UsageError = 2, // nothing was converted; the usage went to stderr
};

// Runs tarvik-convert on `arguments` (program name first, as QCoreApplication
// gives them): either INPUT OUTPUT, or --output-dir DIR INPUT... Every file goes
// through loadOldSetup and saveNewSetup; a failed file prints one line,
// "tarvik-convert: " and the message, to stderr and the others still go on.
// Nothing is printed on success unless --verbose is given.
int runConvertCommand(const QStringList &arguments);
