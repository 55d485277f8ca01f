// The serial layer over Linux ttys: the ioctl work of the component is here; how its line
// settings map onto termios2 is in VaTermiosLinux.cpp.
#include "VaPlatformLinux.h"

#include "VaClasses.h"
#include "VaComMap.h"
#include "VaDeviceInfo.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

std::string VaErrorText(int Code) {
    return std::system_category().message(Code);
}

std::string VaResolveDeviceName(const std::string& Name, const std::string& ConfigDir) {
    std::string rest = Name;
    if (rest.rfind("\\\\.\\", 0) == 0)
        rest.erase(0, 4);
    bool com =
        rest.size() > 3 && std::toupper((unsigned char)rest[0]) == 'C' &&
        std::toupper((unsigned char)rest[1]) == 'O' &&
        std::toupper((unsigned char)rest[2]) == 'M' && rest.size() <= 13 &&
        std::all_of(rest.begin() + 3, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!com)
        return Name;
    long long n = std::stoll(rest.substr(3));
    if (n < 1)
        return {};
    std::string entry = VaComMapDir(ConfigDir) + "/COM" + std::to_string(n);
    struct stat st;
    if (::lstat(entry.c_str(), &st) == 0)
        return entry;
    // Linux names the first built-in ports ttyS0, ttyS1, ...
    return "/dev/ttyS" + std::to_string(n - 1);
}

TVaStatus VaStatusFromErrno(int E) {
    switch (E) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return {TVaErr::NotFound, E};
    case EBUSY:
    case EAGAIN:
        return {TVaErr::Busy, EBUSY};
    case EACCES:
    case EPERM:
        return {TVaErr::Access, E};
    case EIO:
        return {TVaErr::Gone, E};
    default:
        return {TVaErr::Other, E};
    }
}

bool VaDeviceGone(TVaSysOp Op, const TVaSysResult& R, short Revents) {
    if (Op == TVaSysOp::Poll)
        return (Revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (R.Failed())
        return R.Errno == EIO || R.Errno == ENODEV;
    return Op == TVaSysOp::Read && R.Value == 0;
}

size_t TVaInputDecoder::Decode(const char* In, size_t N, char* Out, const TConfig& C,
                               uint32_t& Events, uint32_t& Marks) {
    if (!C.Marks && !C.NullStrip) {
        if (N == 0)
            return 0;
        std::memcpy(Out, In, N);
        Events |= EV_RXCHAR;
        if (std::memchr(In, C.EvtChar, N))
            Events |= EV_RXFLAG;
        return N;
    }
    size_t out = 0;
    auto put = [&](char c) {
        if (C.NullStrip && c == 0)
            return;
        Out[out++] = c;
        Events |= EV_RXCHAR;
        if (c == C.EvtChar)
            Events |= EV_RXFLAG;
    };
    for (size_t i = 0; i < N; ++i) {
        char c = In[i];
        if (!C.Marks) {
            put(c);
            continue;
        }
        switch (m_state) {
        case 0:
            if (c == '\xff')
                m_state = 1;
            else
                put(c);
            break;
        case 1:
            if (c == 0) {
                m_state = 2;
            } else {
                // FF FF is one data byte FF; anything else after FF is not a mark.
                m_state = 0;
                put('\xff');
                if (c != '\xff')
                    put(c);
            }
            break;
        default:
            m_state = 0;
            if (c == 0) {
                Marks |= Break;
                Events |= EV_BREAK;
            } else {
                Marks |= BadByte;
                Events |= EV_ERR;
                put(C.ErrorCharOn ? C.ErrorChar : c);
            }
            break;
        }
    }
    return out;
}

namespace {

uint32_t MonotonicMs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

// How often the line sampler asks the driver for the modem lines while someone reads them or
// waits for their events: a change is reported within this time, and the console's panels
// follow a line within 50 ms. Each sample wakes the process, so it is not asked more often
// than that needs. Only a sample older than kModemStaleMs (the sampler had been asleep,
// nobody read the lines) is taken anew by the reader; a busy machine that delays the sampler
// a little does not send the reader to the driver.
constexpr uint32_t kModemSampleMs = 40;
// While nobody sees the lines (the window is minimised) a sample every quarter second is
// enough; the first look at them again takes one at once.
constexpr uint32_t kModemUnseenSampleMs = 250;
constexpr uint32_t kModemStaleMs = 500;
// How long after the last read of the lines the sampler keeps sampling them.
constexpr uint32_t kModemInterestMs = 1000;

// A call that a signal interrupted is made again. One that is interrupted again and again is
// given up (its EINTR is the caller's failure), so no thread is ever held in the loop.
constexpr int kInterruptedTries = 64;
template <class F> TVaSysResult Uninterrupted(F&& Call) {
    TVaSysResult r;
    for (int i = 0; i < kInterruptedTries; ++i) {
        r = Call();
        if (!r.Failed() || r.Errno != EINTR)
            break;
    }
    return r;
}

// The device's descriptor, closed through the calls that opened it.
class TDeviceFd {
public:
    TDeviceFd(std::shared_ptr<TVaSysCalls> Sys, int Fd) : m_sys(std::move(Sys)), m_fd(Fd) {}
    TDeviceFd(TDeviceFd&& O) noexcept : m_sys(O.m_sys), m_fd(std::exchange(O.m_fd, -1)) {}
    TDeviceFd& operator=(TDeviceFd&&) = delete;
    ~TDeviceFd() { Reset(); }
    int Get() const { return m_fd; }
    TVaSysCalls& Sys() const { return *m_sys; }
    // An ioctl, tried again when a signal interrupted it.
    TVaSysResult Ioctl(unsigned long Req, void* Arg) const {
        return Uninterrupted([&] { return m_sys->Ioctl(m_fd, Req, Arg); });
    }
    void Reset() {
        if (m_fd >= 0)
            m_sys->Close(std::exchange(m_fd, -1));
    }

private:
    std::shared_ptr<TVaSysCalls> m_sys;
    int m_fd;
};

bool Absent(int E) {
    return E == ENOTTY || E == EINVAL;
}

// A PC UART (16550) counts a ring only as it ends, so a ring that begins would wait unseen;
// an emulated one raises no line interrupt in loopback at all. Its lines are sampled.
bool LineWaitMissesChanges(const std::string& Driver) {
    return Driver == "serial" || Driver.find("8250") != std::string::npos;
}

// TIOCMIWAIT sleeps outside poll and closing the descriptor does not end it: only a change,
// a hang-up (EIO) or a signal does. The signal's handler does nothing and is installed
// without SA_RESTART, so the wait returns EINTR to its thread.
int LineWaitSignal() {
    static const int sig = [] {
        const int s = SIGRTMIN + 2;
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(s, &sa, nullptr);
        return s;
    }();
    return sig;
}

class TKernelCalls : public TVaSysCalls {
public:
    TVaSysResult Open(const char* Path, int Flags) override { return R(::open(Path, Flags)); }
    TVaSysResult Close(int Fd) override { return R(::close(Fd)); }
    TVaSysResult Read(int Fd, void* Buf, size_t Count) override {
        return R(::read(Fd, Buf, Count));
    }
    TVaSysResult Write(int Fd, const void* Data, size_t Count) override {
        return R(::write(Fd, Data, Count));
    }
    TVaSysResult Poll(pollfd* Fds, nfds_t Count, int TimeoutMs) override {
        return R(::poll(Fds, Count, TimeoutMs));
    }
    TVaSysResult Ioctl(int Fd, unsigned long Request, void* Arg) override {
        return R(::ioctl(Fd, Request, Arg));
    }
    TVaSysResult Flock(int Fd, int Operation) override { return R(::flock(Fd, Operation)); }

private:
    static TVaSysResult R(long Value) { return {Value, Value < 0 ? errno : 0}; }
};

class TLinuxPort : public TVaPort {
public:
    TLinuxPort(TDeviceFd Fd, bool HasLines, bool HasIcount, const serial_icounter_struct& Icount,
               std::string Driver = "")
        : m_dev(std::move(Fd)), m_hasLines(HasLines), m_hasIcount(HasIcount), m_icount(Icount),
          m_queue(4096), m_driver(std::move(Driver)) {
        m_config.Marks = false; // the open left no marking on
    }
    ~TLinuxPort() override { Close(); }

    TVaStatus SetLine(const TVaLineSettings& S) override;
    TVaStatus SetQueues(uint32_t InSize, uint32_t OutSize) override;
    TVaStatus SetTimeouts(const TVaTimeouts&) override {
        // Reads in this layer always return at once with what has arrived.
        TCall call(*this);
        return call.Status();
    }
    TVaStatus SetEventMask(uint32_t Mask) override {
        TCall call(*this);
        if (!call.Ok())
            return call.Status();
        m_mask.store(Mask);
        m_kick.Signal();
        if (Mask & kLineEvents)
            WatchLines();
        return {};
    }
    TVaStatus WaitEvent(uint32_t& Fired, const TVaWaitEvent& Wake) override;
    TVaStatus Read(char* Buf, uint32_t Count, uint32_t& Got) override;
    TVaStatus Write(const char* Data, uint32_t Count, uint32_t& Done, const TVaWaitEvent* Stop,
                    int TimeoutMs) override;
    TVaStatus ClearError(TVaComStat& Stat, bool WithOutQueue) override;
    TVaStatus Escape(int Code) override;
    TVaStatus ModemStatus(uint32_t& Bits) override;
    void SetLinesSeen(bool Seen) override;
    bool Gone() const override { return m_gone; }
    bool ReportsLineChanges() const override { return true; }
    void Close() override;

private:
    // Counts a call in flight; Close waits until none is left before it closes the device.
    class TCall {
    public:
        explicit TCall(TLinuxPort& P) : m_p(P) {
            std::lock_guard<std::mutex> g(m_p.m_callLock);
            m_ok = !m_p.m_closed;
            if (m_ok)
                ++m_p.m_inFlight;
        }
        ~TCall() {
            if (!m_ok)
                return;
            std::lock_guard<std::mutex> g(m_p.m_callLock);
            if (--m_p.m_inFlight == 0)
                m_p.m_callsDone.notify_all();
        }
        bool Ok() const { return m_ok; }
        TVaStatus Status() const { return m_ok ? TVaStatus{} : TVaStatus{TVaErr::Stopped, EBADF}; }

    private:
        TLinuxPort& m_p;
        bool m_ok;
    };

    // Reads what the device holds into the input queue (caller holds m_queueLock).
    // The event wait's own pump need not wake the event wait.
    TVaStatus PumpLocked(bool FromWaiter = false);
    void Latch(uint32_t Events, uint32_t Errors, bool FromWaiter);
    void MarkGone();
    void MarkGoneLocked();
    TVaStatus GoneStatus() const { return {TVaErr::Gone, EIO}; }
    // An ioctl on the device; a failure that says the device has gone marks it gone.
    TVaSysResult Ioctl(unsigned long Req, void* Arg);
    // The status for a failed call: gone, or the kind of its errno.
    TVaStatus Failure(const TVaSysResult& R) const {
        return m_gone ? GoneStatus() : VaStatusFromErrno(R.Errno);
    }
    TVaStatus SetRs485(bool On);
    // Asks the driver for the modem lines and keeps the answer as the latest sample; says
    // whether the query failed and whether it found news (a line, or the query's success,
    // changed since the sample before).
    enum class TSample { Failed, Same, Changed };
    TSample SampleModem();
    // The driver's count of input-line changes (TIOCGICOUNT), or 0 where it keeps none.
    uint64_t LineChangesCounted();
    // The line watcher: a thread of this port. Where the driver can wait for a line change it
    // sits in that wait while the lines are still, and samples them after a change until they
    // are still again; elsewhere it asks for the lines every kModemSampleMs (kModemUnseenSampleMs
    // while nobody sees them) while they are read or their events are waited for. On a USB
    // adapter each query is a round trip over the bus; this way neither the window's thread nor
    // the event wait (and so the answer to a request) ever waits for one.
    void WatchLines();
    void SampleLines();
    // Waits in the driver for a line change; Ended when the port closes or goes, Unable when
    // the driver cannot wait (sample instead).
    enum class TLineWait { Ended, Unable, Changed };
    TLineWait WaitLines();
    // Takes the watcher out of the driver's wait (caller holds m_callLock).
    void WakeLineWaiterLocked();
    static constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD | VA_EV_LINES;

    TDeviceFd m_dev;
    TVaEvent m_closing;  // signalled by Close: every wait of this port ends
    TVaEvent m_kick;     // signalled when another thread latched events
    TVaEvent m_interest; // signalled when someone starts reading the lines again
    std::thread m_sampler;
    bool m_samplerStarted = false; // under m_callLock
    bool m_lineWaiting = false;    // the watcher is in the driver's wait; under m_callLock
    std::mutex m_callLock;
    std::condition_variable m_callsDone;
    bool m_closed = false;
    int m_inFlight = 0;

    std::atomic<uint32_t> m_mask{0};
    std::atomic_bool m_gone{false};
    std::atomic_bool m_hasLines;
    std::atomic_bool m_txPending{false};
    std::atomic<uint32_t> m_modemAskedAt{0}; // when the lines were last read; 0 never
    std::atomic_bool m_linesSeen{true};      // someone can see the lines (the window is shown)
    std::atomic_bool m_linesWaited{false};   // every change wakes the watcher: samples are news
    const bool m_hasIcount;
    // RS-485 as this layer switched it on, and the settings it found before.
    bool m_rs485Ours = false;
    serial_rs485 m_rs485Before{};

    // Input queue and what was latched; guarded by m_queueLock.
    std::mutex m_queueLock;
    serial_icounter_struct m_icount;
    std::vector<char> m_queue;
    size_t m_head = 0, m_count = 0;
    std::vector<char> m_raw = std::vector<char>(65536);
    TVaInputDecoder m_decoder;
    TVaInputDecoder::TConfig m_config;
    bool m_parityOn = false;
    uint32_t m_latched = 0; // events not yet reported
    uint32_t m_errors = 0;  // CE_ flags since the last ClearError
    // The latest modem-line sample: TIOCM_ bits, or the errno of a failed query, and when;
    // guarded by m_modemLock.
    std::mutex m_modemLock;
    uint32_t m_modem = 0;
    int m_modemErrno = 0;
    uint32_t m_modemAt = 0;
    bool m_modemSampled = false;
    const std::string m_driver; // as sysfs names it, for the rates its chip cannot make
};

TVaSysResult TLinuxPort::Ioctl(unsigned long Req, void* Arg) {
    TVaSysResult r = m_dev.Ioctl(Req, Arg);
    if (VaDeviceGone(TVaSysOp::Ioctl, r))
        MarkGone();
    return r;
}

void TLinuxPort::MarkGone() {
    std::lock_guard<std::mutex> g(m_queueLock);
    MarkGoneLocked();
}

void TLinuxPort::MarkGoneLocked() {
    if (m_gone.exchange(true))
        return;
    m_errors |= CE_IOE;
    m_kick.Signal();
}

void TLinuxPort::Latch(uint32_t Events, uint32_t Errors, bool FromWaiter) {
    uint32_t before = m_latched;
    m_latched |= Events;
    m_errors |= Errors;
    if (m_latched != before && !FromWaiter)
        m_kick.Signal();
}

TVaStatus TLinuxPort::PumpLocked(bool FromWaiter) {
    if (m_gone)
        return GoneStatus();
    const size_t cap = m_queue.size();
    const bool wasBelow80 = m_count * 5 < cap * 4;
    while (m_count < cap) {
        size_t room = std::min(cap - m_count, m_raw.size());
        TVaSysResult r =
            Uninterrupted([&] { return m_dev.Sys().Read(m_dev.Get(), m_raw.data(), room); });
        if (VaDeviceGone(TVaSysOp::Read, r)) {
            MarkGoneLocked();
            return GoneStatus();
        }
        if (r.Failed()) {
            if (r.Errno == EAGAIN)
                break;
            return {TVaErr::Other, r.Errno};
        }
        // Decode into a contiguous stretch of the ring; a raw byte gives at most one data
        // byte, so the room read is the room needed.
        uint32_t events = 0, marks = 0;
        size_t done = 0;
        while (done < size_t(r.Value)) {
            size_t tail = (m_head + m_count) % cap;
            size_t stretch = std::min(cap - tail, size_t(r.Value) - done);
            // Decode a piece at most as long as the free stretch.
            m_count += m_decoder.Decode(m_raw.data() + done, stretch, m_queue.data() + tail,
                                        m_config, events, marks);
            done += stretch;
        }
        uint32_t errors = 0;
        if (marks & TVaInputDecoder::Break)
            errors |= CE_BREAK;
        if ((marks & TVaInputDecoder::BadByte) && !m_hasIcount)
            errors |= m_parityOn ? CE_RXPARITY : CE_FRAME;
        Latch(events, errors, FromWaiter);
        // A read that did not fill the room took all the driver had: asking again would only
        // be answered EAGAIN. What comes later wakes the event wait.
        if (size_t(r.Value) < room)
            break;
    }
    if (wasBelow80 && m_count * 5 >= cap * 4)
        Latch(EV_RX80FULL, 0, FromWaiter);
    return {};
}

TVaStatus TLinuxPort::SetRs485(bool On) {
    serial_rs485 rs{};
    if (On) {
        TVaSysResult g = Ioctl(TIOCGRS485, &rs);
        if (g.Failed())
            return m_gone ? GoneStatus()
                          : TVaStatus{TVaErr::Invalid, Absent(g.Errno) ? EINVAL : g.Errno};
        m_rs485Before = rs;
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~uint32_t(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs = m_rs485Before; // as the system had it before we asked for toggling
    }
    TVaSysResult r = Ioctl(TIOCSRS485, &rs);
    if (r.Failed())
        return m_gone ? GoneStatus()
                      : TVaStatus{TVaErr::Invalid, Absent(r.Errno) ? EINVAL : r.Errno};
    m_rs485Ours = On;
    return {};
}

TVaStatus TLinuxPort::SetLine(const TVaLineSettings& S) {
    TCall call(*this);
    if (!call.Ok())
        return call.Status();
    if (m_gone)
        return GoneStatus();
    TVaTermiosPlan plan;
    if (TVaStatus s = VaBuildTermios(S, plan, m_hasLines); !s.Ok())
        return s;
    if (!VaChipMakesRate(m_driver, S.BaudRate)) // a rate the driver would report as made
        return {TVaErr::Invalid, EINVAL};
    // RS-485 mode stays as the system configured it unless RTS toggling changes: writing
    // it with flags 0 would switch a board's RS-485 off until its driver is probed again.
    if (plan.RtsToggle != m_rs485Ours)
        if (TVaStatus s = SetRs485(plan.RtsToggle); !s.Ok())
            return s;
    if (TVaSysResult r = Ioctl(TCSETS2, &plan.T); r.Failed())
        return Failure(r);
    // Drivers put a rate they cannot make in place of the one asked for and still report
    // success; the read-back tells a substitution from the chip's own rounding.
    termios2 back{};
    if (TVaSysResult r = Ioctl(TCGETS2, &back); r.Failed())
        return Failure(r);
    if (!VaRateAccepted(S.BaudRate, back.c_ospeed))
        return {TVaErr::Invalid, EINVAL};
    // Under CRTSCTS or RS-485 the driver moves RTS itself; an RTS handshake without CTS flow
    // control is carried out as a raised RTS (see the mapping above).
    const bool kernelRts = S.RtsControl == 3 || (S.RtsControl == 2 && S.OutxCtsFlow);
    if (m_hasLines && !kernelRts) {
        int bit = TIOCM_RTS;
        TVaSysResult r = Ioctl(S.RtsControl ? TIOCMBIS : TIOCMBIC, &bit);
        if (r.Failed() && !Absent(r.Errno))
            return Failure(r);
    }
    if (m_hasLines) {
        int bit = TIOCM_DTR;
        TVaSysResult r = Ioctl(S.DtrControl ? TIOCMBIS : TIOCMBIC, &bit);
        if (r.Failed() && !Absent(r.Errno))
            return Failure(r);
    }
    std::lock_guard<std::mutex> g(m_queueLock);
    m_config.ErrorCharOn = S.ErrorCharOn;
    m_config.ErrorChar = S.ErrorChar;
    m_config.NullStrip = S.NullStrip;
    m_config.EvtChar = S.EvtChar;
    if (m_config.Marks != plan.Marks)
        m_decoder.Reset();
    m_config.Marks = plan.Marks;
    m_parityOn = S.Parity != 0;
    return {};
}

TVaStatus TLinuxPort::SetQueues(uint32_t InSize, uint32_t) {
    TCall call(*this);
    if (!call.Ok())
        return call.Status();
    // The input queue is this layer's own; the kernel's output queue has a fixed size.
    if (InSize == 0 || InSize > (64u << 20))
        return {TVaErr::Invalid, EINVAL};
    std::lock_guard<std::mutex> g(m_queueLock);
    std::vector<char> q(InSize);
    size_t keep = std::min<size_t>(m_count, InSize);
    for (size_t i = 0; i < keep; ++i)
        q[i] = m_queue[(m_head + i) % m_queue.size()];
    m_queue.swap(q);
    m_head = 0;
    m_count = keep;
    m_kick.Signal();
    return {};
}

TLinuxPort::TSample TLinuxPort::SampleModem() {
    int bits = 0;
    uint32_t changed = 0;
    TVaSysResult r = Ioctl(TIOCMGET, &bits);
    if (r.Failed() && Absent(r.Errno)) {
        m_hasLines = false; // a device without modem lines after all
        return TSample::Failed;
    }
    const uint32_t now = uint32_t(bits);
    uint32_t events = 0;
    {
        // The sample has a lock of its own: the input queue's is held while a flood is
        // read, and neither side waits for the other.
        std::lock_guard<std::mutex> g(m_modemLock);
        m_modemAt = MonotonicMs();
        // A query that starts or stops failing is news for whoever shows the lines.
        const int errnoBefore = m_modemErrno;
        m_modemErrno = r.Failed() ? r.Errno : 0;
        if ((errnoBefore != 0) != (m_modemErrno != 0))
            events |= VA_EV_LINES;
        if (!r.Failed()) {
            changed = m_modemSampled ? (now ^ m_modem) : 0;
            m_modem = now;
            m_modemSampled = true;
        }
    }
    if (changed & (TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI))
        events |= VA_EV_LINES;
    if (changed & TIOCM_CTS)
        events |= EV_CTS;
    if (changed & TIOCM_DSR)
        events |= EV_DSR;
    if (changed & TIOCM_CD)
        events |= EV_RLSD;
    if ((changed & TIOCM_RI) && !(now & TIOCM_RI))
        events |= EV_RING; // the end of a ring
    // Nearly every sample is unchanged and never touches the queue's lock.
    if (events & m_mask.load()) {
        std::lock_guard<std::mutex> g(m_queueLock);
        Latch(events & m_mask.load(), 0, false);
    }
    if (r.Failed())
        return TSample::Failed;
    return events ? TSample::Changed : TSample::Same;
}

uint64_t TLinuxPort::LineChangesCounted() {
    serial_icounter_struct c{};
    if (!m_hasIcount || Ioctl(TIOCGICOUNT, &c).Failed())
        return 0;
    return uint64_t(uint32_t(c.cts)) + uint32_t(c.dsr) + uint32_t(c.rng) + uint32_t(c.dcd);
}

void TLinuxPort::WatchLines() {
    if (!m_hasLines)
        return;
    std::lock_guard<std::mutex> g(m_callLock);
    if (m_samplerStarted || m_closed)
        return;
    m_samplerStarted = true;
    m_sampler = std::thread([this] { SampleLines(); });
}

void TLinuxPort::SampleLines() {
    bool canWait = !LineWaitMissesChanges(m_driver);
    for (;;) {
        TSample sample;
        {
            TCall call(*this);
            if (!call.Ok() || m_gone || !m_hasLines)
                return;
            // On a USB adapter the query is a transfer that reads the lines as they were when
            // it began: the driver's counters say whether one changed while it was on its way.
            const uint64_t counted = canWait ? LineChangesCounted() : 0;
            sample = SampleModem();
            if (canWait && sample == TSample::Same && LineChangesCounted() != counted)
                sample = TSample::Changed;
        }
        // The driver's wait counts changes from its own start: one between a sample and that
        // start goes unseen until the next. So after a change the lines are sampled until one
        // interval has passed without another, and only still lines are waited for. A query
        // that fails is asked again at the sampling pace too: its recovery is news.
        if (canWait && sample == TSample::Same) {
            const TLineWait w = WaitLines();
            if (w == TLineWait::Ended)
                return;
            canWait = w != TLineWait::Unable;
            if (w == TLineWait::Changed)
                continue;
        }
        const uint32_t asked = m_modemAskedAt.load();
        const bool wanted = (m_mask.load() & kLineEvents) ||
                            (asked != 0 && MonotonicMs() - asked < kModemInterestMs);
        const int every = int(m_linesSeen ? kModemSampleMs : kModemUnseenSampleMs);
        // Nobody reads the lines any more: sleep until someone does.
        pollfd p[2] = {{VaWaitObjectHandle(m_closing), POLLIN, 0},
                       {VaWaitObjectHandle(m_interest), POLLIN, 0}};
        int r = ::poll(p, 2, wanted ? every : -1);
        if (r > 0 && p[0].revents)
            return;
        if (p[1].revents)
            m_interest.Reset();
    }
}

TLinuxPort::TLineWait TLinuxPort::WaitLines() {
    LineWaitSignal(); // its handler is in place before the first wait
    TCall call(*this);
    if (!call.Ok() || m_gone || !m_hasLines)
        return TLineWait::Ended;
    {
        std::lock_guard<std::mutex> g(m_callLock);
        if (m_closed)
            return TLineWait::Ended;
        m_lineWaiting = true;
    }
    m_linesWaited = true;
    const TVaSysResult r =
        m_dev.Sys().Ioctl(m_dev.Get(), TIOCMIWAIT,
                          reinterpret_cast<void*>(TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI));
    m_linesWaited = false;
    {
        std::lock_guard<std::mutex> g(m_callLock);
        m_lineWaiting = false;
        if (m_closed)
            return TLineWait::Ended;
    }
    // EINTR without a close: another signal came by; the lines are sampled and waited for again.
    if (!r.Failed() || r.Errno == EINTR)
        return TLineWait::Changed;
    if (VaDeviceGone(TVaSysOp::Ioctl, r)) {
        MarkGone(); // the adapter was pulled out
        return TLineWait::Ended;
    }
    return TLineWait::Unable; // pty, cp210x: sample instead
}

void TLinuxPort::WakeLineWaiterLocked() {
    if (m_lineWaiting)
        ::pthread_kill(m_sampler.native_handle(), LineWaitSignal());
}

void TLinuxPort::SetLinesSeen(bool Seen) {
    if (m_linesSeen.exchange(Seen) == Seen || !Seen)
        return;
    // The last sample may be a quarter second old: the sampler takes one at once.
    m_interest.Signal();
}

TVaStatus TLinuxPort::WaitEvent(uint32_t& Fired, const TVaWaitEvent& Wake) {
    TCall call(*this);
    if (!call.Ok())
        return call.Status();
    Fired = 0;
    for (;;) {
        uint32_t mask = m_mask.load();
        bool full;
        {
            std::lock_guard<std::mutex> g(m_queueLock);
            if (!m_gone) {
                TVaStatus s = PumpLocked(true);
                if (!s.Ok() && s.Err != TVaErr::Gone)
                    return s;
            }
            if (m_gone)
                return GoneStatus();
            uint32_t ev = m_latched & mask;
            // Bytes that a reader has already taken are no news.
            if ((ev & EV_RXCHAR) && m_count == 0)
                ev &= ~uint32_t(EV_RXCHAR);
            m_latched &= ~(ev | EV_RXCHAR);
            if (ev) {
                Fired = ev;
                return {};
            }
            full = m_count == m_queue.size();
        }
        int timeout = -1;
        if ((mask & EV_TXEMPTY) && m_txPending)
            timeout = 1;
        // POLLHUP is reported even without POLLIN: a full queue does not hide a hang-up.
        pollfd p[4] = {{m_dev.Get(), short(full ? 0 : POLLIN), 0},
                       {VaWaitObjectHandle(Wake), POLLIN, 0},
                       {VaWaitObjectHandle(m_closing), POLLIN, 0},
                       {VaWaitObjectHandle(m_kick), POLLIN, 0}};
        TVaSysResult r = Uninterrupted([&] { return m_dev.Sys().Poll(p, 4, timeout); });
        if (r.Failed())
            return {TVaErr::Other, r.Errno};
        if (p[1].revents || p[2].revents)
            return {TVaErr::Stopped, 0};
        if (p[3].revents)
            m_kick.Reset();
        if (VaDeviceGone(TVaSysOp::Poll, r, p[0].revents)) {
            std::lock_guard<std::mutex> g(m_queueLock);
            PumpLocked(); // take what is still there
            MarkGoneLocked();
            return GoneStatus();
        }
        if ((mask & EV_TXEMPTY) && m_txPending) {
            int outq = 0;
            TVaSysResult q = Ioctl(TIOCOUTQ, &outq);
            if (q.Failed() && !Absent(q.Errno))
                continue;
            if (outq == 0) {
                m_txPending = false;
                std::lock_guard<std::mutex> g(m_queueLock);
                m_latched |= EV_TXEMPTY;
            }
        }
    }
}

TVaStatus TLinuxPort::Read(char* Buf, uint32_t Count, uint32_t& Got) {
    TCall call(*this);
    Got = 0;
    if (!call.Ok())
        return call.Status();
    std::lock_guard<std::mutex> g(m_queueLock);
    // A read of what a count query has just found waiting is served from the queue: asking
    // the driver again would only be answered EAGAIN.
    if (m_count < Count) {
        TVaStatus s = PumpLocked();
        if (!s.Ok() && s.Err != TVaErr::Gone)
            return s;
    }
    const size_t cap = m_queue.size();
    const bool wasFull = m_count == cap;
    size_t n = std::min<size_t>(Count, m_count);
    for (size_t done = 0; done < n;) {
        size_t stretch = std::min(n - done, cap - m_head);
        std::memcpy(Buf + done, m_queue.data() + m_head, stretch);
        m_head = (m_head + stretch) % cap;
        m_count -= stretch;
        done += stretch;
    }
    Got = uint32_t(n);
    if (n == 0 && m_gone)
        return GoneStatus();
    if (wasFull && n > 0)
        m_kick.Signal(); // the event wait may listen to the device again
    return {};
}

TVaStatus TLinuxPort::Write(const char* Data, uint32_t Count, uint32_t& Done,
                            const TVaWaitEvent* Stop, int TimeoutMs) {
    TCall call(*this);
    Done = 0;
    if (!call.Ok())
        return call.Status();
    if (m_gone)
        return GoneStatus();
    const uint32_t start = MonotonicMs();
    while (Done < Count) {
        // A driver may take fewer bytes than offered (its buffer is 4 KiB on a USB adapter).
        TVaSysResult r = Uninterrupted(
            [&] { return m_dev.Sys().Write(m_dev.Get(), Data + Done, Count - Done); });
        if (r.Value > 0) {
            Done += uint32_t(r.Value);
            m_txPending = true;
            continue;
        }
        if (VaDeviceGone(TVaSysOp::Write, r)) {
            MarkGone();
            return GoneStatus();
        }
        if (r.Failed() && r.Errno != EAGAIN)
            return {TVaErr::Other, r.Errno};
        int wait = -1;
        if (TimeoutMs >= 0) {
            uint32_t spent = MonotonicMs() - start;
            if (spent >= uint32_t(TimeoutMs))
                return {TVaErr::Timeout, ETIMEDOUT};
            wait = TimeoutMs - int(spent);
        }
        pollfd p[3] = {{m_dev.Get(), POLLOUT, 0},
                       {VaWaitObjectHandle(m_closing), POLLIN, 0},
                       {Stop ? VaWaitObjectHandle(*Stop) : -1, POLLIN, 0}};
        TVaSysResult pr = Uninterrupted([&] { return m_dev.Sys().Poll(p, 3, wait); });
        if (pr.Failed())
            return {TVaErr::Other, pr.Errno};
        if (p[1].revents || p[2].revents)
            return {TVaErr::Stopped, 0};
        if (VaDeviceGone(TVaSysOp::Poll, pr, p[0].revents)) {
            MarkGone();
            return GoneStatus();
        }
    }
    return {};
}

TVaStatus TLinuxPort::ClearError(TVaComStat& Stat, bool WithOutQueue) {
    TCall call(*this);
    Stat = {};
    if (!call.Ok())
        return call.Status();
    uint32_t icountErrors = 0;
    if (m_hasIcount && !m_gone) {
        serial_icounter_struct now{};
        if (!Ioctl(TIOCGICOUNT, &now).Failed()) {
            std::lock_guard<std::mutex> g(m_queueLock);
            // The counters belong to the port and never reset: report what they gained.
            if (uint32_t(now.frame - m_icount.frame))
                icountErrors |= CE_FRAME;
            if (uint32_t(now.overrun - m_icount.overrun))
                icountErrors |= CE_OVERRUN;
            if (uint32_t(now.parity - m_icount.parity))
                icountErrors |= CE_RXPARITY;
            if (uint32_t(now.brk - m_icount.brk))
                icountErrors |= CE_BREAK;
            if (uint32_t(now.buf_overrun - m_icount.buf_overrun))
                icountErrors |= CE_RXOVER;
            m_icount = now;
        }
    }
    std::lock_guard<std::mutex> g(m_queueLock);
    TVaStatus s = PumpLocked();
    if (s.Err == TVaErr::Gone) {
        // The loss is reported once as a line error, and what arrived before it can still
        // be read; after that every query fails.
        if (m_errors == 0 && m_count == 0)
            return s;
    } else if (!s.Ok()) {
        return s;
    }
    Stat.Errors = m_errors | icountErrors;
    m_errors = 0;
    Stat.InQue = uint32_t(m_count);
    int outq = 0;
    if (WithOutQueue && !m_gone && !m_dev.Ioctl(TIOCOUTQ, &outq).Failed())
        Stat.OutQue = uint32_t(outq);
    return {};
}

TVaStatus TLinuxPort::Escape(int Code) {
    TCall call(*this);
    if (!call.Ok())
        return call.Status();
    if (m_gone)
        return GoneStatus();
    int bit = 0;
    unsigned long req = 0;
    auto plain = [this](unsigned long Req, void* Arg) {
        TVaSysResult r = Ioctl(Req, Arg);
        return r.Failed() ? Failure(r) : TVaStatus{};
    };
    switch (Code) {
    case SETDTR:
    case CLRDTR:
        bit = TIOCM_DTR;
        req = Code == SETDTR ? TIOCMBIS : TIOCMBIC;
        break;
    case SETRTS:
    case CLRRTS:
        bit = TIOCM_RTS;
        req = Code == SETRTS ? TIOCMBIS : TIOCMBIC;
        break;
    case SETBREAK:
        return plain(TIOCSBRK, nullptr);
    case CLRBREAK:
        return plain(TIOCCBRK, nullptr);
    case SETXOFF:
    case SETXON:
        return plain(TCXONC, reinterpret_cast<void*>(Code == SETXOFF ? TCOOFF : TCOON));
    default:
        return {TVaErr::Invalid, EINVAL};
    }
    // A device without modem control lines (a pseudo-terminal) ignores DTR and RTS.
    if (!m_hasLines)
        return {};
    TVaSysResult r = Ioctl(req, &bit);
    if (r.Failed()) {
        if (Absent(r.Errno)) {
            m_hasLines = false;
            return {};
        }
        return Failure(r);
    }
    return {};
}

TVaStatus TLinuxPort::ModemStatus(uint32_t& Bits) {
    TCall call(*this);
    Bits = 0;
    if (!call.Ok())
        return call.Status();
    if (m_gone)
        return GoneStatus();
    if (!m_hasLines)
        return {};
    const uint32_t now = MonotonicMs();
    const uint32_t before = m_modemAskedAt.exchange(now ? now : 1);
    WatchLines();
    // A sampler that slept because nobody read the lines starts again.
    if (before == 0 || now - before >= kModemInterestMs)
        m_interest.Signal();
    bool fresh;
    {
        std::lock_guard<std::mutex> g(m_modemLock);
        // A watcher in the driver's wait samples at every change: its sample is never stale.
        fresh = m_modemSampled && (m_linesWaited || now - m_modemAt <= kModemStaleMs);
    }
    // The sampler keeps a recent sample; without one (it has just started, or the driver
    // was slow) the driver is asked here.
    if (!fresh)
        SampleModem();
    if (m_gone)
        return GoneStatus();
    if (!m_hasLines)
        return {};
    std::lock_guard<std::mutex> g(m_modemLock);
    if (m_modemErrno != 0)
        return VaStatusFromErrno(m_modemErrno);
    if (m_modem & TIOCM_CTS)
        Bits |= MS_CTS_ON;
    if (m_modem & TIOCM_DSR)
        Bits |= MS_DSR_ON;
    if (m_modem & TIOCM_RI)
        Bits |= MS_RING_ON;
    if (m_modem & TIOCM_CD)
        Bits |= MS_RLSD_ON;
    return {};
}

void TLinuxPort::Close() {
    {
        std::unique_lock<std::mutex> l(m_callLock);
        if (m_closed)
            return;
        m_closed = true;
        // Every wait of this port listens to m_closing: wake them, let them leave. The line
        // watcher in the driver's wait hears only a signal, and one that lands just before the
        // wait begins is spent: it is sent again until the watcher has left.
        m_closing.Signal();
        WakeLineWaiterLocked();
        while (!m_callsDone.wait_for(l, std::chrono::milliseconds(20),
                                     [this] { return m_inFlight == 0; }))
            WakeLineWaiterLocked();
    }
    // The sampler has seen m_closing and makes no more calls.
    if (m_sampler.joinable())
        m_sampler.join();
    // TIOCEXCL outlives our descriptor while anyone else holds the tty.
    m_dev.Ioctl(TIOCNXCL, nullptr);
    m_dev.Reset();
}

class TLinuxPlatform : public TVaPlatform {
public:
    explicit TLinuxPlatform(std::shared_ptr<TVaSysCalls> Sys) : m_sys(std::move(Sys)) {}
    TVaStatus Open(const std::string& Name, std::shared_ptr<TVaPort>& Port) override {
        std::string path = VaResolveDeviceName(Name, VaConfigDir());
        if (path.empty())
            return {TVaErr::NotFound, ENOENT};
        TVaSysResult o = Uninterrupted(
            [&] { return m_sys->Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
        if (o.Failed())
            return VaStatusFromErrno(o.Errno);
        TDeviceFd fd(m_sys, int(o.Value));
        // A registered port without a chip opens fine and then fails every call with EIO.
        termios2 t{};
        if (TVaSysResult r = fd.Ioctl(TCGETS2, &t); r.Failed())
            return r.Errno == EIO ? TVaStatus{TVaErr::NotFound, EIO} : VaStatusFromErrno(r.Errno);
        // flock stops every other opener, root included; TIOCEXCL stops other users'
        // plain opens of the tty.
        if (TVaSysResult r =
                Uninterrupted([&] { return m_sys->Flock(fd.Get(), LOCK_EX | LOCK_NB); });
            r.Failed())
            return r.Errno == EWOULDBLOCK ? TVaStatus{TVaErr::Busy, EBUSY}
                                          : VaStatusFromErrno(r.Errno);
        fd.Ioctl(TIOCEXCL, nullptr);
        // A device without modem lines (a pseudo-terminal) has no line to err on.
        int bits = 0;
        bool hasLines = !fd.Ioctl(TIOCMGET, &bits).Failed();
        // Raw at once, so nothing is echoed or translated before the settings are written;
        // what the line is (rate, size, parity, flow control) stays as the system left it
        // until the component writes its own.
        VaMakeRaw(t);
        if (TVaSysResult r = fd.Ioctl(TCSETS2, &t); r.Failed()) {
            fd.Ioctl(TIOCNXCL, nullptr);
            return VaStatusFromErrno(r.Errno);
        }
        fd.Ioctl(TCFLSH, reinterpret_cast<void*>(TCIFLUSH)); // bytes sent while nobody listened
        // A packet must be answered within about a millisecond: ask for low latency where
        // the driver has it. The rest of the record goes back unchanged (newer kernels refuse
        // a changed close_delay or closing_wait from an unprivileged user).
        serial_struct ss{};
        if (!fd.Ioctl(TIOCGSERIAL, &ss).Failed() && !(ss.flags & ASYNC_LOW_LATENCY)) {
            ss.flags |= ASYNC_LOW_LATENCY;
            fd.Ioctl(TIOCSSERIAL, &ss);
        }
        serial_icounter_struct ic{};
        bool hasIcount = !fd.Ioctl(TIOCGICOUNT, &ic).Failed();
        try {
            Port = std::make_shared<TLinuxPort>(std::move(fd), hasLines, hasIcount, ic,
                                                VaDriverOf(path));
        } catch (const std::system_error& e) {
            // No descriptor left for the port's own wait objects.
            return VaStatusFromErrno(e.code().value());
        }
        return {};
    }
    uint32_t TickCount() override { return MonotonicMs(); }

private:
    std::shared_ptr<TVaSysCalls> m_sys;
};

} // namespace

std::shared_ptr<TVaSysCalls> VaKernelCalls() {
    static auto calls = std::make_shared<TKernelCalls>();
    return calls;
}

std::shared_ptr<TVaPlatform> VaLinuxPlatform(std::shared_ptr<TVaSysCalls> Sys) {
    return std::make_shared<TLinuxPlatform>(std::move(Sys));
}

std::shared_ptr<TVaPlatform> VaDefaultPlatform() {
    static auto platform = VaLinuxPlatform(VaKernelCalls());
    return platform;
}
