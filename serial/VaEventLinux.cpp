// The component's wait objects on Linux: a manual-reset event is an eventfd whose counter
// stays above 0 until Reset reads it, so the serial layer can poll one beside a device.
#include "VaClasses.h"
#include "VaPlatformLinux.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

int VaWaitObjectHandle(const TVaHandleObject& Object) {
    return Object.m_handle;
}

TVaHandleObject::~TVaHandleObject() {
    if (m_handle >= 0)
        ::close(m_handle);
}

TVaWaitResult TVaHandleObject::WaitFor(int TimeoutMs) {
    pollfd p{m_handle, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, TimeoutMs);
        if (r > 0)
            return wrSignaled;
        if (r == 0)
            return wrTimeout;
        if (errno != EINTR)
            return wrError;
    }
}

void TVaHandleObject::Signal() {
    uint64_t one = 1;
    while (::write(m_handle, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TVaHandleObject::Reset() {
    uint64_t v;
    while (::read(m_handle, &v, sizeof v) < 0 && errno == EINTR) {
    }
}

static int NewEventFd() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        throw std::system_error(errno, std::system_category(), "eventfd");
    return fd;
}

TVaEvent::TVaEvent() : TVaHandleObject(NewEventFd()) {}

int VaWaitForAny(std::initializer_list<const TVaHandleObject*> Objects, int TimeoutMs) {
    pollfd p[8];
    nfds_t n = 0;
    if (Objects.size() > 8)
        return -2;
    for (auto* o : Objects)
        p[n++] = {VaWaitObjectHandle(*o), POLLIN, 0};
    for (;;) {
        int r = ::poll(p, n, TimeoutMs);
        if (r == 0)
            return -1;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -2;
        }
        for (nfds_t i = 0; i < n; ++i)
            if (p[i].revents)
                return static_cast<int>(i);
    }
}
