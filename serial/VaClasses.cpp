#include "VaClasses.h"
#include "Exception.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

void TVaPersistent::InvalidAssignment(const char* Source, const char* Target) {
    throw Exception(std::string("Cannot assign a ") + Source + " to a " + Target);
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
        if (errno != EINTR) {
            m_lastError = errno;
            return wrError;
        }
    }
}

void TVaHandleObject::Signal() {
    // A manual-reset event is an eventfd whose counter stays above 0 until Reset reads it.
    uint64_t one = 1;
    while (::write(m_handle, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TVaHandleObject::Reset() {
    uint64_t v;
    while (::read(m_handle, &v, sizeof v) < 0 && errno == EINTR) {
    }
}

bool TVaHandleObject::IsSignaled() const {
    pollfd p{m_handle, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
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
        p[n++] = {o->Handle(), POLLIN, 0};
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
