// Waiting in tests for a condition: the application object of tests without a window, pumps
// that sleep in the event loop between looks (a 1 ms timer wakes it), so a waiting test takes
// no core, and a wait that leaves the messages alone.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
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
inline void PumpFor(int Ms) {
    PumpUntil([] { return false; }, Ms);
}

// Waits until Done() or the timeout without processing messages, as a main thread busy
// elsewhere would; looks every 2 ms. True when Done() held.
template <class F> bool SleepUntil(F Done, int TimeoutMs = 3000) {
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QThread::msleep(2);
    return Done();
}
