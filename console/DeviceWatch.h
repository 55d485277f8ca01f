// The serial devices of the system as the device manager knows them, and the word that one
// may have come back: the kernel's device events for terminals and the changes of the COM
// map's folder, both waited for on the event loop, never asked for again and again.
#pragma once

#include <QObject>
#include <string>
#include <vector>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// One serial device present now.
struct TSerialDevice {
    std::string Node;                    // /dev/ttyUSB0
    std::string ById;                    // its /dev/serial/by-id/ link, or empty
    std::string Driver;                  // ftdi_sio, cp210x, cdc_acm, serial8250, ...
    std::string Vendor, Product, Serial; // the USB ids (hex) and serial number, or empty
    std::string Name;                    // the maker's and product's names, when known
    bool InUse = false;                  // a process holds it open
};

// The terminals with a device behind them (a UART that has no chip behind it is left out),
// ordered by node.
std::vector<TSerialDevice> ListSerialDevices();

// What a COM map entry that should name Target does: written; already naming it; left as it
// is because it names another device that is present (ask before replacing); or failed (Error
// says why).
enum class TMapResult { Written, Unchanged, PointsAtPresentDevice, Failed };
// Makes <map folder>/COM<N> a link to Target, atomically; with Replace, over an entry that
// names another present device too.
TMapResult MapComEntry(int N, const std::string& Target, bool Replace, std::string* Error);
// Where COM<N>'s entry points now, or empty when there is none.
std::string ComEntryTarget(int N);

class TDeviceWatch : public QObject {
    Q_OBJECT
public:
    explicit TDeviceWatch(QObject* Parent = nullptr);
    ~TDeviceWatch() override;
    // Starts listening to the terminals' device events and to the COM map's folder; true when
    // at least one of them is heard. Again while running: nothing.
    bool Start();
    void Stop();
    bool Running() const { return m_inotify >= 0 || m_monitor; }

signals:
    // A terminal came or changed, or an entry of the COM map did.
    void Changed();

private:
    void ReadMonitor();
    void ReadInotify();
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    int m_inotify = -1;
    QSocketNotifier* m_monitorNote = nullptr;
    QSocketNotifier* m_inotifyNote = nullptr;
};
