// What the file-transfer tests and benchmark share: a program run on a terminal (the receivers
// and senders of lrzsz, the simulator), and the loop that carries a transfer's bytes between
// the sender under test, the line and an optional relay that loses or damages bytes.
#pragma once

#include "FileTransfer.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// A program with its standard input and output on the terminal Tty (or /dev/null and
// Dir/stdout.txt without one), standard error in Dir/stderr.txt, run in Dir. Killed at the end
// if it is still running.
class TChild {
public:
    TChild(const std::vector<std::string>& Argv, const std::string& Dir, const std::string& Tty);
    ~TChild();
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    // The exit status once it ended, else nothing.
    std::optional<int> Poll();

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

// A pseudo-terminal pair of our own: the master (non-blocking, raw) and the slave's name.
class TPty {
public:
    TPty();
    ~TPty();
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;
    int Master() const { return m_master; }
    const std::string& Slave() const { return m_slave; }
    // The slave, held open (raw, non-blocking) for as long as this object lives.
    int SlaveFd() const { return m_slaveFd; }

private:
    int m_master = -1, m_slaveFd = -1;
    std::string m_slave;
};

// Carries bytes both ways between two pty masters on a thread of its own, keeping what a full
// terminal did not take yet, until it is destroyed. Remembers the last bytes that went from A.
class TPtyBridge {
public:
    TPtyBridge(int A, int B);
    ~TPtyBridge();
    TPtyBridge(const TPtyBridge&) = delete;
    TPtyBridge& operator=(const TPtyBridge&) = delete;
    std::string TailFromA() const;
    uint64_t FromA() const { return m_fromA; }

private:
    void Loop();
    int m_a, m_b;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_fromA{0};
    mutable std::mutex m_mutex;
    std::string m_tail;
    std::thread m_thread;
};

// The sender's port: written bytes queue and go out as the descriptor takes them, as the
// serial component's write thread does. Between Ends[0] and Ends[1] bytes are copied both ways,
// and those from Ends[0] are dropped or damaged at the given rates (seeded).
class TTransferRig {
public:
    explicit TTransferRig(int Port) : m_port(Port) {}
    TTransferLink Link();
    void Relay(int From, int To, double DropRate = 0, double DamageRate = 0, uint32_t Seed = 1);
    // Runs T (already started, or started here) until it finishes or TimeoutMs passed;
    // false on the timeout.
    bool Run(TFileTransfer& T, int TimeoutMs);
    // Goes on relaying (and feeding T, if given) until Done() or TimeoutMs; false on the
    // timeout.
    template <typename F> bool RunUntil(F Done, int TimeoutMs, TFileTransfer* T = nullptr) {
        for (int64_t end = NowMs() + TimeoutMs; !Done();)
            if (NowMs() > end || !Step(T))
                return false;
        return true;
    }
    // One round: waits up to TimeoutUs for the descriptors, moves what is ready, ticks T.
    bool Step(TFileTransfer* T, int TimeoutUs = 200);
    uint64_t Damaged() const { return m_damaged; }
    static int64_t NowUs();
    static int64_t NowMs() { return NowUs() / 1000; }

private:
    void Copy(int From, int To, bool Faults);
    int m_port;
    std::string m_out;
    int m_ends[2] = {-1, -1};
    double m_drop = 0, m_damage = 0;
    std::mt19937 m_rng;
    uint64_t m_damaged = 0;
};

// Random bytes from a seed, the same on every run.
std::string SeededBytes(size_t Size, uint32_t Seed);
