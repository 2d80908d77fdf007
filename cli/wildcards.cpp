#include "wildcards.h"

#include "report.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

#ifdef Q_OS_UNIX
#  include <sys/stat.h>

#  include <dirent.h>
#endif

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

// The names of the files (or, with `folders`, the folders) in `folder`, hidden ones left out as
// shells leave them out. On Unix a name the system's encoding does not decode is kept by its
// bytes (see decodedName), as the shell hands it over, so that it is refused by them.
QStringList entryNames(const QString &folder, bool folders)
{
#ifdef Q_OS_UNIX
    QStringList names;
    const QByteArray path = QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder);
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        struct stat info;
        if (entry->d_name[0] == '.' || ::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0
            || (folders ? !S_ISDIR(info.st_mode) : S_ISDIR(info.st_mode)))
            continue;
        names << decodedName(QByteArray(entry->d_name));
    }
    ::closedir(dir);
    return names;
#else
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    return dir.entryList(folders ? QDir::Dirs | QDir::NoDotAndDotDot : QDir::Files, QDir::Unsorted);
#endif
}

// The files, or with `ofFolders` the folders, that `pattern` names, each with the pattern's folder
// part as it was typed ("site*\" becomes "site-a\", "site-b\").
QStringList matches(const QString &pattern, bool ofFolders)
{
    const QString name = QFileInfo(pattern).fileName();
    const QString folderPart = pattern.chopped(name.size()); // "", "C:\setups\", "C:", "/"
    QStringList folders{ folderPart };
    if (hasWildcard(folderPart)) {
        folders.clear();
        for (const QString &folder : matches(folderPart.chopped(1), true))
            folders << folder + folderPart.back();
    }

    const QRegularExpression wanted = namePattern(name);
    QStringList found;
    for (const QString &folder : folders) {
        // Unsorted: the order below is the one, since QDir's leaves names that differ in case
        // alone in any order.
        QStringList names;
        for (const QString &name : entryNames(folder, ofFolders)) {
            // A byte kept from an undecodable name is one character to the pattern; a regular
            // expression never matches text that is not valid UTF-16.
            QString matched = name;
            for (QChar &c : matched)
                c = !faithful(QString(c)) ? QChar(QChar::ReplacementCharacter) : c;
            if (wanted.match(matched).hasMatch())
                names << name;
        }
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
                ? matches(argument, false)
                : QStringList();
        expanded << (files.isEmpty() ? QStringList{ argument } : files);
    }
    return expanded;
}

bool isWildcardPattern(const QString &argument)
{
    return hasWildcard(argument) && !QFileInfo::exists(argument);
}
