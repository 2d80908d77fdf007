#pragma once

#include <QString>

// What the disk under a folder does with names, asked of the disk itself (a FAT or exFAT stick,
// an SMB share and an NTFS disk mounted to fold case all answer alike, whatever their driver is
// called) once per folder and remembered. Safe on any thread.

// Whether another spelling of a name in `folder` reaches the same file ("SITE.HEX" and
// "site.hex"): asked by a name in it whose letters can change case, or by a short-lived file of
// this program's where it holds none. False where the disk cannot be asked.
bool ignoresCase(const QString &folder);
// `path` as the disk under `folder` compares names: case-folded where it ignores case.
QString asCompared(const QString &folder, const QString &path);
