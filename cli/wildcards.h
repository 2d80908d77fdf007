#pragma once

#include <QStringList>

// cmd.exe and PowerShell hand * and ? to a program as they were typed, so
// tarvik-convert expands them itself, on every system alike. Each argument that
// names no existing file and holds * (any run of characters) or ? (any one
// character) in its names becomes the files it matches, in a stable order: by
// name, ignoring case first, within each folder. Names are compared as the file
// system does (ignoring case on Windows and macOS); hidden files are left out, as
// shells do. An argument that matches nothing stays as it was. The last
// `keepLast` arguments are names to create and are never expanded.
QStringList expandWildcards(const QStringList &arguments, int keepLast = 0);

// True for an argument that names no existing file and holds * or ?: one that
// expandWildcards expands or, once it has, one that matched nothing, which is to
// be refused like a missing file.
bool isWildcardPattern(const QString &argument);
