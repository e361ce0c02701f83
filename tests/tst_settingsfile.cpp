#include "HostSettingsFile.h"

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class tst_SettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void trustFollowsOwnership_data();
    void trustFollowsOwnership();
    void raceLeavesOthersFilesAlone();
};

using Writer = HostSettingsFile::Writer;

void tst_SettingsFile::trustFollowsOwnership_data()
{
    // The user running the host is 1000 unless a row says root (0); 1001 is someone else.
    QTest::addColumn<uint>("user");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<uint>("entryOwner");
    QTest::addColumn<QList<uint>>("groupMembers");
    // -1: no one else may change the entry.
    QTest::addColumn<int>("kind");
    QTest::addColumn<uint>("id");
    const QList<uint> none;
    const int trusted = -1;
    QTest::newRow("own folder") << 1000u << 1000u << 0755u << 1000u << none << trusted << 0u;
    QTest::newRow("root's folder") << 1000u << 0u << 0755u << 1001u << none << trusted << 0u;
    QTest::newRow("another user's folder") << 1000u << 1001u << 0700u << 1000u << none << int(Writer::FolderOwner) << 1001u;
    QTest::newRow("a user's folder, root running") << 0u << 1000u << 0755u << 0u << none << int(Writer::FolderOwner) << 1000u;
    QTest::newRow("everyone may write") << 1000u << 0u << 0777u << 1000u << none << int(Writer::Everyone) << 0u;
    QTest::newRow("own folder everyone may write") << 1000u << 1000u << 0757u << 1000u << none << int(Writer::Everyone) << 0u;
    QTest::newRow("sticky, own entry") << 1000u << 0u << 01777u << 1000u << none << trusted << 0u;
    QTest::newRow("sticky, root's entry") << 1000u << 0u << 01777u << 0u << none << trusted << 0u;
    QTest::newRow("sticky, another user's entry") << 1000u << 0u << 01777u << 1001u << none << int(Writer::EntryOwner) << 1001u;
    QTest::newRow("sticky for a group, another user's entry")
        << 1000u << 0u << 01770u << 1001u << QList<uint>{1000, 1001} << int(Writer::EntryOwner) << 1001u;
    QTest::newRow("sticky, nobody may write") << 1000u << 0u << 01755u << 1001u << none << trusted << 0u;
    QTest::newRow("private group") << 1000u << 1000u << 0775u << 1000u << QList<uint>{1000} << trusted << 0u;
    QTest::newRow("private group, root listed") << 1000u << 1000u << 0775u << 1000u << QList<uint>{1000, 0} << trusted << 0u;
    QTest::newRow("group with another member")
        << 1000u << 1000u << 0775u << 1000u << QList<uint>{1000, 1001} << int(Writer::Group) << 100u;
    QTest::newRow("group with no member") << 1000u << 1000u << 0775u << 1000u << none << int(Writer::Group) << 100u;
    QTest::newRow("group may not write") << 1000u << 1000u << 0755u << 1000u << QList<uint>{1001} << trusted << 0u;
}

void tst_SettingsFile::trustFollowsOwnership()
{
    QFETCH(uint, user);
    QFETCH(uint, owner);
    QFETCH(uint, mode);
    QFETCH(uint, entryOwner);
    QFETCH(QList<uint>, groupMembers);
    QFETCH(int, kind);
    QFETCH(uint, id);
    const HostSettingsFile::FolderStatus folder{owner, 100, mode | S_IFDIR};
    const std::optional<Writer> writer = HostSettingsFile::otherWriter(folder, entryOwner, user, groupMembers);
    QCOMPARE(writer ? int(writer->kind) : -1, kind);
    if (writer)
        QCOMPARE(writer->id, id);
}

namespace {

const uid_t kNobody = 65534;

struct Entry
{
    QString path;
    uint owner = 0;
    uint mode = 0;
    QByteArray bytes;
};

// Every name under root, links not followed, by inode: a file keeps its inode
// however it is renamed.
QHash<quint64, Entry> tree(const QString &root)
{
    QHash<quint64, Entry> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status = {};
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
            continue;
        Entry entry{path, status.st_uid, status.st_mode, QByteArray()};
        QFile file(path);
        if (S_ISREG(status.st_mode) && file.open(QIODevice::ReadOnly))
            entry.bytes = file.readAll();
        entries.insert(quint64(status.st_ino), entry);
    }
    return entries;
}

bool makeFile(const QByteArray &path, const QByteArray &bytes, uid_t owner, mode_t mode)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
        && ::chown(path.constData(), owner, owner) == 0 && ::chmod(path.constData(), mode) == 0;
}

// One of the attacker's moves and its undoing, as renames and links only:
// it never deletes a file of its own, so that a file gone is the host's doing.
struct Move
{
    QByteArray away[2];
    QByteArray in[2];
    QByteArray link;
    QByteArray linkTarget;
};

[[noreturn]] void attack(const std::vector<Move> &moves, quint32 seed, int ready)
{
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0
        || ::setresuid(kNobody, kNobody, kNobody) != 0) {
        ::_exit(1);
    }
    const char started = 1;
    if (::write(ready, &started, 1) != 1)
        ::_exit(1);
    for (;;) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        const Move &move = moves[seed % moves.size()];
        // Only what was done is undone: a failed step leaves nothing to take back.
        bool moved[2] = {};
        for (int index = 0; index < 2 && !move.away[index].isEmpty(); ++index)
            moved[index] = ::rename(move.away[index].constData(), move.in[index].constData()) == 0;
        const bool linked = !move.link.isEmpty() && ::symlink(move.linkTarget.constData(), move.link.constData()) == 0;
        // A window of its own length each time, so that some fall between the host's steps.
        for (volatile quint32 spin = seed % 4096; spin > 0; --spin) {
        }
        if (linked)
            ::unlink(move.link.constData());
        for (int index = 1; index >= 0; --index) {
            if (moved[index])
                ::rename(move.in[index].constData(), move.away[index].constData());
        }
    }
}

} // namespace

// A root-run host writes while an ordinary user swaps the file, its folder and
// a parent folder for links into root's folder, or plants a file or a link
// where the file would be. No file of root's or of the user's may change,
// appear or go; the host's own file gets written every time.
void tst_SettingsFile::raceLeavesOthersFilesAlone()
{
    if (::geteuid() != 0)
        QSKIP("the race needs a host running as root and an ordinary user racing it; run as root");
    const int rounds = qMax(qEnvironmentVariableIntValue("ORBISTO_RACE_ROUNDS"), 300);
    const QByteArray good = "[Orbisto]\nframesCount=8\n";
    enum Target { UserFolder, StickyFolder, OwnFolder, TargetCount };
    int changedOrDeleted[2] = {};
    int planted = 0;
    int falseSuccesses = 0;
    int writes[TargetCount] = {};
    // Why the host refused: who else may change the path, a file that changed, anything else.
    int refusals[3] = {};
    for (int round = 0; round < rounds; ++round) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray base = QFile::encodeName(dir.path());
        const QByteArray user = base + "/user";
        const QByteArray root = base + "/root";
        QVERIFY(::chmod(base.constData(), 0755) == 0);
        for (const QByteArray &folder : {root, root + "/folder", root + "/parent", root + "/parent/folder", user,
                                         user + "/parent", user + "/parent/folder", base + "/sticky", base + "/own"}) {
            QVERIFY(::mkdir(folder.constData(), 0755) == 0);
            if (folder.startsWith(user))
                QVERIFY(::chown(folder.constData(), kNobody, kNobody) == 0);
        }
        QVERIFY(::chmod(base + "/sticky", 01777) == 0);
        const QByteArray rootOnly = "[Orbisto]\nframesCount=7\n";
        QVERIFY(makeFile(root + "/victim.ini", rootOnly, 0, 0600));
        QVERIFY(makeFile(root + "/folder/settings.ini", rootOnly, 0, 0644));
        QVERIFY(makeFile(root + "/parent/folder/settings.ini", rootOnly, 0, 0644));
        QVERIFY(makeFile(user + "/parent/folder/settings.ini", good, kNobody, 0644));
        QVERIFY(makeFile(user + "/spare.ini", good, kNobody, 0644));
        QVERIFY(makeFile(base + "/own/settings.ini", good, 0, 0644));
        const Target target = Target(round % TargetCount);
        const QByteArray file = target == UserFolder ? user + "/parent/folder/settings.ini"
            : target == StickyFolder                 ? base + "/sticky/settings.ini"
                                                     : base + "/own/settings.ini";
        // Half the sticky rounds find root's own file there, which no one else may move.
        if (target == StickyFolder && round % 2 == 0)
            QVERIFY(makeFile(file, good, 0, 0644));
        const QByteArray folder = file.left(file.lastIndexOf('/'));
        const QByteArray parent = folder.left(folder.lastIndexOf('/'));
        const QByteArray mirror = root + (target == UserFolder ? "/parent/folder" : "/folder");
        std::vector<Move> moves{
            {{file, {}}, {file + ".away", {}}, file, root + "/victim.ini"},
            {{folder, {}}, {folder + ".away", {}}, folder, mirror},
            {{parent, {}}, {parent + ".away", {}}, parent, root + "/parent"},
            {{file, {}}, {file + ".away", {}}, {}, {}},
            {{file, user + "/spare.ini"}, {file + ".away", file}, {}, {}},
            {{}, {}, file, root + "/victim.ini"},
        };
        const QHash<quint64, Entry> before = tree(dir.path());

        int ready[2] = {};
        QVERIFY(::pipe(ready) == 0);
        const pid_t attacker = ::fork();
        if (attacker == 0)
            attack(moves, quint32(round) * 2654435761u + 1, ready[1]);
        ::close(ready[1]);
        char started = 0;
        const bool racing = attacker > 0 && ::read(ready[0], &started, 1) == 1;
        ::close(ready[0]);
        HostSettingsFile settings(QFile::decodeName(file));
        QString refusal = settings.read();
        HostSettingsFile::Values values;
        QByteArray written;
        for (int attempt = 0; refusal.isEmpty() && attempt < 3; ++attempt) {
            values[0] = 20 + attempt;
            refusal = settings.write(values);
            if (refusal.isEmpty())
                written = HostSettingsFile::serialise(values);
        }
        if (attacker > 0) {
            ::kill(attacker, SIGKILL);
            ::waitpid(attacker, nullptr, 0);
        }
        QVERIFY2(racing, "the attacker did not start as user nobody");
        if (!refusal.isEmpty()) {
            ++refusals[refusal.contains(QLatin1String("no one but the user running it")) ? 0
                           : refusal.contains(QLatin1String("changed"))                  ? 1
                                                                                          : 2];
        }

        const QHash<quint64, Entry> after = tree(dir.path());
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const bool rootOnly = it->owner == 0 && it->path.contains(QLatin1String("/root/"));
            const bool foreign = it->owner == kNobody;
            if (!S_ISREG(it->mode) || !(rootOnly || foreign))
                continue;
            const Entry now = after.value(it.key());
            const bool same = after.contains(it.key()) && now.bytes == it->bytes && now.mode == it->mode
                && now.owner == it->owner;
            changedOrDeleted[rootOnly ? 0 : 1] += int(!same);
            if (!same)
                qWarning("%s changed or went (round %d): now %s %o %u %s", qPrintable(it->path), round, qPrintable(now.path), now.mode, now.owner, now.bytes.constData());
        }
        struct stat status = {};
        const bool holdsNew = ::lstat(file.constData(), &status) == 0 && S_ISREG(status.st_mode)
            && status.st_uid == 0 && after.value(quint64(status.st_ino)).bytes == written;
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            const bool newFile = !before.contains(it.key()) && it->owner == 0 && !S_ISDIR(it->mode);
            const bool theHostsOwn = !written.isEmpty() && it.key() == quint64(status.st_ino);
            planted += int(newFile && !theHostsOwn);
            if (newFile && !theHostsOwn)
                qWarning("%s was planted (round %d)", qPrintable(it->path), round);
        }
        if (!written.isEmpty()) {
            ++writes[target];
            falseSuccesses += int(!holdsNew || target == UserFolder);
        }
        // The host's own file in root's folder is written, race or not.
        if (target == OwnFolder)
            QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    }
    qInfo("%d rounds: written in root's folder %d, in a sticky folder %d, in the user's %d; refused "
          "for who else may change the path %d, as changed %d, otherwise %d; root-only files changed or "
          "gone: %d, the user's: %d, planted: %d, false successes: %d",
          rounds, writes[OwnFolder], writes[StickyFolder], writes[UserFolder], refusals[0], refusals[1],
          refusals[2], changedOrDeleted[0], changedOrDeleted[1], planted, falseSuccesses);
    QCOMPARE(changedOrDeleted[0], 0);
    QCOMPARE(changedOrDeleted[1], 0);
    QCOMPARE(planted, 0);
    QCOMPARE(falseSuccesses, 0);
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
