#pragma once

#include <QString>

// A failure to read or save a file: what went wrong in words a user can act on, with what
// became of the file, and the system's reason where it is one they can act on.
struct FileError
{
    enum Code {
        None,
        CannotOpen,  // missing, a folder, not a regular file, or unreadable
        TooLarge,    // larger than any file this program reads
        Changed,     // the file changed while it was being read
        CannotWrite, // the output could not be created, written or put in place
    };
    enum Cause {
        OtherCause,
        DiskFull,
        ReadOnlyDisk, // a read-only file system or medium
        NoPermission,
        InUse,         // another program holds the file
        NoDescriptors, // this program has too many files open
        Missing,       // no such file or folder
        Folder,        // a folder where a file was meant
        NotRegular,    // a FIFO, a device or a socket: no plain file
        Protected,     // a file that may not be replaced: write-protected, append-only
    };

    Code code = None;
    QString detail; // the problem alone, e.g. "cannot save: the disk is full; nothing was written"
    Cause cause = OtherCause;

    bool ok() const { return code == None; }
    // "C:\setups\new.hex: cannot save: the disk is full; nothing was written"
    QString message(const QString &path) const;
};

// The system's words for an error code (errno, or GetLastError() on Windows), and its cause.
QString systemReason(int code);
FileError::Cause systemCause(int code);
