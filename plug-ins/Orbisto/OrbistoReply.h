#ifndef ORBISTOREPLY_H
#define ORBISTOREPLY_H

#include <QByteArray>
#include <QString>

#include <optional>

// The device's answer to one command, read as it arrives. Replies are unframed
// text, so what a read means depends on the command it answers: an information
// request yields the text for the device-information label, a rotation command
// the rotation state, a turn its confirmation. Nothing here does I/O; the
// controller hands in each read and acts on what comes back.
class OrbistoReply
{
public:
    // What one read means for the controller.
    struct Outcome
    {
        // Text for the device-information label, when a complete information
        // reply with a non-empty text arrived.
        std::optional<QString> deviceInfo;
        // Whether continuous rotation runs, for any read after a rotation or
        // stop command, an empty one included.
        std::optional<bool> rotating;
        // The turn command was answered with "Success"; said once per turn.
        bool turnConfirmed = false;
    };

    // The reply to nothing: no read means anything.
    OrbistoReply() = default;
    // The reply to the command whose frame body ("i1", "p210") is given.
    explicit OrbistoReply(const QByteArray &commandBody);

    // Interprets one read, given what came before it since the command.
    Outcome read(const QByteArray &bytes);

private:
    std::optional<QString> takeDeviceInfo(const QByteArray &bytes, const QByteArray &joined, bool &usedUp);

    QByteArray m_command;
    // Bytes received in earlier reads since the command and not used up yet.
    QByteArray m_received;
    bool m_turnConfirmed = false;
};

#endif // ORBISTOREPLY_H
