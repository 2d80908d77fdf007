#pragma once

#include <QStringList>

// Exit statuses of tarvik-convert.
enum ConvertStatus {
    AllConverted = 0,
    SomeFailed = 1, // at least one file was not converted; each has its line on stderr
    UsageError = 2, // nothing was converted; the usage went to stderr
};

// The program's arguments. On Unix one whose bytes the system's encoding does not decode
// faithfully is kept byte for byte (each byte above 0x7F as a character no decoded name has)
// so that it is refused by its bytes instead of being taken for another name.
QStringList commandLineArguments(int argc, char **argv);

// Runs tarvik-convert on `arguments` (program name first, as commandLineArguments
// gives them): either INPUT OUTPUT, or --output-dir DIR INPUT... (see batch.h). A
// failed file prints one line, "tarvik-convert: " and the message, to stderr and the
// others still go on; a batch with any failed file ends with "tarvik-convert: N of M
// files not converted". Nothing is printed on success unless --verbose is given.
int runConvertCommand(const QStringList &arguments);
