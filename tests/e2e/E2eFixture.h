// What the end-to-end tests share: each test runs the real console on a virtual X display of
// its own, with a private COM map, and plays the device on a pseudo-terminal or runs the
// device simulator.
#pragma once

#include "Console.h"
#include "Layout.h"
#include "PtyDevice.h"
#include "UdpPeer.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

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
