#include "SerialTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

TPtyDevice::TPtyDevice() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) || ::unlockpt(m_master))
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(m_master, name, sizeof name);
    m_slave = name;
    // A blocking read on the master would hang a test whose component misbehaves.
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw on both ends: the master's settings are the slave's.
    termios t;
    ::tcgetattr(m_master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
}

bool TPtyDevice::Write(const std::string& Data, int TimeoutMs) {
    size_t done = 0;
    QElapsedTimer t;
    t.start();
    while (done < Data.size() && t.elapsed() < TimeoutMs) {
        ssize_t r = ::write(m_master, Data.data() + done, Data.size() - done);
        if (r > 0) {
            done += size_t(r);
            continue;
        }
        QCoreApplication::processEvents();
        pollfd p{m_master, POLLOUT, 0};
        ::poll(&p, 1, 1);
    }
    return done == Data.size();
}

std::string TPtyDevice::ReadExactly(size_t N, int TimeoutMs) {
    std::string got;
    QElapsedTimer t;
    t.start();
    char buf[65536];
    while (got.size() < N && t.elapsed() < TimeoutMs) {
        ssize_t r = ::read(m_master, buf, std::min(sizeof buf, N - got.size()));
        if (r > 0) {
            got.append(buf, size_t(r));
            continue;
        }
        QCoreApplication::processEvents();
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    return got;
}

std::string TPtyDevice::ReadFor(int Ms) {
    std::string got;
    QElapsedTimer t;
    t.start();
    char buf[4096];
    while (t.elapsed() < Ms) {
        ssize_t r = ::read(m_master, buf, sizeof buf);
        if (r > 0) {
            got.append(buf, size_t(r));
        } else {
            QCoreApplication::processEvents();
            pollfd p{m_master, POLLIN, 0};
            ::poll(&p, 1, 1);
        }
    }
    return got;
}

void TPtyDevice::Unplug() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer, so the tool cannot see how a queued call travels
// (Qt's event-queue lock and the reference count of the posted functor). What the
// main-thread call hands over through Qt (its functor and its shared state, made by the
// worker and used by the main thread) therefore looks unsynchronised. Only reports with
// the posting worker inside that call are dropped; the serial code's own are kept.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QMetaObject::invokeMethodImpl\n"
           "race:Synchronize(std::function\n";
}
#endif
