#include "HostSettingsFile.h"

#include "OrbistoSettingsKeys.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace HostSettingsFile {

namespace {

// Read in pieces of at most this much, so that a file without line breaks (an
// image) is not held whole; no line of the host's comes near it.
const qint64 kLongestLine = 1024;
// What a message quotes of a line that is not the host's.
const int kQuotedLength = 60;

// The kind of thing at path when it is not a regular file; empty for a
// regular file or nothing at all. Asked of the file system, not by opening:
// opening a FIFO waits for a writer, opening a device may act on it.
QString kindOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return QString();
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(status.st_mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(status.st_mode))
        return QStringLiteral("a block device");
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(status.st_mode))
        return QStringLiteral("a socket");
#else
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return QString();
    if (info.isDir())
        return QStringLiteral("a folder");
#endif
    return QStringLiteral("something other than a file");
}

bool isHostLine(const QString &line, bool &inGroup)
{
    static const QRegularExpression group(
        QStringLiteral("^\\[%1\\]$").arg(QLatin1String(OrbistoSettingsKeys::kGroup)));
    static const QRegularExpression key(
        QStringLiteral("^(%1|%2|%3)\\s*=\\s*(-?[0-9]+)$")
            .arg(QLatin1String(OrbistoSettingsKeys::kFramesCount),
                 QLatin1String(OrbistoSettingsKeys::kPostSnap),
                 QLatin1String(OrbistoSettingsKeys::kPreSnap)));
    if (line.isEmpty())
        return true;
    if (group.match(line).hasMatch()) {
        inGroup = true;
        return true;
    }
    const QRegularExpressionMatch match = key.match(line);
    // A number the plug-in's integer cannot hold is not one the host wrote.
    bool fits = false;
    if (inGroup && match.hasMatch())
        match.captured(2).toInt(&fits);
    return fits;
}

// A line fit to print: cut short, with anything unprintable (a binary file's
// bytes) shown as '?'.
QString quoted(const QString &line)
{
    QString text = line.left(kQuotedLength);
    for (QChar &character : text) {
        if (!character.isPrint())
            character = QLatin1Char('?');
    }
    return text.size() < line.size() ? text + QStringLiteral("...") : text;
}

} // namespace

QString refusal(const QString &path)
{
    const QString kind = kindOf(path);
    if (!kind.isEmpty()) {
        return QStringLiteral("the settings file %1 is %2; the host keeps its settings in a "
                              "regular file")
            .arg(path, kind);
    }
    QFile file(path);
    if (!file.exists())
        return QString();
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the settings file %1: %2").arg(path, file.errorString());
    bool inGroup = false;
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray bytes = file.readLine(kLongestLine);
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (!isHostLine(line, inGroup)) {
            return QStringLiteral("%1 is not a settings file of this host: line %2 is '%3'. The "
                                  "host keeps a file of its own, with blank lines, [%4] and its "
                                  "keys with whole numbers only; the file is left as it was.")
                .arg(path)
                .arg(number)
                .arg(quoted(line), QLatin1String(OrbistoSettingsKeys::kGroup));
        }
    }
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot read the settings file %1: %2").arg(path, file.errorString());
    return QString();
}

} // namespace HostSettingsFile
