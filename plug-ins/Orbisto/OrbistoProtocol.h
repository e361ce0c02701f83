#ifndef ORBISTOPROTOCOL_H
#define ORBISTOPROTOCOL_H

#include <QByteArray>

// The turntable's command letters. A frame is '#', a letter, a signed decimal
// value and '.'; replies are unframed text read against the last command.
namespace OrbistoProtocol {

const char kEnable = 'e';     // 1 after opening the port, 0 before closing it
const char kInformation = 'i'; // 1 asks for the identification line
const char kRotate = 'r';     // continuous rotation: 1 clockwise, 0 counter-clockwise
const char kStop = 'c';       // 1 stops continuous rotation
const char kTurn = 'p';       // turn by the given number of motor steps

// A frame's body, "p210": the letter and the value, against which the reply is read.
inline QByteArray commandBody(char letter, int value)
{
    return QByteArray(1, letter) + QByteArray::number(value);
}

// The frame as written, "#p210.".
inline QByteArray commandFrame(char letter, int value)
{
    return '#' + commandBody(letter, value) + '.';
}

} // namespace OrbistoProtocol

#endif // ORBISTOPROTOCOL_H
