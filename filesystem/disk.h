#pragma once

#include <QString>

// What the disk under a folder does with names and times, asked of the disk itself (a FAT or
// exFAT stick, an SMB share and an NTFS disk mounted to fold case all answer alike, whatever their
// driver is called) once per folder and remembered. Safe on any thread.

// Whether another spelling of a name in `folder` reaches the same file ("SITE.HEX" and
// "site.hex"): asked by a name in it whose letters can change case, or by a short-lived file of
// this program's where it holds none. False where the disk cannot be asked.
bool ignoresCase(const QString &folder);
// `path` as the disk under `folder` compares names: case-folded where it ignores case.
QString asCompared(const QString &folder, const QString &path);
// Whether a write to a file in `folder` shows at once in the file's modification time: asked by
// a short-lived file of this program's. False where a network folder dates a file only when it
// is closed or later, and where the folder cannot be written to ask.
bool datesWrites(const QString &folder);
