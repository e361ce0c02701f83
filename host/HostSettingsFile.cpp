#include "HostSettingsFile.h"

#include "HostPlatform.h"

#include "OrbistoSettingsKeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <QMap>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef Q_OS_LINUX
#include <sys/xattr.h>
#endif
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

// Folder mode bits, by their meaning; named here since Windows has no such bits.
const uint kOthersWrite = 02;
const uint kGroupWrite = 020;
const uint kSticky = 01000;

#ifdef Q_OS_UNIX
// Links followed in one path, as many as Linux follows.
const int kMostLinks = 40;
// Names tried for a new copy before giving up: a clash is one in 36^12.
const int kTemporaryTries = 16;

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
    identity.modified = HostPlatform::modifiedNanoseconds(status);
    identity.owner = status.st_uid;
    identity.group = status.st_gid;
    identity.mode = status.st_mode;
    return identity;
}

bool isSameInode(const struct stat &one, const struct stat &other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
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

class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    Descriptor(Descriptor &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// A folder opened only to reach what is in it: no read permission needed.
#ifdef O_PATH
const int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif
// Opening a FIFO would wait for a writer, a terminal would become ours.
const int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;

QString userName(uint id)
{
    const passwd *entry = ::getpwuid(id);
    return entry ? QStringLiteral("user %1 (%2)").arg(QString::fromLocal8Bit(entry->pw_name)).arg(id)
                 : QStringLiteral("user %1").arg(id);
}

QString groupName(uint id)
{
    const group *entry = ::getgrgid(id);
    return entry ? QStringLiteral("group %1 (%2)").arg(QString::fromLocal8Bit(entry->gr_name)).arg(id)
                 : QStringLiteral("group %1").arg(id);
}

// Everyone in a group: whose primary group it is, and its listed members.
QList<uint> membersOf(uint id)
{
    QList<uint> members;
    ::setpwent();
    while (const passwd *entry = ::getpwent()) {
        if (entry->pw_gid == id)
            members.append(entry->pw_uid);
    }
    ::endpwent();
    QList<QByteArray> names;
    if (const group *entry = ::getgrgid(id)) {
        for (char **name = entry->gr_mem; *name; ++name)
            names.append(*name);
    }
    for (const QByteArray &name : qAsConst(names)) {
        const passwd *entry = ::getpwnam(name.constData());
        // A member with no account here might be anyone.
        members.append(entry ? uint(entry->pw_uid) : uint(-1));
    }
    return members;
}

QString whoElse(HostSettingsFile::Writer writer, const QString &folder, const QByteArray &entry)
{
    using Writer = HostSettingsFile::Writer;
    switch (writer.kind) {
    case Writer::FolderOwner:
        return QStringLiteral("the folder %1 belongs to %2").arg(folder, userName(writer.id));
    case Writer::EntryOwner:
        return QStringLiteral("everyone may write in the folder %1, and %2 in it belongs to %3")
            .arg(folder, QFile::decodeName(entry), userName(writer.id));
    case Writer::Group:
        return QStringLiteral("%1 may write in the folder %2, and it is not a group of yours alone")
            .arg(groupName(writer.id), folder);
    case Writer::Everyone:
        return QStringLiteral("everyone may write in the folder %1").arg(folder);
    }
    return QString();
}

// The folder that holds the file, reached from / with each folder opened
// with no link followed, so that what is judged is what is used. A link on
// the way is read and followed by hand from the folder that holds it.
struct Walk
{
    Descriptor folder;
    QString folderPath;
    QByteArray name;
    bool exists = false;
    struct stat entry = {};
    // The file's name itself came from a link.
    bool linked = false;
    QString error;
    // Who besides the user and root may change the path, when judged.
    QString refusal;
};

Walk walkTo(const QString &path, bool judge)
{
    Walk walk;
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    QList<QByteArray> pending = QFile::encodeName(absolute).split('/');
    std::vector<Descriptor> folders;
    QList<QByteArray> names;
    folders.emplace_back(::open("/", kFolderFlags));
    const uid_t user = ::geteuid();
    int links = 0;
    while (folders.back().isValid() && !pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            if (folders.size() > 1) {
                folders.pop_back();
                names.removeLast();
            }
            continue;
        }
        const bool last = std::all_of(pending.cbegin(), pending.cend(),
                                      [](const QByteArray &next) { return next.isEmpty() || next == "."; });
        const int folder = folders.back().get();
        walk.folderPath = QLatin1Char('/') + QFile::decodeName(names.join('/'));
        struct stat entry = {};
        const bool found = ::fstatat(folder, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
        if (!found && !(errno == ENOENT && last)) {
            walk.error = systemError(errno);
            return walk;
        }
        struct stat status = {};
        if (judge && ::fstat(folder, &status) != 0) {
            walk.error = systemError(errno);
            return walk;
        }
        const HostSettingsFile::FolderStatus facts{status.st_uid, status.st_gid, status.st_mode};
        // Who would make the file: the user.
        const uint owner = found ? entry.st_uid : user;
        const auto writer = judge
            ? HostSettingsFile::otherWriter(facts, owner, user,
                                            status.st_mode & kGroupWrite ? membersOf(status.st_gid) : QList<uint>())
            : std::nullopt;
        if (writer) {
            walk.refusal = whoElse(*writer, walk.folderPath, name);
            if (writer->kind == HostSettingsFile::Writer::FolderOwner
                || writer->kind == HostSettingsFile::Writer::EntryOwner) {
                walk.refusal += QStringLiteral("; run the host as that user");
            }
            return walk;
        }
        if (found && S_ISLNK(entry.st_mode)) {
            QByteArray target(PATH_MAX, '\0');
            const ssize_t length = ++links > kMostLinks
                ? -1
                : ::readlinkat(folder, name.constData(), target.data(), size_t(target.size()));
            if (length < 0 || length >= target.size()) {
                walk.error = systemError(length < 0 ? (links > kMostLinks ? ELOOP : errno) : ENAMETOOLONG);
                return walk;
            }
            target.truncate(BytePosition(length));
            if (target.startsWith('/')) {
                folders.resize(1);
                names.clear();
            }
            pending = target.split('/') + pending;
            walk.linked = walk.linked || last;
            continue;
        }
        if (last) {
            walk.folder = std::move(folders.back());
            walk.name = name;
            walk.exists = found;
            walk.entry = entry;
            return walk;
        }
        Descriptor next(::openat(folder, name.constData(), kFolderFlags));
        struct stat opened = {};
        if (!next.isValid() || ::fstat(next.get(), &opened) != 0) {
            walk.error = systemError(errno);
            return walk;
        }
        if (!isSameInode(opened, entry)) {
            walk.error = QStringLiteral("%1 in the folder %2 changed as the host opened it")
                             .arg(QFile::decodeName(name), walk.folderPath);
            return walk;
        }
        folders.push_back(std::move(next));
        names.append(name);
    }
    walk.error = systemError(folders.back().isValid() ? EISDIR : errno);
    return walk;
}

// All of an open file, from its start.
bool readFrom(int fd, QByteArray &bytes)
{
    bytes.clear();
    char buffer[kLargestFile + 1];
    while (bytes.size() <= kLargestFile) {
        const ssize_t count = ::pread(fd, buffer, sizeof buffer, off_t(bytes.size()));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return count == 0;
        bytes.append(buffer, BytePosition(count));
    }
    return true;
}

// Reads at most kLargestFile + 1 bytes of the regular file name in folder;
// identity is that of what was opened, which a caller compares with what it
// looked at, and opened keeps it open when asked for.
bool readAt(int folder, const QByteArray &name, Identity &identity, QByteArray &bytes, QString &error,
            Descriptor *opened = nullptr)
{
    Descriptor fd(::openat(folder, name.constData(), kReadFlags));
    struct stat status = {};
    bool ok = fd.isValid() && ::fstat(fd.get(), &status) == 0;
    if (ok) {
        identity = identityOf(status);
        bytes.clear();
        ok = !identity.regular || readFrom(fd.get(), bytes);
    }
    if (!ok)
        error = systemError(errno);
    if (opened)
        *opened = std::move(fd);
    return ok;
}

// Whether name in folder is, to the byte, the file known; opened keeps it open.
bool isKnown(int folder, const QByteArray &name, const Identity &known, const QByteArray &knownBytes,
             Descriptor &opened)
{
    struct stat status = {};
    if (::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && !known.exists;
    Identity now = identityOf(status);
    QByteArray bytes;
    QString error;
    return known.exists && now.isSameFile(known) && readAt(folder, name, now, bytes, error, &opened)
        && now.isSameFile(known) && bytes == knownBytes;
}

// Removes name only while it is the file open as fd: anything else there now
// is not the host's to delete.
bool removeOwn(int folder, const QByteArray &name, int fd)
{
    struct stat own = {};
    struct stat there = {};
    return ::fstat(fd, &own) == 0 && ::fstatat(folder, name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0
        && isSameInode(own, there) && ::unlinkat(folder, name.constData(), 0) == 0;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    BytePosition done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno != EINTR)
            return false;
        done += BytePosition(qMax<ssize_t>(count, 0));
    }
    return true;
}

#ifdef Q_OS_LINUX
// Extended attributes by name, POSIX ACLs among them (system.posix_acl_access).
using Attributes = QMap<QByteArray, QByteArray>;

bool attributesOf(int fd, Attributes &attributes)
{
    attributes.clear();
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    QByteArray names(BytePosition(size), '\0');
    const ssize_t listed = size == 0 ? 0 : ::flistxattr(fd, names.data(), size_t(size));
    if (listed != size) {
        errno = listed < 0 ? errno : EAGAIN;
        return false;
    }
    const QList<QByteArray> listedNames = names.split('\0');
    for (const QByteArray &name : listedNames) {
        if (name.isEmpty())
            continue;
        const ssize_t length = ::fgetxattr(fd, name.constData(), nullptr, 0);
        QByteArray value(BytePosition(qMax<ssize_t>(length, 0)), '\0');
        if (length < 0 || ::fgetxattr(fd, name.constData(), value.data(), size_t(value.size())) != length) {
            errno = length < 0 ? errno : EAGAIN;
            return false;
        }
        attributes.insert(name, value);
    }
    return true;
}

// Gives copy exactly the extended attributes of original; empty, or why not.
QString keepAttributes(int original, int copy)
{
    Attributes wanted;
    Attributes got;
    if (!attributesOf(original, wanted) || !attributesOf(copy, got))
        return QStringLiteral("its extended attributes cannot be read: %1").arg(systemError(errno));
    bool ok = true;
    for (auto it = got.cbegin(); ok && it != got.cend(); ++it)
        ok = wanted.contains(it.key()) || ::fremovexattr(copy, it.key().constData()) == 0;
    for (auto it = wanted.cbegin(); ok && it != wanted.cend(); ++it) {
        ok = got.value(it.key()) == it.value()
            || ::fsetxattr(copy, it.key().constData(), it.value().constData(), size_t(it.value().size()), 0) == 0;
    }
    const int error = ok ? 0 : errno;
    if (ok && attributesOf(copy, got) && got == wanted)
        return QString();
    QByteArrayList names;
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
        names.append(it.key());
    return QStringLiteral("a new copy cannot keep its extended attributes (%1) exactly%2")
        .arg(QString::fromLatin1(names.join(", ")),
             error == 0 ? QString() : QStringLiteral(": ") + systemError(error));
}

bool sameAttributes(int original, int copy)
{
    Attributes wanted;
    Attributes got;
    return attributesOf(original, wanted) && attributesOf(copy, got) && got == wanted;
}
#endif
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

std::optional<HostSettingsFile::Writer> HostSettingsFile::otherWriter(FolderStatus folder, uint entryOwner,
                                                                      uint user, const QList<uint> &groupMembers)
{
    const auto trusted = [user](uint id) { return id == user || id == 0; };
    if (!trusted(folder.owner))
        return Writer{Writer::FolderOwner, folder.owner};
    // In a sticky folder only an entry's owner, the folder's owner and root
    // may rename or remove it.
    if (folder.mode & kSticky) {
        if ((folder.mode & (kGroupWrite | kOthersWrite)) && !trusted(entryOwner))
            return Writer{Writer::EntryOwner, entryOwner};
        return std::nullopt;
    }
    if (folder.mode & kOthersWrite)
        return Writer{Writer::Everyone, 0};
    // A private group, as many distributions give each user, holds no one else.
    const bool privateGroup =
        !groupMembers.isEmpty() && std::all_of(groupMembers.cbegin(), groupMembers.cend(), trusted);
    if ((folder.mode & kGroupWrite) && !privateGroup)
        return Writer{Writer::Group, folder.group};
    return std::nullopt;
}

QString HostSettingsFile::read()
{
    m_identity = Identity();
    m_folder = Identity();
    m_name.clear();
    m_bytes.clear();
    m_values = Values();
    m_path = m_given;
    Identity found;
    QString error;
#ifdef Q_OS_UNIX
    Walk walk = walkTo(m_given, false);
    struct stat folder = {};
    if (walk.error.isEmpty() && ::fstat(walk.folder.get(), &folder) != 0)
        walk.error = systemError(errno);
    if (!walk.error.isEmpty())
        return cannotRead(walk.error);
    m_folder = identityOf(folder);
    m_name = walk.name;
    m_path = walk.folderPath + (walk.folderPath.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/"))
        + QFile::decodeName(walk.name);
    if (walk.exists)
        found = identityOf(walk.entry);
    else if (!walk.linked)
        return QString();
    else {
        m_folder = Identity();
        return QStringLiteral("The settings file %1 is a symbolic link to %2, which does not "
                              "exist; the host makes no file through a link")
            .arg(m_given, m_path);
    }
    const auto readBytes = [&walk](const QString &, Identity &identity, QByteArray &bytes, QString &why) {
        return readAt(walk.folder.get(), walk.name, identity, bytes, why);
    };
#else
    if (!look(m_given, false, found, error))
        return error.isEmpty() ? QString() : cannotRead(error);
#endif
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

QString HostSettingsFile::changed() const
{
    return QStringLiteral("The settings file %1 changed since the host read it; it is left as it "
                          "is, and the settings were not saved")
        .arg(m_given);
}

bool HostSettingsFile::hasChanged()
{
    // A check only looks; it writes nothing.
    return replace(m_bytes, true) == changed();
}

QString HostSettingsFile::write(const Values &values)
{
    const QByteArray bytes = serialise(values);
    // A file that already holds them is only checked.
    const QString refusal = replace(bytes, m_identity.exists && bytes == m_bytes);
    if (refusal.isEmpty())
        m_values = values;
    return refusal;
}

#ifdef Q_OS_UNIX
QString HostSettingsFile::replace(const QByteArray &bytes, bool checkOnly)
{
    // Judged again on every write: a path that was safe may not be now.
    const Walk walk = walkTo(m_given, !checkOnly);
    if (!walk.refusal.isEmpty()) {
        return cannotWrite(walk.refusal
                           + QStringLiteral(", and the host writes only where no one but the user "
                                            "running it and root can change the path"));
    }
    if (!walk.error.isEmpty())
        return checkOnly ? cannotRead(walk.error) : cannotWrite(walk.error);
    const int folder = walk.folder.get();
    struct stat status = {};
    if (::fstat(folder, &status) != 0)
        return cannotWrite(systemError(errno));
    // Nothing is written over a file that is no longer the one the host
    // knows, nor into a folder other than the one it was read from.
    Descriptor old;
    if (!m_folder.exists || status.st_dev != m_folder.device || status.st_ino != m_folder.inode
        || walk.name != m_name || !isKnown(folder, m_name, m_identity, m_bytes, old)) {
        return changed();
    }
    if (checkOnly)
        return QString();

    if (m_identity.exists) {
        struct stat file = {};
        if (::fstat(old.get(), &file) != 0)
            return cannotWrite(systemError(errno));
        // What a new copy cannot carry, or what says the file is not to change.
        if (file.st_nlink > 1) {
            return cannotWrite(QStringLiteral("it has %1 hard links, and a new copy would part it from "
                                              "the other names")
                                   .arg(quint64(file.st_nlink)));
        }
        if (!(file.st_mode & S_IWUSR)) {
            return cannotWrite(QStringLiteral("its owner may not write it (mode %1), and the host "
                                              "keeps it so, even when it runs as root")
                                   .arg(file.st_mode & 07777, 4, 8, QLatin1Char('0')));
        }
        if (::geteuid() != 0 && ::faccessat(folder, m_name.constData(), W_OK, AT_EACCESS) != 0)
            return cannotWrite(systemError(errno));
#ifndef Q_OS_LINUX
        return cannotWrite(QStringLiteral("on this system the host cannot swap a new copy in, in one "
                                          "step, nor see every attribute of the file, and it replaces "
                                          "no file it cannot"));
#endif
    }

    // In the same folder, so that the swap is atomic.
    QByteArray temporary;
    Descriptor copy;
    for (int attempt = 0; attempt < kTemporaryTries && !copy.isValid(); ++attempt) {
        temporary = '.' + m_name + '.' + QByteArray::number(QRandomGenerator::global()->generate64() >> 2, 36);
        copy = Descriptor(::openat(folder, temporary.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   0600));
        if (!copy.isValid() && errno != EEXIST)
            break;
    }
    if (!copy.isValid()) {
        return cannotWrite(QStringLiteral("cannot make a new copy in its folder %1: %2")
                               .arg(walk.folderPath, systemError(errno)));
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = m_identity.exists ? m_identity.mode & 07777 : 0666 & ~mask;
    const bool otherOwner = m_identity.exists
        && (m_identity.owner != ::geteuid() || m_identity.group != ::getegid());
    QString why;
    struct stat written = {};
    if (!writeAll(copy.get(), bytes)) {
        why = systemError(errno);
    } else if (otherOwner && ::fchown(copy.get(), m_identity.owner, m_identity.group) != 0) {
        why = QStringLiteral("its new copy cannot be given the file's owner (user %1, group %2): "
                             "%3")
                  .arg(m_identity.owner)
                  .arg(m_identity.group)
                  .arg(systemError(errno));
    }
#ifdef Q_OS_LINUX
    if (why.isEmpty() && m_identity.exists)
        why = keepAttributes(old.get(), copy.get());
#endif
    if (why.isEmpty()
        && (::fchmod(copy.get(), mode) != 0 || ::fsync(copy.get()) != 0 || ::fstat(copy.get(), &written) != 0)) {
        why = systemError(errno);
    }
    if (why.isEmpty() && (written.st_mode & 07777) != mode)
        why = QStringLiteral("a new copy cannot keep its mode %1").arg(mode, 4, 8, QLatin1Char('0'));
#ifdef Q_OS_LINUX
    if (why.isEmpty() && m_identity.exists && !sameAttributes(old.get(), copy.get()))
        why = QStringLiteral("a new copy cannot keep its extended attributes exactly");
#endif
    if (!why.isEmpty()) {
        removeOwn(folder, temporary, copy.get());
        return cannotWrite(why);
    }

    int error = 0;
    if (m_identity.exists) {
#ifdef Q_OS_LINUX
        // Swapped, not renamed over: what comes out is what was there an
        // instant ago, and goes back unless it is the file the host knows.
        error = ::renameat2(folder, temporary.constData(), folder, m_name.constData(), RENAME_EXCHANGE) == 0 ? 0 : errno;
        struct stat out = {};
        struct stat known = {};
        QByteArray bytesOut;
        const bool outIsKnown = error == 0
            && ::fstatat(folder, temporary.constData(), &out, AT_SYMLINK_NOFOLLOW) == 0
            && ::fstat(old.get(), &known) == 0 && isSameInode(out, known)
            && identityOf(known).isSameFile(m_identity) && readFrom(old.get(), bytesOut) && bytesOut == m_bytes;
        if (error == 0 && !outIsKnown) {
            if (::renameat2(folder, temporary.constData(), folder, m_name.constData(), RENAME_EXCHANGE) != 0) {
                return QStringLiteral("The settings file %1 changed as the host wrote it, and what was "
                                      "there could not be put back (%2): it is now %3 in the folder %4, "
                                      "and the settings file holds the new values")
                    .arg(m_given, systemError(errno), QFile::decodeName(temporary), walk.folderPath);
            }
            removeOwn(folder, temporary, copy.get());
            return changed();
        }
        if (error == 0 && !removeOwn(folder, temporary, old.get())) {
            why = QStringLiteral("its old copy %1 in the folder %2 could not be removed: %3")
                      .arg(QFile::decodeName(temporary), walk.folderPath, systemError(errno));
        }
#endif
    } else {
#ifdef Q_OS_LINUX
        error = ::renameat2(folder, temporary.constData(), folder, m_name.constData(), RENAME_NOREPLACE) == 0 ? 0 : errno;
#else
        error = EINVAL;
#endif
        // A link, as a rename that replaces nothing, fails where anything is at the name.
        if (error == EINVAL || error == ENOSYS) {
            error = ::linkat(folder, temporary.constData(), folder, m_name.constData(), 0) == 0 ? 0 : errno;
            if (error == 0 && !removeOwn(folder, temporary, copy.get())) {
                why = QStringLiteral("its new copy %1 in the folder %2 could not be removed: %3")
                          .arg(QFile::decodeName(temporary), walk.folderPath, systemError(errno));
            }
        }
    }
    if (error != 0) {
        removeOwn(folder, temporary, copy.get());
        if (error == ENOENT || error == EEXIST)
            return changed();
        if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
            return cannotWrite(QStringLiteral("the file system of its folder %1 cannot swap two files "
                                              "in one step, and the host replaces no file it cannot swap")
                                   .arg(walk.folderPath));
        }
        return cannotWrite(systemError(error));
    }
    // Done only when the file holds the new bytes, read back through the folder.
    Identity back;
    QByteArray bytesBack;
    QString unread;
    if (!readAt(folder, m_name, back, bytesBack, unread) || back.device != quint64(written.st_dev)
        || back.inode != quint64(written.st_ino) || bytesBack != bytes) {
        m_identity = Identity();
        return QStringLiteral("The settings file %1 does not hold the new values when the host reads it "
                              "back%2, and the settings were not saved")
            .arg(m_given, unread.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(unread));
    }
    m_identity = back;
    m_bytes = bytes;
    return why.isEmpty() ? QString()
                         : QStringLiteral("The settings file %1 holds the new values, but %2").arg(m_given, why);
}
#else
QString HostSettingsFile::replace(const QByteArray &bytes, bool checkOnly)
{
    Identity now;
    QString error;
    QByteArray current;
    const bool exists = look(m_path, false, now, error);
    if (!error.isEmpty())
        return cannotRead(error);
    const bool known = exists ? m_identity.exists && now.isSameFile(m_identity)
            && readBytes(m_path, now, current, error) && now.isSameFile(m_identity) && current == m_bytes
                              : !m_identity.exists;
    if (!known)
        return changed();
    if (checkOnly)
        return QString();
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return cannotWrite(file.errorString());
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
