#pragma once

#include <QString>

#include <cstdio>

// How tarvik-convert names files and speaks: messages on standard error, one line each.

// "-" for a file names standard input or output.
bool isStandard(const QString &path);

// A name as the system gives it in bytes. On Unix one whose bytes the system's encoding does not
// decode faithfully is kept byte for byte (each byte above 0x7F as a character no decoded name
// has), so that it is refused by its bytes instead of being taken for another name.
QString decodedName(const QByteArray &bytes);
// False for a name decodedName() kept byte for byte: such a name is never handed to the system.
bool faithful(const QString &path);
// "\xFF.hex: the file name is not valid in this system's encoding"
QString unfaithful(const QString &path);

// How messages show a path: with the system's separators, and a byte that is not valid in the
// system's encoding as \xFF.
QString native(const QString &path);
// How messages name an input: "<stdin>" for standard input.
QString displayName(const QString &input);

// Prints `text` and a line end. A control character in it (a newline, an escape in a file's
// name) is shown escaped, as \n or \x1B, so that no name can forge a line or steer the terminal.
void printLine(FILE *stream, const QString &text);
// "tarvik-convert: <message>" on standard error.
void printFailure(const QString &message);
