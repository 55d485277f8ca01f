#include "uThread.h"

#include "Application.h"

#include <chrono>

void TAnswerer::AnswerRequest(const TWriteText& WriteText,
                              const TReportWriteError& ReportWriteError) {
    if (!ExtractPacket(PacketStart, CaptureRd, CaptureWr, CaptureBuf, PacketBuf,
                       RxCountdown.load(std::memory_order_relaxed)))
        return;
    // Length 0 is an empty request; length 1 has no kind byte of its own, and PacketBuf[2]
    // then holds whatever an earlier frame left there, so it is never answered.
    if (PacketBuf[0] < 2)
        return;
    const uint8_t p1 = PacketBuf[1];
    const uint8_t kind = PacketBuf[2];
    AnswerBuf[0] = 2;
    AnswerBuf[1] = p1;
    if (kind != 1 && kind != 2)
        return;
    AnswerBuf[2] = kind;
    // The answer ring is empty here (every earlier answer was collected whole), so the
    // five bytes always fit.
    BuildPacket(PacketStart, AnswerBuf, SendRd, SendWr, PacketBuf);
    std::string frame;
    while (SendRd != SendWr)
        frame.push_back(static_cast<char>(PacketBuf[SendRd++]));
    if (!WriteText(frame))
        ReportWriteError();
}

void TAnswerer::CaptureBytes(const char* Data, size_t N) {
    if (N == 0)
        return;
    for (size_t i = 0; i < N; ++i)
        CaptureBuf[CaptureWr++] = static_cast<uint8_t>(Data[i]);
    NoteCaptured();
}

void TAnswerer::NoteCaptured() {
    std::lock_guard<std::mutex> g(m_unreadLock);
    m_unread = true;
    m_unreadCond.notify_all();
}

TUserThread::TUserThread(TAnswerer& Link, std::function<void()> Step, unsigned IdleCheckMs)
    : m_link(Link), m_step(std::move(Step)), m_idleCheckMs(IdleCheckMs) {}

TUserThread::~TUserThread() {
    // Stop here, not in the base destructor: the loop uses this object's members, and the
    // idle wait is woken only by this class's TerminateHook.
    Terminate();
    WaitFor();
}

void TUserThread::Execute() {
    struct TClearRunning {
        std::atomic_bool& running;
        ~TClearRunning() { running = false; }
    } clearRunning{Running};
    m_link.RxCountdown = 1;
    Running = true;
    do {
        Synchronize([this] { RunStep(); });
        Pause(1);
        if (!Terminated())
            WaitForUnread();
    } while (!Terminated());
}

void TUserThread::RunStep() {
    // An error must not end the responder: shutting down waits for Running to clear.
    Guarded(m_step);
    std::lock_guard<std::mutex> g(m_link.m_unreadLock);
    m_link.m_unread = m_link.CaptureRd != m_link.CaptureWr;
}

void TUserThread::WaitForUnread() {
    std::unique_lock<std::mutex> l(m_link.m_unreadLock);
    m_link.m_unreadCond.wait_for(l, std::chrono::milliseconds(m_idleCheckMs),
                                 [this] { return m_link.m_unread || Terminated(); });
}

void TUserThread::TerminateHook() {
    // Taking the lock orders the stop request before the waiter's look at it.
    std::lock_guard<std::mutex> g(m_link.m_unreadLock);
    m_link.m_unreadCond.notify_all();
}
