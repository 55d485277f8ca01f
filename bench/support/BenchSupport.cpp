#include "BenchSupport.h"

#include "IdUDPServer.h"
#include <QCheckBox>
#include <QLineEdit>
#include <cstdio>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

double MonotonicSeconds() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

long ResidentBytes() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

long ContextSwitches() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

std::vector<TThreadSwitches> ThreadSwitches() {
    std::vector<TThreadSwitches> all;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream f(e.path() / "status");
        TThreadSwitches t{std::atoi(e.path().filename().c_str()), {}, 0};
        std::string line;
        while (std::getline(f, line)) {
            if (line.rfind("Name:", 0) == 0)
                t.Name = line.substr(line.find_first_not_of(" \t", 5));
            else if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                     line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                t.Switches += std::atol(line.c_str() + line.find(':') + 1);
        }
        all.push_back(t);
    }
    return all;
}

double Percentile(std::vector<double> Values, double P) {
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    size_t i = static_cast<size_t>(P / 100.0 * static_cast<double>(Values.size() - 1) + 0.5);
    return Values[std::min(i, Values.size() - 1)];
}

namespace {
// The same set-up as the program's entry: offscreen unless a display is asked for, and the
// toolkit's own event dispatcher.
int& PlatformArgc(int& Argc) {
    ::setenv("QT_NO_GLIB", "1", 0);
    if (!::getenv("DISPLAY") || !::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return Argc;
}
} // namespace

TLoopProbe::TLoopProbe() {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const double now = MonotonicSeconds();
        if (m_expected > 0)
            Lateness.push_back(std::max(0.0, (now - m_expected) * 1000.0));
        m_expected = now + 0.010;
    });
}

void TLoopProbe::Start() {
    Lateness.clear();
    m_expected = 0;
    m_timer.start(10);
}

TBenchConsole::TBenchConsole(int& Argc, char** Argv) : App(PlatformArgc(Argc), Argv) {
    ApplyConsoleStyle();
    Form = std::make_unique<TBaseform>();
    Form->ShowMessageBox = [this](const QString&, const QString& Text) { Errors << Text; };
    Form->show();
    QApplication::setActiveWindow(Form.get());
    QApplication::processEvents();
}

TBenchConsole::~TBenchConsole() {
    Form->close();
    Form.reset();
}

bool TBenchConsole::RunUntil(const std::function<bool()>& Done, double TimeoutSeconds,
                             int CheckMs) {
    const double end = MonotonicSeconds() + TimeoutSeconds;
    if (Done())
        return true;
    // The window's own event loop runs; the condition is looked at every CheckMs.
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Done() || MonotonicSeconds() > end)
            loop.quit();
    });
    check.start(CheckMs);
    loop.exec();
    return Done();
}

double JsonNumber(const std::string& Json, const std::string& Key) {
    const std::string k = "\"" + Key + "\":";
    size_t p = Json.find(k);
    if (p == std::string::npos)
        return -1;
    return std::strtod(Json.c_str() + p + k.size(), nullptr);
}

std::string LastJsonLine(const std::string& Text) {
    std::string last;
    size_t start = 0;
    while (start < Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos)
            end = Text.size();
        if (Text[start] == '{')
            last = Text.substr(start, end - start);
        start = end + 1;
    }
    return last;
}

int ActivateOnFreePort(TBaseform& Form, const char* Who) {
    Form.EdPort->setText("0"); // the system chooses the port
    Form.ChBxActiv->setChecked(true);
    if (!Form.UDPServer->Active()) {
        std::fprintf(stderr, "%s: the console did not activate\n", Who);
        return 0;
    }
    return Form.UDPServer->Bindings()[0].Port;
}
