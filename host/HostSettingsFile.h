#ifndef HOSTSETTINGSFILE_H
#define HOSTSETTINGSFILE_H

#include <QByteArray>
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
    bool hasChanged() const { return !changedSince(m_path).isEmpty(); }

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
    // Empty when what is at path is the file as read or last written.
    QString changedSince(const QString &path) const;
    // Swaps a new copy with these bytes in; empty, or why not.
    QString replace(const QByteArray &bytes);
    QString cannotRead(const QString &why) const;
    QString cannotWrite(const QString &why) const;

    QString m_given;
    // Where the bytes are: the given path, or the file a link there names.
    QString m_path;
    Identity m_identity;
    QByteArray m_bytes;
    Values m_values;
};

#endif // HOSTSETTINGSFILE_H
