#include "IdThread.h"

void TIdThread::Start() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_stopped = false;
    }
    TThread::Start();
}

void TIdThread::Stop() {
    std::lock_guard<std::mutex> g(m_lock);
    if (Terminated() || m_stopped || !Started())
        return;
    m_stopped = true;
    // Wakes the thread's waits (TerminateHook) while the lock orders it after the flag.
    Terminate();
}

bool TIdThread::Stopped() {
    std::lock_guard<std::mutex> g(m_lock);
    return Terminated() || m_stopped || !Started();
}

void TIdThread::Execute() {
    while (!Stopped())
        Run();
}
