#include "TransferRig.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

TChild::TChild(const std::vector<std::string>& Argv, const std::string& Dir,
               const std::string& Tty) {
    m_pid = ::fork();
    if (m_pid != 0)
        return;
    // Only async-signal-safe calls from here to exec.
    if (::chdir(Dir.c_str()) != 0)
        ::_exit(126);
    // ::setsid();
    const int in = Tty.empty() ? ::open("/dev/null", O_RDONLY) : ::open(Tty.c_str(), O_RDWR);
    const int out = Tty.empty() ? ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600) : in;
    const int err = ::open("stderr.txt", O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0 || err < 0)
        ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : Argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

TChild::~TChild() {
    if (m_pid > 0 && !Poll()) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::optional<int> TChild::Poll() {
    int status = 0;
    if (!m_status && m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid)
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

TPty::TPty() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (m_master < 0 || ::grantpt(m_master) || ::unlockpt(m_master) ||
        ::ptsname_r(m_master, name, sizeof name))
        throw std::runtime_error("no pseudo-terminal");
    m_slave = name;
    termios t;
    ::tcgetattr(m_master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
    // Held from the start: a master whose slave nobody holds polls as hung up at once, and a
    // loop waiting on it would spin before the program opens the line and after it left.
    m_slaveFd = ::open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
}

TPty::~TPty() {
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    ::close(m_master);
}

TPtyBridge::TPtyBridge(int A, int B) : m_a(A), m_b(B), m_thread([this] { Loop(); }) {}

TPtyBridge::~TPtyBridge() {
    m_stop = true;
    m_thread.join();
}

std::string TPtyBridge::TailFromA() const {
    std::lock_guard lock(m_mutex);
    return m_tail;
}

void TPtyBridge::Loop() {
    std::string toB, toA;
    char buf[8192];
    auto move = [&](int From, int To, std::string& Pending, bool FromA) {
        if (Pending.empty()) {
            const ssize_t n = ::read(From, buf, sizeof buf);
            if (n <= 0)
                return;
            Pending.assign(buf, static_cast<size_t>(n));
            if (FromA) {
                m_fromA += static_cast<uint64_t>(n);
                std::lock_guard lock(m_mutex);
                m_tail += Pending;
                if (m_tail.size() > 64)
                    m_tail.erase(0, m_tail.size() - 64);
            }
        }
        const ssize_t w = ::write(To, Pending.data(), Pending.size());
        Pending.erase(0, w > 0 ? static_cast<size_t>(w) : 0);
    };
    while (!m_stop) {
        // Reads only from a side whose last bytes went on; the wait is short, to see the stop.
        pollfd p[2] = {{m_a, static_cast<short>(toB.empty() ? POLLIN : 0), 0},
                       {m_b, static_cast<short>(toA.empty() ? POLLIN : 0), 0}};
        if (!toB.empty())
            p[1].events |= POLLOUT;
        if (!toA.empty())
            p[0].events |= POLLOUT;
        ::poll(p, 2, 10);
        // A master whose slave nobody holds polls as hung up at once: no spinning on it.
        if ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR))
            ::usleep(10000);
        move(m_a, m_b, toB, true);
        move(m_b, m_a, toA, false);
    }
}

int64_t TTransferRig::NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

TTransferLink TTransferRig::Link() {
    return {[this](const std::string& b) {
                m_out += b;
                return true;
            },
            [this] { return m_out.size(); }, &NowUs};
}

void TTransferRig::Relay(int From, int To, double DropRate, double DamageRate, uint32_t Seed) {
    m_ends[0] = From;
    m_ends[1] = To;
    m_drop = DropRate;
    m_damage = DamageRate;
    m_rng.seed(Seed);
}

void TTransferRig::Copy(int From, int To, bool Faults) {
    char buf[65536];
    const ssize_t n = ::read(From, buf, sizeof buf);
    if (n <= 0)
        return;
    std::string data(buf, static_cast<size_t>(n));
    if (Faults && (m_drop > 0 || m_damage > 0)) {
        std::uniform_real_distribution<double> u(0, 1);
        std::string kept;
        for (char c : data) {
            const double r = u(m_rng);
            if (r < m_drop)
                continue;
            if (r < m_drop + m_damage) {
                c = static_cast<char>(c ^ (1 + m_rng() % 255));
                ++m_damaged;
            }
            kept.push_back(c);
        }
        data.swap(kept);
    }
    // A pty master takes a few KB at least; the sender waits for answers, so this drains.
    for (size_t at = 0; at < data.size();) {
        const ssize_t w = ::write(To, data.data() + at, data.size() - at);
        if (w > 0) {
            at += static_cast<size_t>(w);
        } else {
            pollfd p{To, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return;
        }
    }
}

bool TTransferRig::Step(TFileTransfer* T, int TimeoutUs) {
    pollfd p[3];
    nfds_t n = 0;
    p[n++] = {m_port, static_cast<short>(POLLIN | (m_out.empty() ? 0 : POLLOUT)), 0};
    if (m_ends[0] >= 0) {
        p[n++] = {m_ends[0], POLLIN, 0};
        p[n++] = {m_ends[1], POLLIN, 0};
    }
    // The transfer's Tick is due this often, so a reply held for a fraction of a millisecond
    // leaves on time.
    const timespec tick{0, TimeoutUs * 1000L};
    if (::ppoll(p, n, &tick, nullptr) < 0)
        return false;
    if (!m_out.empty() && (p[0].revents & POLLOUT)) {
        const ssize_t w = ::write(m_port, m_out.data(), m_out.size());
        if (w > 0)
            m_out.erase(0, static_cast<size_t>(w));
    }
    if (p[0].revents & POLLIN) {
        char buf[4096];
        const ssize_t r = ::read(m_port, buf, sizeof buf);
        if (r > 0 && T)
            T->Feed(std::string_view(buf, static_cast<size_t>(r)));
    }
    if (m_ends[0] >= 0) {
        if (p[1].revents & POLLIN)
            Copy(m_ends[0], m_ends[1], true);
        if (p[2].revents & POLLIN)
            Copy(m_ends[1], m_ends[0], false);
    }
    if (T)
        T->Tick();
    return true;
}

bool TTransferRig::Run(TFileTransfer& T, int TimeoutMs) {
    if (!T.Running())
        T.Start();
    for (int64_t end = NowMs() + TimeoutMs; T.Running();)
        if (NowMs() > end || !Step(&T))
            return false;
    // What the sender queued last (an ACK'd end needs nothing more, but a cancel does).
    for (int64_t end = NowMs() + 1000; !m_out.empty() && NowMs() < end;)
        Step(nullptr);
    return true;
}

std::string SeededBytes(size_t Size, uint32_t Seed) {
    std::mt19937 rng(Seed);
    std::string s(Size, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}
