#include "ConsoleSupport.h"

#include <QElapsedTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

TPtyDevice::TPtyDevice() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(m_master, name, sizeof name);
    m_slave = name;
    termios t{};
    ::tcgetattr(m_master, &t); // on the master this sets the device end: raw from the start
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
}

TPtyDevice::~TPtyDevice() {
    if (m_master >= 0)
        ::close(m_master);
}

bool TPtyDevice::Write(const std::string& Data) {
    size_t done = 0;
    QElapsedTimer t;
    t.start();
    while (done < Data.size() && t.elapsed() < 3000) {
        ssize_t n = ::write(m_master, Data.data() + done, Data.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            Pump(1);
    }
    return done == Data.size();
}

std::string TPtyDevice::ReadExactly(size_t N, int TimeoutMs) {
    std::string got;
    PumpUntil(
        [&] {
            char buf[4096];
            ssize_t n;
            while (got.size() < N &&
                   (n = ::read(m_master, buf, std::min(sizeof buf, N - got.size()))) > 0)
                got.append(buf, static_cast<size_t>(n));
            return got.size() >= N;
        },
        TimeoutMs);
    return got;
}

std::string TPtyDevice::ReadFor(int Ms) {
    std::string got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < Ms) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(m_master, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        Pump(2);
    }
    return got;
}

TComMap::TComMap() {
    char tmpl[] = "/tmp/console-tests-XXXXXX";
    m_dir = ::mkdtemp(tmpl);
    ::setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
}

TComMap::~TComMap() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void TComMap::Map(int N, const std::string& Target) const {
    const std::string dir = m_dir + "/tevro-console/com";
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(Target, dir + "/COM" + std::to_string(N));
}

std::string Bytes(std::initializer_list<int> Values) {
    std::string s;
    for (int v : Values)
        s += static_cast<char>(v);
    return s;
}

std::string Hex(const std::string& Data) {
    std::string s;
    char buf[4];
    for (unsigned char c : Data) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        s += buf;
    }
    return s;
}
