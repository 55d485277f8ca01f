// The owner of one file descriptor, for the virtual-machine test helpers.
#pragma once

#include <unistd.h>

class TFd {
public:
    explicit TFd(int Fd = -1) : m_fd(Fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& O) noexcept : m_fd(O.m_fd) { O.m_fd = -1; }
    TFd& operator=(TFd&& O) noexcept {
        if (this != &O) {
            Reset();
            m_fd = O.m_fd;
            O.m_fd = -1;
        }
        return *this;
    }
    void Reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd;
};
