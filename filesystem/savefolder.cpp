#include "filesystem_p.h"

#include <QCryptographicHash>
#include <QDir>

namespace FilePrivate {

HexError failure(HexError::Code code, const QString &detail, HexError::Cause cause)
{
    HexError error{ code, 0, detail };
    error.cause = cause;
    return error;
}

// A failure's reason in a user's words where its cause is one they can act on, else the
// system's own words.
QString reason(int code, const QString &noPermission)
{
    switch (systemCause(code)) {
    case HexError::DiskFull:
        return QStringLiteral("the disk is full");
    case HexError::ReadOnlyDisk:
        return QStringLiteral("the disk is read-only");
    case HexError::NoPermission:
        return noPermission;
    case HexError::InUse:
        return QStringLiteral("another program is using it");
    case HexError::OtherCause:
        break;
    }
    return systemReason(code);
}

HexError openFailure(int code)
{
    return failure(HexError::CannotOpen,
                   QStringLiteral("cannot open: %1")
                           .arg(reason(code, QStringLiteral("no permission to read it"))),
                   systemCause(code));
}

HexError tooLarge(qint64 size)
{
    return failure(
            HexError::TooLarge,
            size > kMaxHexFileSize
                    ? QStringLiteral("is %1 bytes long, too large for a setup file (at most %2 "
                                     "bytes)")
                              .arg(size)
                              .arg(kMaxHexFileSize)
                    : QStringLiteral("is more than %1 bytes long, too large for a setup file")
                              .arg(kMaxHexFileSize));
}

// A save that failed: why, at which step, and what became of the file.
HexError saveFailure(const QString &step, int code, const QString &folder, bool existed)
{
    const QString noPermission =
            QStringLiteral("no permission to write in the folder %1")
                    .arg(QDir::toNativeSeparators(folder.isEmpty() ? QStringLiteral(".") : folder));
    return failure(HexError::CannotWrite,
                   QStringLiteral("%1: %2; %3")
                           .arg(step, reason(code, noPermission),
                                existed ? QStringLiteral("it keeps its earlier contents")
                                        : QStringLiteral("nothing was written")),
                   systemCause(code));
}

HexError refused(const QString &detail)
{
    return failure(HexError::CannotWrite, detail);
}

// One temporary name per output, short whatever the output's name, and plainly this program's.
QByteArray temporaryName(const QByteArray &name)
{
    return ".tarvik-save-"
            + QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex().left(16) + ".tmp";
}

} // namespace FilePrivate

QString SaveFolder::filePath(const QString &relative) const
{
    if (m_path.isEmpty() || m_path.endsWith(QLatin1Char('/')) || m_path.endsWith(QDir::separator()))
        return m_path + relative;
    return m_path + QLatin1Char('/') + relative;
}
