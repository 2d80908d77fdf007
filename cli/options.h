#pragma once

#include "savefolder.h"

#include <QString>
#include <QStringList>

// tarvik-convert's command line.
struct ConvertOptions
{
    QStringList files; // INPUT OUTPUT, or with -d the INPUTs; patterns expanded
    QString outputDir; // -d DIR; empty without it
    bool hasOutputDir = false;
    bool verbose = false;   // -v
    bool parents = false;   // --parents
    bool force = false;     // -f: an OUTPUT that holds an old setup is replaced too
    bool noClobber = false; // -n: no existing file is replaced
    bool backup = false;    // -b, --backup, -S: a replaced file is kept beside its replacement
    SaveOptions::Backups backups = SaveOptions::Existing; // --backup=CONTROL
    QString suffix;    // -S: a simple backup's; empty for this system's (~, .bak on Windows)
    bool info = false; // --info: what each file holds, nothing converted
    int jobs = 0;      // -j N
};

// More threads than this gain nothing: the disk is the limit long before.
constexpr int kMaxJobs = 64;

// Reads `arguments` (program name first) into `options`. Returns -1 where the files are to be
// converted; else the exit status, having printed what was asked (--help, --version, to standard
// output) or the usage error and a hint (to standard error).
int parseConvertOptions(const QStringList &arguments, ConvertOptions *options);
