#include "Simulator.h"

#include "Summary.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {

int g_signalWrite = -1;

void OnSignal(int) {
    const int saved = errno;
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalWrite, &b, 1);
    errno = saved;
}

} // namespace

TSimulator::TSimulator(const TOptions& Options)
    : m_o(Options), m_rng(Options.Seed), m_modem(Options.AnswerEmptyLines),
      m_packet(m_o, m_rng, *this), m_flood(m_o, m_rng, *this, m_traffic),
      m_download(m_o, *this) {}

TSimulator::~TSimulator() {
    if (g_signalWrite >= 0) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
        ::close(g_signalWrite);
        g_signalWrite = -1;
    }
}

void TSimulator::Event(TJsonObject Object) {
    if (!m_o.Events)
        return;
    std::fputs((Object.Str() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int TSimulator::Run() {
    m_t0 = TClock::now();
    m_deadline = m_t0 + Seconds(m_o.TimeLimit);
    std::string error;
    if (SetUp(error)) {
        Loop();
    } else {
        Fail(error, 2);
    }
    // The entry goes before the summary, so whoever reads the summary finds it gone.
    m_entry.reset();
    const std::string summary = Summary();
    std::fputs((summary + "\n").c_str(), stdout);
    std::fflush(stdout);
    return m_status.Exit;
}

bool TSimulator::SetUp(std::string& Error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Error = "cannot make the signal pipe: " + ErrnoText(errno);
        return false;
    }
    m_sigRead.Reset(pipeFds[0]);
    g_signalWrite = pipeFds[1];
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    // A write to a gone reader must not kill us, and a read of the terminal from a background
    // job must fail (EIO) instead of stopping the process.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTTIN, SIG_IGN);

    if (m_o.UsesPty() && !OpenPty(Error))
        return false;
    if (m_o.UsesUdp() && !OpenUdp(Error))
        return false;
    m_stdinOpen = m_o.ReadStdin;

    TJsonObject ready;
    ready.Add("event", "ready");
    if (m_master.Valid()) {
        if (m_entry) {
            ready.Add("com", m_o.Com).Add("entry", m_entry->Path()).Add("device", m_slavePath);
            Say("COM%d is %s (%s)", m_o.Com, m_slavePath.c_str(), m_entry->Path().c_str());
        } else {
            ready.Add("device", m_slavePath);
            Say("playing the device on %s", m_slavePath.c_str());
        }
    }
    if (m_udp.Valid()) {
        ready.Add("listen_port", m_listenPort);
        Say("listening on 127.0.0.1:%d", m_listenPort);
    }
    Event(ready);

    for (const TBytes& d : m_o.Datagrams)
        m_udpQueue.push_back(d);
    m_nextUdpSend = m_t0 + std::chrono::milliseconds(m_o.SendDelayMs);
    m_nextPeerCheck = m_t0;
    if (m_o.Start == TStart::Now)
        BeginWork(m_t0);
    else if (m_o.Start == TStart::Open)
        Say("waiting for the console to open COM%d", m_o.Com);
    else
        Say("waiting for \"start\" on standard input");
    return true;
}

bool TSimulator::OpenPty(std::string& Error) {
    if (!m_o.Device.empty())
        return OpenDevice(Error);
    TFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        Error = "cannot make a pseudo-terminal: " + ErrnoText(errno);
        return false;
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        Error = "cannot name the pseudo-terminal: " + ErrnoText(errno);
        return false;
    }
    const int flags = ::fcntl(master.Get(), F_GETFL);
    // A blocking master would hang the loop on a full line.
    if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        Error = "cannot make the pseudo-terminal non-blocking: " + ErrnoText(errno);
        return false;
    }
    // termios set through the master apply to the slave: raw from the start, so the console
    // sees every byte as sent whatever it sets itself.
    termios t;
    if (::tcgetattr(master.Get(), &t) != 0) {
        Error = "cannot read the pseudo-terminal's settings: " + ErrnoText(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(master.Get(), TCSANOW, &t) != 0) {
        Error = "cannot set the pseudo-terminal raw: " + ErrnoText(errno);
        return false;
    }
    // Once the slave has been opened and closed, the master reports POLLHUP exactly while no
    // one holds the slave open: that is how the console's open and close are seen.
    {
        TFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        if (!slave.Valid()) {
            Error = std::string("cannot open ") + name + ": " + ErrnoText(errno);
            return false;
        }
    }
    m_entry = TComEntry::Publish(m_o.Com, name, Error);
    if (!m_entry)
        return false;
    m_master = std::move(master);
    m_slavePath = name;
    return true;
}

// A terminal whose other end is held elsewhere (an emulator's pseudo-terminal, behind which
// the console sits on a driver): raw, non-blocking, and open from the start, since the other
// end's opens and closes cannot be seen from here.
bool TSimulator::OpenDevice(std::string& Error) {
    TFd fd(::open(m_o.Device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) {
        Error = "cannot open " + m_o.Device + ": " + ErrnoText(errno);
        return false;
    }
    termios t;
    if (::tcgetattr(fd.Get(), &t) != 0) {
        Error = m_o.Device + " is not a terminal: " + ErrnoText(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(fd.Get(), TCSANOW, &t) != 0) {
        Error = "cannot set " + m_o.Device + " raw: " + ErrnoText(errno);
        return false;
    }
    ::tcflush(fd.Get(), TCIOFLUSH);
    m_master = std::move(fd);
    m_slavePath = m_o.Device;
    m_peerOpen = true;
    return true;
}

bool TSimulator::OpenUdp(std::string& Error) {
    TFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.Valid()) {
        Error = "cannot make a UDP socket: " + ErrnoText(errno);
        return false;
    }
    const int size = 4 << 20;
    ::setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(s.Get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(m_o.ListenPort));
    if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Error = "cannot listen on 127.0.0.1:" + std::to_string(m_o.ListenPort) + ": " +
                ErrnoText(errno);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    m_listenPort = ntohs(a.sin_port);
    m_udp = std::move(s);
    return true;
}

void TSimulator::BeginWork(TTime Now) {
    if (m_started)
        return;
    m_started = true;
    Event(TJsonObject().Add("event", "start"));
    switch (m_o.Mode) {
    case TMode::Text:
        m_nextRing = Now + std::chrono::milliseconds(m_o.RingEveryMs);
        break;
    case TMode::Packet:
        m_packet.Begin(Now);
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
    case TMode::FloodUdp:
        m_flood.Begin(Now);
        break;
    case TMode::Udp:
        break;
    case TMode::Download:
        m_download.Begin(Now);
        break;
    }
}

void TSimulator::WorkDone(TTime Now) {
    if (!m_endAt)
        m_endAt = Now + Seconds(m_o.Linger);
}

void TSimulator::Loop() {
    while (!m_quit) {
        TTime now = TClock::now();
        if (now >= m_deadline) {
            m_timeLimitHit = true;
            Say("time limit of %g s reached", m_o.TimeLimit);
            break;
        }
        if (m_endAt && now >= *m_endAt)
            break;
        Tick(now);
        if (m_quit)
            break;

        pollfd fds[4];
        nfds_t n = 0;
        fds[n++] = {m_sigRead.Get(), POLLIN, 0};
        const int iStdin = m_stdinOpen ? static_cast<int>(n) : -1;
        if (m_stdinOpen)
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        const int iUdp = m_udp.Valid() ? static_cast<int>(n) : -1;
        if (m_udp.Valid())
            fds[n++] = {m_udp.Get(),
                        static_cast<short>(POLLIN | (m_flood.UdpBlocked() ? POLLOUT : 0)), 0};
        // While no one holds the slave, the master reports POLLHUP at once on every poll:
        // it is then looked at on a timer instead of waited on.
        const int iPty = m_master.Valid() && m_peerOpen ? static_cast<int>(n) : -1;
        if (iPty >= 0)
            fds[n++] = {m_master.Get(), static_cast<short>(POLLIN | (Pending() ? POLLOUT : 0)), 0};

        now = TClock::now();
        auto wait =
            std::clamp(NextWake(now) - now, TClock::duration::zero(),
                       std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(1)));
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        if (::ppoll(fds, n, &ts, nullptr) < 0 && errno != EINTR) {
            Fail(std::string("poll failed: ") + ErrnoText(errno), 2);
            break;
        }
        now = TClock::now();
        if (fds[0].revents) {
            char buf[16];
            while (::read(m_sigRead.Get(), buf, sizeof buf) > 0) {
            }
            m_interrupted = true;
            Say("interrupted; ending");
            break;
        }
        if (iPty >= 0) {
            const short re = fds[iPty].revents;
            if (re & POLLIN)
                ReadPty(now);
            if (re & (POLLHUP | POLLERR | POLLNVAL))
                CheckPeer(now);
            if (m_peerOpen && Pending() && (re & POLLOUT))
                FlushPty(TClock::now());
        }
        if (iUdp >= 0 && fds[iUdp].revents) {
            if (fds[iUdp].revents & POLLOUT)
                m_flood.UdpWritable();
            if (fds[iUdp].revents & POLLIN)
                ReadUdp();
        }
        if (iStdin >= 0 && fds[iStdin].revents)
            ReadStdin();
        now = TClock::now();
        if (m_master.Valid() && !m_peerOpen && now >= m_nextPeerCheck) {
            CheckPeer(now);
            if (!m_peerOpen && Pending())
                FlushPty(now); // a closed slave still takes bytes for its next opener
        }
    }
}

TTime TSimulator::NextWake(TTime Now) const {
    TTime wake = m_deadline;
    auto at = [&](TTime t) { wake = std::min(wake, t); };
    if (m_endAt)
        at(*m_endAt);
    if (m_master.Valid() && !m_peerOpen)
        at(m_nextPeerCheck);
    if (!m_udpQueue.empty())
        at(m_nextUdpSend);
    if (!m_started)
        return wake;
    if (m_o.Mode == TMode::Text && m_o.RingEveryMs)
        at(m_nextRing);
    if (m_packet.Active())
        wake = m_packet.NextWake(Now, wake);
    wake = m_download.NextWake(wake);
    return m_flood.NextWake(Now, wake);
}

void TSimulator::CheckPeer(TTime Now) {
    m_nextPeerCheck = Now + PeerCheckEvery;
    pollfd p = {m_master.Get(), 0, 0};
    ::poll(&p, 1, 0);
    const bool open = !(p.revents & POLLHUP);
    if (open == m_peerOpen)
        return;
    m_peerOpen = open;
    Event(TJsonObject().Add("event", open ? "open" : "close"));
    Say("the console %s COM%d", open ? "opened" : "closed", m_o.Com);
    if (open && !m_started && m_o.Start == TStart::Open)
        BeginWork(Now);
    if (!open && m_download.Active()) {
        Fail("the console closed the port during the download", 1);
        m_quit = true;
    }
    if (!open && m_packet.Running()) {
        Fail("the console closed the port during the run", 1);
        m_quit = true;
    }
}

void TSimulator::Queue(std::string_view Bytes) {
    if (m_outPos == m_out.size()) {
        m_out.clear();
        m_outPos = 0;
    }
    m_out += Bytes;
}

void TSimulator::FlushPty(TTime Now) {
    while (Pending()) {
        const ssize_t n = ::write(m_master.Get(), m_out.data() + m_outPos, Pending());
        if (n > 0) {
            m_outPos += static_cast<size_t>(n);
            m_traffic.TxBytes += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EIO)
            Fail(std::string("write to the pty failed: ") + ErrnoText(errno), 2);
        break;
    }
    if (!Pending()) {
        m_out.clear();
        m_outPos = 0;
        m_packet.OnAllWritten();
    } else if (m_outPos > FloodChunk) {
        m_out.erase(0, m_outPos);
        m_outPos = 0;
    }
    (void)Now;
}

void TSimulator::ReadPty(TTime) {
    char buf[65536];
    for (int k = 0; k < 16; ++k) {
        const ssize_t n = ::read(m_master.Get(), buf, sizeof buf);
        const TTime at = TClock::now();
        if (n > 0) {
            OnSerialBytes(std::string_view(buf, static_cast<size_t>(n)), at);
            if (static_cast<size_t>(n) < sizeof buf)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EIO)
            CheckPeer(at); // no slave any more
        break;
    }
}

void TSimulator::OnSerialBytes(std::string_view Data, TTime Now) {
    m_traffic.RxBytes += Data.size();
    if (m_rx.size() < m_o.RecordLimit)
        m_rx.append(Data.substr(0, m_o.RecordLimit - m_rx.size()));

    if (m_packet.Active()) {
        m_packet.OnBytes(Data, Now);
        return;
    }
    if (m_download.Active()) {
        m_download.OnBytes(Data, Now);
        return;
    }
    if (m_o.Mode == TMode::Text) {
        m_lines.clear();
        const TBytes answers = m_modem.Feed(Data, m_lines);
        for (const TModem::TLine& line : m_lines) {
            ++m_lineCount;
            Event(TJsonObject()
                      .Add("event", "line")
                      .Add("text", line.Text)
                      .Add("answer", line.Answer));
            Say("line %s -> %s", JsonString(line.Text).c_str(),
                line.Answer.empty() ? "(no answer)" : line.Answer.c_str());
        }
        if (!answers.empty()) {
            Queue(answers);
            FlushPty(Now);
        }
    }
    // floods only count what comes back
}

void TSimulator::Tick(TTime Now) {
    while (!m_udpQueue.empty() && Now >= m_nextUdpSend) {
        SendDatagram(m_udpQueue.front());
        m_udpQueue.pop_front();
        m_nextUdpSend = Now + std::chrono::milliseconds(m_o.SendIntervalMs);
    }
    if (!m_started)
        return;
    if (m_packet.Burst())
        m_packet.Tick(Now);
    switch (m_o.Mode) {
    case TMode::Text:
        if (m_o.RingEveryMs && Now >= m_nextRing) {
            if (m_peerOpen && !m_packet.Burst()) {
                Queue(ModemLine(m_o.Unsolicited));
                ++m_unsolicited;
                FlushPty(Now);
            }
            m_nextRing = Now + std::chrono::milliseconds(m_o.RingEveryMs);
        }
        break;
    case TMode::Packet:
        m_packet.Tick(Now);
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
        m_flood.TickPty(Now, m_slavePath);
        break;
    case TMode::FloodUdp:
        m_flood.TickUdp(Now, m_udp.Get());
        break;
    case TMode::Udp:
        break;
    case TMode::Download:
        m_download.Tick(Now);
        break;
    }
}

void TSimulator::SendDatagram(const TBytes& Data) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // the only target there is
    to.sin_port = htons(static_cast<uint16_t>(m_o.ConsolePort));
    const ssize_t n = ::sendto(m_udp.Get(), Data.data(), Data.size(), 0,
                               reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n < 0) {
        ++m_traffic.SendErrors;
        Say("sending a datagram to 127.0.0.1:%d failed: %s", m_o.ConsolePort,
            ErrnoText(errno).c_str());
        return;
    }
    ++m_traffic.UdpSent;
    Event(TJsonObject()
              .Add("event", "sent")
              .Add("to", "127.0.0.1:" + std::to_string(m_o.ConsolePort))
              .Add("data", Data));
    Say("sent to 127.0.0.1:%d: %s", m_o.ConsolePort, JsonString(Data).c_str());
}

void TSimulator::ReadUdp() {
    static char buf[65536];
    for (int k = 0; k < 64; ++k) {
        sockaddr_in from = {};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(m_udp.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            break;
        ++m_traffic.UdpReceived;
        if (m_o.Mode == TMode::FloodUdp)
            continue;
        char addr[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
        const std::string sender = std::string(addr) + ":" + std::to_string(ntohs(from.sin_port));
        const std::string_view data(buf, static_cast<size_t>(n));
        TJsonObject d;
        d.Add("from", sender).Add("data", data);
        if (m_datagrams.size() < m_o.DatagramLimit)
            m_datagrams.push_back(d.Str());
        Event(TJsonObject().Add("event", "datagram").Add("from", sender).Add("data", data));
        Say("datagram from %s, %zd bytes: %s", sender.c_str(), n, JsonString(data).c_str());
    }
}

void TSimulator::ReadStdin() {
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        m_stdinOpen = false; // end of input (or a background job's terminal): stop looking
        return;
    }
    m_stdinBuf.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = m_stdinBuf.find('\n')) != TBytes::npos) {
        const TBytes line = m_stdinBuf.substr(0, nl);
        m_stdinBuf.erase(0, nl + 1);
        Command(ParseCommand(line));
        if (m_quit)
            return;
    }
    if (m_stdinBuf.size() > 65536) {
        Say("a command line longer than 64 KB was dropped");
        m_stdinBuf.clear();
    }
}

void TSimulator::Command(const TCommand& Cmd) {
    using K = TCommand::TKind;
    switch (Cmd.Kind) {
    case K::None:
        return;
    case K::Quit:
        m_quit = true;
        return;
    case K::Start:
        BeginWork(TClock::now());
        return;
    case K::Line:
    case K::Send:
        if (m_o.Mode != TMode::Text) {
            Say("ring, line, send and hex work in text mode only");
            return;
        }
        Queue(Cmd.Kind == K::Line ? ModemLine(Cmd.Bytes) : Cmd.Bytes);
        if (Cmd.Kind == K::Line)
            ++m_unsolicited;
        FlushPty(TClock::now());
        return;
    case K::Burst:
        m_packet.StartBurst(Cmd.Count);
        return;
    case K::Udp:
        if (m_o.ConsolePort < 0 || !m_udp.Valid()) {
            Say("no --console-port given: nowhere to send the datagram");
            return;
        }
        SendDatagram(Cmd.Bytes);
        return;
    case K::Bad:
        Say("%s", Cmd.Error.c_str());
        return;
    }
}

std::string TSimulator::Summary() {
    TRunFacts facts;
    facts.T0 = m_t0;
    facts.Started = m_started;
    facts.Interrupted = m_interrupted;
    facts.TimeLimitHit = m_timeLimitHit;
    facts.Lines = m_lineCount;
    facts.Unsolicited = m_unsolicited;
    if (m_master.Valid())
        facts.Device = m_slavePath;
    facts.Rx = &m_rx;
    facts.ListenPort = m_listenPort;
    facts.Datagrams = &m_datagrams;
    facts.Download = &m_download;
    return TSummary(m_o, m_status, m_traffic, m_modem, m_packet, m_flood).Make(facts);
}

} // namespace devsim
