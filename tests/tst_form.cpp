#include "ui_OrbistoUi.h"

#include <QDialog>
#include <QTest>

#include <memory>

// The settings form built on a fresh top widget, as the controller builds it.
struct BuiltForm
{
    QDialog top;
    Ui_OrbistoUi ui;
    BuiltForm() { ui.setupUi(&top); }
};

class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void buildsObjectTree_data();
    void buildsObjectTree();
    void arrangesLayouts();
    void placesGridCells_data();
    void placesGridCells();
    void appliesSizePoliciesAndFonts_data();
    void appliesSizePoliciesAndFonts();
    void setsTexts_data();
    void setsTexts();
    void startsIdle();
    void keepsDirectionsExclusive();
    void namesTopWidgetOnlyWhenUnnamed_data();
    void namesTopWidgetOnlyWhenUnnamed();
};

void tst_Form::buildsObjectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parentName");
    const struct
    {
        const char *name;
        const char *className;
        const char *parentName;
    } rows[] = {
        {"verticalLayout_2", "QVBoxLayout", "OrbistoUi"},
        {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_2"},
        {"groupBox_2", "QGroupBox", "OrbistoUi"},
        {"gridLayout", "QGridLayout", "groupBox_2"},
        {"continousRotateStartButton", "QPushButton", "groupBox_2"},
        {"continousRotateStopButton", "QPushButton", "groupBox_2"},
        {"cwRotationButton", "QRadioButton", "groupBox_2"},
        {"ccwRotationButton", "QRadioButton", "groupBox_2"},
        {"groupBox", "QGroupBox", "OrbistoUi"},
        {"verticalLayout", "QVBoxLayout", "groupBox"},
        {"deviceInfoLabel", "QLabel", "groupBox"},
        {"horizontalLayout_3", "QHBoxLayout", "verticalLayout_2"},
        {"groupBox_3", "QGroupBox", "OrbistoUi"},
        {"horizontalLayout", "QHBoxLayout", "groupBox_3"},
        {"framesCountEdit", "QLineEdit", "groupBox_3"},
        {"groupBox_4", "QGroupBox", "OrbistoUi"},
        {"gridLayout_2", "QGridLayout", "groupBox_4"},
        {"label_3", "QLabel", "groupBox_4"},
        {"preDelayEdit", "QLineEdit", "groupBox_4"},
        {"label", "QLabel", "groupBox_4"},
        {"label_4", "QLabel", "groupBox_4"},
        {"postDelayEdit", "QLineEdit", "groupBox_4"},
        {"label_2", "QLabel", "groupBox_4"},
    };
    for (const auto &row : rows) {
        QTest::newRow(row.name) << QString::fromLatin1(row.name) << QByteArray(row.className)
                                << QString::fromLatin1(row.parentName);
    }
}

void tst_Form::buildsObjectTree()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parentName);
    BuiltForm form;
    const QList<QObject *> found = form.top.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QByteArray(found.first()->metaObject()->className()), className);
    QVERIFY(found.first()->parent());
    QCOMPARE(found.first()->parent()->objectName(), parentName);
}

void tst_Form::arrangesLayouts()
{
    BuiltForm form;
    const Ui_OrbistoUi &ui = form.ui;
    QCOMPARE(form.top.layout(), ui.verticalLayout_2);
    QCOMPARE(ui.groupBox_2->layout(), ui.gridLayout);
    QCOMPARE(ui.groupBox->layout(), ui.verticalLayout);
    QCOMPARE(ui.groupBox_3->layout(), ui.horizontalLayout);
    QCOMPARE(ui.groupBox_4->layout(), ui.gridLayout_2);

    // Upper row, lower row, then the vertical spacer.
    QCOMPARE(ui.verticalLayout_2->count(), 3);
    QCOMPARE(ui.verticalLayout_2->itemAt(0)->layout(), ui.horizontalLayout_2);
    QCOMPARE(ui.verticalLayout_2->itemAt(1)->layout(), ui.horizontalLayout_3);
    QCOMPARE(ui.verticalLayout_2->itemAt(2)->spacerItem(), ui.verticalSpacer);
    // Rotation panel, spacer, device information.
    QCOMPARE(ui.horizontalLayout_2->count(), 3);
    QCOMPARE(ui.horizontalLayout_2->itemAt(0)->widget(), ui.groupBox_2);
    QCOMPARE(ui.horizontalLayout_2->itemAt(1)->spacerItem(), ui.horizontalSpacer);
    QCOMPARE(ui.horizontalLayout_2->itemAt(2)->widget(), ui.groupBox);
    // Frames count and delays, no spacer.
    QCOMPARE(ui.horizontalLayout_3->count(), 2);
    QCOMPARE(ui.horizontalLayout_3->itemAt(0)->widget(), ui.groupBox_3);
    QCOMPARE(ui.horizontalLayout_3->itemAt(1)->widget(), ui.groupBox_4);
    QCOMPARE(ui.verticalLayout->count(), 1);
    QCOMPARE(ui.verticalLayout->itemAt(0)->widget(), ui.deviceInfoLabel);
    QCOMPARE(ui.horizontalLayout->count(), 1);
    QCOMPARE(ui.horizontalLayout->itemAt(0)->widget(), ui.framesCountEdit);
    QCOMPARE(ui.horizontalLayout->itemAt(0)->alignment(), Qt::AlignHCenter);

    QCOMPARE(ui.horizontalSpacer->sizeHint(), QSize(40, 20));
    QCOMPARE(ui.horizontalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(ui.horizontalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui.verticalSpacer->sizeHint(), QSize(20, 1));
    QCOMPARE(ui.verticalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui.verticalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    QCOMPARE(form.top.size(), QSize(426, 268));
    // The pre-snap edit is raised to the top of its siblings.
    QCOMPARE(ui.groupBox_4->children().last(), ui.preDelayEdit);
}

void tst_Form::placesGridCells_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::newRow("Start") << "gridLayout" << "continousRotateStartButton" << 0 << 0;
    QTest::newRow("Stop") << "gridLayout" << "continousRotateStopButton" << 0 << 2;
    QTest::newRow("CW") << "gridLayout" << "cwRotationButton" << 1 << 1;
    QTest::newRow("CCW") << "gridLayout" << "ccwRotationButton" << 2 << 1;
    QTest::newRow("Pre-snap") << "gridLayout_2" << "label_3" << 0 << 0;
    QTest::newRow("pre-snap edit") << "gridLayout_2" << "preDelayEdit" << 0 << 1;
    QTest::newRow("sec") << "gridLayout_2" << "label" << 0 << 2;
    QTest::newRow("Post-snap") << "gridLayout_2" << "label_4" << 1 << 0;
    QTest::newRow("post-snap edit") << "gridLayout_2" << "postDelayEdit" << 1 << 1;
    QTest::newRow("sec:") << "gridLayout_2" << "label_2" << 1 << 2;
}

void tst_Form::placesGridCells()
{
    QFETCH(QString, grid);
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);
    BuiltForm form;
    auto *layout = form.top.findChild<QGridLayout *>(grid);
    auto *widget = form.top.findChild<QWidget *>(name);
    QVERIFY(layout && widget);
    const int index = layout->indexOf(widget);
    QVERIFY(index >= 0);
    int foundRow, foundColumn, rowSpan, columnSpan;
    layout->getItemPosition(index, &foundRow, &foundColumn, &rowSpan, &columnSpan);
    QCOMPARE(QList<int>({foundRow, foundColumn, rowSpan, columnSpan}), QList<int>({row, column, 1, 1}));
    QCOMPARE(layout->itemAt(index)->alignment(), Qt::Alignment());
    // Only these cells are filled: four in the rotation grid, six in the delays grid.
    QCOMPARE(layout->count(), grid == QLatin1String("gridLayout") ? 4 : 6);
}

void tst_Form::appliesSizePoliciesAndFonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("horizontal");
    QTest::addColumn<int>("vertical");
    // The form asks for bold: uic for Qt 5 also sets weight 75, Qt 6 reads bold
    // as weight 700. Each build compares with its own QFont::Bold.
    QTest::addColumn<int>("weight");
    const int keep = -1;
    QTest::newRow("groupBox_3") << "groupBox_3" << int(QSizePolicy::Maximum) << int(QSizePolicy::Preferred) << int(QFont::Bold);
    QTest::newRow("groupBox_4") << "groupBox_4" << int(QSizePolicy::Maximum) << int(QSizePolicy::Preferred) << int(QFont::Bold);
    QTest::newRow("framesCountEdit") << "framesCountEdit" << int(QSizePolicy::Maximum) << int(QSizePolicy::Fixed) << int(QFont::Bold);
    QTest::newRow("preDelayEdit") << "preDelayEdit" << int(QSizePolicy::Maximum) << int(QSizePolicy::Fixed) << int(QFont::Bold);
    QTest::newRow("postDelayEdit") << "postDelayEdit" << int(QSizePolicy::Maximum) << int(QSizePolicy::Fixed) << int(QFont::Bold);
    QTest::newRow("label_3") << "label_3" << keep << keep << int(QFont::Normal);
    QTest::newRow("label") << "label" << keep << keep << int(QFont::Normal);
    QTest::newRow("label_4") << "label_4" << keep << keep << int(QFont::Normal);
    QTest::newRow("label_2") << "label_2" << keep << keep << int(QFont::Normal);
    QTest::newRow("groupBox_2 keeps the top font") << "groupBox_2" << keep << keep << int(QFont::Normal);
    QTest::newRow("deviceInfoLabel keeps the top font") << "deviceInfoLabel" << keep << keep << int(QFont::Normal);
}

void tst_Form::appliesSizePoliciesAndFonts()
{
    QFETCH(QString, name);
    QFETCH(int, horizontal);
    QFETCH(int, vertical);
    QFETCH(int, weight);
    BuiltForm form;
    auto *widget = form.top.findChild<QWidget *>(name);
    QVERIFY(widget);
    if (horizontal >= 0) {
        const QSizePolicy policy = widget->sizePolicy();
        QCOMPARE(int(policy.horizontalPolicy()), horizontal);
        QCOMPARE(int(policy.verticalPolicy()), vertical);
        QCOMPARE(policy.horizontalStretch(), 0);
        QCOMPARE(policy.verticalStretch(), 0);
        QCOMPARE(policy.controlType(), QSizePolicy::DefaultType);
        QVERIFY(!policy.hasHeightForWidth());
    }
    QCOMPARE(widget->font().weight(), weight);
}

void tst_Form::setsTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("window title") << "OrbistoUi" << "Orbisto";
    QTest::newRow("groupBox_2") << "groupBox_2" << "Permanent rotation :";
    QTest::newRow("Start") << "continousRotateStartButton" << "Start";
    QTest::newRow("Stop") << "continousRotateStopButton" << "Stop";
    QTest::newRow("CW") << "cwRotationButton" << "CW";
    QTest::newRow("CCW") << "ccwRotationButton" << "CCW";
    QTest::newRow("groupBox") << "groupBox" << "Device information:";
    QTest::newRow("deviceInfoLabel") << "deviceInfoLabel" << "Device info ...";
    QTest::newRow("groupBox_3") << "groupBox_3" << "Frames count :";
    QTest::newRow("groupBox_4") << "groupBox_4" << "Snap delays :";
    QTest::newRow("label_3") << "label_3" << "Pre-snap";
    QTest::newRow("label") << "label" << "sec";
    QTest::newRow("label_4") << "label_4" << "Post-snap";
    QTest::newRow("label_2") << "label_2" << "sec:";
}

// The texts of a widget, whatever kind of widget shows them.
static QString shownText(QWidget *widget)
{
    if (!widget->parentWidget())
        return widget->windowTitle();
    if (auto *box = qobject_cast<QGroupBox *>(widget))
        return box->title();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    auto *label = qobject_cast<QLabel *>(widget);
    return label ? label->text() : QStringLiteral("(not a label)");
}

void tst_Form::setsTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    BuiltForm form;
    QWidget *widget = name == QLatin1String("OrbistoUi") ? &form.top : form.top.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(shownText(widget), text);

    // Translating again sets the same texts and leaves every state alone.
    form.ui.framesCountEdit->setText(QStringLiteral("36"));
    form.ui.ccwRotationButton->setChecked(true);
    form.ui.continousRotateStartButton->setEnabled(false);
    widget->setWindowTitle(QString());
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->clear();
    form.ui.retranslateUi(&form.top);
    QCOMPARE(shownText(widget), text);
    QCOMPARE(form.ui.framesCountEdit->text(), QStringLiteral("36"));
    QVERIFY(form.ui.ccwRotationButton->isChecked());
    QVERIFY(!form.ui.continousRotateStartButton->isEnabled());
}

void tst_Form::startsIdle()
{
    BuiltForm form;
    const Ui_OrbistoUi &ui = form.ui;
    QVERIFY(ui.continousRotateStartButton->isEnabled());
    QVERIFY(!ui.continousRotateStopButton->isEnabled());
    QVERIFY(ui.cwRotationButton->isEnabled() && ui.cwRotationButton->isChecked());
    QVERIFY(ui.ccwRotationButton->isEnabled() && !ui.ccwRotationButton->isChecked());
    QVERIFY(ui.deviceInfoLabel->wordWrap());
    QCOMPARE(ui.deviceInfoLabel->textInteractionFlags(), Qt::NoTextInteraction);
    for (QLineEdit *edit : {ui.framesCountEdit, ui.preDelayEdit, ui.postDelayEdit}) {
        QVERIFY(edit->text().isEmpty());
        QVERIFY(!edit->validator());
    }
}

void tst_Form::keepsDirectionsExclusive()
{
    BuiltForm form;
    form.top.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.top));
    QTest::mouseClick(form.ui.ccwRotationButton, Qt::LeftButton);
    QVERIFY(form.ui.ccwRotationButton->isChecked());
    QVERIFY(!form.ui.cwRotationButton->isChecked());
    QTest::mouseClick(form.ui.cwRotationButton, Qt::LeftButton);
    QVERIFY(form.ui.cwRotationButton->isChecked());
    QVERIFY(!form.ui.ccwRotationButton->isChecked());
}

void tst_Form::namesTopWidgetOnlyWhenUnnamed_data()
{
    QTest::addColumn<QString>("givenName");
    QTest::addColumn<QString>("expectedName");
    QTest::newRow("unnamed") << QString() << QStringLiteral("OrbistoUi");
    QTest::newRow("named by the host") << QStringLiteral("hostSettings") << QStringLiteral("hostSettings");
}

void tst_Form::namesTopWidgetOnlyWhenUnnamed()
{
    QFETCH(QString, givenName);
    QFETCH(QString, expectedName);
    QWidget top;
    top.setObjectName(givenName);
    Ui_OrbistoUi ui;
    ui.setupUi(&top);
    QCOMPARE(top.objectName(), expectedName);
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
