// The packet responder: the answerer, whose rings and indexes answer the device's kind 1 and 2
// requests from the captured bytes, and the worker thread that has the main thread run its step.
#pragma once

#include "Thread.h"
#include "Util.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

// Hands the answer frame to the port; true when every byte was accepted.
using TWriteText = std::function<bool(const std::string&)>;
// Logs that the port refused a write.
using TReportWriteError = std::function<void()>;

// The packet link's state: all of it lives on the main thread except that the responder
// thread sets RxCountdown once when it starts.
class TAnswerer {
public:
    TRing CaptureBuf = {};               // ring of captured received bytes
    uint8_t CaptureWr = 0;               // where the next captured byte goes
    uint8_t CaptureRd = 0;               // first unread captured byte
    std::atomic<uint8_t> RxCountdown{0}; // timer ticks left before an incomplete frame is dropped
    TRing PacketBuf = {};                // request body, then the answer ring
    uint8_t SendRd = 0;                  // first answer byte not yet handed to the port
    uint8_t SendWr = 0;                  // end of the answer bytes in PacketBuf
    TRing AnswerBuf = {};                // answer body: length 2, echoed byte, kind

    // One responder step, on the main thread: takes the oldest valid frame out of the capture
    // buffer and, for a request of kind 1 or 2, writes the answer 1E 02 P1 P2 CRC with
    // WriteText; a refused write is reported once with ReportWriteError and not retried.
    // Requests of another kind, empty ones and ones of length 1 (which carry no kind) are
    // consumed without an answer. What WriteText raises goes on to the caller, with the
    // answer ring already emptied.
    void AnswerRequest(const TWriteText& WriteText, const TReportWriteError& ReportWriteError);

    // The capture, on the main thread (the receive handler): appends N bytes to CaptureBuf
    // from CaptureWr on, wrapping at 256 and over unread bytes when more than 255 wait, and
    // wakes the responder.
    void CaptureBytes(const char* Data, size_t N);

    // Wakes the responder, which waits without calling the main thread while the capture
    // buffer holds nothing unread; CaptureBytes calls it. On the main thread, after CaptureWr
    // moved.
    void NoteCaptured();

    // One tick of the status timer on the receive countdown.
    void TickCountdown() { ::TickCountdown(RxCountdown); }

private:
    friend class TUserThread;
    // Whether the capture buffer may hold unread bytes. Written on the main thread only (by
    // the capture and after each step), read by the responder while it waits; the mutex
    // orders the write before the responder's look so that a wake-up is never lost.
    std::mutex m_unreadLock;
    std::condition_variable m_unreadCond;
    bool m_unread = true; // the first step runs at once, as if bytes were waiting
};

// The responder thread. It runs Step on the main thread, pauses 1 ms and goes on until it
// is told to stop. After a step that leaves nothing unread in the answerer's capture buffer it
// waits for NoteCaptured (or IdleCheckMs, after which it runs one step anyway) instead of
// calling every millisecond: such steps would do nothing. What Step raises is handed to the
// application's error handler on the main thread and the thread goes on.
class TUserThread : public TThread {
public:
    TUserThread(TAnswerer& Link, std::function<void()> Step, unsigned IdleCheckMs = 60000);
    ~TUserThread() override;

    // True while the run loop is active; cleared on every way out of it.
    std::atomic_bool Running{false};

protected:
    void Execute() override;
    void TerminateHook() override;

private:
    void RunStep();
    void WaitForUnread();

    TAnswerer& m_link;
    std::function<void()> m_step;
    unsigned m_idleCheckMs;
};
