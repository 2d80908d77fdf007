#pragma once

#include "fileerror.h"
#include "intelhex.h"
#include "savefolder.h"

#include <QByteArray>
#include <QSet>
#include <QString>

class QFileDevice;

// Loading an old setup file and saving its conversion: what both front ends call.

struct SetupError
{
    enum Code {
        None,
        BadFile,          // cannot be opened or is not valid Intel HEX
        NoData,           // holds no data records
        Incomplete,       // does not cover every byte of an 8-input setup
        TooLong,          // holds data beyond an 8-input setup
        NotASetup,        // holds data beyond even a 16-input setup: firmware or the like
        AlreadyConverted, // holds a complete 16-input setup already
        CannotSave,
    };

    Code code = None;
    int line = 0; // 1-based line of the input file the problem is on; 0 for the whole file
    // Complete and ready to show: the file, the line where there is one, what is wrong.
    QString message;
    // For BadFile and CannotSave: what the Intel HEX codec found, or what the file system said
    // and the system's reason.
    HexError::Code hexCode = HexError::None;
    FileError::Code fileCode = FileError::None;
    FileError::Cause cause = FileError::OtherCause;

    bool ok() const { return code == None; }
};

// Reads an old setup file into `image`, which is set to exactly kOldSetupSize
// bytes, every one of them from the file. Nothing of an earlier load survives.
// On failure `image` is left empty.
[[nodiscard]] SetupError loadOldSetup(const QString &path, QByteArray *image);
// The same from the rest of a file already open for reading, such as standard
// input; messages call it `name` ("<stdin>").
[[nodiscard]] SetupError loadOldSetup(QFileDevice *file, const QString &name, QByteArray *image);

// What an existing file holds, read once: an old or a new setup with its image, another file,
// or a file that cannot be opened.
struct SetupFileContents
{
    enum Kind { Unreadable, OldSetup, NewSetup, NotASetup };
    Kind kind = Unreadable;
    QByteArray image;   // kOldSetupSize or kNewSetupSize bytes for a setup, else empty
    SetupError problem; // why it is no old setup, for all but OldSetup
};
SetupFileContents readSetupFile(const QString &path);
// Whether the file at `path` holds a complete old setup, as loadOldSetup would load it: the one
// file a conversion must never replace unasked. Cheaper than readSetupFile, and read as it
// stands (Reading::AsItStands): a wait for a writer to go on would only turn a reading that
// sees an old setup into one that sees a change.
bool holdsOldSetup(const QString &path);

// Migrates an old setup image (kOldSetupSize bytes, as loadOldSetup gives it)
// and writes the new setup file to `path` (see saveFile). An existing file is
// replaced only by a complete new one, never where it is one of `kept` (by fileKey),
// and is kept as `options` say; one that holds this very text already is left alone.
// `replaced` tells which.
[[nodiscard]] SetupError saveNewSetup(const QString &path, const QByteArray &oldImage,
                                      const QSet<QString> &kept = {},
                                      const SaveOptions &options = {},
                                      Replaced *replaced = nullptr);
// The same to the file `relative` under a folder held open (see SaveFolder::save);
// messages call it folder.filePath(relative).
[[nodiscard]] SetupError saveNewSetup(const SaveFolder &folder, const QString &relative,
                                      const QByteArray &oldImage, const SaveOptions &options = {},
                                      Replaced *replaced = nullptr);
// The same to a file already open for writing, such as standard output; messages
// call it `name`. On failure part of the setup may have been written.
[[nodiscard]] SetupError saveNewSetup(QFileDevice *file, const QString &name,
                                      const QByteArray &oldImage);
