#include "report.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace {

// A byte of a name that the system's encoding cannot decode, kept as a lone surrogate.
bool isKeptByte(QChar c)
{
    return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
}

// "\n" for a control character, else the character itself.
QString escaped(QChar c)
{
    static const char letters[] = "abtnvfr";
    const ushort u = c.unicode();
    if (u >= 0x07 && u <= 0x0D)
        return QStringLiteral("\\") + QLatin1Char(letters[u - 0x07]);
    if (u < 0x20 || u == 0x7F)
        return QStringLiteral("\\x")
                + QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    if (u >= 0x80 && u <= 0x9F) // C1 controls, which terminals take as escapes too
        return QStringLiteral("\\u00") + QString::number(u, 16).toUpper();
    return QString(c);
}

} // namespace

bool isStandard(const QString &path)
{
    return path == QLatin1String("-");
}

QString decodedName(const QByteArray &bytes)
{
    QString decoded = QFile::decodeName(bytes);
#ifdef Q_OS_UNIX
    if (QFile::encodeName(decoded) != bytes) {
        decoded.clear();
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            decoded += u < 0x80 ? QChar(u) : QChar(ushort(0xDC00 + u));
        }
    }
#endif
    return decoded;
}

bool faithful(const QString &path)
{
    return std::none_of(path.begin(), path.end(), isKeptByte);
}

QString unfaithful(const QString &path)
{
    return QStringLiteral("%1: the file name is not valid in this system's encoding")
            .arg(native(path));
}

QString native(const QString &path)
{
    QString shown;
    for (const QChar c : QDir::toNativeSeparators(path))
        shown += isKeptByte(c)
                ? QStringLiteral("\\x") + QString::number(c.unicode() - 0xDC00, 16).toUpper()
                : QString(c);
    return shown;
}

QString displayName(const QString &input)
{
    return isStandard(input) ? QStringLiteral("<stdin>") : native(input);
}

void printLine(FILE *stream, const QString &text)
{
    QString line;
    for (const QChar c : text)
        line += escaped(c);
    std::fputs(qPrintable(line + QLatin1Char('\n')), stream);
}

void printFailure(const QString &message)
{
    printLine(stderr, QStringLiteral("tarvik-convert: ") + message);
}
