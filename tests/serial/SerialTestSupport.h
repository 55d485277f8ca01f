// What the serial tests share: the application object for main-thread calls, waiting for
// a condition, a pseudo-terminal played as the device, and a private configuration folder.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

inline QCoreApplication& TestApp() {
    static int argc = 1;
    static char arg0[] = "serial_tests";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the main thread's messages until Done() or the timeout; true when Done() held.
// Sleeps in the event loop between looks, so the test itself takes no core.
template <class F> bool PumpUntil(F Done, int TimeoutMs = 2000) {
    TestApp();
    QTimer tick;
    tick.start(2);
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return Done();
}

// Runs the main thread's messages for a while.
inline void PumpFor(int Ms) {
    PumpUntil([] { return false; }, Ms);
}

// The device end of a pseudo-terminal: the component opens SlavePath(), the test reads
// and writes the non-blocking master. Closing the master is an unplug. Its waits keep
// the main thread's messages running, as the component's threads need them.
class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice() { Unplug(); }
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    const std::string& SlavePath() const { return m_slave; }
    int Master() const { return m_master; }

    // Writes every byte, waiting for room, within the timeout; true when all went.
    bool Write(const std::string& Data, int TimeoutMs = 2000);
    // Reads until N bytes have come or the timeout passed; returns what came.
    std::string ReadExactly(size_t N, int TimeoutMs = 2000);
    // Everything that arrives within Ms.
    std::string ReadFor(int Ms);
    void Unplug();

private:
    int m_master = -1;
    std::string m_slave;
};

// Points XDG_CONFIG_HOME at a fresh folder for the life of the object.
class TConfigHome {
public:
    TConfigHome() {
        char tmpl[] = "/tmp/serial-tests-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        ::setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    ~TConfigHome() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    const std::string& Dir() const { return m_dir; }
    // Maps COMn to Target in the COM map.
    void MapCom(int N, const std::string& Target) const {
        std::filesystem::create_directories(m_dir + "/tevro-console/com");
        std::filesystem::create_symlink(Target,
                                        m_dir + "/tevro-console/com/COM" + std::to_string(N));
    }

private:
    std::string m_dir;
};

inline std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += char(i);
    return s;
}
