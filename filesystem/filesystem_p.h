#pragma once

// What the file-system code shares between its platforms: how a failure is told, in the user's
// words, and this program's temporary names. Not for use outside this folder.

#include "savefolder.h"

#include <QByteArray>
#include <QString>

namespace FilePrivate {

HexError failure(HexError::Code code, const QString &detail,
                 HexError::Cause cause = HexError::OtherCause);

// A failure's reason in a user's words where its cause is one they can act on, else the
// system's own words.
QString reason(int code, const QString &noPermission);

HexError openFailure(int code);

HexError tooLarge(qint64 size);

// A save that failed: why, at which step, and what became of the file.
HexError saveFailure(const QString &step, int code, const QString &folder, bool existed);

HexError refused(const QString &detail);

// One temporary name per output, short whatever the output's name, and plainly this program's.
QByteArray temporaryName(const QByteArray &name);

} // namespace FilePrivate
