// A console window for tests: message boxes are recorded instead of shown.
#pragma once

#include "Baseform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QStringList>
#include <memory>

struct TFormFixture {
    std::unique_ptr<TBaseform> Form;
    QStringList Boxes, BoxTitles;

    TFormFixture() {
        Form = std::make_unique<TBaseform>();
        Form->ShowMessageBox = [this](const QString& Title, const QString& Text) {
            BoxTitles << Title;
            Boxes << Text;
        };
    }
    ~TFormFixture() {
        if (Form)
            Form->close();
    }
};

// Processes events until Done() or the timeout; true when Done() held. Sleeps in the event
// loop between looks (a 1 ms timer wakes it), so waiting takes no core.
template <class F> bool PumpUntil(F Done, int TimeoutMs = 3000) {
    QTimer tick;
    tick.start(1);
    QElapsedTimer t;
    t.start();
    while (!Done() && t.elapsed() < TimeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return Done();
}

inline void Pump(int Ms) {
    PumpUntil([] { return false; }, Ms);
}
