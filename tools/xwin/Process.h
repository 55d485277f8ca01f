// Child processes for driving the console from outside: spawn with pipes, read lines with a
// timeout, wait for the end with a timeout. A child still running at destruction is ended.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TProcess {
public:
    struct TOptions {
        bool CaptureStdout = false; // read it with ReadLine / ReadAll
        bool PipeStdin = false;     // write to it with WriteLine
        bool QuietStderr = false;   // stderr to /dev/null
        int KeepFd = -1;            // a descriptor the child inherits under the same number
    };
    TProcess(const std::vector<std::string>& Args, TOptions Options);
    ~TProcess();
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // The next line of standard output (without its line feed), or nothing at the timeout or
    // at the end of output.
    std::optional<std::string> ReadLine(int TimeoutMs);
    // Everything the child writes until it closes its output, within the timeout.
    std::string ReadAll(int TimeoutMs);
    bool WriteLine(const std::string& Line);
    void CloseStdin();
    // The exit status (or 128 + signal) once the child has ended, nothing at the timeout.
    std::optional<int> Wait(int TimeoutMs);
    bool Running();
    void Signal(int Sig);

private:
    pid_t m_pid = -1;
    int m_out = -1, m_in = -1;
    std::string m_buf;
    bool m_eof = false;
    std::optional<int> m_status;
};

struct TRunResult {
    int Status = -1; // -1: did not end within the timeout (it was killed)
    std::string Out;
};
// Runs a short command to its end and returns its status and standard output.
TRunResult Run(const std::vector<std::string>& Args, int TimeoutMs = 5000);
