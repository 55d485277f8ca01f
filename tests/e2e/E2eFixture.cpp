#include "E2eFixture.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The locale's short date (numbers, or a month's name, in three parts), then maybe the time.
const char* StampPattern =
    R"([0-9A-Za-z]{1,9}([./ -])[0-9A-Za-z]{1,9}\1[0-9]{2,4}( [0-9]{1,2}:[0-9]{2}:[0-9]{2})?)";

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point Deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
} // namespace

// ---------------------------------------------------------------- pty device

TPtyDevice::TPtyDevice() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) || ::unlockpt(m_master))
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(m_master, name, sizeof name);
    m_slave = name;
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    termios t; // raw: the master's settings are the slave's until the console sets its own
    ::tcgetattr(m_master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
    // A master reports a hang-up only once its slave has been closed: open and close it once,
    // so that PeerOpen() tells whether the console holds it.
    const int slave = ::open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);
}

TPtyDevice::~TPtyDevice() {
    ::close(m_master);
}

bool TPtyDevice::PeerOpen() const {
    // With no one on the other end the master reports a hang-up.
    pollfd p{m_master, 0, 0};
    ::poll(&p, 1, 0);
    return !(p.revents & POLLHUP);
}

bool TPtyDevice::Write(const std::string& Data, int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    size_t done = 0;
    while (done < Data.size()) {
        const ssize_t n = ::write(m_master, Data.data() + done, Data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (Clock::now() >= deadline)
            return false;
        pollfd p{m_master, POLLOUT, 0};
        ::poll(&p, 1, std::min(MsLeft(deadline), 10));
    }
    return true;
}

std::string TPtyDevice::ReadExactly(size_t N, int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    std::string got;
    while (got.size() < N) {
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, std::min(sizeof buf, N - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (Clock::now() >= deadline)
            break;
        // A master without a peer polls as hung up at once: wait in slices instead.
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, std::min(MsLeft(deadline), 10)) > 0 && (p.revents & POLLHUP))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

std::string TPtyDevice::ReadFor(int Ms) {
    return ReadExactly(size_t(-1), Ms);
}

// ---------------------------------------------------------------- UDP peer

TUdpPeer::TUdpPeer() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    m_port = ntohs(a.sin_port);
}

TUdpPeer::~TUdpPeer() {
    ::close(m_fd);
}

void TUdpPeer::SendTo(int Port, const std::string& Data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // the only address the tests send to
    to.sin_port = htons(static_cast<uint16_t>(Port));
    ::sendto(m_fd, Data.data(), Data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// ---------------------------------------------------------------- fixture

void TConsoleTest::SetUp() {
    m_xvfb = std::make_unique<TXvfb>();
    m_config = std::make_unique<TConfigHome>();
    m_device = std::make_unique<TPtyDevice>();
    m_console = std::make_unique<TConsole>(TEVRO_CONSOLE_BIN);
}

void TConsoleTest::TearDown() {
    m_console.reset();
    m_device.reset();
    m_config.reset();
    m_xvfb.reset();
}

void TConsoleTest::OpenOnDevice(const std::string& ModeButton) {
    m_config->MapCom(1, m_device->Path());
    Console().Click(ModeButton);
    ASSERT_TRUE(WaitFor([this] { return m_device->PeerOpen() && PanelHasText(0); }, 5000))
        << "the console did not open COM1";
}
