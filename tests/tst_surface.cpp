// What a host sees of the plug-in must not depend on the Qt it was built on.
// The contract's meta-object and the settings form are written out as text and
// compared with the texts kept in tests/surface/, which every build must match.

#include "CAbstractTurntableController.h"
#include "ui_OrbistoUi.h"

#include <QDialog>
#include <QFile>
#include <QMetaClassInfo>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QTest>

class tst_Surface : public QObject
{
    Q_OBJECT

private slots:
    void contractMetaObject();
    void settingsForm();
};

static QString describeMethod(const QMetaMethod &method)
{
    static const char *const kinds[] = {"method", "signal", "slot", "constructor"};
    static const char *const accesses[] = {"private", "protected", "public"};
    return QStringLiteral("%1 %2 %3 %4 revision %5 parameters (%6)")
        .arg(QLatin1String(kinds[method.methodType()]), QLatin1String(accesses[method.access()]),
             QLatin1String(method.typeName()), QLatin1String(method.methodSignature()))
        .arg(method.revision())
        .arg(QLatin1String(method.parameterNames().join(", ")));
}

// Everything the class itself declares to the meta-object system.
static QString describeMetaObject(const QMetaObject &meta)
{
    QStringList lines;
    lines << QStringLiteral("class %1 : %2")
                 .arg(QLatin1String(meta.className()),
                      QLatin1String(meta.superClass() ? meta.superClass()->className() : "(none)"));
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        lines << describeMethod(meta.method(i));
    for (int i = 0; i < meta.constructorCount(); ++i)
        lines << describeMethod(meta.constructor(i));
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        lines << QStringLiteral("property %1 %2").arg(QLatin1String(property.typeName()),
                                                      QLatin1String(property.name()));
    }
    for (int i = meta.enumeratorOffset(); i < meta.enumeratorCount(); ++i)
        lines << QStringLiteral("enum %1").arg(QLatin1String(meta.enumerator(i).name()));
    for (int i = meta.classInfoOffset(); i < meta.classInfoCount(); ++i) {
        const QMetaClassInfo info = meta.classInfo(i);
        lines << QStringLiteral("classinfo %1=%2").arg(QLatin1String(info.name()), QLatin1String(info.value()));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// Every object the form names, in creation order and indented by depth, with
// the texts it shows. Qt's own helper objects have no name, or a "qt_" one.
static void describeObject(const QObject *object, int depth, QStringList &lines)
{
    static const char *const textProperties[] = {"windowTitle", "title", "text", "placeholderText",
                                                 "toolTip", "statusTip", "whatsThis"};
    const QString name = object->objectName();
    if (!name.isEmpty() && !name.startsWith(QLatin1String("qt_"))) {
        QString line = QString(depth * 2, QLatin1Char(' ')) + QLatin1String(object->metaObject()->className())
            + QLatin1Char(' ') + name;
        for (const char *property : textProperties) {
            const QString text = object->property(property).toString();
            if (!text.isEmpty())
                line += QStringLiteral(" %1=\"%2\"").arg(QLatin1String(property), text);
        }
        lines << line;
        ++depth;
    }
    for (const QObject *child : object->children())
        describeObject(child, depth, lines);
}

// Compares with a file of tests/surface/; on a difference it prints what this
// build shows, to be compared or, for an intended change, copied into the file.
static bool matchesSurfaceFile(const QString &actual, const char *fileName)
{
    // Found by the folder CMake names, not by this file's own path, which a
    // compiler cache or a prefix map may have made relative.
    const QString path = QStringLiteral(ORBISTO_SURFACE_DIR "/") + QLatin1String(fileName);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("cannot read tests/surface/%s", fileName);
        return false;
    }
    const QString expected = QString::fromUtf8(file.readAll());
    if (actual == expected)
        return true;
    qWarning("tests/surface/%s differs; this build shows:\n%s", fileName, qPrintable(actual));
    return false;
}

void tst_Surface::contractMetaObject()
{
    QVERIFY(matchesSurfaceFile(describeMetaObject(CAbstractTurntableController::staticMetaObject),
                               "contract.txt"));
}

void tst_Surface::settingsForm()
{
    QDialog top;
    Ui_OrbistoUi ui;
    ui.setupUi(&top);
    QStringList lines;
    describeObject(&top, 0, lines);
    QVERIFY(matchesSurfaceFile(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'), "settings-form.txt"));
}

QTEST_MAIN(tst_Surface)
#include "tst_surface.moc"
