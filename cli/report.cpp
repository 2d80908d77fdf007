#include "report.h"

#include <QDir>
#include <QFile>

namespace {

// Whether `name`'s character `i` is a byte that the system's encoding could not decode, kept as
// a lone surrogate. The second half of a character beyond U+FFFF (U+1F480 is D83D DC80) is none.
bool isKeptByte(const QString &name, int i)
{
    const ushort u = name.at(i).unicode();
    return u >= 0xDC80 && u <= 0xDCFF && (i == 0 || !name.at(i - 1).isHighSurrogate());
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
    for (int i = 0; i < path.size(); ++i)
        if (isKeptByte(path, i))
            return false;
    return true;
}

QString unfaithful(const QString &path)
{
    return QStringLiteral("%1: the file name is not valid in this system's encoding")
            .arg(native(path));
}

QString native(const QString &path)
{
    const QString name = QDir::toNativeSeparators(path);
    QString shown;
    for (int i = 0; i < name.size(); ++i)
        shown += isKeptByte(name, i) ? QStringLiteral("\\x")
                        + QString::number(name.at(i).unicode() - 0xDC00, 16).toUpper()
                                     : QString(name.at(i));
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
