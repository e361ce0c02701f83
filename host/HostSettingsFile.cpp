#include "HostSettingsFile.h"

#include "OrbistoSettingsKeys.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QDateTime>
#include <QSaveFile>
#endif

const char *const HostSettingsFile::kKeys[kKeyCount] = {OrbistoSettingsKeys::kFramesCount,
                                                        OrbistoSettingsKeys::kPostSnap,
                                                        OrbistoSettingsKeys::kPreSnap};

namespace {

using Identity = HostSettingsFile::Identity;
// Sizes and offsets in a QByteArray: int on Qt 5, qsizetype on Qt 6.
using BytePosition = decltype(QByteArray().size());

// No file of the host's comes near this; a larger one is not read at all.
const qint64 kLargestFile = 4096;
// What a message quotes of a line that is not the host's.
const int kQuotedLength = 60;
const QByteArray kByteOrderMark = QByteArrayLiteral("\xEF\xBB\xBF");

QByteArray groupLine()
{
    return '[' + QByteArray(OrbistoSettingsKeys::kGroup) + "]\n";
}

// A line fit to print: cut short, anything but printable ASCII shown as '?'.
QString quoted(QByteArray line)
{
    const bool cut = line.size() > kQuotedLength;
    line.truncate(kQuotedLength);
    for (char &byte : line) {
        if (byte < ' ' || byte > '~')
            byte = '?';
    }
    return QString::fromLatin1(line) + (cut ? QStringLiteral("...") : QString());
}

// Why the line holding the byte at offset is not the host's.
QString describe(const QByteArray &bytes, BytePosition offset)
{
    if (bytes.startsWith(kByteOrderMark))
        return QStringLiteral("it starts with a byte order mark");
    const BytePosition number = bytes.left(offset).count('\n') + 1;
    if (offset >= bytes.size())
        return QStringLiteral("line %1 does not end in a line feed").arg(number);
    const BytePosition start = offset == 0 ? 0 : bytes.lastIndexOf('\n', offset - 1) + 1;
    const BytePosition end = bytes.indexOf('\n', offset);
    const QByteArray line = bytes.mid(start, end < 0 ? -1 : end - start);
    if (line.isEmpty())
        return QStringLiteral("line %1 is blank").arg(number);
    if (line.contains('\0'))
        return QStringLiteral("line %1 holds a NUL byte").arg(number);
    if (line.endsWith('\r')) {
        return QStringLiteral("line %1 ends in a carriage return before its line feed (the host "
                              "ends its lines with a line feed only)")
            .arg(number);
    }
    return QStringLiteral("line %1 is '%2'").arg(number).arg(quoted(line));
}

#ifdef Q_OS_UNIX
QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Identity identityOf(const struct stat &status)
{
    Identity identity;
    identity.exists = true;
    identity.regular = S_ISREG(status.st_mode);
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    identity.owner = status.st_uid;
    identity.group = status.st_gid;
    identity.mode = status.st_mode;
    return identity;
}

QString kindOf(const Identity &identity)
{
    if (S_ISDIR(identity.mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(identity.mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(identity.mode))
        return QStringLiteral("a block device");
    if (S_ISFIFO(identity.mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(identity.mode))
        return QStringLiteral("a socket");
    return QStringLiteral("something other than a file");
}

// What is at path itself, a link not followed. False with error empty when
// there is nothing; asked of the file system, since opening a FIFO waits for
// a writer and opening a device may act on it.
bool look(const QString &path, bool followLink, Identity &identity, QString &error)
{
    struct stat status = {};
    const QByteArray name = QFile::encodeName(path);
    if ((followLink ? ::stat(name.constData(), &status) : ::lstat(name.constData(), &status)) != 0) {
        error = errno == ENOENT ? QString() : systemError(errno);
        return false;
    }
    identity = identityOf(status);
    return true;
}

bool isLink(const Identity &identity)
{
    return S_ISLNK(identity.mode);
}

// Reads at most limit bytes of the regular file at path; identity is that of
// what was opened, which a caller compares with what it looked at.
bool readBytes(const QString &path, Identity &identity, QByteArray &bytes, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = systemError(errno);
        return false;
    }
    struct stat status = {};
    bool ok = ::fstat(fd, &status) == 0;
    identity = identityOf(status);
    bytes.clear();
    char buffer[kLargestFile + 1];
    while (ok && identity.regular && bytes.size() <= kLargestFile) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        ok = count >= 0;
        if (count <= 0)
            break;
        bytes.append(buffer, int(count));
    }
    if (!ok)
        error = systemError(errno);
    ::close(fd);
    return ok;
}

#else
// Elsewhere Qt tells what it can: no inodes, no owners, the time in milliseconds.
bool look(const QString &path, bool followLink, Identity &identity, QString &error)
{
    Q_UNUSED(followLink)
    const QFileInfo info(path);
    error.clear();
    if (!info.exists())
        return false;
    identity = Identity();
    identity.exists = true;
    identity.regular = info.isFile();
    identity.size = info.size();
    identity.modified = info.lastModified().toMSecsSinceEpoch();
    return true;
}

bool isLink(const Identity &)
{
    return false;
}

QString kindOf(const Identity &)
{
    return QStringLiteral("something other than a file");
}

bool readBytes(const QString &path, Identity &identity, QByteArray &bytes, QString &error)
{
    QFile file(path);
    if (!look(path, true, identity, error) || !file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    bytes = file.read(kLargestFile + 1);
    return true;
}
#endif

} // namespace

bool HostSettingsFile::Identity::isSameFile(const Identity &other) const
{
    return exists == other.exists && device == other.device && inode == other.inode
        && size == other.size && modified == other.modified;
}

QByteArray HostSettingsFile::serialise(const Values &values)
{
    QByteArray bytes = groupLine();
    for (int index = 0; index < kKeyCount; ++index) {
        if (values.at(index))
            bytes += kKeys[index] + ('=' + QByteArray::number(*values.at(index))) + '\n';
    }
    return bytes;
}

QString HostSettingsFile::difference(const QByteArray &bytes, Values &values)
{
    values = Values();
    // An empty file holds nothing to lose.
    if (bytes.isEmpty())
        return QString();
    const QList<QByteArray> lines = bytes.split('\n');
    bool inGroup = false;
    for (const QByteArray &line : lines) {
        inGroup = line + '\n' == groupLine() || (inGroup && !line.startsWith('['));
        const BytePosition equals = line.indexOf('=');
        for (int index = 0; inGroup && equals > 0 && index < kKeyCount; ++index) {
            bool ok = false;
            const int value = line.mid(equals + 1).toInt(&ok, 10);
            if (ok && line.left(equals) == kKeys[index])
                values[index] = value;
        }
    }
    // Whatever was made of the bytes, they must be what the host writes for it.
    const QByteArray own = serialise(values);
    BytePosition offset = 0;
    while (offset < bytes.size() && offset < own.size() && bytes.at(offset) == own.at(offset))
        ++offset;
    return offset == bytes.size() && offset == own.size() ? QString() : describe(bytes, offset);
}

QString HostSettingsFile::read()
{
    m_identity = Identity();
    m_bytes.clear();
    m_values = Values();
    m_path = m_given;
    Identity found;
    QString error;
    if (!look(m_given, false, found, error))
        return error.isEmpty() ? QString() : cannotRead(error);
    if (isLink(found)) {
        if (!look(m_given, true, found, error)) {
            if (!error.isEmpty())
                return cannotRead(error);
            return QStringLiteral("The settings file %1 is a symbolic link to %2, which does not "
                                  "exist; the host makes no file through a link")
                .arg(m_given, QFile::symLinkTarget(m_given));
        }
        m_path = QFileInfo(m_given).canonicalFilePath();
    }
    if (!found.regular) {
        return QStringLiteral("The settings file %1 is %2; the host keeps its settings in a "
                              "regular file")
            .arg(m_given, kindOf(found));
    }
    QString why;
    if (found.size > kLargestFile)
        why = QStringLiteral("it holds %1 bytes, more than the host ever writes").arg(found.size);
    else if (!readBytes(m_path, m_identity, m_bytes, error))
        return cannotRead(error);
    else if (!m_identity.isSameFile(found))
        return QStringLiteral("The settings file %1 changed while the host read it").arg(m_given);
    else
        why = difference(m_bytes, m_values);
    if (why.isEmpty())
        return QString();
    m_identity = Identity();
    return QStringLiteral("%1 is not a settings file of this host: %2. The host keeps a file of its "
                          "own, exactly as it writes it: [%3] and its keys with whole numbers, "
                          "each line ended by a line feed; the file is left as it was.")
        .arg(m_given, why, QLatin1String(OrbistoSettingsKeys::kGroup));
}

QString HostSettingsFile::changedSince(const QString &path) const
{
    Identity now;
    QString error;
    QByteArray bytes;
    const bool exists = look(path, false, now, error);
    if (!error.isEmpty())
        return cannotRead(error);
    if (exists && now.isSameFile(m_identity) && readBytes(path, now, bytes, error)
        && now.isSameFile(m_identity) && bytes == m_bytes) {
        return QString();
    }
    if (!exists && !m_identity.exists)
        return QString();
    return QStringLiteral("The settings file %1 changed since the host read it; it is left as it "
                          "is, and the settings were not saved")
        .arg(m_given);
}

QString HostSettingsFile::write(const Values &values)
{
    // Nothing is written over a file that is no longer the one the host knows.
    QString refusal = changedSince(m_path);
    const QByteArray bytes = serialise(values);
    if (refusal.isEmpty() && (!m_identity.exists || bytes != m_bytes))
        refusal = replace(bytes);
    if (refusal.isEmpty())
        m_values = values;
    return refusal;
}

#ifdef Q_OS_UNIX
QString HostSettingsFile::replace(const QByteArray &bytes)
{
    const QFileInfo info(m_path);
    const QByteArray target = QFile::encodeName(m_path);
    // In the same folder, so that the rename is atomic.
    QByteArray temporary =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName())
        + ".XXXXXX";
    // A read-only file stays read-only, though its folder would let a new copy in.
    if (m_identity.exists && ::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        return cannotWrite(systemError(errno));
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return cannotWrite(QStringLiteral("cannot make a new copy in its folder %1: %2")
                               .arg(info.absolutePath(), systemError(errno)));
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = m_identity.exists ? m_identity.mode & 07777 : 0666 & ~mask;
    const bool otherOwner = m_identity.exists
        && (m_identity.owner != ::geteuid() || m_identity.group != ::getegid());
    QString why;
    if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size()) {
        why = systemError(errno);
    } else if (otherOwner && ::fchown(fd, m_identity.owner, m_identity.group) != 0) {
        why = QStringLiteral("its new copy cannot be given the file's owner (user %1, group %2): "
                             "%3")
                  .arg(m_identity.owner)
                  .arg(m_identity.group)
                  .arg(systemError(errno));
    } else if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        why = systemError(errno);
    }
    struct stat written = {};
    ::fstat(fd, &written);
    ::close(fd);
    if (!why.isEmpty()) {
        ::unlink(temporary.constData());
        return cannotWrite(why);
    }
    int error = 0;
#if defined(Q_OS_LINUX) && defined(RENAME_EXCHANGE)
    // Swapped, not renamed over: what comes out is what was there an instant
    // ago, and a file that is not the one the host knows goes back.
    const unsigned flags = m_identity.exists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    error = ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), flags) == 0
        ? 0
        : errno;
    if (error == ENOENT || error == EEXIST) {
        ::unlink(temporary.constData());
        return changedSince(m_path);
    }
    if (error == 0 && m_identity.exists) {
        why = changedSince(QFile::decodeName(temporary));
        if (!why.isEmpty())
            ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), flags);
        ::unlink(temporary.constData());
        if (!why.isEmpty())
            return why;
    }
#else
    error = EINVAL;
#endif
    // A file system that cannot swap gets a plain rename, after a last look.
    if (error == EINVAL) {
        why = changedSince(m_path);
        error = why.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0 ? errno : 0;
    }
    if (!why.isEmpty() || error != 0) {
        ::unlink(temporary.constData());
        return why.isEmpty() ? cannotWrite(systemError(error)) : why;
    }
    m_identity = identityOf(written);
    m_bytes = bytes;
    return QString();
}
#else
QString HostSettingsFile::replace(const QByteArray &bytes)
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return cannotWrite(file.errorString());
    QString error;
    look(m_path, true, m_identity, error);
    m_bytes = bytes;
    return QString();
}
#endif

QString HostSettingsFile::cannotRead(const QString &why) const
{
    return QStringLiteral("Cannot read the settings file %1: %2").arg(m_given, why);
}

QString HostSettingsFile::cannotWrite(const QString &why) const
{
    return QStringLiteral("Cannot write the settings file %1: %2; it is left as it was")
        .arg(m_given, why);
}
