// What the console benchmarks share: the window in this process with a private COM map, a
// pseudo-terminal for the device, child processes, clocks and resource figures.
#pragma once

#include "Baseform.h"

#include <QApplication>
#include <functional>
#include <memory>
#include <string>
#include <vector>

double MonotonicSeconds();
double CpuSeconds();  // this process, user and system
long ResidentBytes(); // this process
double Percentile(std::vector<double> Values, double P);

// A private configuration folder (so a private COM map) for the life of the benchmark.
class TBenchConfig {
public:
    TBenchConfig();
    ~TBenchConfig();
    void MapCom(int N, const std::string& Target) const;
    const std::string& Dir() const { return m_dir; }

private:
    std::string m_dir;
};

// The device end of a pseudo-terminal; created before the application so a forked child may
// take it over.
struct TBenchPty {
    TBenchPty();
    ~TBenchPty();
    int Master = -1;
    std::string Slave;
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

// Runs a program with its standard output in a pipe; Output() collects it.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& Args);
    ~TChild();
    bool Exited(); // reaps without waiting; collects output
    int Status() const { return m_status; }
    const std::string& Output();
    void Kill();

private:
    int m_pid = -1, m_out = -1, m_status = -1;
    std::string m_output;
};

// The value of a number field of a one-line JSON object, or -1.
double JsonNumber(const std::string& Json, const std::string& Key);
// The last line of Text that starts with '{'.
std::string LastJsonLine(const std::string& Text);
