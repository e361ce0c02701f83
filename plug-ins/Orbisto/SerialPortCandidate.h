#ifndef SERIALPORTCANDIDATE_H
#define SERIALPORTCANDIDATE_H

#include <QString>

// A serial port as discovery sees it: where to open it and who made it.
struct SerialPortCandidate
{
    QString systemLocation;
    QString manufacturer;
};

#endif // SERIALPORTCANDIDATE_H
