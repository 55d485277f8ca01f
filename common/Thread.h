// Worker threads and the one door by which they reach the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A stop request that wakes every wait registered on it: the blocking main-thread call
// and the thread's own pauses end as soon as it is set.
class TStopSignal {
public:
    void Set();
    bool IsSet() const { return m_set.load(std::memory_order_acquire); }
    // Waits up to Ms milliseconds or until the signal is set; true when it is set.
    bool WaitFor(unsigned Ms);

private:
    friend class TStopWaiter;
    std::atomic_bool m_set{false};
    std::mutex m_lock;
    std::list<std::pair<std::mutex*, std::condition_variable*>> m_waiters;
};

// True when called on the Qt main thread (or when no application object exists).
bool IsMainThread();

// Runs Fn on the main thread between window messages and blocks until it has run; runs it
// at once when called on the main thread. Returns false, without running Fn, when Stop is
// set before the main thread took the call. What Fn raises is raised again in the caller.
bool Synchronize(const std::function<void()>& Fn, TStopSignal& Stop);

// A worker thread: constructed suspended, started with Start(), asked to stop with
// Terminate(), waited for with WaitFor(). The destructor terminates and waits.
class TThread {
public:
    TThread() = default;
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    void Terminate();
    bool Terminated() const { return m_stop.IsSet(); }
    void WaitFor();
    bool Started() const { return m_started; }
    bool Finished() const { return m_finished.load(std::memory_order_acquire); }

    void SetPriority(TThreadPriority Priority);
    TThreadPriority Priority() const { return m_priority.load(); }

protected:
    virtual void Execute() = 0;
    // Called by Terminate after the stop signal is set, to wake waits of the thread's own.
    virtual void TerminateHook() {}
    bool Synchronize(const std::function<void()>& Fn) { return ::Synchronize(Fn, m_stop); }
    // Pauses Ms milliseconds; returns early (true) when the thread is told to stop.
    bool Pause(unsigned Ms) { return m_stop.WaitFor(Ms); }
    TStopSignal& StopSignal() { return m_stop; }

private:
    void ApplyPriority();
    std::thread m_thread;
    TStopSignal m_stop;
    bool m_started = false;
    std::atomic_bool m_finished{false};
    std::atomic<TThreadPriority> m_priority{tpNormal};
    std::atomic<int> m_tid{0};
};

// Pauses the calling thread.
void Sleep(unsigned Ms);
