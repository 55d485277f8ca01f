// The console under test with a pseudo-terminal as its device on COM 1, played by the test.
#pragma once

#include "ByteText.h"
#include "ConfigHome.h"
#include "FormFixture.h"
#include "ProcessCounts.h"
#include "PtyDevice.h"

#include "Util.h"
#include "uThread.h"
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>
#include <string>

struct TConsoleFixture : TFormFixture {
    TConfigHome ComMap;
    TPtyDevice Device;
    TConsoleFixture() { ComMap.MapCom(1, Device.SlavePath()); }
    TBaseform& W() { return *Form; }
    // The console's answerer: the capture ring, its indexes and the receive countdown.
    TAnswerer& Link() { return Form->Console->Answerer(); }
    // Opens COM 1 in the given mode by its radio button.
    void OpenDirect() { Form->RButDirect->setChecked(true); }
    void OpenPacket(bool Treat) {
        // The responder sets the countdown once as it starts: let that be over before bytes come.
        EXPECT_TRUE(PumpUntil([&] { return Form->Console->Responder()->Running.load(); }));
        Form->ChBxTreat->setChecked(Treat);
        Form->RButPack->setChecked(true);
    }
    // Descriptors held while COM 1 is open, once the threads of earlier ports have finished
    // (what they held goes when the next OPEN joins them): the same each time, or something
    // was left behind. ClosedThreads: the process's threads with no port open.
    int FdsWhileOpen(int ClosedThreads) {
        EXPECT_TRUE(PumpUntil([&] { return Threads() <= ClosedThreads; }))
            << "threads " << Threads();
        Form->BtnOpen->click();
        EXPECT_TRUE(Form->VaComm->IsOpen());
        const int fds = OpenDescriptors();
        Form->BtnClose->click();
        return fds;
    }
    bool LogIs(const std::string& Text, int TimeoutMs = 2000) {
        return PumpUntil([&] { return Form->LogGetText() == Text; }, TimeoutMs);
    }
};
