// A worker thread of the socket components: created stopped, it repeats Run() from Start() until
// it is stopped. The stopped state is read and changed under the thread's own lock.
#pragma once

#include "Thread.h"

#include <mutex>

class TIdThread : public TThread {
public:
    TIdThread() = default;
    // Clears the stopped state and starts the thread.
    void Start();
    // Asks the thread to end: sets the stopped and terminated flags unless already stopped.
    void Stop();
    // True while terminated, while stopped, or before the thread was started.
    bool Stopped();

protected:
    // One pass of the thread's work.
    virtual void Run() = 0;

private:
    void Execute() final;
    std::mutex m_lock;
    bool m_stopped = true;
};
