#include "setupfile.h"

#include "intelhex.h"
#include "migration.h"

#include <QDir>

namespace {

QString hex(qint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

SetupError wholeFileError(SetupError::Code code, const QString &path, const QString &detail)
{
    return SetupError{code, 0, QDir::toNativeSeparators(path) + QStringLiteral(": ") + detail};
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

} // namespace

SetupError loadOldSetup(const QString &path, QByteArray *image)
{
    image->clear();
    // A zeroed scratch image: nothing of an earlier load, nor of a refused file, is kept.
    QByteArray scratch(kOldSetupSize, '\0');
    const HexReadResult read = readHexImage(path, scratch.data(), kOldSetupSize);

    if (read.error.code == HexError::OutOfRange && read.dataEnd == kNewSetupSize) {
        return wholeFileError(SetupError::AlreadyConverted, path,
                              QStringLiteral("holds a 16-input setup already (its data runs to byte %1); it needs no conversion")
                                  .arg(hex(kNewSetupSize - 1)));
    }
    if (!read.error.ok()) {
        const auto code = read.error.code == HexError::OutOfRange ? SetupError::TooLong : SetupError::BadFile;
        return SetupError{code, read.error.line, read.error.message(path), read.error.code};
    }

    const int covered = read.covered.count(true);
    if (covered == 0)
        return wholeFileError(SetupError::NoData, path, QStringLiteral("holds no setup data (no Intel HEX data records)"));
    if (covered < kOldSetupSize) {
        return wholeFileError(SetupError::Incomplete, path,
                              QStringLiteral("covers %1 of the %2 bytes of an 8-input setup; %3")
                                  .arg(covered).arg(kOldSetupSize).arg(firstGap(read.covered)));
    }
    *image = scratch;
    return {};
}

SetupError saveNewSetup(const QString &path, const QByteArray &oldImage)
{
    if (oldImage.size() != kOldSetupSize) {
        return wholeFileError(SetupError::CannotSave, path,
                              QStringLiteral("not saved: the setup to convert has %1 bytes instead of %2")
                                  .arg(oldImage.size()).arg(kOldSetupSize));
    }
    QByteArray newImage(kNewSetupSize, '\0');
    migrateSetupImage(oldImage.constData(), newImage.data());
    const HexError written = writeHexImage(path, newImage.constData(), newImage.size());
    if (!written.ok())
        return SetupError{SetupError::CannotSave, 0, written.message(path), written.code};
    return {};
}
