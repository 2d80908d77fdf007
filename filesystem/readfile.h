#pragma once

#include "fileerror.h"

#include <QByteArray>
#include <QString>

class QFileDevice;

// Whole files read and checked for a change while they were read, and what identifies a file.

// Files larger than this are refused before they are read; an old setup file is about 9.5 KB.
constexpr qint64 kMaxFileSize = 1024 * 1024;

// What identifies a file by any of its names (a hard or symbolic link, "a/../b", "A.HEX" where
// case is ignored): its device and inode on Unix, its volume and file index on Windows. Empty
// for a missing file.
QString fileKey(const QString &path);
// The same for the regular file an open descriptor is (standard input or output); empty for
// anything else.
QString fileKey(int descriptor);
// Opens each closed one of standard input, output and error on the null device, so that no file
// opened later takes its number and no message lands in a file; each program calls it first
// thing. False where one cannot be opened: then nothing is safe to write to.
[[nodiscard]] bool openClosedStandardStreams();

// How a reading makes sure no other program was writing the file meanwhile. Settled: a file
// changed a moment ago is given the time a writer may pause between two pieces, and is read
// again; what is converted is read so. AsItStands: a change seen while it is read refuses it, no
// more; enough to tell what a file about to be replaced holds, as a writer can change it after
// the reading however long the reading waits.
enum class Reading { Settled, AsItStands };

// Reads the whole regular file at `path`, at most kMaxFileSize bytes. Refused: CannotOpen for a
// missing, unreadable or non-regular file; TooLarge; Changed when its contents changed while it
// was read.
[[nodiscard]] FileError readWholeFile(const QString &path, QByteArray *text,
                                      Reading reading = Reading::Settled);
// The rest of a file already open, such as standard input, at most one byte more than
// kMaxFileSize; a non-blocking one is waited for. A regular file is checked for a change too
// where the system lets another program write it meanwhile (on Windows a file opened for reading
// is shared for reading only).
[[nodiscard]] FileError readRest(QFileDevice *file, QByteArray *text);
// Writes all of `text` to a file already open, such as standard output, and flushes it.
[[nodiscard]] FileError writeAll(QFileDevice *file, const QByteArray &text);
