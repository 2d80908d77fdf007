#include "plainwords.h"

#include "migration.h"

#include <QDir>
#include <QFileInfo>

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString proposedName(const QString &inputPath)
{
    return QFileInfo(inputPath).completeBaseName() + QStringLiteral("-16.hex");
}

QString fileInFolder(const QString &path)
{
    const QFileInfo info(path);
    return QStringLiteral("%1 in %2").arg(info.fileName(), native(info.absolutePath()));
}

// Why a save failed, by the system's reason.
static PlainWords savingWords(FileError::Cause cause)
{
    switch (cause) {
    case FileError::DiskFull:
        return { QStringLiteral("The disk is full: the converted setup was not saved."),
                 QStringLiteral("Free some space on it, or save to another disk.") };
    case FileError::ReadOnlyDisk:
        return { QStringLiteral("The converted setup was not saved: the disk is read-only."),
                 QStringLiteral("Save to another disk, or make this one writable.") };
    case FileError::NoPermission:
        return { QStringLiteral("The converted setup was not saved: you may not write there."),
                 QStringLiteral("Choose another folder.") };
    case FileError::Protected:
        return { QStringLiteral("The converted setup was not saved: the file is write-protected."),
                 QStringLiteral("Choose another name, or clear the file's write protection.") };
    case FileError::InUse:
        return { QStringLiteral("The converted setup was not saved: another program is "
                                "using the file."),
                 QStringLiteral("Close it in the other program, or choose another name.") };
    case FileError::Missing: // a USB stick pulled, a folder removed meanwhile
        return { QStringLiteral("The converted setup was not saved: its folder is no longer "
                                "there."),
                 QStringLiteral("Check that the disk is connected, or save to another folder.") };
    default:
        return { QStringLiteral("The converted setup was not saved."),
                 QStringLiteral("Choose another folder or file name and try again.") };
    }
}

// Why a file that is no complete Intel HEX text, or cannot be read at all, was refused.
static PlainWords readingWords(const SetupError &error, const QString &again, const QString &check)
{
    const QString line = QString::number(error.line);
    switch (error.hexCode) {
    case HexError::NotText:
        return { QStringLiteral("This is not a setup file: it holds binary data, not Intel HEX "
                                "text."),
                 check };
    case HexError::BadChecksum:
        return {
            QStringLiteral("This file is damaged: line %1 does not match its checksum.").arg(line),
            again
        };
    case HexError::BadRecord:
        return { QStringLiteral("This file is damaged: line %1 is cut off or holds a wrong "
                                "character.")
                         .arg(line),
                 again };
    case HexError::UnknownType:
        return { QStringLiteral("This is not a setup file: line %1 holds a kind of record that "
                                "setups never have.")
                         .arg(line),
                 check };
    case HexError::Conflict:
        return { QStringLiteral("This file holds two different setups, or a patch over one: line "
                                "%1 gives a byte another value than an earlier line does.")
                         .arg(line),
                 QStringLiteral("Use the file as the device gave it.") };
    default:
        break;
    }
    switch (error.fileCode) {
    case FileError::TooLarge:
        return { QStringLiteral("This is not a setup file: it is far too large for one."), check };
    case FileError::Changed:
        return { QStringLiteral("This file changed while it was being read."),
                 QStringLiteral("Wait until the program writing it has finished, then try "
                                "again.") };
    default:
        break;
    }
    const QString choose = QStringLiteral("Check the name in the field, or choose the file with "
                                          "Browse.");
    switch (error.cause) {
    case FileError::NoPermission:
        return { QStringLiteral("This file cannot be read: you have no permission to read it."),
                 QStringLiteral("Ask the file's owner or an administrator for permission to read "
                                "it.") };
    case FileError::InUse:
        return { QStringLiteral("This file cannot be read: another program is using it."),
                 QStringLiteral("Close it in the other program, then try again.") };
    case FileError::Missing:
        return { QStringLiteral("There is no file of this name."), choose };
    case FileError::Folder:
        return { QStringLiteral("This is a folder, not a setup file."),
                 QStringLiteral("Choose the setup file in it with Browse.") };
    case FileError::NotRegular:
        return { QStringLiteral("This is no file that holds a setup: it is a device, a pipe or a "
                                "socket."),
                 choose };
    default: // the system's own words, as the core's message ends with them
        return { QStringLiteral("This file cannot be read: %1.")
                         .arg(error.message.section(QStringLiteral(": "), -1)),
                 choose };
    }
}

PlainWords plainWords(const SetupError &error)
{
    const QString again = QStringLiteral("Copy the setup from the device again.");
    const QString check = QStringLiteral("Check that you chose the old setup file.");
    switch (error.code) {
    case SetupError::CannotSave:
        return savingWords(error.cause);
    case SetupError::BadFile:
        return readingWords(error, again, check);
    case SetupError::NoData:
        return { QStringLiteral("This file holds no setup."), check };
    case SetupError::Incomplete:
        return { QStringLiteral("This setup is incomplete: part of it is missing from the file."),
                 again };
    case SetupError::TooLong:
        return { QStringLiteral("This file holds more than an 8-input setup, so it is not an old "
                                "setup file."),
                 check };
    case SetupError::NotASetup:
        return { QStringLiteral("This is not a setup file: it holds data far beyond where any "
                                "setup ends."),
                 check };
    default: // AlreadyConverted
        return { QStringLiteral("This file is already in the 16-input layout: it needs no "
                                "conversion."),
                 QStringLiteral("Choose an old setup file (8 virtual inputs) to convert.") };
    }
}

QString summaryOf(const SetupFileContents &contents)
{
    const QString layout = contents.kind == SetupFileContents::OldSetup
            ? QStringLiteral("Old setup, 8 virtual inputs: ")
            : QStringLiteral("Already converted, 16 virtual inputs: ");
    if (contents.kind != SetupFileContents::OldSetup
        && contents.kind != SetupFileContents::NewSetup)
        return plainWords(contents.problem).problem;
    const QStringList names = entryNames(contents.image.constData(), contents.image.size());
    return layout + names.mid(0, 3).join(QStringLiteral(", "))
            + QStringLiteral(", %1 %2 entries").arg(QChar(0x2026)).arg(names.size());
}

QString replacedContents(const QString &output, const QByteArray &oldImage,
                         const QByteArray &newImage)
{
    const QString name = fileInFolder(output);
    const SetupFileContents contents = readSetupFile(output);
    // A setup is shown by its first entries, so that a setup of another site is seen as one.
    const QString holds = QStringLiteral("\n\n") + summaryOf(contents);
    switch (contents.kind) {
    case SetupFileContents::NewSetup:
        if (contents.image == newImage)
            return QString();
        return QStringLiteral("%1 holds a different 16-input setup.").arg(name) + holds;
    case SetupFileContents::Unreadable:
        return QStringLiteral("%1 cannot be read, so what it holds is not known.").arg(name);
    // The input itself, a link to it or a copy: what it holds is the setup being converted.
    case SetupFileContents::OldSetup:
        if (contents.image == oldImage)
            return QStringLiteral("%1 holds the 8-input setup you are converting: replacing it "
                                  "leaves no copy of that setup there.")
                           .arg(name)
                    + holds;
        return QStringLiteral("%1 holds another 8-input setup, not yet converted.").arg(name)
                + holds;
    case SetupFileContents::NotASetup:
        break;
    }
    return QStringLiteral("%1 is not a setup file.").arg(name);
}

QString trashName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("the Recycle Bin");
#else
    return QStringLiteral("the Trash");
#endif
}

QString whereReplacedGo()
{
    return QStringLiteral("A file replaced goes to %1, or where its disk has none, stays beside "
                          "the new file.")
            .arg(trashName());
}

QString earlierNowIn(const Replaced &earlier)
{
    switch (earlier.where) {
    case Replaced::InTrash:
        return QStringLiteral("; the earlier file is in %1").arg(trashName());
    case Replaced::Beside:
        return QStringLiteral("; the earlier file is kept as %1")
                .arg(QFileInfo(earlier.path).fileName());
    case Replaced::Nowhere:
    case Replaced::Unchanged:
        break;
    }
    return QString();
}
