#include "wildcards.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace {

bool hasWildcard(const QString &text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

// Only * and ? are special: '[' and the other characters a regular expression knows are
// characters of file names.
QRegularExpression namePattern(const QString &name)
{
    QString pattern;
    for (const QChar c : name) {
        pattern += c == QLatin1Char('*') ? QStringLiteral(".*")
                : c == QLatin1Char('?')  ? QStringLiteral(".")
                                         : QRegularExpression::escape(QString(c));
    }
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    const auto options = QRegularExpression::CaseInsensitiveOption;
#else
    const auto options = QRegularExpression::NoPatternOption;
#endif
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern), options);
}

// The entries of `kind` that `pattern` names, each with the pattern's folder part as it was
// typed ("site*\" becomes "site-a\", "site-b\").
QStringList matches(const QString &pattern, QDir::Filters kind)
{
    const QString name = QFileInfo(pattern).fileName();
    const QString folderPart = pattern.chopped(name.size()); // "", "C:\setups\", "C:", "/"
    QStringList folders{ folderPart };
    if (hasWildcard(folderPart)) {
        folders.clear();
        for (const QString &folder :
             matches(folderPart.chopped(1), QDir::Dirs | QDir::NoDotAndDotDot))
            folders << folder + folderPart.back();
    }

    const QRegularExpression wanted = namePattern(name);
    QStringList found;
    for (const QString &folder : folders) {
        // Unsorted: the order below is the one, since QDir's leaves names that differ in case
        // alone in any order.
        const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
        QStringList names = dir.entryList(kind, QDir::Unsorted).filter(wanted);
        std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
            const int byLetter = a.compare(b, Qt::CaseInsensitive);
            return byLetter != 0 ? byLetter < 0 : a < b;
        });
        for (const QString &entry : names)
            found << folder + entry;
    }
    return found;
}

} // namespace

QStringList expandWildcards(const QStringList &arguments, int keepLast)
{
    QStringList expanded;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const QStringList files = i < arguments.size() - keepLast && isWildcardPattern(argument)
                ? matches(argument, QDir::Files)
                : QStringList();
        expanded << (files.isEmpty() ? QStringList{ argument } : files);
    }
    return expanded;
}

bool isWildcardPattern(const QString &argument)
{
    return hasWildcard(argument) && !QFileInfo::exists(argument);
}
