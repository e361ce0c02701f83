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

    const QStringList none;
    QTest::newRow("turn: whole reply") << kTurn << QByteArrayList{kTurnReply} << none << 1 << -1;
    QTest::newRow("turn: Success split across reads")
        << kTurn << QByteArrayList{"p210 Suc", "cess\r\n"} << none << 1 << -1;
    QTest::newRow("turn: bytewise") << kTurn << bytewise(kTurnReply) << none << 1 << -1;
    QTest::newRow("turn: Success sent twice confirms once")
        << kTurn << QByteArrayList{kTurnReply, kTurnReply} << none << 1 << -1;
    QTest::newRow("turn: split and doubled")
        << kTurn << QByteArrayList{"p210 Su", "ccess\r\np210 Su", "ccess\r\n"} << none << 1 << -1;
    QTest::newRow("turn: garbage first")
        << kTurn << QByteArrayList{QByteArray("\x00\xff#i1#Succ\r\n", 12) + kTurnReply} << none << 1 << -1;
    QTest::newRow("turn: 10 KB burst, then the reply")
        << kTurn << QByteArrayList{QByteArray(10000, 'x'), kTurnReply} << none << 1 << -1;
    QTest::newRow("turn: 10 KB burst split before the reply")
        << kTurn << QByteArrayList{QByteArray(9990, 'S'), QByteArray(10, 'S') + kTurnReply} << none << 1 << -1;
    QTest::newRow("turn: error text") << kTurn << QByteArrayList{"p210 Error: motor blocked\r\n"} << none << 0 << -1;
    QTest::newRow("turn: empty read") << kTurn << QByteArrayList{""} << none << 0 << -1;

    QTest::newRow("info: whole reply")
        << kInfo << QByteArrayList{"i1:Orbisto v2.1 SN 0042#"} << QStringList{"Orbisto v2.1 SN 0042"} << 0 << -1;
    QTest::newRow("info: split across reads")
        << kInfo << QByteArrayList{"i1:Orbi", "sto v2.1#"} << QStringList{"Orbisto v2.1"} << 0 << -1;
    QTest::newRow("info: bytewise") << kInfo << bytewise("i1:Orbisto#") << QStringList{"Orbisto"} << 0 << -1;
    QTest::newRow("info: doubled, each read on its own")
        << kInfo << QByteArrayList{"i1:Orbisto#", "i1:Orbisto#"} << QStringList{"Orbisto", "Orbisto"} << 0 << -1;
    QTest::newRow("info: garbage first")
        << kInfo << QByteArrayList{QByteArray("\xff\x00#i#1i1:Orbisto#", 17)} << QStringList{"Orbisto"} << 0 << -1;
    QTest::newRow("info: 10 KB burst, then the reply")
        << kInfo << QByteArrayList{QByteArray(10000, '#'), "i1:Orbisto#"} << QStringList{"Orbisto"} << 0 << -1;
    QTest::newRow("info: two replies in one read, the first counts")
        << kInfo << QByteArrayList{"i1:AAA#i1:BBB#", "later bytes#"} << QStringList{"AAA"} << 0 << -1;
    QTest::newRow("info: a later read is parsed on its own")
        << kInfo << QByteArrayList{"i1:AAA#i1:BB", "i1:CCC#"} << QStringList{"AAA", "CCC"} << 0 << -1;
    QTest::newRow("info: i1 directly followed by # takes the rest of the read")
        << kInfo << QByteArrayList{"i1#rest of it#", "i1:next#"} << QStringList{"rest of it#", "next"} << 0 << -1;
    QTest::newRow("info: i1# ends the reply with an empty text")
        << kInfo << QByteArrayList{"i1#", "Orbisto#"} << none << 0 << -1;
    QTest::newRow("info: empty text changes nothing, nor does the rest of its read")
        << kInfo << QByteArrayList{"i1:#i1:AAA#", "x"} << none << 0 << -1;
    QTest::newRow("info: NUL after the separator shows an empty text")
        << kInfo << QByteArrayList{QByteArray("i1:\0Orbisto#", 12)} << QStringList{""} << 0 << -1;
    QTest::newRow("info: text ends at its first NUL")
        << kInfo << QByteArrayList{QByteArray("i1:Orbisto\0junk#", 16)} << QStringList{"Orbisto"} << 0 << -1;
    QTest::newRow("info: UTF-8 text")
        << kInfo << QByteArrayList{"i1:Drehteller \xc3\xa4#"} << QStringList{QString::fromUtf8("Drehteller \xc3\xa4")}
        << 0 << -1;
    QTest::newRow("info: no # yet") << kInfo << QByteArrayList{"i1:Orbisto"} << none << 0 << -1;
    QTest::newRow("info: no i1") << kInfo << QByteArrayList{"Orbisto#"} << none << 0 << -1;
    QTest::newRow("info: reply read against a turn")
        << kTurn << QByteArrayList{"i1:Orbisto# Success"} << none << 1 << -1;

    QTest::newRow("rotation: clockwise acknowledged") << QByteArray("r1") << QByteArrayList{"r1 OK\r\n"} << none << 0 << 1;
    QTest::newRow("rotation: counter-clockwise acknowledged")
        << QByteArray("r0") << QByteArrayList{"r0 OK\r\n"} << none << 0 << 1;
    QTest::newRow("rotation: error text after start still means running")
        << QByteArray("r1") << QByteArrayList{"ERR\r\n"} << none << 0 << 1;
    QTest::newRow("rotation: empty read after start") << QByteArray("r1") << QByteArrayList{""} << none << 0 << 1;
    QTest::newRow("rotation: stop acknowledged") << QByteArray("c1") << QByteArrayList{"c1 OK\r\n"} << none << 0 << 0;
    QTest::newRow("rotation: error text after stop means stopped")
        << QByteArray("c1") << QByteArrayList{"c1 Error\r\n", "Success"} << none << 0 << 0;
    QTest::newRow("rotation: empty read after stop") << QByteArray("c1") << QByteArrayList{""} << none << 0 << 0;
    QTest::newRow("rotation: enable reply says nothing")
        << QByteArray("e1") << QByteArrayList{"e1 OK Success i1:x#"} << none << 0 << -1;
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
