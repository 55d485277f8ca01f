#include "Simulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
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

std::string ErrnoText(int e) {
    return std::system_category().message(e);
}

void Say(const char* Format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* Format, ...) {
    std::fprintf(stderr, "tevro-devsim: ");
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

std::string Hex(std::string_view Bytes) {
    std::string out;
    char buf[4];
    for (char c : Bytes) {
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ",
                      static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

double Ms(std::chrono::steady_clock::duration D) {
    return std::chrono::duration<double, std::milli>(D).count();
}

constexpr auto PeerCheckEvery = std::chrono::milliseconds(10);
constexpr auto ProbeEvery = std::chrono::milliseconds(200);
constexpr auto SettleQuiet = std::chrono::milliseconds(100);
constexpr auto DrainQuiet = std::chrono::milliseconds(50);
constexpr size_t FloodChunk = 64 * 1024;
constexpr unsigned ProblemReports = 20; // wrong or missing answers told on stderr one by one

} // namespace

void TFd::Reset(int Fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = Fd;
}

TSimulator::TSimulator(const TOptions& Options)
    : m_o(Options), m_rng(Options.Seed), m_modem(Options.AnswerEmptyLines) {}

TSimulator::~TSimulator() {
    if (g_signalWrite >= 0) {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
        ::close(g_signalWrite);
        g_signalWrite = -1;
    }
}

void TSimulator::Fail(const std::string& Reason, int Code) {
    if (m_failure.empty())
        m_failure = Reason;
    m_exit = std::max(m_exit, Code);
    Say("%s", Reason.c_str());
}

void TSimulator::Event(TJsonObject Object) {
    if (!m_o.Events)
        return;
    std::fputs((Object.Str() + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int TSimulator::Run() {
    m_t0 = TClock::now();
    m_deadline = m_t0 + std::chrono::duration_cast<TClock::duration>(
                            std::chrono::duration<double>(m_o.TimeLimit));
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
    return m_exit;
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
        ready.Add("com", m_o.Com).Add("entry", m_entry->Path()).Add("device", m_slavePath);
        Say("COM%d is %s (%s)", m_o.Com, m_slavePath.c_str(), m_entry->Path().c_str());
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
        m_plan = PlanRequests(m_o.Mix, m_rng);
        if (m_o.ProbeTimeout > 0) {
            m_ps = TPacketState::Probing;
            m_probeUntil = Now + std::chrono::duration_cast<TClock::duration>(
                                     std::chrono::duration<double>(m_o.ProbeTimeout));
            m_nextProbe = Now;
            m_probeAnswer = ExpectedAnswer(MakeFrame(TBytes{0x5A, 0x01}));
            Say("probing: waiting for the console to answer (Packet Com, Treat ticked)");
        } else {
            m_ps = TPacketState::Sending;
        }
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
    case TMode::FloodUdp:
        m_floodStart = Now;
        break;
    case TMode::Udp:
        break;
    }
}

void TSimulator::WorkDone(TTime Now) {
    if (!m_endAt)
        m_endAt = Now + std::chrono::duration_cast<TClock::duration>(
                            std::chrono::duration<double>(m_o.Linger));
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
            fds[n++] = {m_udp.Get(), static_cast<short>(POLLIN | (m_udpBlocked ? POLLOUT : 0)), 0};
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
                m_udpBlocked = false;
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

TSimulator::TTime TSimulator::NextWake(TTime Now) const {
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
    if (m_o.Mode == TMode::Packet || m_burst) {
        switch (m_ps) {
        case TPacketState::Probing:
            at(std::min(m_nextProbe, m_probeUntil));
            break;
        case TPacketState::Settling:
        case TPacketState::Gap:
        case TPacketState::Draining:
            at(m_until);
            break;
        case TPacketState::Awaiting:
            if (!m_reqInFlight)
                at(m_until);
            break;
        case TPacketState::Sending:
            at(Now);
            break;
        default:
            break;
        }
    }
    switch (m_o.Mode) {
    case TMode::FloodUdp:
        if (!m_floodDone && !m_udpBlocked) {
            if (m_o.Rate > 0)
                at(m_floodStart +
                   std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(
                       static_cast<double>(m_floodIndex) / m_o.Rate)));
            else
                at(Now);
        }
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
        if (!m_floodDone && Pending() < FloodChunk && m_generated < m_o.Bytes)
            at(Now);
        if (m_drainChecking)
            at(m_nextDrainCheck);
        break;
    default:
        break;
    }
    return wake;
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
    if (!open && (m_o.Mode == TMode::Packet || m_burst) &&
        (m_ps == TPacketState::Settling || m_ps == TPacketState::Sending ||
         m_ps == TPacketState::Awaiting || m_ps == TPacketState::Gap ||
         m_ps == TPacketState::Draining)) {
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
            m_txBytes += static_cast<uint64_t>(n);
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
        if (m_reqInFlight) {
            m_reqInFlight = false;
            m_sentAt = TClock::now();
            m_until = m_sentAt + std::chrono::milliseconds(m_check.ExpectsAnswer() ? m_o.TimeoutMs
                                                                                   : m_o.SilenceMs);
        }
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
    m_rxBytes += Data.size();
    if (m_rx.size() < m_o.RecordLimit)
        m_rx.append(Data.substr(0, m_o.RecordLimit - m_rx.size()));

    if (m_o.Mode == TMode::Packet || m_burst) {
        OnPacketBytes(Data, Now);
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

void TSimulator::OnPacketBytes(std::string_view Data, TTime Now) {
    switch (m_ps) {
    case TPacketState::Probing:
        m_probeRx += Data;
        if (m_probeRx.find(m_probeAnswer) != TBytes::npos) {
            m_probe = "ok";
            m_ps = TPacketState::Settling;
            m_until = Now + SettleQuiet;
            Event(TJsonObject().Add("event", "probe_answered"));
            Say("the console answers; measuring");
        } else if (m_probeRx.size() > 512) {
            m_probeRx.erase(0, m_probeRx.size() - 16);
        }
        break;
    case TPacketState::Settling:
        m_until = Now + SettleQuiet;
        break;
    case TPacketState::Awaiting: {
        if (m_reqInFlight) { // the request is not all out yet: nothing can answer it
            m_stray += Data.size();
            break;
        }
        const size_t took = m_check.Feed(Data);
        m_stray += Data.size() - took;
        if (m_check.Complete())
            FinishRequest(Now);
        break;
    }
    case TPacketState::Draining:
        m_late += Data.size();
        m_until = Now + DrainQuiet;
        break;
    default:
        m_stray += Data.size();
        break;
    }
}

void TSimulator::FinishRequest(TTime Now) {
    using V = TAnswerCheck::TVerdict;
    const V v = m_check.Verdict();
    const size_t number = m_next; // 1-based number of this request
    if (v == V::Ok && m_check.ExpectsAnswer()) {
        ++m_answered;
        m_rtt.Add(Ms(Now - m_sentAt));
    } else if (v == V::Missing) {
        if (++m_missing + m_wrong <= ProblemReports)
            Say("request %zu (%s) got no answer: sent %s", number, RequestKindName(m_req.Kind),
                Hex(m_req.Bytes).c_str());
    } else if (v == V::Wrong) {
        if (m_missing + ++m_wrong <= ProblemReports)
            Say("request %zu (%s) got a wrong answer: sent %s, expected %s, got %s", number,
                RequestKindName(m_req.Kind), Hex(m_req.Bytes).c_str(),
                m_req.Answer.empty() ? "nothing" : Hex(m_req.Answer).c_str(),
                Hex(m_check.Got()).c_str());
    }
    if (v == V::Ok) {
        m_ps = TPacketState::Gap;
        m_until = Now + std::chrono::milliseconds(m_o.GapMs);
    } else {
        // A late or broken answer may still be on its way: let it pass before the next one.
        m_ps = TPacketState::Draining;
        m_until = Now + DrainQuiet;
    }
}

void TSimulator::Tick(TTime Now) {
    while (!m_udpQueue.empty() && Now >= m_nextUdpSend) {
        SendDatagram(m_udpQueue.front());
        m_udpQueue.pop_front();
        m_nextUdpSend = Now + std::chrono::milliseconds(m_o.SendIntervalMs);
    }
    if (!m_started)
        return;
    if (m_burst)
        TickPacket(Now);
    switch (m_o.Mode) {
    case TMode::Text:
        if (m_o.RingEveryMs && Now >= m_nextRing) {
            if (m_peerOpen && !m_burst) {
                Queue(ModemLine(m_o.Unsolicited));
                ++m_unsolicited;
                FlushPty(Now);
            }
            m_nextRing = Now + std::chrono::milliseconds(m_o.RingEveryMs);
        }
        break;
    case TMode::Packet:
        TickPacket(Now);
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
        TickFlood(Now);
        if (m_drainChecking && Now >= m_nextDrainCheck)
            CheckDrained(Now);
        break;
    case TMode::FloodUdp:
        TickFloodUdp(Now);
        break;
    case TMode::Udp:
        break;
    }
}

void TSimulator::TickPacket(TTime Now) {
    for (int step = 0; step < 4; ++step) {
        const TPacketState before = m_ps;
        switch (m_ps) {
        case TPacketState::Probing:
            if (Now >= m_probeUntil) {
                m_probe = "failed";
                Fail("the console answered no probe request within " +
                         std::to_string(static_cast<int>(m_o.ProbeTimeout)) +
                         " s; is it in Packet Com with Treat ticked?",
                     1);
                m_quit = true;
                return;
            }
            if (Now >= m_nextProbe) {
                if (m_peerOpen) {
                    Queue(MakeFrame(TBytes{0x5A, 0x01}));
                    FlushPty(Now);
                }
                m_nextProbe = Now + ProbeEvery;
            }
            break;
        case TPacketState::Settling:
        case TPacketState::Gap:
        case TPacketState::Draining:
            if (Now >= m_until)
                m_ps = TPacketState::Sending;
            break;
        case TPacketState::Sending:
            if (m_next >= m_plan.size()) {
                m_ps = TPacketState::Done;
                if (m_burst)
                    EndBurst();
                else
                    WorkDone(Now);
                break;
            }
            m_req = MakeRequest(m_plan[m_next++], m_rng, m_o.ExtraMax);
            ++m_sentByKind[static_cast<int>(m_req.Kind)];
            m_check.Expect(m_req.Answer);
            if (m_check.ExpectsAnswer())
                ++m_expecting;
            else
                ++m_silentSent;
            Queue(m_req.Bytes);
            m_reqInFlight = true;
            m_ps = TPacketState::Awaiting;
            FlushPty(Now);
            break;
        case TPacketState::Awaiting:
            if (!m_reqInFlight && Now >= m_until)
                FinishRequest(Now);
            break;
        case TPacketState::Waiting:
        case TPacketState::Done:
            break;
        }
        if (m_ps == before)
            break;
    }
}

void TSimulator::TickFlood(TTime Now) {
    if (m_floodDone)
        return;
    while (Pending() < FloodChunk && m_generated < m_o.Bytes) {
        TBytes chunk;
        if (m_o.Mode == TMode::FloodText) {
            chunk.reserve(FloodChunk + FloodLineSize);
            while (chunk.size() < FloodChunk)
                AppendFloodTextLine(chunk, m_floodIndex++);
        } else {
            chunk.resize(FloodChunk);
            for (size_t k = 0; k + 4 <= chunk.size(); k += 4) {
                const uint32_t r = m_rng();
                std::memcpy(&chunk[k], &r, 4);
            }
        }
        const uint64_t room = m_o.Bytes - m_generated;
        if (chunk.size() > room)
            chunk.resize(static_cast<size_t>(room));
        m_generated += chunk.size();
        Queue(chunk);
    }
    if (m_peerOpen)
        FlushPty(Now);
    if (m_generated >= m_o.Bytes && !Pending()) {
        m_floodDone = true;
        m_floodEnd = TClock::now();
        Say("flood done: %llu bytes", static_cast<unsigned long long>(m_txBytes));
        m_drainChecking = true;
        m_nextDrainCheck = Now;
    }
}

void TSimulator::CheckDrained(TTime Now) {
    m_nextDrainCheck = Now + PeerCheckEvery;
    if (!m_drainFd.Valid()) {
        m_drainFd.Reset(::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!m_drainFd.Valid()) {
            // An exclusive open by the console keeps us out: the linger has to do.
            m_drainChecking = false;
            WorkDone(Now);
            return;
        }
    }
    int unread = 0;
    // Two empty looks in a row: bytes still on their way into the line discipline show up
    // between them.
    if (::ioctl(m_drainFd.Get(), FIONREAD, &unread) != 0 || (unread == 0 && ++m_drainEmpty >= 2)) {
        m_drainChecking = false;
        m_drainFd.Reset();
        WorkDone(Now);
    } else if (unread != 0) {
        m_drainEmpty = 0;
    }
}

void TSimulator::TickFloodUdp(TTime Now) {
    if (m_floodDone || m_udpBlocked)
        return;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(m_o.ConsolePort));
    uint64_t due = m_o.Count;
    if (m_o.Rate > 0)
        due = std::min<uint64_t>(
            m_o.Count, static_cast<uint64_t>(Ms(Now - m_floodStart) / 1000.0 * m_o.Rate) + 1);
    for (unsigned burst = 0; m_floodIndex < due && burst < 512; ++burst) {
        const size_t size = m_o.MinSize + m_rng() % (m_o.MaxSize - m_o.MinSize + 1);
        const TBytes d = FloodDatagram(m_floodIndex, size);
        const ssize_t n = ::sendto(m_udp.Get(), d.data(), d.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n < 0 && (errno == EAGAIN || errno == ENOBUFS)) {
            m_udpBlocked = true;
            return;
        }
        if (n < 0) {
            if (++m_sendErrors == 1)
                Say("sending a datagram failed: %s", ErrnoText(errno).c_str());
        } else {
            ++m_udpSent;
            m_txBytes += d.size();
        }
        ++m_floodIndex;
    }
    if (m_floodIndex >= m_o.Count) {
        m_floodDone = true;
        m_floodEnd = TClock::now();
        WorkDone(Now);
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
        ++m_sendErrors;
        Say("sending a datagram to 127.0.0.1:%d failed: %s", m_o.ConsolePort,
            ErrnoText(errno).c_str());
        return;
    }
    ++m_udpSent;
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
        ++m_udpReceived;
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
        StartBurst(Cmd.Count);
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

void TSimulator::StartBurst(unsigned Count) {
    if (m_o.Mode != TMode::Text) {
        Say("burst works in text mode only");
        return;
    }
    if (m_burst) {
        Say("a burst is running already");
        return;
    }
    if (!m_peerOpen) {
        Say("no burst: the console has not opened COM%d", m_o.Com);
        return;
    }
    m_burst = true;
    ++m_bursts;
    m_burstBase = {m_expecting, m_answered, m_missing, m_wrong};
    m_plan = PlanRequests(TRequestMix{Count, 0, 0, 0, 0}, m_rng);
    m_next = 0;
    m_ps = TPacketState::Sending;
    Say("burst of %u requests", Count);
}

void TSimulator::EndBurst() {
    m_burst = false;
    const unsigned requests = m_expecting - m_burstBase[0], answered = m_answered - m_burstBase[1],
                   missing = m_missing - m_burstBase[2], wrong = m_wrong - m_burstBase[3];
    Event(TJsonObject()
              .Add("event", "burst_done")
              .Add("requests", requests)
              .Add("answered", answered)
              .Add("missing", missing)
              .Add("wrong", wrong));
    Say("burst done: %u of %u answered, %u missing, %u wrong", answered, requests, missing, wrong);
}

std::string TSimulator::Summary() {
    TJsonObject s;
    s.Add("mode", ModeName(m_o.Mode)).Add("summary", true);
    const double seconds = Ms(TClock::now() - m_t0) / 1000.0;
    bool complete = true;

    switch (m_o.Mode) {
    case TMode::Text:
        s.Add("lines", m_lineCount)
            .Add("ok_answers", m_modem.OkCount())
            .Add("error_answers", m_modem.ErrorCount())
            .Add("ignored_lines", m_modem.IgnoredCount())
            .Add("unsolicited", m_unsolicited);
        if (!m_bursts)
            break;
        s.Add("bursts", m_bursts);
        [[fallthrough]];
    case TMode::Packet: {
        complete = m_ps == TPacketState::Done;
        if (m_missing || m_wrong || m_stray)
            Fail(std::to_string(m_missing) + " answers missing, " + std::to_string(m_wrong) +
                     " wrong, " + std::to_string(m_stray) + " bytes when none were due",
                 1);
        s.Add("requests", m_expecting)
            .Add("answered", m_answered)
            .Add("missing", m_missing)
            .Add("wrong", m_wrong)
            .Add("no_answer_requests", m_silentSent)
            .Add("stray_bytes", static_cast<unsigned long long>(m_stray))
            .Add("late_bytes", static_cast<unsigned long long>(m_late));
        for (TRequestKind k : {TRequestKind::Kind1, TRequestKind::Kind2, TRequestKind::Kind3,
                               TRequestKind::Empty, TRequestKind::Damaged, TRequestKind::Garbage})
            s.Add(RequestKindName(k), m_sentByKind[static_cast<int>(k)]);
        if (m_rtt.Count()) {
            s.Add("rtt_median_ms", m_rtt.Median())
                .Add("rtt_p99_ms", m_rtt.Percentile(99))
                .Add("rtt_max_ms", m_rtt.Max());
        } else {
            s.AddNull("rtt_median_ms").AddNull("rtt_p99_ms").AddNull("rtt_max_ms");
        }
        s.Add("probe", m_probe);
        break;
    }
    case TMode::FloodText:
    case TMode::FloodBytes: {
        complete = m_floodDone;
        const TTime end = m_floodDone ? m_floodEnd : TClock::now();
        const double secs = m_started ? Ms(end - m_floodStart) / 1000.0 : 0;
        s.Add("bytes_target", static_cast<unsigned long long>(m_o.Bytes))
            .Add("bytes_sent", static_cast<unsigned long long>(m_txBytes))
            .Add("flood_seconds", secs)
            .Add("mb_per_s", secs > 0 ? static_cast<double>(m_txBytes) / 1e6 / secs : 0.0);
        break;
    }
    case TMode::FloodUdp: {
        complete = m_floodDone;
        const TTime end = m_floodDone ? m_floodEnd : TClock::now();
        const double secs = m_started ? Ms(end - m_floodStart) / 1000.0 : 0;
        s.Add("count_target", static_cast<unsigned long long>(m_o.Count))
            .Add("bytes_sent", static_cast<unsigned long long>(m_txBytes))
            .Add("flood_seconds", secs)
            .Add("per_second", secs > 0 ? static_cast<double>(m_udpSent) / secs : 0.0, 1);
        break;
    }
    case TMode::Udp:
        break;
    }
    if (!complete)
        Fail("work left undone", 1);
    s.Add("complete", complete);

    if (m_o.UsesPty()) {
        if (m_master.Valid())
            s.Add("com", m_o.Com).Add("device", m_slavePath);
        else
            s.Add("com", m_o.Com).AddNull("device");
        s.Add("rx_bytes", static_cast<unsigned long long>(m_rxBytes))
            .Add("tx_bytes", static_cast<unsigned long long>(m_txBytes))
            .Add("rx", m_rx)
            .Add("rx_truncated", m_rxBytes > m_rx.size());
    }
    if (m_o.UsesUdp()) {
        std::string list = "[";
        for (size_t k = 0; k < m_datagrams.size(); ++k)
            list += (k ? "," : "") + m_datagrams[k];
        list += "]";
        s.Add("listen_port", m_listenPort)
            .Add("udp_sent", static_cast<unsigned long long>(m_udpSent))
            .Add("udp_received", static_cast<unsigned long long>(m_udpReceived))
            .Add("send_errors", static_cast<unsigned long long>(m_sendErrors))
            .AddRaw("datagrams", list);
    }
    s.Add("seconds", seconds)
        .Add("interrupted", m_interrupted)
        .Add("time_limit_hit", m_timeLimitHit)
        .Add("ok", m_exit == 0)
        .Add("exit", m_exit);
    if (!m_failure.empty())
        s.Add("error", m_failure);
    return s.Str();
}

} // namespace devsim
