#include "BenchSupport.h"

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

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long ResidentBytes() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

double Percentile(std::vector<double> Values, double P) {
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    size_t i = static_cast<size_t>(P / 100.0 * static_cast<double>(Values.size() - 1) + 0.5);
    return Values[std::min(i, Values.size() - 1)];
}

TBenchConfig::TBenchConfig() {
    char tmpl[] = "/tmp/tevro-bench-XXXXXX";
    m_dir = ::mkdtemp(tmpl);
    ::setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
}

TBenchConfig::~TBenchConfig() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void TBenchConfig::MapCom(int N, const std::string& Target) const {
    std::filesystem::create_directories(m_dir + "/tevro-console/com");
    std::filesystem::create_symlink(Target, m_dir + "/tevro-console/com/COM" + std::to_string(N));
}

TBenchPty::TBenchPty() {
    Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(Master, name, sizeof name);
    Slave = name;
    termios t{};
    ::tcgetattr(Master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(Master, TCSANOW, &t);
}

TBenchPty::~TBenchPty() {
    if (Master >= 0)
        ::close(Master);
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

TChild::TChild(const std::vector<std::string>& Args) {
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    std::vector<char*> argv;
    for (const auto& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + Args[0]);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    m_out = pipefd[0];
    ::fcntl(m_out, F_SETFL, O_NONBLOCK);
}

TChild::~TChild() {
    Kill();
    if (m_out >= 0)
        ::close(m_out);
}

const std::string& TChild::Output() {
    char buf[4096];
    ssize_t n;
    while (m_out >= 0 && (n = ::read(m_out, buf, sizeof buf)) > 0)
        m_output.append(buf, static_cast<size_t>(n));
    return m_output;
}

bool TChild::Exited() {
    Output();
    if (m_pid < 0)
        return true;
    int status;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        m_pid = -1;
        Output();
        return true;
    }
    return false;
}

void TChild::Kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 200 && !Exited(); ++i)
            ::usleep(10000);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
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
