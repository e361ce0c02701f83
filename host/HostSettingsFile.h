#ifndef HOSTSETTINGSFILE_H
#define HOSTSETTINGSFILE_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>

// The file named with --settings is the host's own, and the host writes it
// itself: "[Orbisto]" and the keys it holds a value for, one "key=number" line
// each, every line ending in a line feed. A file is the host's only when its
// bytes are exactly that for the values in it; judged on the bytes, since a
// lenient decoder reads NUL bytes, other encodings and a byte order mark as
// blank or fine. The host replaces a file only when it is still, to the byte,
// the one it read or last wrote, and it keeps the file's owner and mode.
//
// On Unix it writes only where no one but the user running it and root can
// change the path, judged folder by folder from / as it opens each one with
// no link followed; every later step is taken relative to the folder it
// opened, and a file is replaced only by swapping a new copy in, in one step.
class HostSettingsFile
{
public:
    // In the order the host writes them.
    static constexpr int kKeyCount = 3;
    static const char *const kKeys[kKeyCount];
    // A value per key; an absent one is not written.
    using Values = std::array<std::optional<int>, kKeyCount>;

    static QByteArray serialise(const Values &values);
    // Empty when bytes are exactly serialise(values) for the values they hold,
    // which go into values; else what in them is not the host's.
    static QString difference(const QByteArray &bytes, Values &values);

    explicit HostSettingsFile(const QString &path = QString())
        : m_given(path)
    {
    }
    QString fileName() const { return m_given; }

    // Reads the file, when there is one, and remembers its identity and
    // bytes. Empty when the host may keep its settings there; else what the
    // user needs to hear. Only a regular file is opened, to be read.
    QString read();
    const Values &values() const { return m_values; }
    // Puts values in the file, by a new copy renamed over it, when the file is
    // still as the host read or last wrote it; empty, or why not. A file that
    // already holds them is only checked.
    QString write(const Values &values);
    // Whether what is at the path is no longer, to the byte, the file read or
    // last written; write() then refuses.
    bool hasChanged();

    // Who besides the user running the host and root may change an entry in
    // a folder, judged by the folder's owner, group and mode and the entry's
    // owner. groupMembers: the users whose group the folder's is, as their
    // primary group or as members.
    struct Writer
    {
        enum Kind { FolderOwner, EntryOwner, Group, Everyone };
        Kind kind;
        uint id;
    };
    struct FolderStatus
    {
        uint owner = 0;
        uint group = 0;
        uint mode = 0;
    };
    static std::optional<Writer> otherWriter(FolderStatus folder, uint entryOwner, uint user,
                                             const QList<uint> &groupMembers);

    // What tells one file from another, and what a new copy keeps of it.
    struct Identity
    {
        bool exists = false;
        bool regular = false;
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modified = 0;
        uint owner = 0;
        uint group = 0;
        uint mode = 0;
        // Device, inode, size and modification time.
        bool isSameFile(const Identity &other) const;
    };

private:
    // Swaps a new copy with these bytes in, or with checkOnly only makes sure
    // the file is still the one known; empty, or why not.
    QString replace(const QByteArray &bytes, bool checkOnly);
    QString changed() const;
    QString cannotRead(const QString &why) const;
    QString cannotWrite(const QString &why) const;

    QString m_given;
    // Where the bytes are: the given path, or the file a link there names.
    QString m_path;
    // The folder that holds them, as opened when the file was read, and the
    // file's name in it.
    Identity m_folder;
    QByteArray m_name;
    Identity m_identity;
    QByteArray m_bytes;
    Values m_values;
};

#endif // HOSTSETTINGSFILE_H
