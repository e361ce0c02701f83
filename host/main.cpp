#include "Orbisto.h"
#include "SimulatedTurntable.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    SimulatedTurntable turntable;
    COrbisto controller({turntable.candidate()});
    QString message;
    controller.saveSettings(nullptr, message);
    out << "Registered a controller (interface revision " << controller.interfaceRevision()
        << ") on " << turntable.systemLocation() << ": " << message << Qt::endl;
    return 0;
}
