#include "Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point Deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int DecodeStatus(int Status) {
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}
} // namespace

TProcess::TProcess(const std::vector<std::string>& Args, TOptions Options) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (Options.CaptureStdout && ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (Options.PipeStdin && ::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (Options.CaptureStdout)
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    if (Options.PipeStdin)
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (Options.KeepFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, Options.KeepFd, Options.KeepFd); // clears CLOEXEC
    if (Options.QuietStderr)
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&m_pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (Options.CaptureStdout) {
        ::close(out[1]);
        m_out = out[0];
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
    }
    if (Options.PipeStdin) {
        ::close(in[0]);
        m_in = in[1];
    }
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + Args[0]);
    }
}

TProcess::~TProcess() {
    CloseStdin();
    if (Running()) {
        Signal(SIGTERM);
        if (!Wait(2000)) {
            Signal(SIGKILL);
            Wait(2000);
        }
    }
    if (m_out >= 0)
        ::close(m_out);
}

std::optional<std::string> TProcess::ReadLine(int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        const size_t nl = m_buf.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buf.substr(0, nl);
            m_buf.erase(0, nl + 1);
            return line;
        }
        if (m_eof || m_out < 0)
            return std::nullopt;
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            return std::nullopt;
        char buf[4096];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n > 0)
            m_buf.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EAGAIN)
            m_eof = true;
    }
}

std::string TProcess::ReadAll(int TimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!m_eof && m_out >= 0) {
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            break;
        char buf[65536];
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n > 0)
            m_buf.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EAGAIN)
            m_eof = true;
    }
    std::string all;
    all.swap(m_buf);
    return all;
}

bool TProcess::WriteLine(const std::string& Line) {
    if (m_in < 0)
        return false;
    const std::string data = Line + "\n";
    return ::write(m_in, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

void TProcess::CloseStdin() {
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

std::optional<int> TProcess::Wait(int TimeoutMs) {
    if (m_status || m_pid < 0)
        return m_status;
    // A pidfd becomes readable when the child ends.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, TimeoutMs);
        ::close(fd);
    }
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
        m_status = DecodeStatus(status);
    return m_status;
}

bool TProcess::Running() {
    return m_pid > 0 && !Wait(0);
}

void TProcess::Signal(int Sig) {
    if (Running())
        ::kill(m_pid, Sig);
}

TRunResult Run(const std::vector<std::string>& Args, int TimeoutMs) {
    TProcess p(Args, {.CaptureStdout = true, .QuietStderr = true});
    TRunResult r;
    r.Out = p.ReadAll(TimeoutMs);
    if (auto status = p.Wait(TimeoutMs))
        r.Status = *status;
    return r;
}
