#pragma once

#include "savefolder.h"
#include "setupfile.h"

#include <QString>

// What the window says: files named so that a technician knows which site they are, and every
// problem in plain words, what is wrong first and then what to do.

// A path as this system writes it.
QString native(const QString &path);
// The name the save dialog proposes: made from the input's, so that it can be
// neither the input itself nor an earlier output ("site-b.hex" -> "site-b-16.hex").
QString proposedName(const QString &inputPath);
// "site.hex in C:\sites\B": a file by its name and its folder, for every site's file may have
// the same name. Whole: where it must be shorter, the widget that shows it shortens the folder.
QString fileInFolder(const QString &path);

// What a technician reads first: what is wrong, in plain words; then what to do.
struct PlainWords
{
    QString problem;
    QString action;
};
PlainWords plainWords(const SetupError &error);

// What a file holds, in one line: "Old setup, 8 virtual inputs: Pump 1, Pump 2, Tank level, ...
// 48 entries", or why it is no setup to convert, in plain words.
QString summaryOf(const SetupFileContents &contents);
// What `output`, an existing file a save would replace, holds, as the question before it says;
// empty when it holds exactly `newImage` already, so that nothing needs writing.
QString replacedContents(const QString &output, const QByteArray &oldImage,
                         const QByteArray &newImage);
// What this system calls its trash: "the Trash", "the Recycle Bin" on Windows.
QString trashName();
// Where a file replaced by a save of the window goes, as the question before it says.
QString whereReplacedGo();
// Where a replaced file went, as the status bar ends: in the trash, or beside its replacement.
QString earlierNowIn(const Replaced &earlier);
