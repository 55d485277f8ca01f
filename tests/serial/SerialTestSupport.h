// What the serial tests share: the application object for main-thread calls, waiting for
// a condition, the messages of errors, and (from the shared helpers) a pseudo-terminal played
// as the device and a private configuration folder.
#pragma once

#include "Application.h"
#include "ConfigHome.h"
#include "EventPump.h"
#include "ProcessCounts.h"
#include "PtyDevice.h"
#include "VaComm.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The component on COM 1 at 115200, watching errors, received bytes, an empty output queue
// and the event character; what arrives is added to Received.
inline void UseCom1(TVaComm& Comm, std::string& Received) {
    Comm.SetClosePauseForTesting(0);
    Comm.SetPortNum(1);
    Comm.SetDeviceName("\\\\.\\COM%d");
    Comm.SetUserBaudrate(115200);
    Comm.SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});
    Comm.OnRxChar = [&Received](TVaCustomComm* S, int) { Received += S->ReadText(); };
}

// The message of the serial error that Fn raises.
inline std::string MessageOf(const std::function<void()>& Fn) {
    try {
        Fn();
    } catch (const EVaCommError& E) {
        return E.what();
    }
    return "(nothing raised)";
}

// Every message that reaches the application's error handler, in order.
inline void RecordApplicationErrors(std::vector<std::string>& Into) {
    SetApplicationExceptionHandler([&Into](std::exception_ptr E) {
        try {
            std::rethrow_exception(E);
        } catch (const std::exception& X) {
            Into.push_back(X.what());
        }
    });
}

// The rates of the console's list, in its order.
inline constexpr int kConsoleRates[] = {110,    300,    600,    1200,   2400,  4800,  9600,
                                        14400,  19200,  28800,  38400,  56000, 57600, 115200,
                                        128000, 256000, 230400, 460800, 921600};

inline std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += char(i);
    return s;
}
