// The console under test with a pseudo-terminal as its device on COM 1, played by the test.
#pragma once

#include "ByteText.h"
#include "ConfigHome.h"
#include "FormFixture.h"
#include "PtyDevice.h"

#include "Util.h"
#include "uThread.h"
#include <QCheckBox>
#include <QRadioButton>

#include <string>

struct TConsoleFixture : TFormFixture {
    TConfigHome ComMap;
    TPtyDevice Device;
    TConsoleFixture() { ComMap.MapCom(1, Device.SlavePath()); }
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
