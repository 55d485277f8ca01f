// The packet responder: one step that answers the device's kind 1 and 2 requests from the
// capture buffer, and the worker thread that has the main thread run that step.
#pragma once

#include "Thread.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// Hands the answer frame to the port; true when every byte was accepted.
using TWriteText = std::function<bool(const std::string&)>;
// Logs that the port refused a write.
using TReportWriteError = std::function<void()>;

// One responder step, on the main thread: takes the oldest valid frame out of the capture
// buffer and, for a request of kind 1 or 2, writes the answer 1E 02 P1 P2 CRC with
// WriteText; a refused write is reported once with ReportWriteError and not retried.
// Requests of another kind, empty ones and ones of length 1 (which carry no kind) are
// consumed without an answer. What WriteText raises goes on to the caller, with the answer
// ring already emptied.
void AnswerRequest(const TWriteText& WriteText, const TReportWriteError& ReportWriteError);

// The capture, on the main thread (the window's receive handler): appends N bytes to
// CaptureBuf from CaptureWr on, wrapping at 256 and over unread bytes when more than 255 wait,
// and wakes the responder.
void CaptureBytes(const char* Data, size_t N);

// Wakes the responder, which waits without calling the main thread while the capture buffer
// holds nothing unread; CaptureBytes calls it. On the main thread, after CaptureWr moved.
void NoteCaptured();

// The responder thread. It runs Step on the main thread, pauses 1 ms and goes on until it
// is told to stop. After a step that leaves nothing unread in the capture buffer it waits
// for NoteCaptured (or IdleCheckMs, after which it runs one step anyway) instead of calling
// every millisecond: such steps would do nothing. What Step raises is handed to the
// application's error handler on the main thread and the thread goes on.
class TUserThread : public TThread {
public:
    explicit TUserThread(std::function<void()> Step, unsigned IdleCheckMs = 60000);
    ~TUserThread() override;

    // True while the run loop is active; cleared on every way out of it.
    std::atomic_bool Running{false};

protected:
    void Execute() override;
    void TerminateHook() override;

private:
    void RunStep();
    void WaitForUnread();

    std::function<void()> m_step;
    unsigned m_idleCheckMs;
};

// The program's one responder, created and started by the main window.
extern std::unique_ptr<TUserThread> UserThread;
