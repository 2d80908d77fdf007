#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QString>

class QFileDevice;
class SaveFolder;

// Moves a fixed-size byte image between memory and Intel HEX text. The offset of
// a byte in the image is its Intel HEX address.

struct HexError
{
    enum Code {
        None,
        CannotOpen, // missing, a folder, or unreadable
        TooLarge,   // the file, or the image to write, is larger than this codec takes
        NotText,    // binary content: no Intel HEX text at all
        BadRecord,  // a line that starts with ':' is not a well-formed record
        BadChecksum,
        UnknownType, // a record type other than 00 to 05
        OutOfRange,  // data at an address at or beyond the image's size
        Conflict,    // two records give one address different values
        Changed,     // the file changed while it was being read
        CannotWrite, // the output could not be created, written or put in place
    };
    // For CannotOpen and CannotWrite: the system's reason, where it is one a user can act on.
    enum Cause {
        OtherCause,
        DiskFull,
        ReadOnlyDisk, // a read-only file system or medium
        NoPermission,
        InUse, // another program holds the file
    };

    Code code = None;
    int line = 0;   // 1-based; 0 when the whole file is meant
    QString detail; // the problem alone, e.g. "checksum is A7, the record's bytes give A6"
    Cause cause = OtherCause;

    bool ok() const { return code == None; }
    // "C:\setups\old.hex, line 12: checksum is A7, the record's bytes give A6"
    QString message(const QString &path) const;
};

struct HexReadResult
{
    HexError error;
    QBitArray covered; // one bit per image byte: set where a data record stored a value
    // One past the highest address any data record names, inside the image or not.
    qint64 dataEnd = 0;
};

// Files larger than this are refused before they are read; an old setup file is about 9.5 KB.
constexpr qint64 kMaxHexFileSize = 1024 * 1024;

// Reads Intel HEX text into image[0, size). A line ends in LF, CR LF, a CR alone,
// or a run of CRs and an LF; each line end counts in line numbers. Lines that are
// empty or do not start with ':' are passed over; every other line must be a
// complete record with a correct checksum. Record types: 00 data; 01 end of file
// (later records are still read); 02 and 04 set the extended address of the data
// records after them; 03 and 05 are checked and ignored. Two records may give a
// byte the same value, never different ones (Conflict). A binary byte before the
// first record means a file that is not text at all (NotText).
//
// A malformed line or a conflict stops the reading at once. Data outside the
// image does not: the whole file is read so that dataEnd tells how far its data
// reaches, and the first such record is then reported as OutOfRange. On any error
// the image may hold part of the file: a caller that keeps nothing of a refused
// file should read into a scratch image.
[[nodiscard]] HexReadResult parseHexImage(const QByteArray &text, char *image, int size);
// The same for the regular file at path, read whole before it is parsed. A file
// whose contents changed while it was read is refused (Changed): it may have given
// a mix of two setups.
[[nodiscard]] HexReadResult readHexImage(const QString &path, char *image, int size);
// The same for the rest of a file already open for reading, such as standard input.
// A text longer than kMaxHexFileSize is refused; the reading stops one byte past it.
[[nodiscard]] HexReadResult readHexImage(QFileDevice *file, char *image, int size);

// Writes image[0, size) as Intel HEX: records of 16 data bytes from address 0,
// upper-case digits, the platform's text line ends, then the end-of-file record.
// size is 0 to 65536 (16-bit addresses; no extended address records are written).
// An existing file at path is replaced only by a complete new file: on any
// failure it is left as it was and no partial file remains. A symbolic link at
// path is refused, never written through. See SaveFolder::save.
[[nodiscard]] HexError writeHexImage(const QString &path, const char *image, int size);
// The same for the file `relative` under a folder held open (see SaveFolder::save).
[[nodiscard]] HexError writeHexImage(const SaveFolder &folder, const QString &relative,
                                     const char *image, int size, bool makeFolders = false);
// The same text to a file already open for writing, such as standard output, and
// flushed. On failure part of it may have been written.
[[nodiscard]] HexError writeHexImage(QFileDevice *file, const char *image, int size);

// The text writeHexImage writes, with "\n" line ends.
QByteArray formatHexImage(const char *image, int size);
