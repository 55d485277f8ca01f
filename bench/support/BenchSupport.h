// What the console benchmarks share: the window in this process, clocks and resource figures;
// the private COM map, the pseudo-terminal and child processes come from the tests' helpers.
#pragma once

#include "Baseform.h"
#include "ConfigHome.h"
#include "CpuTime.h"
#include "Process.h"
#include "PtyDevice.h"

#include <QApplication>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

double MonotonicSeconds();
long ResidentBytes(); // this process
// Context switches of this process, all threads, voluntary and not: how often it woke.
long ContextSwitches();
// The same per thread still running, by thread id, with the thread's name.
struct TThreadSwitches {
    int Tid;
    std::string Name;
    long Switches;
};
std::vector<TThreadSwitches> ThreadSwitches();
double Percentile(std::vector<double> Values, double P);

// A 10 ms timer on the event loop that notes how late each tick comes, in ms: the loop's stalls.
class TLoopProbe {
public:
    TLoopProbe();
    void Start(); // forgets the earlier figures
    void Stop() { m_timer.stop(); }
    std::vector<double> Lateness;

private:
    QTimer m_timer;
    double m_expected = 0;
};

// The console window, shown on the offscreen platform unless a display is asked for.
struct TBenchConsole {
    TBenchConsole(int& Argc, char** Argv);
    ~TBenchConsole();
    QApplication App;
    std::unique_ptr<TBaseform> Form;
    QStringList Errors;
    // Runs the event loop until Done() or the timeout; true when Done() held.
    bool RunUntil(const std::function<bool()>& Done, double TimeoutSeconds, int CheckMs = 10);
};

// Ticks "Activation" on a port the system chooses; the port, or 0 (with a line naming Who on
// standard error) when the endpoint did not become active.
int ActivateOnFreePort(TBaseform& Form, const char* Who);

// The value of a number field of a one-line JSON object, or -1.
double JsonNumber(const std::string& Json, const std::string& Key);
// The last line of Text that starts with '{'.
std::string LastJsonLine(const std::string& Text);
