#include "Thread.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <exception>
#include <memory>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// Registers a condition variable with a stop signal for the life of one wait.
class TStopWaiter {
public:
    TStopWaiter(TStopSignal& S, std::mutex& M, std::condition_variable& C) : m_s(S) {
        std::lock_guard<std::mutex> g(m_s.m_lock);
        m_it = m_s.m_waiters.insert(m_s.m_waiters.end(), {&M, &C});
    }
    ~TStopWaiter() {
        std::lock_guard<std::mutex> g(m_s.m_lock);
        m_s.m_waiters.erase(m_it);
    }

private:
    TStopSignal& m_s;
    std::list<std::pair<std::mutex*, std::condition_variable*>>::iterator m_it;
};

void TStopSignal::Set() {
    m_set.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& [m, c] : m_waiters) {
        // Taking the waiter's mutex orders the store before its predicate check.
        std::lock_guard<std::mutex> w(*m);
        c->notify_all();
    }
}

bool TStopSignal::WaitFor(unsigned Ms) {
    std::mutex m;
    std::condition_variable c;
    TStopWaiter reg(*this, m, c);
    std::unique_lock<std::mutex> l(m);
    return c.wait_for(l, std::chrono::milliseconds(Ms), [this] { return IsSet(); });
}

bool IsMainThread() {
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

namespace {
// One pending main-thread call, shared by the caller and the queued routine.
struct TPendingCall {
    enum State { Pending, Running, Done, Abandoned };
    std::mutex lock;
    std::condition_variable cond;
    State state = Pending;
    std::exception_ptr error;
};

// Qt's event queue delivers a posted call only after it was posted, but through locks that
// ThreadSanitizer cannot see (Qt is not built with it), so it takes the call's set-up on the
// worker and its use on the main thread for a race. Holding this lock while posting, and
// taking it in the delivered routine before anything else, makes that order visible to it.
std::mutex PostLock;
} // namespace

bool Synchronize(const std::function<void()>& Fn, TStopSignal& Stop) {
    if (IsMainThread()) {
        Fn();
        return true;
    }
    if (Stop.IsSet())
        return false;
    auto call = std::make_shared<TPendingCall>();
    const std::function<void()>* fn = &Fn;
    std::unique_lock<std::mutex> posting(PostLock);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [call, fn] {
            { std::lock_guard<std::mutex> posted(PostLock); }
            {
                std::lock_guard<std::mutex> g(call->lock);
                if (call->state == TPendingCall::Abandoned)
                    return; // the caller stopped waiting: Fn may no longer exist
                call->state = TPendingCall::Running;
            }
            std::exception_ptr error;
            try {
                (*fn)();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> g(call->lock);
            call->error = error;
            call->state = TPendingCall::Done;
            call->cond.notify_all();
        },
        Qt::QueuedConnection);
    posting.unlock();

    TStopWaiter reg(Stop, call->lock, call->cond);
    std::unique_lock<std::mutex> l(call->lock);
    call->cond.wait(l, [&] {
        return call->state == TPendingCall::Done ||
               (call->state == TPendingCall::Pending && Stop.IsSet());
    });
    if (call->state != TPendingCall::Done) {
        call->state = TPendingCall::Abandoned;
        return false;
    }
    if (call->error)
        std::rethrow_exception(call->error);
    return true;
}

TThread::~TThread() {
    Terminate();
    WaitFor();
}

void TThread::Start() {
    if (m_started)
        return;
    m_started = true;
    m_thread = std::thread([this] {
        m_tid = static_cast<int>(::syscall(SYS_gettid));
        ApplyPriority();
        try {
            Execute();
        } catch (...) {
            // A worker's loop ends with the error; nothing above it can take it.
        }
        m_finished.store(true, std::memory_order_release);
    });
}

void TThread::Terminate() {
    m_stop.Set();
    TerminateHook();
}

void TThread::WaitFor() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void TThread::SetPriority(TThreadPriority Priority) {
    m_priority = Priority;
    ApplyPriority();
}

void TThread::ApplyPriority() {
    static const int nice[] = {19, 10, 5, 0, -5, -10, -15};
    if (int tid = m_tid.load())
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice[m_priority.load()]);
    // Raising the priority needs privileges; where it is refused the thread runs at normal.
}

void Sleep(unsigned Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }
