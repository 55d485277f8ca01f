#include "DeviceWatch.h"

#include "VaComMap.h"

#include <QDir>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <libudev.h>
#include <map>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Canonical(const std::string& Path) {
    char buf[PATH_MAX];
    return ::realpath(Path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string Text(const char* S) {
    return S ? std::string(S) : std::string();
}

// The folder's entries, without "." and "..".
std::vector<std::string> Entries(const std::string& Dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(Dir.c_str()), ::closedir);
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d.get()))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    return names;
}

// The nodes some process holds open, from the processes' descriptor tables.
std::vector<std::string> HeldNodes(const std::vector<std::string>& Nodes) {
    std::vector<std::string> held;
    for (const std::string& pid : Entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string fds = "/proc/" + pid + "/fd";
        for (const std::string& fd : Entries(fds)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            const std::string t(target, static_cast<size_t>(n));
            if (std::find(Nodes.begin(), Nodes.end(), t) != Nodes.end())
                held.push_back(t);
        }
    }
    return held;
}

std::string ComEntryPath(int N) {
    return VaComMapDir(VaConfigDir()) + "/COM" + std::to_string(N);
}

} // namespace

std::vector<TSerialDevice> ListSerialDevices() {
    std::vector<TSerialDevice> found;
    udev* u = udev_new();
    if (!u)
        return found;
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "tty");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (!d)
            continue;
        udev_device* parent = udev_device_get_parent(d);
        const char* node = udev_device_get_devnode(d);
        // Virtual terminals have no device behind them; a UART slot without a chip says
        // its port type is unknown.
        const std::string type = Text(udev_device_get_sysattr_value(d, "type"));
        if (parent && node && type != "0") {
            TSerialDevice s;
            s.Node = node;
            for (udev_device* p = parent; p && s.Driver.empty(); p = udev_device_get_parent(p))
                s.Driver = Text(udev_device_get_driver(p));
            if (udev_device* usb =
                    udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device")) {
                s.Vendor = Text(udev_device_get_sysattr_value(usb, "idVendor"));
                s.Product = Text(udev_device_get_sysattr_value(usb, "idProduct"));
                s.Serial = Text(udev_device_get_sysattr_value(usb, "serial"));
                const std::string maker = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
                const std::string product = Text(udev_device_get_sysattr_value(usb, "product"));
                s.Name = maker.empty() || product.empty() ? maker + product : maker + " " + product;
            }
            found.push_back(std::move(s));
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    udev_unref(u);

    std::map<std::string, std::string> byId;
    const std::string idDir = "/dev/serial/by-id";
    for (const std::string& link : Entries(idDir))
        byId[Canonical(idDir + "/" + link)] = idDir + "/" + link;
    std::vector<std::string> nodes;
    for (TSerialDevice& s : found) {
        if (auto it = byId.find(s.Node); it != byId.end())
            s.ById = it->second;
        nodes.push_back(s.Node);
    }
    const std::vector<std::string> held = HeldNodes(nodes);
    for (TSerialDevice& s : found)
        s.InUse = std::find(held.begin(), held.end(), s.Node) != held.end();
    std::sort(found.begin(), found.end(),
              [](const TSerialDevice& A, const TSerialDevice& B) { return A.Node < B.Node; });
    return found;
}

std::string ComEntryTarget(int N) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(ComEntryPath(N).c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

TMapResult MapComEntry(int N, const std::string& Target, bool Replace, std::string* Error) {
    const std::string dir = VaComMapDir(VaConfigDir());
    const std::string entry = ComEntryPath(N);
    const std::string now = ComEntryTarget(N);
    if (now == Target)
        return TMapResult::Unchanged;
    struct stat st;
    if (!Replace && ::lstat(entry.c_str(), &st) == 0) {
        const std::string present = Canonical(entry);
        if (!present.empty() && present != Canonical(Target))
            return TMapResult::PointsAtPresentDevice;
    }
    // A new link under another name takes the entry's place in one step: the entry never
    // goes missing for a console that looks at that moment.
    const std::string temp = dir + "/.COM" + std::to_string(N) + "." + std::to_string(::getpid());
    QDir().mkpath(QString::fromStdString(dir));
    ::unlink(temp.c_str());
    if (::symlink(Target.c_str(), temp.c_str()) != 0 ||
        ::rename(temp.c_str(), entry.c_str()) != 0) {
        if (Error)
            *Error = std::strerror(errno);
        ::unlink(temp.c_str());
        return TMapResult::Failed;
    }
    return TMapResult::Written;
}

TDeviceWatch::TDeviceWatch(QObject* Parent) : QObject(Parent) {}

TDeviceWatch::~TDeviceWatch() {
    Stop();
}

bool TDeviceWatch::Start() {
    if (Running())
        return true;
    // The device manager's events once it has made the links and set the permissions; where
    // no device manager runs, the kernel's own.
    m_udev = udev_new();
    if (m_udev) {
        const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        m_monitor = udev_monitor_new_from_netlink(m_udev, source);
        if (m_monitor &&
            (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
             udev_monitor_enable_receiving(m_monitor) < 0)) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
    }
    if (m_monitor) {
        m_monitorNote =
            new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
        connect(m_monitorNote, &QSocketNotifier::activated, this, &TDeviceWatch::ReadMonitor);
    }
    const std::string dir = VaComMapDir(VaConfigDir());
    QDir().mkpath(QString::fromStdString(dir));
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0 &&
        ::inotify_add_watch(m_inotify, dir.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB) < 0) {
        ::close(m_inotify);
        m_inotify = -1;
    }
    if (m_inotify >= 0) {
        m_inotifyNote = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        connect(m_inotifyNote, &QSocketNotifier::activated, this, &TDeviceWatch::ReadInotify);
    }
    if (!Running())
        Stop();
    return Running();
}

void TDeviceWatch::Stop() {
    // The notifiers go before the descriptors they watch.
    delete m_monitorNote;
    m_monitorNote = nullptr;
    delete m_inotifyNote;
    m_inotifyNote = nullptr;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    m_monitor = nullptr;
    if (m_udev)
        udev_unref(m_udev);
    m_udev = nullptr;
    if (m_inotify >= 0)
        ::close(m_inotify);
    m_inotify = -1;
}

void TDeviceWatch::ReadMonitor() {
    bool any = false;
    while (udev_device* d = udev_monitor_receive_device(m_monitor)) {
        const std::string action = Text(udev_device_get_action(d));
        any = any || action == "add" || action == "change" || action == "bind";
        udev_device_unref(d);
    }
    if (any)
        emit Changed();
}

void TDeviceWatch::ReadInotify() {
    alignas(inotify_event) char buf[4096];
    bool any = false;
    while (::read(m_inotify, buf, sizeof buf) > 0)
        any = true;
    if (any)
        emit Changed();
}
