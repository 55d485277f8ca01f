// The console under test with a pseudo-terminal as its device on COM 1, played by the test.
#pragma once

#include "FormFixture.h"

#include "Util.h"
#include "uThread.h"
#include <QCheckBox>
#include <QRadioButton>

#include <string>

// The device end of a pseudo-terminal; its waits keep the window's messages running.
class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;
    const std::string& SlavePath() const { return m_slave; }
    bool Write(const std::string& Data);
    // Reads until N bytes have come or the timeout passed; returns what came.
    std::string ReadExactly(size_t N, int TimeoutMs = 2000);
    // Everything that arrives within Ms.
    std::string ReadFor(int Ms);

private:
    int m_master = -1;
    std::string m_slave;
};

// A private configuration folder, so that the COM map is the test's own.
class TComMap {
public:
    TComMap();
    ~TComMap();
    void Map(int N, const std::string& Target) const;

private:
    std::string m_dir;
};

struct TConsoleFixture : TFormFixture {
    TComMap ComMap;
    TPtyDevice Device;
    TConsoleFixture() { ComMap.Map(1, Device.SlavePath()); }
    TBaseform& W() { return *Form; }
    // Opens COM 1 in the given mode by its radio button.
    void OpenDirect() { Form->RButDirect->setChecked(true); }
    void OpenPacket(bool Treat) {
        Form->ChBxTreat->setChecked(Treat);
        Form->RButPack->setChecked(true);
    }
    bool LogIs(const std::string& Text, int TimeoutMs = 2000) {
        return PumpUntil([&] { return Form->LogGetText() == Text; }, TimeoutMs);
    }
};

std::string Bytes(std::initializer_list<int> Values);
std::string Hex(const std::string& Data);
