#include "DriverProfile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <sys/ioctl.h>
#include <utility>

namespace {
using TRate = TDriverTraits::TRate;

// Each row is what the kernel's driver does (function names from the driver sources), as
// collected in the notes on USB serial drivers.
const std::vector<TDriverTraits> kProfiles = {
    // pty_set_termios stores the rate and forces CS8 without parity; no modem lines (ENOTTY);
    // the pty's buffer is 8 KiB.
    {.Name = "pty"},
    // 8250: serial8250_get_baud_rate/uart_get_baud_rate refuse a rate above clock/16
    // (115200 on a 1.8432 MHz PC UART) and keep the previous one; modem lines are registers;
    // TIOCMIWAIT and TIOCGICOUNT work; a PC 16550 has no RS-485: TIOCSRS485 is ENOTTY, but
    // uart_get_rs485_config answers TIOCGRS485 with flags 0 (seen on the real driver in the
    // virtual machine of tests/vm); the modem control register takes OUT1, OUT2 and LOOP
    // through TIOCMSET as well (serial8250_TIOCM_to_MCR; seen there too); the transmit
    // buffer is a page.
    {.Name = "16550",
     .Rate = TRate::Uart,
     .MaxRate = 115200,
     .ModemLines = true,
     .ModemWait = true,
     .Icount = true,
     .SerialInfo = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .Rs485ReadsZero = true,
     .OutputLines = TIOCM_DTR | TIOCM_RTS | TIOCM_OUT1 | TIOCM_OUT2 | TIOCM_LOOP},
    // ftdi_sio: get_ftdi_divisor falls back to 9600 above 3 MBd; ftdi_get_modem_status is a
    // synchronous USB control transfer per TIOCMGET, and so is every line change; usb-serial
    // buffers 4 KiB; an unplug (usb_serial_disconnect) hangs the tty up.
    {.Name = "ftdi_sio",
     .Rate = TRate::Fallback,
     .MaxRate = 3000000,
     .ModemLines = true,
     .ModemGetUs = 1000,
     .ModemSetUs = 1000,
     .ModemWait = true,
     .Icount = true,
     .SerialInfo = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .ReadZeroAfterUnplug = true},
    // cp210x (CP2102N): cp210x_change_speed reads back the rate the chip makes,
    // 48e6/(2*round(24e6/rate)); cp210x_tiocmget is a control transfer; no TIOCMIWAIT;
    // TIOCGICOUNT since 5.12 with modem counters that stay 0; TIOCGSERIAL since 5.13.
    {.Name = "cp210x",
     .Rate = TRate::ChipRate,
     .MaxRate = 3000000,
     .ModemLines = true,
     .ModemGetUs = 1000,
     .ModemSetUs = 1000,
     .Icount = true,
     .SerialInfo = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .ReadZeroAfterUnplug = true},
    // pl2303 (HX): pl2303_encode_baud_rate keeps table rates and divides the rest; the modem
    // status is cached from the interrupt endpoint, line changes are control transfers; no
    // TIOCGICOUNT.
    {.Name = "pl2303",
     .Rate = TRate::Pl2303,
     .MaxRate = 6000000,
     .ModemLines = true,
     .ModemSetUs = 1000,
     .ModemWait = true,
     .SerialInfo = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .ReadZeroAfterUnplug = true},
    // ch341: a divisor that is never re-encoded; cached modem status; no TIOCGICOUNT.
    {.Name = "ch341",
     .MaxRate = 2000000,
     .ModemLines = true,
     .ModemSetUs = 1000,
     .ModemWait = true,
     .SerialInfo = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .ReadZeroAfterUnplug = true},
    // cdc-acm: the rate goes to the device as asked; the modem status is cached and CTS is
    // always reported on; acm_tty_write takes one transfer at a time.
    {.Name = "cdc-acm",
     .ModemLines = true,
     .ModemSetUs = 1000,
     .CtsAlwaysOn = true,
     .ModemWait = true,
     .Icount = true,
     .SerialInfo = true,
     .WriteChunk = 1280,
     .KeepsLineSettings = true,
     .ReadZeroAfterUnplug = true},
    // An embedded board's 8250 whose device tree enabled RS-485 (TIOCSRS485 with flags 0
    // switches it off until the driver is probed again).
    {.Name = "8250-rs485",
     .Rate = TRate::Uart,
     .MaxRate = 115200,
     .ModemLines = true,
     .ModemWait = true,
     .Icount = true,
     .SerialInfo = true,
     .Rs485 = true,
     .WriteChunk = 4096,
     .KeepsLineSettings = true,
     .Rs485ReadsZero = true,
     .OutputLines = TIOCM_DTR | TIOCM_RTS | TIOCM_OUT1 | TIOCM_OUT2 | TIOCM_LOOP},
};

void Cost(int Us) {
    if (Us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(Us));
}

bool ModemRequest(unsigned long R) {
    return R == TIOCMGET || R == TIOCMBIS || R == TIOCMBIC || R == TIOCMSET || R == TIOCMIWAIT;
}
} // namespace

const std::vector<TDriverTraits>& DriverProfiles() {
    return kProfiles;
}

const TDriverTraits& DriverProfileNamed(const std::string& Name) {
    for (const auto& p : kProfiles)
        if (Name == p.Name)
            return p;
    throw std::invalid_argument("no driver profile named " + Name);
}

TDriverProfile::TDriverProfile(const TDriverTraits& Traits) : m_traits(Traits) {}

uint32_t TDriverProfile::RateMade(const TDriverTraits& T, uint32_t Asked, uint32_t Previous) {
    if (T.MaxRate && Asked > T.MaxRate) {
        if (T.Rate == TRate::Uart)
            return Previous;
        if (T.Rate == TRate::Fallback)
            return 9600;
    }
    switch (T.Rate) {
    case TRate::ChipRate: {
        const double div = std::round(24e6 / Asked);
        return uint32_t(48e6 / (2 * div));
    }
    case TRate::Pl2303: {
        static const uint32_t table[] = {75,      150,     300,     600,    1200,   1800,   2400,
                                         3600,    4800,    7200,    9600,   14400,  19200,  28800,
                                         38400,   57600,   115200,  230400, 460800, 614400, 921600,
                                         1228800, 2457600, 3000000, 6000000};
        if (std::find(std::begin(table), std::end(table), Asked) != std::end(table))
            return Asked;
        const uint32_t baseline = 12000000u * 32;
        uint32_t mantissa = std::max<uint32_t>(baseline / Asked, 1);
        uint32_t exponent = 0;
        while (mantissa >= 512) {
            if (exponent < 7) {
                mantissa >>= 2;
                ++exponent;
            } else {
                mantissa = 511;
                break;
            }
        }
        return (baseline / mantissa) >> (exponent << 1);
    }
    default:
        return Asked;
    }
}

void TDriverProfile::SetInputLines(int Bits) {
    std::lock_guard<std::mutex> g(m_lock);
    const int now = Bits & (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD), changed = now ^ m_inputs;
    // The driver counts each change of an input line (RI: its trailing edge).
    m_icount.cts += bool(changed & TIOCM_CTS), m_icount.dsr += bool(changed & TIOCM_DSR);
    m_icount.dcd += bool(changed & TIOCM_CD), m_icount.rng += bool(changed & m_inputs & TIOCM_RI);
    m_inputs = now;
    m_linesChanged.Signal();
}

int TDriverProfile::OutputLines() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_outputs;
}

void TDriverProfile::SetSystemLine(const termios2& T) {
    std::lock_guard<std::mutex> g(m_lock);
    m_line = T;
    m_rate = T.c_ospeed;
    m_haveLine = true;
}

termios2 TDriverProfile::Line() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_line;
}

void TDriverProfile::SetSystemRs485(uint32_t Flags) {
    std::lock_guard<std::mutex> g(m_lock);
    m_rs485 = {};
    m_rs485.flags = Flags;
    m_rs485.delay_rts_before_send = 2;
}

serial_rs485 TDriverProfile::Rs485() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_rs485;
}

int TDriverProfile::Rs485Writes() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_rs485Writes;
}

void TDriverProfile::AddCounts(int Frame, int Parity, int Overrun, int Break) {
    std::lock_guard<std::mutex> g(m_lock);
    m_icount.frame += Frame;
    m_icount.parity += Parity;
    m_icount.overrun += Overrun;
    m_icount.brk += Break;
}

void TDriverProfile::Unplug() {
    std::lock_guard<std::mutex> g(m_lock);
    m_gone = true;
    // usb_serial_disconnect: ENODEV in the short window before the hang-up.
    m_enodevPending = m_traits.ReadZeroAfterUnplug;
    m_linesChanged.Signal();
}

void TDriverProfile::Replug() {
    std::lock_guard<std::mutex> g(m_lock);
    m_gone = false;
    m_enodevPending = false;
    m_inputs = m_outputs = 0;
}

int TDriverProfile::Calls(unsigned long Request) {
    std::lock_guard<std::mutex> g(m_lock);
    return int(m_calls.count(Request));
}

int TDriverProfile::CallsOn(unsigned long Request, std::thread::id Thread) {
    std::lock_guard<std::mutex> g(m_lock);
    auto [from, to] = m_calls.equal_range(Request);
    return int(std::count_if(from, to, [&](const auto& C) { return C.second == Thread; }));
}

void TDriverProfile::FailIoctl(unsigned long Request, int Errno, int Times) {
    std::lock_guard<std::mutex> g(m_lock);
    m_fail[Request] = {Errno, Times};
}

void TDriverProfile::FailCall(TCall Call, int Errno, int Times) {
    std::lock_guard<std::mutex> g(m_lock);
    m_failCall[Call] = {Errno, Times};
}

template <class K> int TDriverProfile::Injected(std::map<K, std::pair<int, int>>& Faults, K Key) {
    auto f = Faults.find(Key);
    if (f == Faults.end() || f->second.second == 0)
        return 0;
    if (f->second.second > 0)
        --f->second.second;
    return f->second.first;
}

int TDriverProfile::Fault(TCall Call) {
    std::lock_guard<std::mutex> g(m_lock);
    return Injected(m_failCall, Call);
}

void TDriverProfile::ShortWriteThenFail(size_t Bytes, int Errno) {
    std::lock_guard<std::mutex> g(m_lock);
    m_shortWrite = Bytes;
    m_failAfterShort = Errno;
}

std::string TDriverProfile::Written() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_written;
}

TVaSysResult TDriverProfile::Open(const char* Path, int Flags) {
    if (int e = Fault(TCall::Open))
        return {-1, e};
    return m_kernel->Open(Path, Flags);
}

TVaSysResult TDriverProfile::Close(int Fd) {
    return m_kernel->Close(Fd);
}

TVaSysResult TDriverProfile::Read(int Fd, void* Buf, size_t Count) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int e = Injected(m_failCall, TCall::Read))
            return {-1, e};
        if (m_gone && m_traits.ReadZeroAfterUnplug)
            return {0, 0};
    }
    return m_kernel->Read(Fd, Buf, Count);
}

TVaSysResult TDriverProfile::Write(int Fd, const void* Data, size_t Count) {
    std::unique_lock<std::mutex> l(m_lock);
    if (int e = Injected(m_failCall, TCall::Write))
        return {-1, e};
    if (m_gone) {
        const int e = m_enodevPending ? ENODEV : EIO;
        m_enodevPending = false;
        return {-1, e};
    }
    if (m_failAfterShort && m_shortWrite == 0) {
        const int e = std::exchange(m_failAfterShort, 0);
        return {-1, e};
    }
    if (m_shortWrite)
        Count = std::min(Count, std::exchange(m_shortWrite, 0));
    if (m_traits.WriteChunk)
        Count = std::min(Count, m_traits.WriteChunk);
    l.unlock();
    TVaSysResult r = m_kernel->Write(Fd, Data, Count);
    if (r.Value > 0) {
        l.lock();
        m_written.append(static_cast<const char*>(Data), size_t(r.Value));
    }
    return r;
}

TVaSysResult TDriverProfile::Poll(pollfd* Fds, nfds_t Count, int TimeoutMs) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int e = Injected(m_failCall, TCall::Poll))
            return {-1, e};
        if (m_gone && Count > 0) {
            // A hung-up tty polls as readable, writable, in error and hung up at once.
            for (nfds_t i = 0; i < Count; ++i)
                Fds[i].revents = 0;
            Fds[0].revents = short(POLLIN | POLLOUT | POLLERR | POLLHUP) &
                             short(Fds[0].events | POLLERR | POLLHUP);
            return {1, 0};
        }
    }
    return m_kernel->Poll(Fds, Count, TimeoutMs);
}

TVaSysResult TDriverProfile::Flock(int Fd, int Operation) {
    if (int e = Fault(TCall::Flock))
        return {-1, e};
    return m_kernel->Flock(Fd, Operation);
}

TVaSysResult TDriverProfile::Ioctl(int Fd, unsigned long Request, void* Arg) {
    std::unique_lock<std::mutex> l(m_lock);
    m_calls.emplace(Request, std::this_thread::get_id());
    if (int e = Injected(m_fail, Request))
        return {-1, e};
    // usb_serial_disconnect and acm_disconnect hang the tty up: every ioctl fails with EIO.
    if (m_gone)
        return {-1, EIO};
    return ModelledIoctl(Fd, Request, Arg, l);
}

TVaSysResult TDriverProfile::ModelledIoctl(int Fd, unsigned long Request, void* Arg,
                                           std::unique_lock<std::mutex>& Lock) {
    const TVaSysResult notty{-1, ENOTTY};
    if (ModemRequest(Request) && !m_traits.ModemLines)
        return notty;
    switch (Request) {
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2: {
        termios2 asked = *static_cast<termios2*>(Arg);
        Lock.unlock();
        // The pty underneath carries the bytes: it gets the raw settings too.
        TVaSysResult r = m_kernel->Ioctl(Fd, Request, Arg);
        Lock.lock();
        if (r.Failed())
            return r;
        m_rate = RateMade(m_traits, asked.c_ospeed, m_rate);
        asked.c_ospeed = asked.c_ispeed = m_rate;
        m_line = asked;
        m_haveLine = true;
        return r;
    }
    case TCGETS2: {
        Lock.unlock();
        TVaSysResult r = m_kernel->Ioctl(Fd, Request, Arg);
        Lock.lock();
        if (r.Failed())
            return r;
        auto* t = static_cast<termios2*>(Arg);
        if (m_haveLine && m_traits.KeepsLineSettings)
            *t = m_line;
        else if (m_haveLine)
            t->c_ospeed = t->c_ispeed = m_rate;
        return r;
    }
    case TIOCMGET: {
        int bits = m_inputs | m_outputs | (m_traits.CtsAlwaysOn ? TIOCM_CTS : 0);
        Lock.unlock();
        Cost(m_traits.ModemGetUs);
        *static_cast<int*>(Arg) = bits;
        return {0, 0};
    }
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: {
        const int bits = *static_cast<int*>(Arg) & m_traits.OutputLines;
        if (Request == TIOCMBIS)
            m_outputs |= bits;
        else if (Request == TIOCMBIC)
            m_outputs &= ~bits;
        else
            m_outputs = bits;
        Lock.unlock();
        Cost(m_traits.ModemSetUs);
        return {0, 0};
    }
    case TIOCMIWAIT: {
        if (!m_traits.ModemWait)
            return notty;
        const int mask = int(reinterpret_cast<intptr_t>(Arg));
        const int before = m_inputs;
        for (;;) {
            m_linesChanged.Reset();
            if (m_gone || ((m_inputs ^ before) & mask))
                return {m_gone ? -1 : 0, m_gone ? EIO : 0};
            Lock.unlock();
            pollfd p{VaWaitObjectHandle(m_linesChanged), POLLIN, 0};
            const int r = ::poll(&p, 1, -1);
            const int e = errno;
            Lock.lock();
            // A signal ends the driver's wait (its handler installed without SA_RESTART).
            if (r < 0 && e == EINTR)
                return {-1, EINTR};
        }
    }
    case TIOCGICOUNT:
        if (!m_traits.Icount)
            return notty;
        *static_cast<serial_icounter_struct*>(Arg) = m_icount;
        return {0, 0};
    case TIOCGSERIAL:
        if (!m_traits.SerialInfo)
            return notty;
        *static_cast<serial_struct*>(Arg) = m_serial;
        return {0, 0};
    case TIOCSSERIAL:
        if (!m_traits.SerialInfo)
            return notty;
        m_serial = *static_cast<serial_struct*>(Arg);
        return {0, 0};
    case TIOCGRS485:
        if (!m_traits.Rs485 && !m_traits.Rs485ReadsZero)
            return notty;
        *static_cast<serial_rs485*>(Arg) = m_traits.Rs485 ? m_rs485 : serial_rs485{};
        return {0, 0};
    case TIOCSRS485:
        if (!m_traits.Rs485)
            return notty;
        m_rs485 = *static_cast<serial_rs485*>(Arg);
        ++m_rs485Writes;
        return {0, 0};
    default:
        Lock.unlock();
        return m_kernel->Ioctl(Fd, Request, Arg);
    }
}

std::shared_ptr<TVaPlatform> ProfilePlatform(std::shared_ptr<TDriverProfile> Profile) {
    return VaLinuxPlatform(std::move(Profile));
}
