#include "setupfile.h"

#include "intelhex.h"
#include "migration.h"
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

// A named file and one already open (standard input or output) go through the
// same steps: `file` is a path or a QFileDevice, `name` what messages call it.
template <typename File>
SetupError load(const File &file, const QString &name, QByteArray *image)
{
    image->clear();
    // A zeroed scratch image: nothing of an earlier load, nor of a refused file, is kept.
    QByteArray scratch(kOldSetupSize, '\0');
    const HexReadResult read = readHexImage(file, scratch.data(), kOldSetupSize);

    if (read.error.code == HexError::OutOfRange && read.dataEnd == kNewSetupSize) {
        return wholeFileError(SetupError::AlreadyConverted, name,
                              QStringLiteral("holds a 16-input setup already (its data runs to "
                                             "byte %1); it needs no conversion")
                                      .arg(hex(kNewSetupSize - 1)));
    }
    if (!read.error.ok()) {
        const auto code =
                read.error.code == HexError::OutOfRange ? SetupError::TooLong : SetupError::BadFile;
        return SetupError{ code, read.error.line, read.error.message(name), read.error.code,
                           read.error.cause };
    }

    const int covered = read.covered.count(true);
    if (covered == 0)
        return wholeFileError(SetupError::NoData, name,
                              QStringLiteral("holds no setup data (no Intel HEX data records)"));
    if (covered < kOldSetupSize) {
        return wholeFileError(SetupError::Incomplete, name,
                              QStringLiteral("covers %1 of the %2 bytes of an 8-input setup; %3")
                                      .arg(covered)
                                      .arg(kOldSetupSize)
                                      .arg(firstGap(read.covered)));
    }
    *image = scratch;
    return {};
}

// `write(image, size)` writes the new image to the file that messages call `name`.
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
    QByteArray newImage(kNewSetupSize, '\0');
    migrateSetupImage(oldImage.constData(), newImage.data());
    const HexError written = write(newImage.constData(), newImage.size());
    if (!written.ok())
        return SetupError{ SetupError::CannotSave, 0, written.message(name), written.code,
                           written.cause };
    return {};
}

} // namespace

SetupError loadOldSetup(const QString &path, QByteArray *image)
{
    return load(path, path, image);
}

SetupError loadOldSetup(QFileDevice *file, const QString &name, QByteArray *image)
{
    return load(file, name, image);
}

SetupError saveNewSetup(const QString &path, const QByteArray &oldImage)
{
    return save([&](const char *image, int size) { return writeHexImage(path, image, size); }, path,
                oldImage);
}

SetupError saveNewSetup(const SaveFolder &folder, const QString &relative,
                        const QByteArray &oldImage, bool makeFolders)
{
    return save([&](const char *image,
                    int size) { return writeHexImage(folder, relative, image, size, makeFolders); },
                folder.filePath(relative), oldImage);
}

SetupError saveNewSetup(QFileDevice *file, const QString &name, const QByteArray &oldImage)
{
    return save([&](const char *image, int size) { return writeHexImage(file, image, size); }, name,
                oldImage);
}
