// What the end-to-end tests share: each test runs the real console on a virtual X display of
// its own, with a private COM map, and plays the device on a pseudo-terminal or runs the
// device simulator.
#pragma once

#include "Console.h"
#include "Layout.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

// The device end of a pseudo-terminal; the console opens the other end through the COM map.
class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    const std::string& Path() const { return m_slave; }
    // True while someone (the console) holds the other end open.
    bool PeerOpen() const;
    bool Write(const std::string& Data, int TimeoutMs = 2000);
    // Reads until N bytes came or the timeout passed; returns what came.
    std::string ReadExactly(size_t N, int TimeoutMs = 3000);
    // Everything that arrives within Ms.
    std::string ReadFor(int Ms);

private:
    int m_master = -1;
    std::string m_slave;
};

// A UDP socket on 127.0.0.1 that plays the device's side of the network link.
class TUdpPeer {
public:
    TUdpPeer();
    ~TUdpPeer();
    int Port() const { return m_port; }
    void SendTo(int Port, const std::string& Data);

private:
    int m_fd = -1;
    int m_port = 0;
};

class TConsoleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Maps COM1 to the test's device and opens it with "Direct Com" or "Packet Com"; returns
    // once the console has raised DTR (its open notification has run).
    void OpenOnDevice(const std::string& ModeButton);
    bool PanelHasText(int N) { return InkPixels(Console().GrabPanel(N)) > 0; }
    TConsole& Console() { return *m_console; }

    std::unique_ptr<TXvfb> m_xvfb;
    std::unique_ptr<TConfigHome> m_config;
    std::unique_ptr<TPtyDevice> m_device;
    std::unique_ptr<TConsole> m_console;
};

// The date-time stamp as a regular expression.
extern const char* StampPattern;
