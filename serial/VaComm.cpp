#include "VaComm.h"

#include "Application.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace {
const char* const kPortOpen = "Can't perform this operation while port is open";

// Pause between tries of a write that failed for a reason other than a gone device.
constexpr int kWriteRetryPauseMs = 100;
// Longest pause between looks of a writer that waits for room in the queue.
constexpr auto kRoomLook = std::chrono::milliseconds(1);
} // namespace

int VaBaudrateValue(TVaBaudrate B) {
    static const int rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return rates[B];
}

uint32_t VaEventMask(TVaCommEvents Events) {
    static const uint32_t bits[] = {EV_BREAK,    EV_CTS,    EV_DSR,     EV_ERR,    EV_RING,
                                    EV_RLSD,     EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_PERR,
                                    EV_RX80FULL, EV_EVENT1, EV_EVENT2};
    uint32_t mask = 0;
    for (int e = ceBreak; e <= ceEvent2; ++e)
        if (Events.Contains(static_cast<TVaCommEvent>(e)))
            mask |= bits[e];
    return mask;
}

std::string VaFormat(const std::string& Fmt, long long Number, const std::string& Text) {
    std::string out;
    bool numberUsed = false, textUsed = false;
    for (size_t i = 0; i < Fmt.size(); ++i) {
        if (Fmt[i] == '%' && i + 1 < Fmt.size()) {
            char c = Fmt[i + 1];
            if (c == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (c == 'd' && !numberUsed) {
                out += std::to_string(Number);
                numberUsed = true;
                ++i;
                continue;
            }
            if (c == 's' && !textUsed) {
                out += Text;
                textUsed = true;
                ++i;
                continue;
            }
        }
        out += Fmt[i];
    }
    return out;
}

// Doubles every percent sign, so that a text survives a later VaFormat unchanged.
static std::string Escaped(const std::string& S) {
    std::string out;
    for (char c : S) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

std::string VaTrimmedErrorText(int Code) {
    std::string t = VaErrorText(Code);
    if (t.size() > 255)
        t.resize(255);
    while (!t.empty() && (static_cast<unsigned char>(t.back()) <= ' ' || t.back() == '.'))
        t.pop_back();
    return t;
}

// ---- write queue ----

void TVaCommBuffer::Append(const char* Data, int32_t Count) {
    int32_t n = m_count.load(std::memory_order_relaxed);
    std::memcpy(m_data.data() + n, Data, size_t(Count));
    m_count.store(n + Count, std::memory_order_release);
}

void TVaCommBuffer::Remove(int32_t Count) {
    int32_t n = m_count.load(std::memory_order_relaxed);
    Count = std::min(Count, n);
    std::memmove(m_data.data(), m_data.data() + Count, size_t(n - Count));
    m_count.store(n - Count, std::memory_order_release);
}

// ---- component ----

TVaCustomComm::TVaCustomComm(std::shared_ptr<TVaPlatform> Platform)
    : m_platform(Platform ? std::move(Platform) : VaDefaultPlatform()) {
    m_eventChars.OnChange = [this](TVaPersistent* S) { SettingsChanged(S); };
    m_flowControl.OnChange = [this](TVaPersistent* S) { SettingsChanged(S); };
    m_buffers.OnChange = [this](TVaPersistent* S) { SettingsChanged(S); };
}

TVaCustomComm::~TVaCustomComm() {
    m_destroying = true;
    try {
        Close();
    } catch (...) {
        // Nothing above a destructor can take it.
    }
    ReapThreads(true);
}

void TVaCustomComm::SetPlatform(std::shared_ptr<TVaPlatform> Platform) {
    CheckClosed();
    m_platform = Platform ? std::move(Platform) : VaDefaultPlatform();
}

void TVaCustomComm::CheckClosed() const {
    if (IsOpen())
        throw EVaCommError(kPortOpen);
}

bool TVaCustomComm::Track(TVaStatus S) const {
    if (S.Ok())
        return true;
    m_lastError = S.Code;
    return false;
}

void TVaCustomComm::RaiseLastError(const std::string& Fmt) const {
    throw EVaCommError(VaFormat(Fmt, m_lastError, VaTrimmedErrorText(m_lastError)));
}

std::string TVaCustomComm::GetDeviceName() const {
    return VaFormat(m_deviceName, m_portNum);
}

void TVaCustomComm::Loaded() {
    if (m_autoOpen)
        Open();
}

void TVaCustomComm::SettingsChanged(TVaPersistent* Sender) {
    if (Sender == &m_buffers) {
        CheckClosed();
        InitBuffers();
    }
    WriteDCB();
}

void TVaCustomComm::SetBaudrate(TVaBaudrate V) {
    if (V == m_baudrate)
        return;
    const TVaBaudrate oldRate = m_baudrate;
    const int oldUser = m_userBaudrate;
    m_baudrate = V;
    if (V != brUser)
        m_userBaudrate = 0;
    ApplyOrUndo([&] {
        m_baudrate = oldRate;
        m_userBaudrate = oldUser;
    });
}

void TVaCustomComm::SetParity(TVaParity V) {
    if (V != m_parity) {
        const TVaParity old = std::exchange(m_parity, V);
        ApplyOrUndo([&] { m_parity = old; });
    }
}

void TVaCustomComm::SetDatabits(TVaDatabits V) {
    if (V != m_databits) {
        const TVaDatabits old = std::exchange(m_databits, V);
        ApplyOrUndo([&] { m_databits = old; });
    }
}

void TVaCustomComm::SetStopbits(TVaStopbits V) {
    if (V != m_stopbits) {
        const TVaStopbits old = std::exchange(m_stopbits, V);
        ApplyOrUndo([&] { m_stopbits = old; });
    }
}

void TVaCustomComm::SetOptions(TVaCommOptions V) {
    if (!(V == m_options)) {
        const TVaCommOptions old = std::exchange(m_options, V);
        ApplyOrUndo([&] { m_options = old; });
    }
}

void TVaCustomComm::SetPortNum(int V) {
    CheckClosed();
    m_portNum = V;
}

void TVaCustomComm::SetDeviceName(std::string V) {
    CheckClosed();
    m_deviceName = std::move(V);
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents V) {
    CheckClosed();
    m_monitorEvents = V;
}

void TVaCustomComm::SetBuffers(const TVaBuffers& V) {
    CheckClosed();
    m_buffers.Assign(V);
}

void TVaCustomComm::SetEventPriority(TThreadPriority V) {
    if (V == m_eventPriority)
        return;
    m_eventPriority = V;
    if (m_eventThread)
        m_eventThread->SetPriority(V);
}

void TVaCustomComm::SetWritePriority(TThreadPriority V) {
    if (V == m_writePriority)
        return;
    m_writePriority = V;
    if (m_writeThread)
        m_writeThread->SetPriority(V);
}

void TVaCustomComm::SetDirectWrite(bool V) {
    CheckClosed();
    m_directWrite = V;
}

void TVaCustomComm::SetUpdateDCB(bool V) {
    CheckClosed();
    m_updateDCB = V;
}

void TVaCustomComm::SetUserBaudrate(int V) {
    if (V == m_userBaudrate)
        return;
    const TVaBaudrate oldRate = m_baudrate;
    const int oldUser = m_userBaudrate;
    m_userBaudrate = V;
    m_baudrate = brUser;
    ApplyOrUndo([&] {
        m_baudrate = oldRate;
        m_userBaudrate = oldUser;
    });
}

TVaLineSettings TVaCustomComm::BuildLineSettings() const {
    TVaLineSettings d;
    d.BaudRate = uint32_t(m_baudrate == brUser ? m_userBaudrate : VaBaudrateValue(m_baudrate));
    d.ByteSize = uint8_t(4 + m_databits);
    d.Parity = uint8_t(m_parity);
    d.StopBits = uint8_t(m_stopbits);
    d.XonChar = m_eventChars.XonChar();
    d.XoffChar = m_eventChars.XoffChar();
    d.ErrorChar = m_eventChars.ErrorChar();
    d.EofChar = m_eventChars.EofChar();
    d.EvtChar = m_eventChars.EventChar();
    d.XonLim = uint16_t(m_buffers.XonLimit());
    d.XoffLim = uint16_t(m_buffers.XoffLimit());
    d.Binary = true;
    d.OutxCtsFlow = m_flowControl.OutCtsFlow();
    d.OutxDsrFlow = m_flowControl.OutDsrFlow();
    d.DtrControl = uint8_t(m_flowControl.ControlDtr());
    d.DsrSensitivity = m_flowControl.DsrSensitivity();
    d.TXContinueOnXoff = m_flowControl.TxContinueOnXoff();
    d.OutX = m_flowControl.XonXoffOut();
    d.InX = m_flowControl.XonXoffIn();
    d.RtsControl = uint8_t(m_flowControl.ControlRts());
    d.ErrorCharOn = m_options.Contains(coErrorChar);
    d.NullStrip = m_options.Contains(coNullStrip);
    d.ParityCheck = m_options.Contains(coParityCheck);
    return d;
}

void TVaCustomComm::WriteDCB() {
    if (!IsOpen() || !m_updateDCB)
        return;
    CheckResult(Track(m_open->Port->SetLine(BuildLineSettings())), "Error writing dcb (%d), %s");
}

void TVaCustomComm::InitBuffers() {
    if (!IsOpen())
        return;
    CheckResult(Track(m_open->Port->SetQueues(uint32_t(m_buffers.ReadSize()),
                                              uint32_t(m_buffers.WriteSize()))),
                "Error initializing buffers (%d), %s");
}

void TVaCustomComm::SetTimeouts() {
    // Reads return at once with what has arrived; writes have no time-out.
    TVaTimeouts t;
    t.ReadIntervalTimeout = 0xFFFFFFFFu;
    CheckResult(Track(m_open->Port->SetTimeouts(t)), "Error setting timeouts (%d), %s");
}

void TVaCustomComm::SetEventMask() {
    uint32_t mask = VaEventMask(m_monitorEvents);
    if (!m_directWrite)
        mask &= ~uint32_t(EV_TXEMPTY); // the write thread reports an empty queue itself
    if (OnModemLines)
        mask |= VA_EV_LINES;
    m_eventMask = mask;
    if (IsOpen())
        CheckResult(Track(m_open->Port->SetEventMask(mask)), " Error setting EventMask (%d), %s");
}

void TVaCustomComm::CreateHandle() {
    std::string name = GetDeviceName();
    std::shared_ptr<TVaPort> port;
    TVaStatus s = m_platform->Open(name, port);
    if (!s.Ok() || !port) {
        Track(s);
        if (s.Err == TVaErr::NotFound)
            RaiseLastError(Escaped(VaFormat("Specified device not found (%s).", 0, name)));
        RaiseLastError(Escaped(VaFormat("Can't open specified device %s", 0, name)) +
                       " (Error %d, %s)");
    }
    m_open = std::make_shared<TVaOpenPort>();
    m_open->Port = std::move(port);
    if (!m_linesSeen)
        m_open->Port->SetLinesSeen(false);
}

void TVaCustomComm::DestroyHandle() {
    if (!m_open)
        return;
    auto open = std::move(m_open);
    m_open = nullptr;
    open->Port->Close();
}

void TVaCustomComm::Open() {
    CheckClosed();
    ReapThreads(false);
    CreateHandle();
    auto undo = [this] {
        {
            std::lock_guard<TVaCriticalSection> g(m_readLock);
            StopThreads();
        }
        DestroyHandle();
    };
    try {
        WriteDCB();
        InitBuffers();
        SetTimeouts();
        SetEventMask();
        CreateThreads();
    } catch (const std::system_error& e) {
        // No wait object or thread to be had (descriptors or threads exhausted): the port
        // cannot be opened, and the operator is told so like of any other failed open.
        undo();
        m_lastError = e.code().value();
        RaiseLastError(Escaped(VaFormat("Can't open specified device %s", 0, GetDeviceName())) +
                       " (Error %d, %s)");
    } catch (...) {
        undo();
        throw;
    }
    DoOpen();
}

namespace {
// What is left of a device that has gone once its descriptor is given back.
class TVaGonePort : public TVaPort {
    static TVaStatus GoneStatus() { return {TVaErr::Gone, EIO}; }

public:
    TVaStatus SetLine(const TVaLineSettings&) override { return GoneStatus(); }
    TVaStatus SetQueues(uint32_t, uint32_t) override { return GoneStatus(); }
    TVaStatus SetTimeouts(const TVaTimeouts&) override { return GoneStatus(); }
    TVaStatus SetEventMask(uint32_t) override { return GoneStatus(); }
    TVaStatus WaitEvent(uint32_t&, const TVaWaitEvent&) override { return GoneStatus(); }
    TVaStatus Read(char*, uint32_t, uint32_t& Got) override {
        Got = 0;
        return GoneStatus();
    }
    TVaStatus Write(const char*, uint32_t, uint32_t& Done, const TVaWaitEvent*, int) override {
        Done = 0;
        return GoneStatus();
    }
    TVaStatus ClearError(TVaComStat& Stat, bool) override {
        Stat = {};
        return GoneStatus();
    }
    TVaStatus Escape(int) override { return GoneStatus(); }
    TVaStatus ModemStatus(uint32_t& Bits) override {
        Bits = 0;
        return GoneStatus();
    }
    bool Gone() const override { return true; }
    void Close() override {}
};
} // namespace

void TVaCustomComm::ReleaseLost() {
    if (!Lost() || dynamic_cast<TVaGonePort*>(m_open->Port.get()))
        return;
    {
        std::lock_guard<TVaCriticalSection> g(m_readLock);
        StopThreads();
    }
    // The threads keep their own hold on the old port until they have left; its Close waits
    // for the calls in flight and wakes the waits.
    auto released = std::make_shared<TVaOpenPort>();
    released->Port = std::make_shared<TVaGonePort>();
    released->GoneSeen = true;
    released->GoneReported = true;
    std::swap(released, m_open);
    released->Port->Close();
}

void TVaCustomComm::DoOpen() {
    if (OnOpen)
        Guarded([&] { OnOpen(this); });
}

void TVaCustomComm::Close() {
    if (!IsOpen())
        return;
    {
        std::lock_guard<TVaCriticalSection> g(m_readLock);
        StopThreads();
    }
    // A device that has gone is not waited for.
    const bool gone = dynamic_cast<TVaGonePort*>(m_open->Port.get()) != nullptr;
    DestroyHandle();
    ReapThreads(false);
    struct TPause {
        unsigned Ms;
        ~TPause() { Sleep(Ms); }
    } pause{gone ? 0 : m_closePauseMs};
    DoClose();
}

void TVaCustomComm::DoClose() {
    if (OnClose && !m_destroying)
        OnClose(this);
}

void TVaCustomComm::CreateThreads() {
    if (m_eventMask != 0) {
        auto t = std::make_unique<TVaCommEventThread>(this, m_open, m_eventMask);
        t->SetPriority(m_eventPriority);
        m_eventThread = t.get();
        m_threads.push_back(std::move(t));
        m_eventThread->Start();
    }
    if (!m_directWrite) {
        auto t = std::make_unique<TVaCommWriteThread>(this, m_open, m_buffers.WriteSize());
        t->SetPriority(m_writePriority);
        m_writeThread = t.get();
        m_threads.push_back(std::move(t));
        m_writeThread->Start();
    }
}

void TVaCustomComm::StopThreads() {
    if (m_eventThread) {
        m_eventThread->Stop();
        m_eventThread = nullptr;
    }
    if (m_writeThread) {
        m_writeThread->Stop();
        m_writeThread = nullptr;
    }
}

void TVaCustomComm::ReapThreads(bool Wait) {
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        TThread* t = it->get();
        bool current = t == m_eventThread || t == m_writeThread;
        if (Wait)
            t->Terminate();
        if ((Wait || t->Finished()) && !current) {
            t->WaitFor();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

TVaComStat TVaCustomComm::GetStatus() {
    return QueryStatus(true);
}

TVaComStat TVaCustomComm::QueryStatus(bool Reports, bool QuietWhenGone) {
    std::lock_guard<TVaCriticalSection> g(m_readLock);
    TVaComStat stat;
    if (IsOpen()) {
        TVaStatus s = m_open->Port->ClearError(stat, Reports);
        if (s.Ok()) {
            // The device's loss is reported once, as a line error. A query that only wants
            // the count (a read) may meet it first: then it stays for the next report.
            if (!Reports && (stat.Errors & CE_IOE))
                m_open->LossUnreported = true;
            if (Reports && m_open->LossUnreported.exchange(false))
                stat.Errors |= CE_IOE;
            return stat;
        }
        stat = TVaComStat{};
        if (s.Err == TVaErr::Gone && QuietWhenGone)
            return stat;
        if (Reports && s.Err == TVaErr::Gone && m_open->LossUnreported.exchange(false)) {
            stat.Errors = CE_IOE;
            return stat;
        }
        CheckResult(Track(s), "Error retrieving statistics (%d), %s");
    }
    return stat;
}

int TVaCustomComm::ReadCount() {
    if (!IsOpen())
        return 0;
    return int(QueryStatus(false).InQue);
}

void TVaCustomComm::DoRxChar() {
    // Bytes announced just before the device went: there is nothing left to read, and the
    // loss is reported once, as a line error, not here as well.
    // While the device keeps talking, the bytes that came during a handler that read are
    // announced in the same call, for a millisecond at most: one hand-over then carries more
    // than one queueful, and the window still sees its own events between calls. Bytes a
    // handler left unread are not announced again.
    const auto until = std::chrono::steady_clock::now() + kRxCallBudget;
    for (;;) {
        const int count = IsOpen() ? int(QueryStatus(false, true).InQue) : 0;
        if (count <= 0 || !OnRxChar)
            return;
        const uint64_t taken = m_bytesTaken.load();
        OnRxChar(this, count);
        if (m_bytesTaken.load() == taken || std::chrono::steady_clock::now() >= until)
            return;
    }
}

bool TVaCustomComm::DoError() {
    TVaComStat stat = GetStatus();
    if (stat.Errors != 0 && OnError)
        Guarded([&] { OnError(this, int(stat.Errors)); });
    return stat.Errors != 0;
}

void TVaCustomComm::DispatchEvents(uint32_t Mask) {
    auto fire = [&](uint32_t bit, const auto& handler) {
        if ((Mask & bit) && handler)
            handler(this);
    };
    if (Mask & EV_ERR)
        DoError();
    fire(EV_RXFLAG, OnRxFlag);
    fire(EV_CTS, OnCts);
    fire(EV_DSR, OnDsr);
    fire(EV_RING, OnRing);
    fire(EV_RLSD, OnRlsd);
    fire(EV_TXEMPTY, OnTxEmpty);
    fire(EV_BREAK, OnBreak);
    fire(EV_PERR, OnPErr);
    fire(EV_RX80FULL, OnRx80Full);
    fire(EV_EVENT1, OnEvent1);
    fire(EV_EVENT2, OnEvent2);
    fire(VA_EV_LINES, OnModemLines);
}

// ---- port I/O ----

int TVaCustomComm::WriteBuf(const char* Data, int Count) {
    if (!IsOpen())
        return 0;
    if (!m_directWrite) {
        // A device that has gone takes nothing: the text is refused and the caller says so,
        // instead of queueing bytes that nobody will send.
        if (m_open->Lost())
            return 0;
        switch (m_writeThread ? m_writeThread->QueueWrite(Data, Count) : TVaQueued::Full) {
        case TVaQueued::Queued:
            return Count;
        case TVaQueued::TooLong:
        case TVaQueued::Lost:
            return 0;
        case TVaQueued::Full:
            break;
        }
        m_lastError = 0;
        RaiseLastError("Output buffer is full. Please check comm status.");
    }
    std::lock_guard<TVaCriticalSection> g(m_writeLock);
    uint32_t done = 0;
    TVaStatus s = m_open->Port->Write(Data, uint32_t(std::max(Count, 0)), done, nullptr,
                                      m_buffers.ReadTimeout());
    if (s.Err == TVaErr::Timeout)
        return 0;
    CheckResult(Track(s), "Write error (%d), %s");
    return int(done);
}

bool TVaCustomComm::WriteText(const std::string& Text) {
    int n = int(Text.size());
    return WriteBuf(Text.data(), n) == n;
}

int TVaCustomComm::ReadBuf(char* Buf, int Count) {
    if (!IsOpen())
        return 0;
    std::lock_guard<TVaCriticalSection> g(m_readLock);
    uint32_t got = 0;
    CheckResult(Track(m_open->Port->Read(Buf, uint32_t(std::max(Count, 0)), got)),
                "Read error (%d), %s");
    m_bytesTaken += got;
    return int(got);
}

std::string TVaCustomComm::ReadText() {
    int n = ReadCount();
    if (n <= 0)
        return {};
    std::string s(size_t(n), '\0');
    s.resize(size_t(ReadBuf(s.data(), n)));
    return s;
}

void TVaCustomComm::CommFunction(int Code) {
    if (!IsOpen())
        return;
    CheckResult(Track(m_open->Port->Escape(Code)), "Error calling comm function (%d), %s");
}

void TVaCustomComm::SetDTR(bool Value) {
    if (m_flowControl.ControlDtr() == dtrHandshake)
        throw EVaCommError("DTR line updates not allowed when flowcontrol is set to Handshake.");
    CommFunction(Value ? SETDTR : CLRDTR);
}

void TVaCustomComm::SetRTS(bool Value) {
    if (m_flowControl.ControlRts() == rtsHandshake || m_flowControl.ControlRts() == rtsToggle)
        throw EVaCommError(
            "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
    CommFunction(Value ? SETRTS : CLRRTS);
}

uint32_t TVaCustomComm::ModemStatus() {
    uint32_t status = 0;
    if (IsOpen())
        CheckResult(Track(m_open->Port->ModemStatus(status)), "Error reading modem state (%d), %s");
    return status;
}

bool TVaCustomComm::ReportsModemLines() const {
    return IsOpen() && m_open->Port->ReportsLineChanges();
}

void TVaCustomComm::SetModemLinesSeen(bool Seen) {
    m_linesSeen = Seen;
    if (IsOpen())
        m_open->Port->SetLinesSeen(Seen);
}

bool TVaCustomComm::ModemLineOn(int Line) {
    static const uint32_t bits[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
    uint32_t status = ModemStatus();
    if (Line < 1 || Line > 4)
        return false;
    return (status & bits[Line - 1]) != 0;
}

// ---- event thread ----

TVaCommEventThread::TVaCommEventThread(TVaCustomComm* Owner, std::shared_ptr<TVaOpenPort> Port,
                                       uint32_t Mask)
    : m_owner(Owner), m_port(std::move(Port)), m_eventMask(Mask) {}

void TVaCommEventThread::Execute() {
    while (!Terminated()) {
        uint32_t fired = 0;
        TVaStatus s = m_port->Port->WaitEvent(fired, m_event);
        if (s.Ok()) {
            m_mask = fired;
            Notify();
        } else if (s.Err == TVaErr::Gone) {
            // A gone device reports its loss once, as a line error, and is then left alone.
            m_port->GoneSeen = true;
            uint32_t report = 0;
            if ((m_eventMask & EV_ERR) && m_port->ClaimGoneReport())
                report |= EV_ERR;
            // Whoever shows the lines learns that they can no longer be read.
            if (m_eventMask & VA_EV_LINES)
                report |= VA_EV_LINES;
            if (report) {
                m_mask = report;
                Notify();
            }
            while (!Terminated())
                m_event.WaitFor(VaInfinite);
        } else if (s.Err != TVaErr::Stopped) {
            // A failed wait is tried again, after a breath so that a lasting failure
            // cannot take a whole core.
            m_event.WaitFor(10);
        }
    }
}

void TVaCommEventThread::Notify() {
    if (!Terminated())
        Synchronize([this] { HandleEvent(); });
}

void TVaCommEventThread::HandleEvent() {
    try {
        if (m_mask & EV_RXCHAR) {
            m_owner->DoRxChar();
            m_mask &= ~uint32_t(EV_RXCHAR);
        }
        // A handler that closed the port has ended this thread's notifications.
        if (m_mask != 0 && !Terminated())
            m_owner->DispatchEvents(m_mask);
    } catch (...) {
        HandleException(std::current_exception());
    }
}

// ---- write thread ----

TVaCommWriteThread::TVaCommWriteThread(TVaCustomComm* Owner, std::shared_ptr<TVaOpenPort> Port,
                                       int32_t Size)
    : m_owner(Owner), m_port(std::move(Port)), m_size(std::max(Size, 0)),
      m_buffer(m_size + VaLongestText) {}

TVaQueued TVaCommWriteThread::QueueWrite(const char* Data, int32_t Count) {
    const long long size = m_size;
    const long long block = m_buffer.Capacity();
    if (Count > block)
        return TVaQueued::TooLong;
    // An ordinary write waits until the total is below the queue's size. A text that could
    // never get below it waits only for room in the block, which holds it beside a full
    // queue, so it goes whole and the window does not wait for the device to drain.
    const bool longText = Count > size;
    auto fits = [&] {
        const long long total = m_buffer.Count() + (long long)Count;
        return longText ? total <= block : total < size;
    };
    if (longText ? !fits() : m_buffer.Count() + (long long)Count > size) {
        TVaPlatform& platform = m_owner->Platform();
        TVaDeadline deadline(platform.TickCount(), uint32_t(m_owner->Buffers().WriteTimeout()));
        for (;;) {
            if (fits())
                break;
            if (m_port->Lost())
                return TVaQueued::Lost;
            if (deadline.Passed(platform.TickCount()))
                return TVaQueued::Full;
            std::unique_lock<std::mutex> l(m_roomLock);
            m_room.wait_for(l, kRoomLook);
        }
    }
    std::lock_guard<TVaCriticalSection> g(m_owner->m_writeLock);
    m_buffer.Append(Data, Count);
    SetPending(true);
    return TVaQueued::Queued;
}

void TVaCommWriteThread::SetPending(bool On) {
    if (On == m_pending)
        return;
    m_pending = On;
    if (On)
        m_pendingEvent.Signal();
    else
        m_pendingEvent.Reset();
}

void TVaCommWriteThread::Execute() {
    while (!Terminated()) {
        int w = VaWaitForAny({&m_stopEvent, &m_pendingEvent}, VaInfinite);
        if (w == 0 || Terminated())
            break;
        if (w < 0)
            continue;
        const char* start;
        int32_t count;
        {
            std::lock_guard<TVaCriticalSection> g(m_owner->m_writeLock);
            start = m_buffer.Data();
            count = m_buffer.Count();
            if (count == 0) {
                SetPending(false);
                continue;
            }
        }
        uint32_t done = 0;
        TVaStatus s = m_port->Port->Write(start, uint32_t(count), done, &m_stopEvent, VaInfinite);
        if (s.Ok()) {
            Complete(done);
        } else if (s.Err == TVaErr::Stopped) {
            break;
        } else if (s.Err == TVaErr::Gone) {
            // Nothing more can be sent: report once, then wait only for the stop.
            m_port->GoneSeen = true;
            if (m_port->ClaimGoneReport())
                Dispatch(EV_ERR);
            while (!Terminated())
                m_stopEvent.WaitFor(VaInfinite);
        } else {
            // What the device took before the failure leaves the queue, so the retry cannot
            // send it twice; the rest stays queued and is tried again after a pause.
            if (done > 0)
                Complete(done);
            Dispatch(EV_ERR);
            m_stopEvent.WaitFor(kWriteRetryPauseMs);
        }
    }
}

void TVaCommWriteThread::Complete(uint32_t Written) {
    bool empty;
    {
        std::lock_guard<TVaCriticalSection> g(m_owner->m_writeLock);
        m_buffer.Remove(int32_t(Written));
        empty = m_buffer.Count() == 0;
        SetPending(!empty);
    }
    {
        std::lock_guard<std::mutex> l(m_roomLock);
        m_room.notify_all();
    }
    // Announcing an empty queue blocks this thread until the main thread has run the
    // call; without a handler the call would fire nothing, and writes would wait on it.
    if (empty && m_owner->OnTxEmpty.Assigned())
        Dispatch(EV_TXEMPTY);
}

void TVaCommWriteThread::Dispatch(uint32_t Mask) {
    if (Terminated())
        return;
    Synchronize([this, Mask] { Guarded([&] { m_owner->DispatchEvents(Mask); }); });
}
