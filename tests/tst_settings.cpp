#include "TestSupport.h"

#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void loads_data();
    void loads();
    void loadsStoredText_data();
    void loadsStoredText();
    void savesValidEntries();
    void rejectsFramesCount_data();
    void rejectsFramesCount();
    void savesDelays_data();
    void savesDelays();
    void refusesWithoutTurntableOrWhileRotating_data();
    void refusesWithoutTurntableOrWhileRotating();
    void failsWhenMessageIsPassedIn();
    void savesHeldValuesWithoutForm_data();
    void savesHeldValuesWithoutForm();
};

// The edits of an open settings dialog, typed into as a user would; false
// when one is missing.
static bool typeEntries(QWidget *dialog, const QString &frames, const QString &postSnap, const QString &preSnap)
{
    auto *framesEdit = child<QLineEdit>(dialog, "framesCountEdit");
    auto *postEdit = child<QLineEdit>(dialog, "postDelayEdit");
    auto *preEdit = child<QLineEdit>(dialog, "preDelayEdit");
    if (!framesEdit || !postEdit || !preEdit)
        return false;
    framesEdit->setText(frames);
    postEdit->setText(postSnap);
    preEdit->setText(preSnap);
    return true;
}

static QStringList storedKeys(QSettings *settings)
{
    settings->sync();
    settings->beginGroup(QStringLiteral("Orbisto"));
    const QStringList keys = settings->childKeys();
    settings->endGroup();
    return keys;
}

void tst_Settings::loads_data()
{
    QTest::addColumn<QVariant>("frames");
    QTest::addColumn<QVariant>("postSnap");
    QTest::addColumn<QVariant>("preSnap");
    QTest::addColumn<int>("expectedFrames");
    QTest::newRow("stored values") << QVariant(24) << QVariant(3) << QVariant(2) << 24;
    QTest::newRow("empty store keeps values") << QVariant() << QVariant() << QVariant() << 36;
    QTest::newRow("frames count narrowed to 16 bits") << QVariant(65538) << QVariant(0) << QVariant(0) << 2;
    QTest::newRow("text that is no number reads 0") << QVariant("many") << QVariant("x") << QVariant(1) << 0;
    QTest::newRow("numeric text") << QVariant("72") << QVariant("-4") << QVariant("5") << 72;
}

void tst_Settings::loads()
{
    QFETCH(QVariant, frames);
    QFETCH(QVariant, postSnap);
    QFETCH(QVariant, preSnap);
    QFETCH(int, expectedFrames);
    TurntableRig rig;
    loadValues(*rig.controller, 36, 7, 8);
    SettingsFile file;
    if (frames.isValid())
        file.setValues(frames, postSnap, preSnap);
    rig.controller->loadSettings(file.settings());
    QCOMPARE(rig.controller->framesCount(), quint16(expectedFrames));

    // The delays show in a new dialog.
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    auto *postEdit = child<QLineEdit>(dialog.get(), "postDelayEdit");
    auto *preEdit = child<QLineEdit>(dialog.get(), "preDelayEdit");
    QVERIFY(postEdit && preEdit);
    const QString post = postEdit->text();
    const QString pre = preEdit->text();
    if (frames.isValid()) {
        QCOMPARE(post, QString::number(postSnap.toInt()));
        QCOMPARE(pre, QString::number(preSnap.toInt()));
    } else {
        QCOMPARE(QStringList({post, pre}), QStringList({"7", "8"}));
    }
}

// The text of a settings file as hosts on Qt 5 or Qt 6 write it: both Qts
// read every row alike (Qt 6 reads the file as UTF-8, Qt 5 as Latin-1).
void tst_Settings::loadsStoredText_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("expectedFrames");
    QTest::newRow("plain number") << QByteArray("24") << 24;
    QTest::newRow("quoted") << QByteArray("\"24\"") << 24;
    QTest::newRow("blanks around") << QByteArray("  24  ") << 24;
    QTest::newRow("comment after") << QByteArray("24 ; turns") << 24;
    QTest::newRow("variant of a 16-bit number") << QByteArray("@Variant(\\0\\0\\0\\x85\\0\\x18)") << 24;
    QTest::newRow("invalid variant keeps the value") << QByteArray("@Invalid()") << 36;
    QTest::newRow("list reads 0") << QByteArray("24, 25") << 0;
    QTest::newRow("other digits read 0") << QByteArray("\xd9\xa2\xd9\xa4") << 0;
}

void tst_Settings::loadsStoredText()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, expectedFrames);
    TurntableRig rig;
    loadValues(*rig.controller, 36, 7, 8);
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("host.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Orbisto]\nframesCount=" + stored + "\n");
    ini.close();
    QSettings settings(ini.fileName(), QSettings::IniFormat);
    rig.controller->loadSettings(&settings);
    QCOMPARE(rig.controller->framesCount(), quint16(expectedFrames));
}

void tst_Settings::savesValidEntries()
{
    TurntableRig rig;
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QVERIFY(typeEntries(dialog.get(), "24", "3", "2"));
    SettingsFile file;
    QString message;
    QVERIFY(rig.controller->saveSettings(file.settings(), message));
    QVERIFY(message.isEmpty());
    QCOMPARE(rig.controller->framesCount(), quint16(24));

    QCOMPARE(storedKeys(file.settings()), QStringList({"framesCount", "postSnap", "preSnap"}));
    QSettings stored(file.settings()->fileName(), QSettings::IniFormat);
    QCOMPARE(stored.value("Orbisto/framesCount").toInt(), 24);
    QCOMPARE(stored.value("Orbisto/postSnap").toInt(), 3);
    QCOMPARE(stored.value("Orbisto/preSnap").toInt(), 2);
    // Written in the order frames count, post-snap, pre-snap.
    QFile ini(file.settings()->fileName());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), QByteArray("[Orbisto]\nframesCount=24\npostSnap=3\npreSnap=2\n"));
}

void tst_Settings::rejectsFramesCount_data()
{
    QTest::addColumn<QString>("frames");
    QTest::newRow("below range") << "1";
    QTest::newRow("above range") << "73";
    QTest::newRow("empty") << "";
    QTest::newRow("negative") << "-24";
    QTest::newRow("low 16 bits in range") << "65538";
    QTest::newRow("above 32 bits") << "4294967298";
}

void tst_Settings::rejectsFramesCount()
{
    QFETCH(QString, frames);
    TurntableRig rig;
    loadValues(*rig.controller, 36, 1, 2);
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QVERIFY(typeEntries(dialog.get(), frames, "5", "6"));
    SettingsFile file;
    QString message;
    QVERIFY(!rig.controller->saveSettings(file.settings(), message));
    QCOMPARE(message, kFramesRange);
    QVERIFY(storedKeys(file.settings()).isEmpty());
    // A rejected save changes nothing: the next capture still uses 36 frames.
    QCOMPARE(rig.controller->framesCount(), quint16(36));
    dialog.reset(rig.controller->createSettingsWidget());
    auto *postEdit = child<QLineEdit>(dialog.get(), "postDelayEdit");
    QVERIFY(postEdit);
    QCOMPARE(postEdit->text(), QStringLiteral("1"));
}

void tst_Settings::savesDelays_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("stored");
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("lone minus") << "-" << 0;
    QTest::newRow("negative") << "-3" << -3;
    QTest::newRow("large") << "2147483647" << 2147483647;
}

void tst_Settings::savesDelays()
{
    QFETCH(QString, typed);
    QFETCH(int, stored);
    TurntableRig rig;
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QVERIFY(typeEntries(dialog.get(), "24", typed, typed));
    SettingsFile file;
    QString message;
    QVERIFY(rig.controller->saveSettings(file.settings(), message));
    QSettings reread(file.settings()->fileName(), QSettings::IniFormat);
    QCOMPARE(reread.value("Orbisto/postSnap").toInt(), stored);
    QCOMPARE(reread.value("Orbisto/preSnap").toInt(), stored);
}

void tst_Settings::refusesWithoutTurntableOrWhileRotating_data()
{
    QTest::addColumn<bool>("withTurntable");
    QTest::addColumn<QString>("message");
    QTest::newRow("no turntable") << false << kNotDetected;
    QTest::newRow("rotating") << true << kStopRotationFirst;
}

void tst_Settings::refusesWithoutTurntableOrWhileRotating()
{
    QFETCH(bool, withTurntable);
    QFETCH(QString, message);
    SimulatedTurntable turntable;
    COrbisto controller(withTurntable ? QList<SerialPortCandidate>{turntable.candidate()}
                                      : QList<SerialPortCandidate>{});
    loadValues(controller, 24, 0, 0);
    std::unique_ptr<QWidget> dialog(controller.createSettingsWidget());
    if (withTurntable) {
        QVERIFY(typeEntries(dialog.get(), "30", "0", "0"));
        auto *start = child<QPushButton>(dialog.get(), "continousRotateStartButton");
        QVERIFY(start);
        QTest::mousePress(start, Qt::LeftButton);
        QTRY_VERIFY(turntable.received().endsWith("#r1."));
        QVERIFY(waitUntilRead(turntable));
    }
    SettingsFile file;
    QString answer;
    QVERIFY(!controller.saveSettings(file.settings(), answer));
    QCOMPARE(answer, message);
    QVERIFY(storedKeys(file.settings()).isEmpty());
    QCOMPARE(controller.framesCount(), quint16(24));
}

void tst_Settings::failsWhenMessageIsPassedIn()
{
    TurntableRig rig;
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QVERIFY(typeEntries(dialog.get(), "24", "0", "0"));
    SettingsFile file;
    QString message = QStringLiteral("earlier problem");
    QVERIFY(!rig.controller->saveSettings(file.settings(), message));
    QCOMPARE(message, QStringLiteral("earlier problem"));
    QCOMPARE(storedKeys(file.settings()).size(), 3);
}

void tst_Settings::savesHeldValuesWithoutForm_data()
{
    QTest::addColumn<bool>("formBuilt");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("message");
    QTest::newRow("no form yet, valid values") << false << 24 << QString();
    QTest::newRow("no form yet, invalid values") << false << 80 << kFramesRange;
    QTest::newRow("form destroyed, valid values") << true << 24 << QString();
}

void tst_Settings::savesHeldValuesWithoutForm()
{
    QFETCH(bool, formBuilt);
    QFETCH(int, frames);
    QFETCH(QString, message);
    TurntableRig rig;
    loadValues(*rig.controller, frames, 4, 5);
    if (formBuilt) {
        std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
        QVERIFY(typeEntries(dialog.get(), "1", "1", "1")); // gone with its dialog
    }
    SettingsFile file;
    QString answer;
    QCOMPARE(rig.controller->saveSettings(file.settings(), answer), message.isEmpty());
    QCOMPARE(answer, message);
    QSettings reread(file.settings()->fileName(), QSettings::IniFormat);
    if (message.isEmpty()) {
        QCOMPARE(reread.value("Orbisto/framesCount").toInt(), frames);
        QCOMPARE(reread.value("Orbisto/postSnap").toInt(), 4);
        QCOMPARE(reread.value("Orbisto/preSnap").toInt(), 5);
    } else {
        QVERIFY(storedKeys(file.settings()).isEmpty());
    }
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
