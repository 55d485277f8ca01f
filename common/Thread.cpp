#include "Thread.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <deque>
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
// One pending main-thread call, shared by the caller and the main thread.
struct TPendingCall {
    enum State { Pending, Running, Done, Abandoned };
    const std::function<void()>* fn = nullptr;
    std::mutex lock;
    std::condition_variable cond;
    State state = Pending;
    std::exception_ptr error;
};

// Calls travel through a queue of our own under a std::mutex, and the main thread is only told
// by an empty event that one is waiting: every hand-over of data is then visible to the thread
// checker, which cannot see inside the toolkit's own event queue.
std::mutex g_queueLock;
std::deque<std::shared_ptr<TPendingCall>> g_queue;

void RunPending(const std::shared_ptr<TPendingCall>& Call) {
    {
        std::lock_guard<std::mutex> g(Call->lock);
        if (Call->state == TPendingCall::Abandoned)
            return; // the caller stopped waiting: its function may no longer exist
        Call->state = TPendingCall::Running;
    }
    std::exception_ptr error;
    try {
        (*Call->fn)();
    } catch (...) {
        error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(Call->lock);
    Call->error = error;
    Call->state = TPendingCall::Done;
    Call->cond.notify_all();
}

class TMainThreadPump : public QObject {
public:
    static constexpr QEvent::Type CallWaiting = QEvent::Type(QEvent::User + 0x5A1);
    bool event(QEvent* E) override {
        if (E->type() != CallWaiting)
            return QObject::event(E);
        std::shared_ptr<TPendingCall> call;
        {
            std::lock_guard<std::mutex> g(g_queueLock);
            if (g_queue.empty())
                return true;
            call = std::move(g_queue.front());
            g_queue.pop_front();
        }
        RunPending(call);
        return true;
    }
};

TMainThreadPump* Pump() {
    static TMainThreadPump* pump = [] {
        auto* p = new TMainThreadPump;
        p->moveToThread(QCoreApplication::instance()->thread());
        return p;
    }();
    return pump;
}
} // namespace

bool Synchronize(const std::function<void()>& Fn, TStopSignal& Stop) {
    if (IsMainThread()) {
        Fn();
        return true;
    }
    if (Stop.IsSet())
        return false;
    auto call = std::make_shared<TPendingCall>();
    call->fn = &Fn;
    {
        std::lock_guard<std::mutex> g(g_queueLock);
        g_queue.push_back(call);
    }
    QCoreApplication::postEvent(Pump(), new QEvent(TMainThreadPump::CallWaiting));

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

void Sleep(unsigned Ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}
