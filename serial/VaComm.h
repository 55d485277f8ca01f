// The serial port component: settings, open and close, the event and write threads, port
// I/O, line control and modem status. Every event handler runs on the main thread.
#pragma once

#include "Exception.h"
#include "Thread.h"
#include "VaClasses.h"
#include "VaPlatform.h"
#include "VaPrst.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class EVaCommError : public Exception {
public:
    using Exception::Exception;
};

enum TVaBaudrate {
    brUser,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TVaParity { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits { db4, db5, db6, db7, db8 };
enum TVaStopbits { sb1, sb15, sb2 };
enum TVaCommOption { coErrorChar, coNullStrip, coParityCheck };
enum TVaCommEvent {
    ceBreak,
    ceCts,
    ceDsr,
    ceError,
    ceRing,
    ceRlsd,
    ceRxChar,
    ceTxEmpty,
    ceRxFlag,
    cePErr,
    ceRx80Full,
    ceEvent1,
    ceEvent2
};
using TVaCommEvents = TVaSet<TVaCommEvent>;
using TVaCommOptions = TVaSet<TVaCommOption>;
using PVaData = const char*;

// Bits per second of a rate other than brUser.
int VaBaudrateValue(TVaBaudrate B);
// The platform event mask for a set of events (before EV_TXEMPTY is dropped).
uint32_t VaEventMask(TVaCommEvents Events);
// Formats with %d and %s taken in order from the arguments; %% is one percent sign.
std::string VaFormat(const std::string& Fmt, long long Number, const std::string& Text = {});
// The system text for a code, at most 255 characters, without trailing blanks, control
// characters or full stops.
std::string VaTrimmedErrorText(int Code);

// Ends when the elapsed time on a 32-bit millisecond counter exceeds the time-out, also
// across a wrap of the counter.
class TVaDeadline {
public:
    TVaDeadline(uint32_t Now, uint32_t TimeoutMs) : m_start(Now), m_timeout(TimeoutMs) {}
    bool Passed(uint32_t Now) const {
        uint32_t elapsed = Now >= m_start ? Now - m_start : Now + (4294967295u - m_start);
        return elapsed > m_timeout;
    }

private:
    uint32_t m_start;
    uint32_t m_timeout;
};

class TVaCustomComm;
using TNotifyEvent = std::function<void(TVaCustomComm* Sender)>;
using TVaCommRxCharEvent = std::function<void(TVaCustomComm* Sender, int Count)>;
using TVaCommRxBufEvent = std::function<void(TVaCustomComm* Sender, PVaData Data, int Count)>;
using TVaCommErrorEvent = std::function<void(TVaCustomComm* Sender, int Errors)>;

// An event handler that other threads may ask about: whether one is assigned. The write
// thread uses it to skip a main-thread call that would fire nothing.
template <class F> class TVaWatchedEvent {
public:
    TVaWatchedEvent() = default;
    TVaWatchedEvent(const TVaWatchedEvent&) = delete;
    template <class G> TVaWatchedEvent& operator=(G&& Handler) {
        m_fn = std::forward<G>(Handler);
        m_assigned.store(static_cast<bool>(m_fn));
        return *this;
    }
    explicit operator bool() const { return static_cast<bool>(m_fn); }
    template <class... A> void operator()(A&&... Args) const { m_fn(std::forward<A>(Args)...); }
    bool Assigned() const { return m_assigned.load(); }

private:
    std::function<F> m_fn;
    std::atomic_bool m_assigned{false};
};

// The longest text the write queue takes although it exceeds the queue's size: a datagram
// relayed from the network (the endpoint takes any datagram whole, and an IPv4 one carries at
// most 65507 bytes) or a pasted command line.
constexpr int32_t VaLongestText = 65536;
// How long one receive notification may go on announcing bytes that keep arriving.
constexpr std::chrono::microseconds kRxCallBudget{1000};

// The write queue: one block allocated at creation.
class TVaCommBuffer {
public:
    explicit TVaCommBuffer(int32_t Capacity) : m_data(Capacity > 0 ? size_t(Capacity) : 0) {}
    void Append(const char* Data, int32_t Count);
    void Remove(int32_t Count);
    const char* Data() const { return m_data.data(); }
    int32_t Count() const { return m_count.load(std::memory_order_acquire); }
    int32_t Capacity() const { return static_cast<int32_t>(m_data.size()); }

private:
    std::vector<char> m_data;
    std::atomic<int32_t> m_count{0}; // read without the lock by a writer waiting for room
};

// What the two threads of one open share: the device, whether it has gone and whether its
// loss was reported.
struct TVaOpenPort {
    std::shared_ptr<TVaPort> Port;
    std::atomic_bool GoneSeen{false};
    std::atomic_bool GoneReported{false};
    std::atomic_bool LossUnreported{false}; // a count-only query took the loss's line error
    bool ClaimGoneReport() { return !GoneReported.exchange(true); }
    bool Lost() const { return GoneSeen || Port->Gone(); }
};

// What the write queue made of a text.
enum class TVaQueued { Queued, Full, TooLong, Lost };

class TVaCommEventThread : public TThread {
public:
    TVaCommEventThread(TVaCustomComm* Owner, std::shared_ptr<TVaOpenPort> Port, uint32_t Mask);
    void Stop() { Terminate(); }

protected:
    void Execute() override;
    void TerminateHook() override { m_event.Signal(); }

private:
    void Notify();
    void HandleEvent();
    TVaCustomComm* m_owner;
    std::shared_ptr<TVaOpenPort> m_port;
    TVaWaitEvent m_event;
    const uint32_t m_eventMask; // the mask the port was opened with
    uint32_t m_mask = 0;        // the events of the notification in progress
};

class TVaCommWriteThread : public TThread {
public:
    TVaCommWriteThread(TVaCustomComm* Owner, std::shared_ptr<TVaOpenPort> Port, int32_t Size);
    void Stop() { Terminate(); }
    // Called on the writer's thread: copies into the queue, waiting for room. A text longer
    // than the queue's size (up to VaLongestText bytes) is taken whole, beside what is queued.
    TVaQueued QueueWrite(const char* Data, int32_t Count);
    // Bytes in the queue, not yet handed to the device.
    int32_t Queued() const { return m_buffer.Count(); }

protected:
    void Execute() override;
    void TerminateHook() override { m_stopEvent.Signal(); }

private:
    void Complete(uint32_t Written);
    // Under the write lock: sets or clears the write-pending event, sparing the system
    // call when it is in that state already.
    void SetPending(bool On);
    void Dispatch(uint32_t Mask);
    TVaCustomComm* m_owner;
    std::shared_ptr<TVaOpenPort> m_port;
    const int32_t m_size; // the queue's size: what ordinary writes wait below
    TVaCommBuffer m_buffer;
    TVaWaitEvent m_pendingEvent;
    bool m_pending = false; // the state of m_pendingEvent, under the write lock
    TVaWaitEvent m_stopEvent;
    std::mutex m_roomLock; // wakes a writer waiting for room as soon as bytes leave
    std::condition_variable m_room;
};

class TVaCustomComm {
public:
    explicit TVaCustomComm(std::shared_ptr<TVaPlatform> Platform = nullptr);
    virtual ~TVaCustomComm();
    TVaCustomComm(const TVaCustomComm&) = delete;
    TVaCustomComm& operator=(const TVaCustomComm&) = delete;

    // The platform layer; refused while open.
    void SetPlatform(std::shared_ptr<TVaPlatform> Platform);
    TVaPlatform& Platform() const { return *m_platform; }

    void Open();
    void Close();
    bool IsOpen() const { return m_open != nullptr; }
    // The device of the open port has gone (unplugged, or its far end closed).
    bool Lost() const { return m_open && m_open->Lost(); }
    // Gives a lost device's descriptor and threads back at once, so that its node can be
    // taken again; the port stays open in name: sends are refused, reads find nothing, line
    // queries fail as gone, and Close ends it as usual. Nothing when the device is there.
    void ReleaseLost();
    void CheckClosed() const;
    std::string GetDeviceName() const;
    // The hook run after the component has been configured: opens when AutoOpen is set.
    void Loaded();

    // Settings.
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool V) { m_autoOpen = V; }
    TVaBaudrate Baudrate() const { return m_baudrate; }
    void SetBaudrate(TVaBaudrate V);
    TVaParity Parity() const { return m_parity; }
    void SetParity(TVaParity V);
    TVaDatabits Databits() const { return m_databits; }
    void SetDatabits(TVaDatabits V);
    TVaStopbits Stopbits() const { return m_stopbits; }
    void SetStopbits(TVaStopbits V);
    TVaEventChars& EventChars() { return m_eventChars; }
    void SetEventChars(const TVaEventChars& V) { m_eventChars.Assign(V); }
    TVaFlowControl& FlowControl() { return m_flowControl; }
    void SetFlowControl(const TVaFlowControl& V) { m_flowControl.Assign(V); }
    TVaCommOptions Options() const { return m_options; }
    void SetOptions(TVaCommOptions V);
    int PortNum() const { return m_portNum; }
    void SetPortNum(int V);
    std::string DeviceName() const { return m_deviceName; }
    void SetDeviceName(std::string V);
    TVaCommEvents MonitorEvents() const { return m_monitorEvents; }
    void SetMonitorEvents(TVaCommEvents V);
    TVaBuffers& Buffers() { return m_buffers; }
    void SetBuffers(const TVaBuffers& V);
    TThreadPriority EventPriority() const { return m_eventPriority; }
    void SetEventPriority(TThreadPriority V);
    TThreadPriority WritePriority() const { return m_writePriority; }
    void SetWritePriority(TThreadPriority V);
    bool DirectWrite() const { return m_directWrite; }
    void SetDirectWrite(bool V);
    bool UpdateDCB() const { return m_updateDCB; }
    void SetUpdateDCB(bool V);
    int UserBaudrate() const { return m_userBaudrate; }
    void SetUserBaudrate(int V);

    // Port I/O, line control and modem status.
    int WriteBuf(const char* Data, int Count);
    bool WriteText(const std::string& Text);
    int ReadBuf(char* Buf, int Count);
    std::string ReadText();
    int ReadCount();
    // Bytes written but still in the write queue; 0 on a closed port. Asks the device nothing.
    int WriteCount() const { return m_writeThread ? m_writeThread->Queued() : 0; }
    void CommFunction(int Code);
    void SetDTR(bool Value);
    void SetRTS(bool Value);
    bool ModemLineOn(int Line /*1 CTS, 2 DSR, 3 RING, 4 DCD*/);
    // The four modem input lines (MS_ bits) in one query; 0 on a closed port.
    uint32_t ModemStatus();
    // Whether the open port raises OnModemLines on every change; else the lines are followed
    // by asking ModemStatus.
    bool ReportsModemLines() const;
    // Whether anyone can see the lines now; kept across opens (see TVaPort::SetLinesSeen).
    void SetModemLinesSeen(bool Seen);
    bool ModemLinesSeen() const { return m_linesSeen; }
    // Line errors since the last query and the queue counts; clears the errors.
    TVaComStat GetStatus();

    // The platform event mask in force (computed at open).
    uint32_t EventMask() const { return m_eventMask; }
    // The record WriteDCB writes, built from the current settings.
    TVaLineSettings BuildLineSettings() const;
    // Length of the pause at the end of Close; 300 ms unless a test shortens it.
    void SetClosePauseForTesting(unsigned Ms) { m_closePauseMs = Ms; }

    TNotifyEvent OnOpen, OnClose, OnCts, OnDsr, OnRlsd, OnRing, OnBreak;
    TVaCommErrorEvent OnError;
    TVaCommRxCharEvent OnRxChar;
    TVaCommRxBufEvent OnRxBuf;
    TNotifyEvent OnRxFlag;
    TVaWatchedEvent<void(TVaCustomComm* Sender)> OnTxEmpty;
    TNotifyEvent OnPErr, OnRx80Full, OnEvent1, OnEvent2;
    // A modem input line changed (or reading them started or stopped failing); assigned
    // before the port opens, and only raised where ReportsModemLines says so.
    TNotifyEvent OnModemLines;

protected:
    virtual void CreateHandle();
    virtual void CreateThreads();
    virtual void DoRxChar();
    virtual void DispatchEvents(uint32_t Mask);
    bool DoError();
    // GetStatus; Reports says the caller reports the errors (a count-only query does not).
    // QuietWhenGone: a device that has gone and whose loss was taken gives an empty status
    // instead of raising.
    TVaComStat QueryStatus(bool Reports, bool QuietWhenGone = false);
    void DoOpen();
    void DoClose();
    void WriteDCB();
    void InitBuffers();
    void SetTimeouts();
    void SetEventMask();
    void StopThreads();
    void DestroyHandle();
    [[noreturn]] void RaiseLastError(const std::string& Fmt) const;
    void CheckResult(bool Ok, const std::string& Fmt) const {
        if (!Ok)
            RaiseLastError(Fmt);
    }
    // Remembers the code of a failed platform call; true when it succeeded.
    bool Track(TVaStatus S) const;

private:
    friend class TVaCommEventThread;
    friend class TVaCommWriteThread;
    void SettingsChanged(TVaPersistent* Sender);
    void Apply() { WriteDCB(); }
    // Applies a changed setting; when the port refuses it, Undo puts the old value back and
    // the port gets the old settings again, so the component holds what the device has.
    template <class F> void ApplyOrUndo(F&& Undo) {
        try {
            Apply();
        } catch (...) {
            Undo();
            try {
                Apply();
            } catch (...) {
            }
            throw;
        }
    }
    void ReapThreads(bool Wait);

    std::shared_ptr<TVaPlatform> m_platform;
    std::shared_ptr<TVaOpenPort> m_open; // shared with the threads; set exactly while open
    bool m_linesSeen = true;
    mutable int m_lastError = 0;
    std::atomic<uint64_t> m_bytesTaken{0}; // bytes read from the port, for the receive loop
    uint32_t m_eventMask = 0;
    TVaCommEventThread* m_eventThread = nullptr;
    TVaCommWriteThread* m_writeThread = nullptr;
    // Stopped threads finish on their own; they are joined here once they have.
    std::vector<std::unique_ptr<TThread>> m_threads;
    TVaCriticalSection m_writeLock;
    TVaCriticalSection m_readLock;
    bool m_destroying = false;
    unsigned m_closePauseMs = 300;

    bool m_autoOpen = false;
    TVaBaudrate m_baudrate = br1200;
    TVaParity m_parity = paNone;
    TVaDatabits m_databits = db8;
    TVaStopbits m_stopbits = sb1;
    TVaEventChars m_eventChars;
    TVaFlowControl m_flowControl;
    TVaCommOptions m_options;
    int m_portNum = 0;
    std::string m_deviceName = "COM%d";
    TVaCommEvents m_monitorEvents{ceError, ceRxChar, ceTxEmpty};
    TVaBuffers m_buffers;
    TThreadPriority m_eventPriority = tpNormal;
    TThreadPriority m_writePriority = tpHighest;
    bool m_directWrite = false;
    bool m_updateDCB = true;
    int m_userBaudrate = 0;
};

class TVaComm : public TVaCustomComm {
public:
    using TVaCustomComm::TVaCustomComm;
};
