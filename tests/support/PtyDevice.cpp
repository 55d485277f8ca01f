#include "PtyDevice.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

bool OnToolkitMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
} // namespace

TPtyDevice::TPtyDevice() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) || ::unlockpt(m_master))
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(m_master, name, sizeof name);
    m_slave = name;
    // A blocking read on the master would hang a test whose console misbehaves.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw on both ends: the master's settings are the slave's until the console sets its own.
    termios t;
    ::tcgetattr(m_master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
    // A master reports a hang-up only once its slave has been closed: open and close it once,
    // so that PeerOpen() tells whether the console holds it.
    const int slave = ::open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);
}

void TPtyDevice::Unplug() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool TPtyDevice::PeerOpen() const {
    pollfd p{m_master, 0, 0};
    ::poll(&p, 1, 0);
    return !(p.revents & POLLHUP);
}

void TPtyDevice::Idle(short Events, int Ms) const {
    if (OnToolkitMainThread())
        QCoreApplication::processEvents();
    pollfd p{m_master, Events, 0};
    // A master without a peer polls as hung up at once: then sleep instead.
    if (::poll(&p, 1, Ms) > 0 && (p.revents & POLLHUP))
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
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
        Idle(POLLOUT, 1);
    }
    return true;
}

std::string TPtyDevice::ReadExactly(size_t N, int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    std::string got;
    while (got.size() < N) {
        char buf[65536];
        const ssize_t n = ::read(m_master, buf, std::min(sizeof buf, N - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (Clock::now() >= deadline)
            break;
        Idle(POLLIN, 1);
    }
    return got;
}
