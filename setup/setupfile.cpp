#include "setupfile.h"

#include "intelhex.h"
#include "migration.h"
#include "readfile.h"
#include "savefolder.h"

#include <QDir>

namespace {

QString hex(qint64 value)
{
    return QStringLiteral("0x")
            + QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

SetupError wholeFileError(SetupError::Code code, const QString &path, const QString &detail)
{
    return SetupError{ code, 0, QDir::toNativeSeparators(path) + QStringLiteral(": ") + detail };
}

// "bytes 0x0070-0x007F are missing", for the first run of bytes the file left out.
QString firstGap(const QBitArray &covered)
{
    int first = 0;
    while (covered.testBit(first))
        ++first;
    int last = first;
    while (last + 1 < covered.size() && !covered.testBit(last + 1))
        ++last;
    if (first == last)
        return QStringLiteral("byte %1 is missing").arg(hex(first));
    return QStringLiteral("bytes %1-%2 are missing").arg(hex(first), hex(last));
}

// The old setup in `text`, the contents of the file that messages call `name`, as `read` gave
// them.
SetupError loadText(const FileError &read, const QByteArray &text, const QString &name,
                    QByteArray *image)
{
    image->clear();
    if (!read.ok()) {
        SetupError refused{ SetupError::BadFile, 0, read.message(name) };
        refused.fileCode = read.code;
        refused.cause = read.cause;
        return refused;
    }
    // A zeroed scratch image: nothing of an earlier load, nor of a refused file, is kept.
    QByteArray scratch(kOldSetupSize, '\0');
    const HexReadResult parsed = parseHexImage(text, scratch.data(), kOldSetupSize);

    if (parsed.error.code == HexError::OutOfRange && parsed.dataEnd == kNewSetupSize) {
        return wholeFileError(SetupError::AlreadyConverted, name,
                              QStringLiteral("holds a 16-input setup already (its data runs to "
                                             "byte %1); it needs no conversion")
                                      .arg(hex(kNewSetupSize - 1)));
    }
    if (!parsed.error.ok()) {
        // Data beyond a 16-input setup too is no setup at all: a firmware image, say.
        const auto code = parsed.error.code != HexError::OutOfRange ? SetupError::BadFile
                : parsed.dataEnd > kNewSetupSize                    ? SetupError::NotASetup
                                                                    : SetupError::TooLong;
        return SetupError{ code, parsed.error.line, parsed.error.message(name), parsed.error.code };
    }

    const int covered = parsed.covered.count(true);
    if (covered == 0)
        return wholeFileError(SetupError::NoData, name,
                              QStringLiteral("holds no setup data (no Intel HEX data records)"));
    if (covered < kOldSetupSize) {
        return wholeFileError(SetupError::Incomplete, name,
                              QStringLiteral("covers %1 of the %2 bytes of an 8-input setup; %3")
                                      .arg(covered)
                                      .arg(kOldSetupSize)
                                      .arg(firstGap(parsed.covered)));
    }
    *image = scratch;
    return {};
}

// The text of the new setup file for an old setup image, with the platform's line ends.
QByteArray newSetupText(const QByteArray &oldImage, bool platformLineEnds)
{
    QByteArray newImage(kNewSetupSize, '\0');
    migrateSetupImage(oldImage.constData(), newImage.data());
    QByteArray text = formatHexImage(newImage.constData(), newImage.size());
#ifdef Q_OS_WIN
    if (platformLineEnds)
        text.replace("\n", "\r\n");
#else
    Q_UNUSED(platformLineEnds);
#endif
    return text;
}

// `write(text)` writes the new setup's text to the file that messages call `name`.
template <typename Write>
SetupError save(const Write &write, const QString &name, const QByteArray &oldImage)
{
    if (oldImage.size() != kOldSetupSize) {
        return wholeFileError(
                SetupError::CannotSave, name,
                QStringLiteral("not saved: the setup to convert has %1 bytes instead of %2")
                        .arg(oldImage.size())
                        .arg(kOldSetupSize));
    }
    const FileError written = write();
    if (!written.ok()) {
        SetupError failed{ SetupError::CannotSave, 0, written.message(name) };
        failed.fileCode = written.code;
        failed.cause = written.cause;
        return failed;
    }
    return {};
}

} // namespace

SetupError loadOldSetup(const QString &path, QByteArray *image)
{
    QByteArray text;
    const FileError read = readWholeFile(path, &text);
    return loadText(read, text, path, image);
}

SetupError loadOldSetup(QFileDevice *file, const QString &name, QByteArray *image)
{
    QByteArray text;
    const FileError read = readRest(file, &text);
    return loadText(read, text, name, image);
}

SetupFileContents readSetupFile(const QString &path)
{
    QByteArray text, image;
    const FileError error = readWholeFile(path, &text);
    SetupFileContents contents{ SetupFileContents::NotASetup,
                                {},
                                loadText(error, text, path, &image) };
    if (contents.problem.ok())
        return { SetupFileContents::OldSetup, image, {} };
    if (error.code == FileError::CannotOpen)
        contents.kind = SetupFileContents::Unreadable;
    QByteArray newImage(kNewSetupSize, '\0');
    const HexReadResult read = parseHexImage(text, newImage.data(), kNewSetupSize);
    if (error.ok() && read.error.ok() && read.covered.count(true) == kNewSetupSize)
        return { SetupFileContents::NewSetup, newImage, contents.problem };
    return contents;
}

bool holdsOldSetup(const QString &path)
{
    QByteArray text, image;
    const FileError read = readWholeFile(path, &text, Reading::AsItStands);
    return loadText(read, text, path, &image).ok();
}

SetupError saveNewSetup(const QString &path, const QByteArray &oldImage, const QSet<QString> &kept,
                        const SaveOptions &options, Replaced *replaced)
{
    return save(
            [&] { return saveFile(path, newSetupText(oldImage, true), kept, options, replaced); },
            path, oldImage);
}

SetupError saveNewSetup(const SaveFolder &folder, const QString &relative,
                        const QByteArray &oldImage, const SaveOptions &options, Replaced *replaced)
{
    return save(
            [&] { return folder.save(relative, newSetupText(oldImage, true), options, replaced); },
            folder.filePath(relative), oldImage);
}

SetupError saveNewSetup(QFileDevice *file, const QString &name, const QByteArray &oldImage)
{
    // A file opened as Text puts in the platform's line ends itself.
    return save([&] { return writeAll(file, newSetupText(oldImage, false)); }, name, oldImage);
}
