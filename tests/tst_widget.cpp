#include "TestSupport.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QValidator>

class tst_Widget : public QObject
{
    Q_OBJECT

private slots:
    void givesEmptyWidgetWithoutTurntable();
    void asksForInformationOncePerDialog();
    void fillsEditsFromController_data();
    void fillsEditsFromController();
    void restrictsEditsToIntegers_data();
    void restrictsEditsToIntegers();
    void startsAndStopsRotation_data();
    void startsAndStopsRotation();
    void startsIdleWhileRotating();
    void showsDeviceInformation_data();
    void showsDeviceInformation();
    void ignoresInformationAfterDialogIsGone();
    void everyOpenDialogWorks_data();
    void everyOpenDialogWorks();
    void locksRotationDuringCapture();
    void showsTurntableGoneInEveryDialog();
};

// The panel's buttons, in the order Start, Stop, CW, CCW; empty when one is missing.
static QList<bool> panelState(QWidget *dialog)
{
    QList<bool> enabled;
    for (const char *name : {"continousRotateStartButton", "continousRotateStopButton",
                             "cwRotationButton", "ccwRotationButton"}) {
        auto *button = child<QAbstractButton>(dialog, name);
        if (!button)
            return {};
        enabled.append(button->isEnabled());
    }
    return enabled;
}

void tst_Widget::givesEmptyWidgetWithoutTurntable()
{
    COrbisto controller(QList<SerialPortCandidate>{});
    std::unique_ptr<QWidget> widget(controller.createSettingsWidget());
    QVERIFY(widget);
    QVERIFY(!qobject_cast<QDialog *>(widget.get()));
    QVERIFY(widget->children().isEmpty());
    QVERIFY(!widget->parent());
}

void tst_Widget::asksForInformationOncePerDialog()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    std::unique_ptr<QWidget> first(rig.controller->createSettingsWidget());
    QVERIFY(qobject_cast<QDialog *>(first.get()));
    QVERIFY(!first->parent());
    QTRY_COMPARE(rig.turntable.received(), QByteArray::fromHex("2369312E"));
    std::unique_ptr<QWidget> second(rig.controller->createSettingsWidget());
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#i1.#i1."));
}

void tst_Widget::fillsEditsFromController_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("loaded 36/1/2") << true << QStringList{"36", "1", "2"};
    QTest::newRow("new controller") << false << QStringList{"0", "0", "0"};
}

void tst_Widget::fillsEditsFromController()
{
    QFETCH(bool, loaded);
    QFETCH(QStringList, texts);
    TurntableRig rig;
    if (loaded)
        loadValues(*rig.controller, 36, 1, 2);
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QStringList shown;
    for (const char *name : {"framesCountEdit", "postDelayEdit", "preDelayEdit"}) {
        auto *edit = child<QLineEdit>(dialog.get(), name);
        QVERIFY2(edit, name);
        shown.append(edit->text());
    }
    QCOMPARE(shown, texts);
}

void tst_Widget::restrictsEditsToIntegers_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("number") << "24" << "24";
    QTest::newRow("negative number") << "-5" << "-5";
    QTest::newRow("letters") << "abc" << "";
    QTest::newRow("digits then letters") << "12x" << "12";
}

void tst_Widget::restrictsEditsToIntegers()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    TurntableRig rig;
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    for (const char *name : {"framesCountEdit", "postDelayEdit", "preDelayEdit"}) {
        auto *edit = child<QLineEdit>(dialog.get(), name);
        QVERIFY2(edit, name);
        QVERIFY(edit->validator());
        QCOMPARE(edit->validator()->parent(), rig.controller.get());
        edit->clear();
        QTest::keyClicks(edit, typed);
        QCOMPARE(edit->text(), kept);
    }
}

void tst_Widget::startsAndStopsRotation_data()
{
    QTest::addColumn<bool>("counterClockwise");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("clockwise") << false << QByteArray("#r1.");
    QTest::newRow("counter-clockwise") << true << QByteArray("#r0.");
}

void tst_Widget::startsAndStopsRotation()
{
    QFETCH(bool, counterClockwise);
    QFETCH(QByteArray, start);
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#i1."));
    rig.turntable.clearReceived();
    auto *counterClockwiseButton = child<QRadioButton>(dialog.get(), "ccwRotationButton");
    auto *startButton = child<QPushButton>(dialog.get(), "continousRotateStartButton");
    auto *stopButton = child<QPushButton>(dialog.get(), "continousRotateStopButton");
    QVERIFY(counterClockwiseButton && startButton && stopButton);
    if (counterClockwise)
        counterClockwiseButton->setChecked(true);

    // The command leaves when the button goes down, not when it is released.
    QTest::mousePress(startButton, Qt::LeftButton);
    QTRY_COMPARE(rig.turntable.received(), start);
    QCOMPARE(panelState(dialog.get()), QList<bool>({false, true, false, false}));

    QTest::mousePress(stopButton, Qt::LeftButton);
    QTRY_COMPARE(rig.turntable.received(), start + "#c1.");
    QCOMPARE(panelState(dialog.get()), QList<bool>({true, false, true, true}));
}

void tst_Widget::startsIdleWhileRotating()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    const std::unique_ptr<QWidget> pressed = pressRotation(*rig.controller, "r");
    QTRY_COMPARE(saveMessage(*rig.controller), kStopRotationFirst);
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QCOMPARE(panelState(dialog.get()), QList<bool>({true, false, true, true}));
}

void tst_Widget::showsDeviceInformation_data()
{
    QTest::addColumn<QByteArray>("identification");
    QTest::addColumn<int>("splitAt");
    QTest::addColumn<QString>("shown");
    QTest::newRow("split across reads") << QByteArray("Orbisto v2.1 SN 0042") << 6 << "Orbisto v2.1 SN 0042";
    QTest::newRow("markup shown as text") << QByteArray("<b>bold</b>") << -1 << "<b>bold</b>";
}

void tst_Widget::showsDeviceInformation()
{
    QFETCH(QByteArray, identification);
    QFETCH(int, splitAt);
    QFETCH(QString, shown);
    TurntableRig rig;
    rig.turntable.setIdentification(identification);
    SimulatedTurntable::Fault fault;
    fault.splitAt = splitAt;
    rig.turntable.setFault('i', fault);
    QSignalSpy sent(&rig.turntable, &SimulatedTurntable::sent);
    QVERIFY(sent.isValid());
    QVERIFY(rig.waitForEnable());
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    auto *label = child<QLabel>(dialog.get(), "deviceInfoLabel");
    QVERIFY(label);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QTRY_COMPARE(sent.count(), splitAt > 0 ? 2 : 1);
    QTRY_COMPARE(label->text(), shown);
}

void tst_Widget::ignoresInformationAfterDialogIsGone()
{
    TurntableRig rig;
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    rig.turntable.setFault('i', silent);
    QVERIFY(rig.waitForEnable());
    std::unique_ptr<QWidget> dialog(rig.controller->createSettingsWidget());
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#i1."));
    dialog.reset();

    // A late reply, a press on nothing and a save must not reach the destroyed form.
    rig.turntable.send("i1:Orbisto late reply#");
    QVERIFY(rig.waitUntilRead());
    rig.controller->onStartRotation();
    loadValues(*rig.controller, 24, 0, 0);
    QTRY_COMPARE(saveMessage(*rig.controller), QString());
    QCOMPARE(rig.turntable.received(), QByteArray("#i1."));

    // The next dialog shows the next reply.
    rig.turntable.clearFaults();
    dialog.reset(rig.controller->createSettingsWidget());
    auto *label = child<QLabel>(dialog.get(), "deviceInfoLabel");
    QVERIFY(label);
    QTRY_COMPARE(label->text(),
                 QString::fromLatin1(SimulatedTurntable::kDefaultIdentification));
}

void tst_Widget::everyOpenDialogWorks_data()
{
    QTest::addColumn<bool>("closeNewer");
    QTest::newRow("the newer dialog still open") << false;
    QTest::newRow("the newer dialog closed") << true;
}

void tst_Widget::everyOpenDialogWorks()
{
    QFETCH(bool, closeNewer);
    TurntableRig rig;
    // Only the test speaks for the device's information.
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    rig.turntable.setFault('i', silent);
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 24, 0, 0);
    std::unique_ptr<QWidget> older(rig.controller->createSettingsWidget());
    std::unique_ptr<QWidget> newer(rig.controller->createSettingsWidget());
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#i1.#i1."));
    rig.turntable.clearReceived();
    if (closeNewer)
        newer.reset();
    QWidget *latest = closeNewer ? older.get() : newer.get();

    // The information goes to the most recent dialog still open.
    auto *olderLabel = child<QLabel>(older.get(), "deviceInfoLabel");
    auto *latestLabel = child<QLabel>(latest, "deviceInfoLabel");
    QVERIFY(olderLabel && latestLabel);
    const QString olderText = olderLabel->text();
    rig.turntable.send("i1:Orbisto#");
    QTRY_COMPARE(latestLabel->text(), QStringLiteral("Orbisto"));
    if (!closeNewer)
        QCOMPARE(olderLabel->text(), olderText);

    // Saving reads the most recent dialog still open.
    auto *olderFrames = child<QLineEdit>(older.get(), "framesCountEdit");
    QVERIFY(olderFrames);
    olderFrames->setText(QStringLiteral("36"));
    QCOMPARE(saveMessage(*rig.controller), QString());
    QCOMPARE(rig.controller->framesCount(), quint16(closeNewer ? 36 : 24));

    // A press acts on the dialog whose button went down: its radio, its panel.
    auto *olderCounterClockwise = child<QRadioButton>(older.get(), "ccwRotationButton");
    auto *olderStart = child<QPushButton>(older.get(), "continousRotateStartButton");
    QVERIFY(olderCounterClockwise && olderStart);
    olderCounterClockwise->setChecked(true);
    QTest::mousePress(olderStart, Qt::LeftButton);
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#r0."));
    QCOMPARE(panelState(older.get()), QList<bool>({false, true, false, false}));
    if (!closeNewer)
        QCOMPARE(panelState(newer.get()), QList<bool>({true, false, true, true}));
}

void tst_Widget::locksRotationDuringCapture()
{
    TurntableRig rig;
    // Only the test speaks for the device's information.
    SimulatedTurntable::Fault silent;
    silent.silent = true;
    rig.turntable.setFault('i', silent);
    QVERIFY(rig.waitForEnable());
    loadValues(*rig.controller, 2, 0, 0);
    std::unique_ptr<QWidget> pressed(rig.controller->createSettingsWidget());
    auto *start = child<QPushButton>(pressed.get(), "continousRotateStartButton");
    QVERIFY(start);
    QTest::mousePress(start, Qt::LeftButton);
    // Stopped from a newer dialog, so the first one still shows Stop enabled.
    std::unique_ptr<QWidget> idle = pressRotation(*rig.controller, "c");
    QTRY_COMPARE(rig.turntable.received(), QByteArray("#i1.#r1.#i1.#c1."));
    QVERIFY(rig.waitUntilRead());
    const QList<bool> pressedBefore = panelState(pressed.get());
    QCOMPARE(pressedBefore, QList<bool>({false, true, false, false}));

    QSignalSpy requests(rig.controller.get(), &CAbstractTurntableController::snapActionRequired);
    QVERIFY(requests.isValid());
    QVERIFY(rig.controller->startCapture());
    const QList<bool> locked({false, false, false, false});
    QCOMPARE(panelState(pressed.get()), locked);
    QCOMPARE(panelState(idle.get()), locked);
    std::unique_ptr<QWidget> during(rig.controller->createSettingsWidget());
    QCOMPARE(panelState(during.get()), locked);
    QVERIFY(requests.wait());
    QTRY_VERIFY(rig.turntable.received().endsWith("#i1."));
    rig.turntable.clearReceived();

    // A locked panel takes no clicks; a press that reaches the controller
    // anyway sends nothing while the capture runs.
    for (QWidget *dialog : {pressed.get(), idle.get(), during.get()}) {
        for (const char *name : {"continousRotateStartButton", "continousRotateStopButton"}) {
            auto *button = child<QPushButton>(dialog, name);
            QVERIFY(button);
            emit button->pressed();
        }
    }
    rig.controller->snapTaken(1);
    QTRY_COMPARE(requests.count(), 2);
    QCOMPARE(rig.turntable.received(), QByteArray("#p2520."));

    // After the capture every panel is as it was before it.
    rig.controller->snapTaken(2);
    QCOMPARE(panelState(pressed.get()), pressedBefore);
    QCOMPARE(panelState(idle.get()), QList<bool>({true, false, true, true}));
    QCOMPARE(panelState(during.get()), QList<bool>({true, false, true, true}));
}

void tst_Widget::showsTurntableGoneInEveryDialog()
{
    TurntableRig rig;
    QVERIFY(rig.waitForEnable());
    std::unique_ptr<QWidget> older(rig.controller->createSettingsWidget());
    std::unique_ptr<QWidget> newer(rig.controller->createSettingsWidget());
    auto *newerLabel = child<QLabel>(newer.get(), "deviceInfoLabel");
    QVERIFY(newerLabel);
    QTRY_COMPARE(newerLabel->text(), QString::fromLatin1(SimulatedTurntable::kDefaultIdentification));

    const QString path = rig.turntable.systemLocation();
    rig.turntable.hangUp();
    QTRY_VERIFY(!isHeldOpen(path));
    for (QWidget *dialog : {older.get(), newer.get()}) {
        auto *label = child<QLabel>(dialog, "deviceInfoLabel");
        auto *panel = child<QWidget>(dialog, "groupBox_2");
        auto *stop = child<QPushButton>(dialog, "continousRotateStopButton");
        QVERIFY(label && panel && stop);
        QCOMPARE(label->text(), kNotDetected);
        QCOMPARE(panelState(dialog), QList<bool>({false, false, false, false}));
        // A press on a dialog without a turntable toggles nothing.
        auto *start = child<QPushButton>(dialog, "continousRotateStartButton");
        QVERIFY(start);
        emit start->pressed();
        QVERIFY(!stop->isEnabledTo(panel));
    }
}

QTEST_MAIN(tst_Widget)
#include "tst_widget.moc"
