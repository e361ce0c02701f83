#include "HostPlatform.h"

#include <QTest>

using HostPlatform::Platform;

Q_DECLARE_METATYPE(HostPlatform::Platform)

// The reference host's platform decisions, every platform's rows run here.
class tst_HostPlatform : public QObject
{
    Q_OBJECT

private slots:
    void snapCommandGoesThroughPlatformShell_data();
    void snapCommandGoesThroughPlatformShell();
};

void tst_HostPlatform::snapCommandGoesThroughPlatformShell_data()
{
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("nativeArguments");
    const QString gphoto =
        QStringLiteral("gphoto2 --capture-image-and-download --filename \"frame-$ORBISTO_PICTURE.jpg\"");
    QTest::newRow("Unix: one argument for sh -c, quotes untouched")
        << Platform::Unix << gphoto << "/bin/sh" << QStringList{"-c", gphoto} << QString();
    // cmd does its own parsing: the line must reach it as typed.
    const QString copy = QStringLiteral("copy \"C:\\in put\\a.jpg\" frame-%ORBISTO_PICTURE%.jpg");
    QTest::newRow("Windows: cmd /c with the line as typed")
        << Platform::Windows << copy << "cmd.exe" << QStringList() << QStringLiteral("/c ") + copy;
}

void tst_HostPlatform::snapCommandGoesThroughPlatformShell()
{
    QFETCH(Platform, platform);
    QFETCH(QString, command);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, nativeArguments);
    const HostPlatform::ShellInvocation shell = HostPlatform::shellFor(platform, command);
    QCOMPARE(shell.program, program);
    QCOMPARE(shell.arguments, arguments);
    QCOMPARE(shell.nativeArguments, nativeArguments);
}

QTEST_APPLESS_MAIN(tst_HostPlatform)
#include "tst_hostplatform.moc"
