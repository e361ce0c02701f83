#ifndef GADGETRIG_H
#define GADGETRIG_H

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class SimulatedTurntable;

// Turntables on the kernel's own USB stack, for a guest that kernel-rig.sh
// booted: each is a USB gadget on one of dummy_hcd's controllers, with the
// maker and ids given, whose device side (/dev/ttyGS<n>) a simulated turntable
// serves. The system's cdc_acm and udev make its /dev/ttyACM<n> as they do
// for the real turntable. Needs root, configfs and dummy_udc.0 ... N-1.
class GadgetRig
{
public:
    struct Turntable
    {
        QString manufacturer = QStringLiteral("STMicroelectronics");
        quint16 vendorId = 0x0483;
        quint16 productId = 0x5740;
    };

    // Why turntables cannot be made here, or empty when they can.
    static QString unavailableReason();

    // Makes the gadgets and plugs them in one after the other, so that the
    // system numbers them in this order. Check isReady().
    explicit GadgetRig(const QList<Turntable> &turntables);
    // Unplugs and removes every gadget.
    ~GadgetRig();

    GadgetRig(const GadgetRig &) = delete;
    GadgetRig &operator=(const GadgetRig &) = delete;

    bool isReady() const { return m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }

    // The node the system made for the turntable, once udev has described
    // it; empty while it is unplugged.
    QString hostNode(int index) const { return m_gadgets.at(size_t(index)).hostNode; }
    // The simulated turntable serving the device side; a new one after each plug-in.
    SimulatedTurntable &turntable(int index) { return *m_gadgets.at(size_t(index)).turntable; }

    // Unbinds the gadget, as a pulled cable does, and waits until the
    // system's node is gone.
    bool unplug(int index);
    // Binds it again, served by a fresh simulated turntable, and waits until
    // udev has described the new node.
    bool plugIn(int index);

    // Runs the event loop until done() holds, at most timeoutMs.
    static bool waitUntil(const std::function<bool()> &done, int timeoutMs);

private:
    struct Gadget
    {
        QString path;
        QString function;
        QString controller;
        QString serialNumber;
        QString deviceNode;
        QString hostNode;
        std::unique_ptr<SimulatedTurntable> turntable;
    };

    bool create(Gadget &gadget, int index, const Turntable &turntable);
    bool unplug(Gadget &gadget);
    void remove(Gadget &gadget);
    QString describedNode(const QString &serialNumber) const;
    bool fail(const QString &what);

    std::vector<Gadget> m_gadgets;
    QString m_errorString;
};

#endif // GADGETRIG_H
