// What the serial tests share: the application object for main-thread calls, waiting for
// a condition, the messages of errors, and (from the shared helpers) a pseudo-terminal played
// as the device and a private configuration folder.
#pragma once

#include "Application.h"
#include "ConfigHome.h"
#include "PtyDevice.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

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

inline std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += char(i);
    return s;
}
