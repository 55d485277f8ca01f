// The UDP endpoint: bound datagram sockets, one listener thread that waits on all of them, and
// delivery of every datagram to OnUDPRead on the main thread.
#pragma once

#include "IdNetworkList.h"
#include "IdThread.h"
#include "IdUDPBase.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIdUDPServer;

// AData holds exactly the datagram's bytes and ABinding has SenderIP and SenderPort set for it;
// both belong to the listener and are valid only during the call.
using TUDPReadEvent =
    std::function<void(TIdUDPServer* Sender, const std::string& AData, TIdSocketHandle& ABinding)>;

// A datagram from a sender outside the allowed networks was dropped: ASenderIP and ASenderPort
// are that datagram's, ACount how many have been dropped since activation, this one included.
using TUDPRefusedEvent = std::function<void(TIdUDPServer* Sender, const std::string& ASenderIP,
                                            int ASenderPort, uint64_t ACount)>;

// Waits on the server's bindings (1000 ms at most per wait, or until it is stopped) and hands
// each datagram, whole whatever its length, to the server. Whatever goes wrong with one
// datagram is dropped; the next is served.
class TIdUDPListenerThread : public TIdThread {
public:
    TIdUDPListenerThread(TIdUDPServer& AServer, int ABufferSize, std::vector<TIdNetwork> AAllowed,
                         std::chrono::milliseconds AReportInterval);
    ~TIdUDPListenerThread() override;

    static constexpr int WaitTime = 1000;

protected:
    void Run() override;
    void TerminateHook() override { m_wake.Set(); }

private:
    friend class TIdUDPServer; // takes a held datagram after the join
    // Counts a datagram from outside the allowed networks and reports it when one is due.
    void Refuse(const TIdInAddr& AFrom, int AFromPort);
    TIdUDPServer& m_server;
    const int m_bufferSize;
    std::vector<char> m_buffer;
    // Grown, and kept, for the first datagram longer than m_buffer; most listeners never need it.
    std::vector<char> m_longBuffer;
    std::string m_data;
    TIdSocketHandle* m_incoming = nullptr;
    // Copies made at activation: the main thread may not change them while the thread runs.
    const std::vector<TIdNetwork> m_allowed;
    const std::chrono::milliseconds m_reportInterval;
    bool m_reported = false;
    std::chrono::steady_clock::time_point m_lastReport;
    // Set when a stop came before the main thread took the delivery of m_data: deactivation
    // hands that datagram over itself once the thread has ended.
    bool m_held = false;
    TIdWakeEvent m_wake;
};

// Main-thread API. Bindings, ThreadedEvent and OnUDPRead are changed only while inactive.
// The server must not be destroyed from inside its own OnUDPRead.
class TIdUDPServer : public TIdUDPBase {
public:
    TIdUDPServer();
    ~TIdUDPServer() override;

    TIdSocketHandles& Bindings() { return m_bindings; }
    // The port of the binding that activation adds; used from the next activation on.
    int DefaultPort() const { return m_bindings.DefaultPort(); }
    void SetDefaultPort(int APort) { m_bindings.SetDefaultPort(APort); }
    // False: OnUDPRead runs on the main thread; true: in the listener thread.
    bool ThreadedEvent() const { return m_threadedEvent.load(); }
    void SetThreadedEvent(bool AValue) { m_threadedEvent = AValue; }

    // The local address the binding that activation adds listens on: "" (every address, the
    // default) or a dotted address of this machine. Used from the next activation on.
    const std::string& BindAddress() const { return m_bindAddress; }
    void SetBindAddress(const std::string& AAddress) { m_bindAddress = AAddress; }
    // The senders whose datagrams are handed on; empty (the default): any sender. A datagram
    // from elsewhere is dropped before OnUDPRead, counted, and reported through OnRefused: the
    // first after each activation, then at most one each RefusedReportInterval.
    const std::vector<TIdNetwork>& AllowedNetworks() const { return m_allowed; }
    void SetAllowedNetworks(std::vector<TIdNetwork> AList) { m_allowed = std::move(AList); }
    std::chrono::milliseconds RefusedReportInterval() const { return m_reportInterval; }
    void SetRefusedReportInterval(std::chrono::milliseconds AValue) { m_reportInterval = AValue; }
    // Datagrams dropped for their sender since the latest activation.
    uint64_t RefusedCount() const { return m_refusedCount.load(); }

    TUDPReadEvent OnUDPRead;
    // Runs on the main thread, whatever ThreadedEvent says.
    TUDPRefusedEvent OnRefused;

protected:
    TIdSocketHandle& GetBinding() override;
    void CloseBinding() override;

private:
    friend class TIdUDPListenerThread;
    struct TRetired;
    void Activate();
    void CloseAllSockets();
    // Deactivation; AHandOver: a datagram the listener received but could not deliver is
    // handed to OnUDPRead before the sockets close.
    void Deactivate(bool AHandOver);
    // Makes ABinding current and calls OnUDPRead.
    void DoUDPRead(const std::string& AData, TIdSocketHandle& ABinding);
    // Joins listeners stopped from inside a delivery and closes their sockets.
    void ReapRetired();
    static void Reap(std::vector<TRetired>& AList);

    TIdSocketHandles m_bindings;
    std::string m_bindAddress;
    std::vector<TIdNetwork> m_allowed;
    std::chrono::milliseconds m_reportInterval{std::chrono::minutes(1)};
    std::atomic<uint64_t> m_refusedCount{0};
    std::atomic_bool m_threadedEvent{false};
    std::unique_ptr<TIdUDPListenerThread> m_listener;
    int m_deliveryDepth = 0;
    std::shared_ptr<std::vector<TRetired>> m_retired;
};
