// Owns one file descriptor: closes it when dropped or replaced. Header-only, so the test tools
// use it without the rest of this folder.
#pragma once

#include <unistd.h>

class TFd {
public:
    explicit TFd(int Fd = -1) : m_fd(Fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& Other) noexcept : m_fd(Other.m_fd) { Other.m_fd = -1; }
    TFd& operator=(TFd&& Other) noexcept {
        if (this != &Other) {
            Reset();
            m_fd = Other.m_fd;
            Other.m_fd = -1;
        }
        return *this;
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset(int Fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = Fd;
    }

private:
    int m_fd;
};
