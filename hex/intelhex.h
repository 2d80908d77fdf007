#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QString>

// Moves a fixed-size byte image between memory and Intel HEX text. The offset of
// a byte in the image is its Intel HEX address. Files are the caller's: the codec
// reads and writes text in memory only.

struct HexError
{
    enum Code {
        None,
        NotText,   // binary content: no Intel HEX text at all
        BadRecord, // a line that starts with ':' is not a well-formed record
        BadChecksum,
        UnknownType, // a record type other than 00 to 05
        OutOfRange,  // data at an address at or beyond the image's size
        Conflict,    // two records give one address different values
    };

    Code code = None;
    int line = 0;   // 1-based; 0 when the whole file is meant
    QString detail; // the problem alone, e.g. "checksum is A7, the record's bytes give A6"

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
// Intel HEX text for image[0, size): records of 16 data bytes from address 0,
// upper-case digits, "\n" line ends, then the end-of-file record. size is 0 to
// 65536 (16-bit addresses; no extended address records are written).
QByteArray formatHexImage(const char *image, int size);
