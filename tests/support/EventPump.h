// Waiting in tests for what the main thread's messages bring: the application object of tests
// without a window, and pumps that sleep in the event loop between looks (a 1 ms timer wakes
// it), so a waiting test takes no core.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

// The application object: the one that exists, else a console one made on first use.
QCoreApplication& TestApp();

// Processes messages until Done() or the timeout; true when Done() held.
template <class F> bool PumpUntil(F Done, int TimeoutMs = 3000) {
    TestApp();
    QTimer tick;
    tick.start(1);
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return Done();
}

// Processes messages for Ms milliseconds.
inline void Pump(int Ms) {
    PumpUntil([] { return false; }, Ms);
}
inline void PumpFor(int Ms) {
    Pump(Ms);
}
