// The gadget's plumbing: configfs, FunctionFS's control file and endpoints, and the bridge
// between the bulk endpoints and a pseudo-terminal that the test peer plays like any line.
#include "UsbGadget.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <fstream>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

const char* kConfigfs = "/sys/kernel/config/usb_gadget/";

bool WriteText(const std::string& Path, const std::string& Text) {
    std::ofstream f(Path);
    f << Text;
    f.flush();
    return bool(f);
}

std::string ReadText(const std::string& Path) {
    std::ifstream f(Path);
    std::string s;
    std::getline(f, s);
    return s;
}

void Need(bool Ok, const std::string& What) {
    if (!Ok)
        throw std::runtime_error(What + ": " + std::strerror(errno));
}

std::string Hex4(unsigned V) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", V);
    return b;
}

void Put16(std::vector<uint8_t>& B, unsigned V) {
    B.push_back(uint8_t(V));
    B.push_back(uint8_t(V >> 8));
}
void Put32(std::vector<uint8_t>& B, uint32_t V) {
    Put16(B, V & 0xffff);
    Put16(B, V >> 16);
}

// One vendor interface: bulk in (ep1), bulk out (ep2) and, with Interrupt, interrupt in (ep3),
// at full and at high speed. FUNCTIONFS_ALL_CTRL_RECIP: the chips' drivers send vendor
// requests to the device as well as to the interface.
std::vector<uint8_t> Descriptors(bool Interrupt) {
    const uint8_t eps = Interrupt ? 3 : 2;
    std::vector<uint8_t> speed[2];
    for (int hs = 0; hs < 2; ++hs) {
        std::vector<uint8_t>& d = speed[hs];
        d = {9, USB_DT_INTERFACE, 0, 0, eps, USB_CLASS_VENDOR_SPEC, 0, 0, 1};
        const unsigned bulk = hs ? 512 : 64;
        d.insert(d.end(), {7, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK});
        Put16(d, bulk);
        d.push_back(0);
        d.insert(d.end(), {7, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK});
        Put16(d, bulk);
        d.push_back(0);
        if (Interrupt) {
            d.insert(d.end(), {7, USB_DT_ENDPOINT, 3 | USB_DIR_IN, USB_ENDPOINT_XFER_INT});
            Put16(d, 16);
            d.push_back(hs ? 4 : 1); // 1 ms either way
        }
    }
    std::vector<uint8_t> b;
    Put32(b, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Put32(b, 0); // length, below
    Put32(b, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    Put32(b, 1u + eps);
    Put32(b, 1u + eps);
    b.insert(b.end(), speed[0].begin(), speed[0].end());
    b.insert(b.end(), speed[1].begin(), speed[1].end());
    const uint32_t n = uint32_t(b.size());
    for (int i = 0; i < 4; ++i)
        b[4 + i] = uint8_t(n >> (8 * i));
    return b;
}

std::vector<uint8_t> Strings() {
    const char text[] = "Serial";
    std::vector<uint8_t> b;
    Put32(b, FUNCTIONFS_STRINGS_MAGIC);
    Put32(b, uint32_t(16 + 2 + sizeof text));
    Put32(b, 1); // strings
    Put32(b, 1); // languages
    Put16(b, 0x0409);
    b.insert(b.end(), text, text + sizeof text);
    return b;
}

// Waits for the stop event or Ms, whichever comes first; true when told to stop.
bool Pause(int Stop, int Ms) {
    pollfd p{Stop, POLLIN, 0};
    return ::poll(&p, 1, Ms) > 0;
}

} // namespace

TUsbGadget::TUsbGadget(const std::string& Name, const std::string& Udc,
                       std::unique_ptr<TChipModel> Model)
    : m_name(Name), m_udc(Udc), m_dir(kConfigfs + Name), m_model(std::move(Model)) {
    // Blocking endpoint calls end with EINTR on this signal, so a worker can be told to leave.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &sa, nullptr);
    m_stop = TFd(::eventfd(0, EFD_CLOEXEC));
    Need(m_stop.Valid(), "eventfd");

    Need(::mkdir(m_dir.c_str(), 0755) == 0, "mkdir " + m_dir);
    const bool acm = !m_model;
    // 0525:a4a7 is the kernel's own serial gadget; cdc_acm binds by the interface class.
    WriteText(m_dir + "/idVendor", Hex4(acm ? 0x0525 : m_model->Vendor));
    WriteText(m_dir + "/idProduct", Hex4(acm ? 0xa4a7 : m_model->Product));
    WriteText(m_dir + "/bcdDevice", Hex4(acm ? 0x0100 : m_model->Device));
    WriteText(m_dir + "/bcdUSB", "0x0200");
    ::mkdir((m_dir + "/strings/0x409").c_str(), 0755);
    WriteText(m_dir + "/strings/0x409/manufacturer", "tevro");
    WriteText(m_dir + "/strings/0x409/product", Name);
    WriteText(m_dir + "/strings/0x409/serialnumber", "tevro-" + Name);
    Need(::mkdir((m_dir + "/configs/c.1").c_str(), 0755) == 0, "configs");
    const std::string function = acm ? "acm.usb0" : "ffs." + Name;
    Need(::mkdir((m_dir + "/functions/" + function).c_str(), 0755) == 0, "function " + function);
    Need(::symlink((m_dir + "/functions/" + function).c_str(),
                   (m_dir + "/configs/c.1/" + function).c_str()) == 0,
         "link " + function);

    if (acm) {
        m_farEnd = "/dev/ttyGS" + ReadText(m_dir + "/functions/" + function + "/port_num");
    } else {
        m_mount = "/run/tevro-ffs-" + Name;
        ::mkdir(m_mount.c_str(), 0755);
        Need(::mount(Name.c_str(), m_mount.c_str(), "functionfs", 0, nullptr) == 0,
             "mount functionfs");
        m_ep0 = TFd(::open((m_mount + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
        Need(m_ep0.Valid(), "ep0");
        const std::vector<uint8_t> d = Descriptors(m_model->Interrupt), s = Strings();
        Need(::write(m_ep0.Get(), d.data(), d.size()) == ssize_t(d.size()), "descriptors");
        Need(::write(m_ep0.Get(), s.data(), s.size()) == ssize_t(s.size()), "strings");
        m_in = TFd(::open((m_mount + "/ep1").c_str(), O_RDWR | O_CLOEXEC));
        m_out = TFd(::open((m_mount + "/ep2").c_str(), O_RDWR | O_CLOEXEC));
        Need(m_in.Valid() && m_out.Valid(), "bulk endpoints");
        if (m_model->Interrupt) {
            m_int = TFd(::open((m_mount + "/ep3").c_str(), O_RDWR | O_CLOEXEC));
            Need(m_int.Valid(), "interrupt endpoint");
        }
        m_master = TFd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        Need(m_master.Valid() && ::grantpt(m_master.Get()) == 0 && ::unlockpt(m_master.Get()) == 0,
             "pseudo-terminal");
        termios t{};
        ::tcgetattr(m_master.Get(), &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master.Get(), TCSANOW, &t);
        m_farEnd = ::ptsname(m_master.Get());
        Start(&TUsbGadget::Control);
        Start(&TUsbGadget::FromHost);
        Start(&TUsbGadget::ToHost);
        if (m_model->Interrupt)
            Start(&TUsbGadget::Status);
    }
    if (!Plug(true)) {
        const int e = errno;
        Stop();
        errno = e;
        Need(false, "bind " + Udc);
    }
}

TUsbGadget::~TUsbGadget() {
    Stop();
}

void TUsbGadget::Stop() {
    m_stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(m_stop.Get(), &one, sizeof one);
    Plug(false); // endpoint calls in progress end
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_changed.notify_all();
    }
    // A worker blocked in an endpoint call leaves on the signal; it may not have reached the
    // call yet, so the signal is repeated until it is done (bounded).
    for (int round = 0; round < 300; ++round) {
        bool all = true;
        for (auto& w : m_workers)
            if (!w->Done) {
                all = false;
                ::pthread_kill(w->Thread.native_handle(), SIGUSR1);
            }
        if (all)
            break;
        Pause(-1, 10);
    }
    for (auto& w : m_workers)
        if (w->Done && w->Thread.joinable())
            w->Thread.join();
        else if (w->Thread.joinable())
            w->Thread.detach(); // still in the kernel after 3 s: left to the process's end
    m_workers.clear();
    m_ep0.Reset();
    m_in.Reset();
    m_out.Reset();
    m_int.Reset();
    if (!m_mount.empty())
        ::umount(m_mount.c_str());
}

void TUsbGadget::Start(void (TUsbGadget::*Body)()) {
    auto w = std::make_unique<TWorker>();
    TWorker* me = w.get();
    w->Thread = std::thread([this, Body, me] {
        (this->*Body)();
        me->Done = true;
    });
    m_workers.push_back(std::move(w));
}

bool TUsbGadget::Plug(bool In) {
    if (In && m_stopping)
        return false;
    return WriteText(m_dir + "/UDC", In ? m_udc : "\n");
}

bool TUsbGadget::SetInputs(uint32_t Inputs) {
    if (!m_model)
        return false;
    m_model->Inputs = Inputs;
    std::lock_guard<std::mutex> g(m_lock);
    m_statusDue = true;
    m_changed.notify_all();
    return true;
}

// Control requests as FunctionFS hands them over: the data stage of an IN request is a
// write of the answer, of an OUT request a read; the other direction stalls.
void TUsbGadget::Control() {
    usb_functionfs_event events[4];
    while (!m_stopping) {
        const ssize_t n = ::read(m_ep0.Get(), events, sizeof events);
        if (n < 0) {
            if (Pause(m_stop.Get(), 10))
                return;
            continue;
        }
        for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
            if (events[i].type == FUNCTIONFS_ENABLE && m_model->Interrupt)
                SetInputs(m_model->Inputs); // the driver starts from the current state
            if (events[i].type != FUNCTIONFS_SETUP)
                continue;
            const usb_ctrlrequest& r = events[i].u.setup;
            const uint16_t length = le16toh(r.wLength);
            std::vector<uint8_t> data(length), answer;
            if (r.bRequestType & USB_DIR_IN) {
                if (m_model->Control(r, {}, answer)) {
                    answer.resize(std::min<size_t>(answer.size(), length));
                    [[maybe_unused]] ssize_t w = ::write(m_ep0.Get(), answer.data(), answer.size());
                } else {
                    [[maybe_unused]] ssize_t s = ::read(m_ep0.Get(), nullptr, 0);
                }
            } else {
                const ssize_t got = ::read(m_ep0.Get(), data.data(), data.size());
                data.resize(got > 0 ? size_t(got) : 0);
                m_model->Control(r, data, answer); // a refusal comes too late to stall
            }
        }
    }
}

// What the driver sends on the bulk-out endpoint goes to the pseudo-terminal.
void TUsbGadget::FromHost() {
    char buf[512];
    while (!m_stopping) {
        // While the device is off the bus the read waits for it to be enabled again.
        const ssize_t n = ::read(m_out.Get(), buf, sizeof buf);
        if (n <= 0) {
            if (Pause(m_stop.Get(), 10))
                return;
            continue;
        }
        for (ssize_t done = 0; done < n && !m_stopping;) {
            const ssize_t w = ::write(m_master.Get(), buf + done, size_t(n - done));
            if (w > 0) {
                done += w;
                continue;
            }
            pollfd p[2] = {{m_master.Get(), POLLOUT, 0}, {m_stop.Get(), POLLIN, 0}};
            ::poll(p, 2, 100);
        }
    }
}

// What the peer writes on the pseudo-terminal goes to the driver on the bulk-in endpoint.
void TUsbGadget::ToHost() {
    char buf[400];
    while (!m_stopping) {
        pollfd p[2] = {{m_master.Get(), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
        if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN))
            continue;
        if (p[0].revents & POLLHUP) { // nobody holds the far end
            Pause(m_stop.Get(), 20);
            continue;
        }
        const ssize_t n = ::read(m_master.Get(), buf, sizeof buf);
        if (n <= 0)
            continue;
        const std::string out = m_model->Outgoing(std::string(buf, size_t(n)));
        // At most 511 bytes a transfer, and never a whole number of full-speed packets: the
        // driver's read would wait for a short packet.
        for (size_t done = 0; done < out.size() && !m_stopping;) {
            size_t part = std::min<size_t>(out.size() - done, 511);
            if (part % 64 == 0)
                --part;
            const ssize_t w = ::write(m_in.Get(), out.data() + done, part);
            if (w > 0)
                done += size_t(w);
            else if (Pause(m_stop.Get(), 10))
                return;
            else
                break; // off the bus: what was on its way is lost, as on a real unplug
        }
    }
}

// Sends the modem status on the interrupt endpoint whenever the inputs change.
void TUsbGadget::Status() {
    while (!m_stopping) {
        {
            std::unique_lock<std::mutex> g(m_lock);
            m_changed.wait(g, [&] { return m_statusDue || m_stopping; });
            m_statusDue = false;
        }
        if (m_stopping)
            return;
        const std::vector<uint8_t> packet = m_model->StatusPacket(m_model->Inputs);
        // Waits for the driver to poll: it does so while the port is open.
        if (::write(m_int.Get(), packet.data(), packet.size()) < 0 && errno != EINTR)
            Pause(m_stop.Get(), 10);
    }
}
