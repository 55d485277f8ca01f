// A scriptable serial platform for the component's tests: devices by name, bytes fed
// and taken, modem lines, line errors and events, a failure of any call with a chosen
// errno, writes held back, an unplug, and a settable millisecond clock.
#pragma once

#include "VaClasses.h"
#include "VaPlatform.h"
#include "VaPlatformLinux.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

// The device calls a test can count and make fail; a misspelt one does not compile.
enum class TFakeOp {
    Open,
    SetLine,
    SetQueues,
    SetTimeouts,
    SetEventMask,
    WaitEvent,
    Read,
    Write,
    ClearError,
    Escape,
    ModemStatus,
};

// For a failing case's message; a switch, so a new call without a name warns.
inline const char* FakeOpName(TFakeOp Op) {
    switch (Op) {
    case TFakeOp::Open:
        return "Open";
    case TFakeOp::SetLine:
        return "SetLine";
    case TFakeOp::SetQueues:
        return "SetQueues";
    case TFakeOp::SetTimeouts:
        return "SetTimeouts";
    case TFakeOp::SetEventMask:
        return "SetEventMask";
    case TFakeOp::WaitEvent:
        return "WaitEvent";
    case TFakeOp::Read:
        return "Read";
    case TFakeOp::Write:
        return "Write";
    case TFakeOp::ClearError:
        return "ClearError";
    case TFakeOp::Escape:
        return "Escape";
    case TFakeOp::ModemStatus:
        return "ModemStatus";
    }
    return "?";
}

inline std::ostream& operator<<(std::ostream& Out, TFakeOp Op) {
    return Out << FakeOpName(Op);
}

class TFakeDevice {
public:
    TFakeDevice() {
        m_rxKick = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_txKick = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~TFakeDevice() {
        ::close(m_rxKick);
        ::close(m_txKick);
    }

    // ---- the test's side ----
    // Bytes arrive from the line: EV_RXCHAR, and EV_RXFLAG for the event character;
    // Events and Errors come in the same notification.
    void Feed(const std::string& Bytes, uint32_t Events = 0, uint32_t Errors = 0) {
        std::lock_guard<std::mutex> g(m_lock);
        m_input += Bytes;
        m_latched |= EV_RXCHAR | Events;
        m_errors |= Errors;
        if (Bytes.find(m_line.EvtChar) != std::string::npos)
            m_latched |= EV_RXFLAG;
        Kick(m_rxKick);
    }
    // Line events and error flags as the driver would report them.
    void Raise(uint32_t Events, uint32_t Errors = 0) {
        std::lock_guard<std::mutex> g(m_lock);
        m_latched |= Events;
        m_errors |= Errors;
        Kick(m_rxKick);
    }
    void SetModem(uint32_t Bits) {
        std::lock_guard<std::mutex> g(m_lock);
        m_modem = Bits;
    }
    // The next Times calls of Op fail with the errno; Times < 0 fails every call.
    void Fail(TFakeOp Op, int Errno, int Times = 1) {
        std::lock_guard<std::mutex> g(m_lock);
        m_fail[Op] = {Errno, Times};
    }
    // Writes take at most what has been granted; Grant(-1) lets everything through.
    void HoldWrites() {
        std::lock_guard<std::mutex> g(m_lock);
        m_grant = 0;
    }
    void Grant(long long Bytes) {
        std::lock_guard<std::mutex> g(m_lock);
        m_grant = Bytes < 0 ? -1 : (m_grant < 0 ? 0 : m_grant) + Bytes;
        Kick(m_txKick);
    }
    void Unplug() {
        std::lock_guard<std::mutex> g(m_lock);
        m_gone = true;
        Kick(m_rxKick);
        Kick(m_txKick);
    }
    void SetPresent(bool V) {
        std::lock_guard<std::mutex> g(m_lock);
        m_present = V;
    }

    std::string Written() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_written;
    }
    std::vector<TVaLineSettings> Lines() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lines;
    }
    std::vector<int> Escapes() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_escapes;
    }
    int Calls(TFakeOp Op) {
        std::lock_guard<std::mutex> g(m_lock);
        return m_calls[Op];
    }
    uint32_t Mask() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_mask;
    }
    TVaTimeouts Timeouts() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_timeouts;
    }
    std::pair<uint32_t, uint32_t> Queues() {
        std::lock_guard<std::mutex> g(m_lock);
        return {m_inSize, m_outSize};
    }
    int Opens() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_opens;
    }
    int Closes() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_closes;
    }

private:
    friend class TFakePort;
    friend class TFakePlatform;
    static void Kick(int Fd) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(Fd, &one, sizeof one);
    }
    static void Drain(int Fd) {
        uint64_t v;
        [[maybe_unused]] ssize_t r = ::read(Fd, &v, sizeof v);
    }
    static TVaStatus FromErrno(int E) {
        switch (E) {
        case ENOENT:
            return {TVaErr::NotFound, E};
        case EBUSY:
            return {TVaErr::Busy, E};
        case EACCES:
            return {TVaErr::Access, E};
        case EINVAL:
            return {TVaErr::Invalid, E};
        case EIO:
            return {TVaErr::Gone, E};
        default:
            return {TVaErr::Other, E};
        }
    }
    // Counts the call and says whether it is scripted to fail (caller holds m_lock).
    bool Failing(TFakeOp Op, TVaStatus& S) {
        ++m_calls[Op];
        if (m_gone && Op != TFakeOp::Open) {
            S = {TVaErr::Gone, EIO};
            return true;
        }
        auto it = m_fail.find(Op);
        if (it == m_fail.end() || it->second.second == 0)
            return false;
        if (it->second.second > 0)
            --it->second.second;
        S = FromErrno(it->second.first);
        return true;
    }

    std::mutex m_lock;
    int m_rxKick, m_txKick;
    bool m_present = true;
    bool m_gone = false;
    bool m_open = false;
    int m_opens = 0, m_closes = 0;
    std::string m_input, m_written;
    uint32_t m_latched = 0, m_errors = 0, m_modem = 0, m_mask = 0;
    long long m_grant = -1;
    TVaLineSettings m_line;
    std::vector<TVaLineSettings> m_lines;
    std::vector<int> m_escapes;
    TVaTimeouts m_timeouts;
    uint32_t m_inSize = 0, m_outSize = 0;
    std::map<TFakeOp, std::pair<int, int>> m_fail;
    std::map<TFakeOp, int> m_calls;
};

class TFakePort : public TVaPort {
public:
    explicit TFakePort(std::shared_ptr<TFakeDevice> D) : m_d(std::move(D)) {}
    ~TFakePort() override { Close(); }

    TVaStatus SetLine(const TVaLineSettings& S) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        TVaStatus st;
        if (m_d->Failing(TFakeOp::SetLine, st))
            return st;
        m_d->m_line = S;
        m_d->m_lines.push_back(S);
        return {};
    }
    TVaStatus SetQueues(uint32_t In, uint32_t Out) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        TVaStatus st;
        if (m_d->Failing(TFakeOp::SetQueues, st))
            return st;
        m_d->m_inSize = In;
        m_d->m_outSize = Out;
        return {};
    }
    TVaStatus SetTimeouts(const TVaTimeouts& T) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        TVaStatus st;
        if (m_d->Failing(TFakeOp::SetTimeouts, st))
            return st;
        m_d->m_timeouts = T;
        return {};
    }
    TVaStatus SetEventMask(uint32_t Mask) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        TVaStatus st;
        if (m_d->Failing(TFakeOp::SetEventMask, st))
            return st;
        m_d->m_mask = Mask;
        return {};
    }
    TVaStatus WaitEvent(uint32_t& Fired, const TVaWaitEvent& Wake) override {
        Fired = 0;
        {
            std::lock_guard<std::mutex> g(m_d->m_lock);
            TVaStatus st;
            if (m_d->Failing(TFakeOp::WaitEvent, st))
                return st;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> g(m_d->m_lock);
                if (m_closed)
                    return {TVaErr::Stopped, 0};
                if (m_d->m_gone)
                    return {TVaErr::Gone, EIO};
                uint32_t ev = m_d->m_latched & m_d->m_mask;
                if (ev) {
                    m_d->m_latched &= ~ev;
                    Fired = ev;
                    return {};
                }
            }
            pollfd p[2] = {{VaWaitObjectHandle(Wake), POLLIN, 0}, {m_d->m_rxKick, POLLIN, 0}};
            ::poll(p, 2, -1);
            if (p[0].revents)
                return {TVaErr::Stopped, 0};
            TFakeDevice::Drain(m_d->m_rxKick);
        }
    }
    TVaStatus Read(char* Buf, uint32_t Count, uint32_t& Got) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        Got = 0;
        TVaStatus st;
        if (m_d->Failing(TFakeOp::Read, st))
            return st;
        Got = uint32_t(std::min<size_t>(Count, m_d->m_input.size()));
        std::copy(m_d->m_input.begin(), m_d->m_input.begin() + Got, Buf);
        m_d->m_input.erase(0, Got);
        return {};
    }
    TVaStatus Write(const char* Data, uint32_t Count, uint32_t& Done, const TVaWaitEvent* Stop,
                    int TimeoutMs) override {
        Done = 0;
        {
            std::lock_guard<std::mutex> g(m_d->m_lock);
            TVaStatus st;
            if (m_d->Failing(TFakeOp::Write, st))
                return st;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> g(m_d->m_lock);
                if (m_closed)
                    return {TVaErr::Stopped, 0};
                if (m_d->m_gone)
                    return {TVaErr::Gone, EIO};
                if (m_d->m_grant != 0) {
                    uint32_t n = m_d->m_grant < 0
                                     ? Count
                                     : uint32_t(std::min<long long>(Count, m_d->m_grant));
                    if (m_d->m_grant > 0)
                        m_d->m_grant -= n;
                    m_d->m_written.append(Data, n);
                    Done = n;
                    return {};
                }
            }
            pollfd p[2] = {{Stop ? VaWaitObjectHandle(*Stop) : -1, POLLIN, 0},
                           {m_d->m_txKick, POLLIN, 0}};
            if (::poll(p, 2, TimeoutMs) == 0)
                return {TVaErr::Timeout, ETIMEDOUT};
            if (p[0].revents)
                return {TVaErr::Stopped, 0};
            TFakeDevice::Drain(m_d->m_txKick);
        }
    }
    TVaStatus ClearError(TVaComStat& Stat, bool) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        Stat = {};
        TVaStatus st;
        if (m_d->Failing(TFakeOp::ClearError, st))
            return st;
        Stat.Errors = m_d->m_errors;
        m_d->m_errors = 0;
        Stat.InQue = uint32_t(m_d->m_input.size());
        return {};
    }
    TVaStatus Escape(int Code) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        TVaStatus st;
        if (m_d->Failing(TFakeOp::Escape, st))
            return st;
        m_d->m_escapes.push_back(Code);
        return {};
    }
    TVaStatus ModemStatus(uint32_t& Bits) override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        Bits = 0;
        TVaStatus st;
        if (m_d->Failing(TFakeOp::ModemStatus, st))
            return st;
        Bits = m_d->m_modem;
        return {};
    }
    void Close() override {
        std::lock_guard<std::mutex> g(m_d->m_lock);
        if (m_closed)
            return;
        m_closed = true;
        m_d->m_open = false;
        ++m_d->m_closes;
        TFakeDevice::Kick(m_d->m_rxKick);
        TFakeDevice::Kick(m_d->m_txKick);
    }

private:
    std::shared_ptr<TFakeDevice> m_d;
    bool m_closed = false; // guarded by the device's lock
};

class TFakePlatform : public TVaPlatform {
public:
    // The device answering to Name, made on first use.
    std::shared_ptr<TFakeDevice> Device(const std::string& Name) {
        std::lock_guard<std::mutex> g(m_lock);
        auto& d = m_devices[Name];
        if (!d)
            d = std::make_shared<TFakeDevice>();
        return d;
    }
    TVaStatus Open(const std::string& Name, std::shared_ptr<TVaPort>& Port) override {
        std::shared_ptr<TFakeDevice> d;
        {
            std::lock_guard<std::mutex> g(m_lock);
            auto it = m_devices.find(Name);
            if (it == m_devices.end())
                return {TVaErr::NotFound, ENOENT};
            d = it->second;
        }
        std::lock_guard<std::mutex> g(d->m_lock);
        TVaStatus st;
        if (d->Failing(TFakeOp::Open, st))
            return st;
        if (!d->m_present)
            return {TVaErr::NotFound, ENOENT};
        if (d->m_open)
            return {TVaErr::Busy, EBUSY};
        d->m_open = true;
        d->m_gone = false;
        ++d->m_opens;
        Port = std::make_shared<TFakePort>(d);
        return {};
    }
    // Each reading of the clock advances it by Step ms.
    uint32_t TickCount() override { return Tick.fetch_add(TickStep); }
    std::atomic<uint32_t> Tick{1000};
    std::atomic<uint32_t> TickStep{1};

private:
    std::mutex m_lock;
    std::map<std::string, std::shared_ptr<TFakeDevice>> m_devices;
};
