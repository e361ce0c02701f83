#include "OrbistoReply.h"

#include <QTest>

class tst_Reply : public QObject
{
    Q_OBJECT

private slots:
    void interpretsReads_data();
    void interpretsReads();
};

namespace {

const QByteArray kTurn("p210");
const QByteArray kTurnReply("p210 Success\r\n");
const QByteArray kInfo("i1");

QByteArrayList bytewise(const QByteArray &bytes)
{
    QByteArrayList reads;
    for (char byte : bytes)
        reads.append(QByteArray(1, byte));
    return reads;
}

} // namespace

void tst_Reply::interpretsReads_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<int>("confirmations");
    // -1: no read says anything about rotation; 0 or 1: every read says stopped or running.
    QTest::addColumn<int>("rotating");
    const auto turn = [](const char *name, const QByteArrayList &reads, int confirmations) {
        QTest::newRow(name) << kTurn << reads << QStringList() << confirmations << -1;
    };
    const auto info = [](const char *name, const QByteArrayList &reads, const QStringList &shown) {
        QTest::newRow(name) << kInfo << reads << shown << 0 << -1;
    };
    const auto rotation = [](const char *name, const char *command, const QByteArrayList &reads, int rotating) {
        QTest::newRow(name) << QByteArray(command) << reads << QStringList() << 0 << rotating;
    };

    turn("turn: whole reply", {kTurnReply}, 1);
    turn("turn: Success split across reads", {"p210 Suc", "cess\r\n"}, 1);
    turn("turn: bytewise", bytewise(kTurnReply), 1);
    turn("turn: Success sent twice confirms once", {kTurnReply, kTurnReply}, 1);
    turn("turn: split and doubled", {"p210 Su", "ccess\r\np210 Su", "ccess\r\n"}, 1);
    turn("turn: garbage first", {QByteArray("\x00\xff#i1#Succ\r\n", 12) + kTurnReply}, 1);
    turn("turn: 10 KB burst, then the reply", {QByteArray(10000, 'x'), kTurnReply}, 1);
    turn("turn: 10 KB burst split before the reply", {QByteArray(9990, 'S'), QByteArray(10, 'S') + kTurnReply}, 1);
    turn("turn: Success at the start of a long read", {kTurnReply + QByteArray(5000, 'x')}, 1);
    turn("turn: Success split, the rest in a long read", {"p210 Suc", "cess\r\n" + QByteArray(5000, 'x')}, 1);
    turn("turn: long read, then Success split", {QByteArray(5000, 'x') + "p210 Suc", "cess\r\n"}, 1);
    turn("turn: error text", {"p210 Error: motor blocked\r\n"}, 0);
    turn("turn: empty read", {""}, 0);
    turn("turn: information reply read against a turn", {"i1:Orbisto# Success"}, 1);

    info("info: whole reply", {"i1:Orbisto v2.1 SN 0042#"}, {"Orbisto v2.1 SN 0042"});
    info("info: split across reads", {"i1:Orbi", "sto v2.1#"}, {"Orbisto v2.1"});
    info("info: bytewise", bytewise("i1:Orbisto#"), {"Orbisto"});
    info("info: doubled, each read on its own", {"i1:Orbisto#", "i1:Orbisto#"}, {"Orbisto", "Orbisto"});
    info("info: garbage first", {QByteArray("\xff\x00#i#1i1:Orbisto#", 17)}, {"Orbisto"});
    info("info: 10 KB burst, then the reply", {QByteArray(10000, '#'), "i1:Orbisto#"}, {"Orbisto"});
    info("info: reply at the start of a long read", {"i1:Orbisto#" + QByteArray(5000, 'x')}, {"Orbisto"});
    info("info: split reply, the rest in a long read", {"i1:Orbi", "sto#" + QByteArray(5000, 'x')}, {"Orbisto"});
    info("info: a stale fragment does not join a complete reply", {"i1:AA", "i1:BBB#"}, {"BBB"});
    info("info: a read without a complete reply joins the earlier one", {"i1:Orbi", "sto#i1:x"}, {"Orbisto"});
    info("info: two replies in one read, the first counts", {"i1:AAA#i1:BBB#", "later bytes#"}, {"AAA"});
    info("info: a later read is parsed on its own", {"i1:AAA#i1:BB", "i1:CCC#"}, {"AAA", "CCC"});
    info("info: i1 directly followed by # takes the rest of the read", {"i1#rest of it#", "i1:next#"},
         {"rest of it#", "next"});
    info("info: i1# ends the reply with an empty text", {"i1#", "Orbisto#"}, {});
    info("info: empty text changes nothing, nor does the rest of its read", {"i1:#i1:AAA#", "x"}, {});
    info("info: NUL after the separator shows an empty text", {QByteArray("i1:\0Orbisto#", 12)}, {""});
    info("info: text ends at its first NUL", {QByteArray("i1:Orbisto\0junk#", 16)}, {"Orbisto"});
    info("info: UTF-8 text", {"i1:Drehteller \xc3\xa4#"}, {QString::fromUtf8("Drehteller \xc3\xa4")});
    // What is carried over between reads is bounded: a reply split after
    // more bytes than that has lost its start.
    info("info: split reply as long as the carried bytes", {"i1:" + QByteArray(4093, 'x'), "#"}, {QString(4093, 'x')});
    info("info: split reply a byte longer loses its start", {"i1:" + QByteArray(4094, 'x'), "#"}, {});
    info("info: no # yet", {"i1:Orbisto"}, {});
    info("info: no i1", {"Orbisto#"}, {});

    rotation("rotation: clockwise acknowledged", "r1", {"r1 OK\r\n"}, 1);
    rotation("rotation: counter-clockwise acknowledged", "r0", {"r0 OK\r\n"}, 1);
    rotation("rotation: error text after start still means running", "r1", {"ERR\r\n"}, 1);
    rotation("rotation: empty read after start", "r1", {""}, 1);
    rotation("rotation: stop acknowledged", "c1", {"c1 OK\r\n"}, 0);
    rotation("rotation: error text after stop means stopped", "c1", {"c1 Error\r\n", "Success"}, 0);
    rotation("rotation: empty read after stop", "c1", {""}, 0);
    rotation("rotation: enable reply says nothing", "e1", {"e1 OK Success i1:x#"}, -1);
}

void tst_Reply::interpretsReads()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArrayList, reads);
    QFETCH(QStringList, shown);
    QFETCH(int, confirmations);
    QFETCH(int, rotating);

    OrbistoReply reply(command);
    QStringList labels;
    int confirmed = 0;
    for (const QByteArray &bytes : reads) {
        const OrbistoReply::Outcome outcome = reply.read(bytes);
        if (outcome.deviceInfo)
            labels.append(*outcome.deviceInfo);
        confirmed += outcome.turnConfirmed ? 1 : 0;
        // Every read, whatever it holds, tells the same rotation state.
        QCOMPARE(outcome.rotating.has_value(), rotating >= 0);
        if (outcome.rotating)
            QCOMPARE(*outcome.rotating, rotating == 1);
    }
    QCOMPARE(labels, shown);
    QCOMPARE(confirmed, confirmations);
}

QTEST_APPLESS_MAIN(tst_Reply)
#include "tst_reply.moc"
