#include "IdUDPServer.h"

#include <QCoreApplication>
#include <algorithm>

// A listener stopped from inside one of its own deliveries, with the sockets it may still hold:
// it is joined, and they are closed, once that delivery has returned.
struct TIdUDPServer::TRetired {
    std::unique_ptr<TIdUDPListenerThread> Listener;
    std::vector<TIdStackSocketHandle> Sockets;
};

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& AServer, int ABufferSize,
                                           std::vector<TIdNetwork> AAllowed,
                                           std::chrono::milliseconds AReportInterval)
    : m_server(AServer), m_bufferSize(ABufferSize < 0 ? 0 : ABufferSize),
      m_buffer(static_cast<size_t>(m_bufferSize) + 1), m_allowed(std::move(AAllowed)),
      m_reportInterval(AReportInterval) {}

TIdUDPListenerThread::~TIdUDPListenerThread() {
    Stop();
    Terminate();
    WaitFor();
}

void TIdUDPListenerThread::Run() {
    TIdSocketList list;
    for (int i = 0; i < m_server.m_bindings.Count(); ++i)
        list.push_back(m_server.m_bindings[i].Handle());
    // More than 64 bindings raise here and end the thread; the server stays active.
    GStack()->Select(list, WaitTime, &m_wake);
    for (const auto socket : list) {
        try {
            // Deactivation stops the thread before it closes anything, so a stopped thread
            // touches no socket again.
            if (Stopped())
                continue;
            TIdSocketHandle* binding = nullptr;
            for (int i = m_server.m_bindings.Count() - 1; i >= 0 && !binding; --i)
                if (m_server.m_bindings[i].Handle() == socket)
                    binding = &m_server.m_bindings[i];
            if (!binding)
                continue;
            // A read into a buffer too short consumes the datagram, so its length is asked first.
            const int length = std::min(binding->PendingLength(), Id_MaxDatagram);
            char* buffer = m_buffer.data();
            int size = m_bufferSize;
            if (length > size) {
                if (m_longBuffer.size() < static_cast<size_t>(length))
                    m_longBuffer.resize(static_cast<size_t>(length));
                buffer = m_longBuffer.data();
                size = length;
            }
            TIdInAddr from{};
            int fromPort = 0;
            const int n = binding->RecvFrom(buffer, size, from, fromPort);
            if (!NetworkListAllows(m_allowed, from)) {
                Refuse(from, fromPort);
                continue;
            }
            binding->SenderIP = TIdStack::TInAddrToString(from);
            binding->SenderPort = fromPort;
            m_data.assign(buffer, static_cast<size_t>(n));
            m_incoming = binding;
            if (m_server.ThreadedEvent())
                m_server.DoUDPRead(m_data, *m_incoming);
            else if (!Synchronize([this] { m_server.DoUDPRead(m_data, *m_incoming); }))
                // Deactivation began before the main thread took the call; it delivers the
                // datagram itself after joining this thread.
                m_held = true;
        } catch (...) {
            // One datagram's failure (a receive error, the handler's exception)
            // loses that datagram only.
        }
    }
}

void TIdUDPListenerThread::Refuse(const TIdInAddr& AFrom, int AFromPort) {
    const uint64_t count = ++m_server.m_refusedCount;
    const auto now = std::chrono::steady_clock::now();
    // A flood from outside must not become a flood of reports: the first, then one a period.
    if (m_reported && now - m_lastReport < m_reportInterval)
        return;
    m_reported = true;
    m_lastReport = now;
    const std::string ip = TIdStack::TInAddrToString(AFrom);
    // A stop before the main thread took the call drops the report; the count stays.
    Synchronize([&] {
        if (m_server.OnRefused)
            m_server.OnRefused(&m_server, ip, AFromPort, count);
    });
}

TIdUDPServer::TIdUDPServer() : m_retired(std::make_shared<std::vector<TRetired>>()) {}

TIdUDPServer::~TIdUDPServer() {
    // The owner of the handler may be half gone already: a held datagram is dropped.
    Deactivate(false);
    ReapRetired();
}

TIdSocketHandle& TIdUDPServer::GetBinding() {
    if (!m_binding.load())
        Activate();
    return *m_binding.load();
}

void TIdUDPServer::Activate() {
    ReapRetired();
    if (m_bindings.Count() == 0)
        m_bindings.Add().FollowsDefaultPort = true;
    for (int i = 0; i < m_bindings.Count(); ++i) {
        TIdSocketHandle& b = m_bindings[i];
        if (b.FollowsDefaultPort) {
            b.IP = m_bindAddress;
            b.Port = DefaultPort();
        }
    }
    try {
        for (int i = 0; i < m_bindings.Count(); ++i) {
            m_bindings[i].AllocateSocket();
            m_bindings[i].Bind();
        }
        m_listener = std::make_unique<TIdUDPListenerThread>(*this, BufferSize(), m_allowed,
                                                            m_reportInterval);
    } catch (...) {
        CloseAllSockets();
        throw;
    }
    m_binding = &m_bindings[0];
    m_refusedCount = 0;
    m_listener->Start();
    for (int i = 0; i < m_bindings.Count(); ++i)
        m_bindings[i].SetBroadcast(BroadcastEnabled());
}

void TIdUDPServer::CloseAllSockets() {
    for (int i = 0; i < m_bindings.Count(); ++i)
        m_bindings[i].CloseSocket();
}

void TIdUDPServer::CloseBinding() {
    Deactivate(true);
}

void TIdUDPServer::Deactivate(bool AHandOver) {
    if (!m_listener) {
        CloseAllSockets();
        m_binding = nullptr;
        return;
    }
    m_listener->Stop();
    if (m_deliveryDepth > 0) {
        // Called from inside a delivery: the listener waits for this very call to return, so it
        // cannot be joined here. It ends on its own once the call returns (it is stopped); the
        // join and the closing of its sockets follow from the event loop.
        TRetired r{std::move(m_listener), {}};
        for (int i = 0; i < m_bindings.Count(); ++i)
            if (m_bindings[i].HandleAllocated())
                r.Sockets.push_back(m_bindings[i].Release());
        m_retired->push_back(std::move(r));
        m_binding = nullptr;
        std::weak_ptr<std::vector<TRetired>> retired = m_retired;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [retired] {
                if (auto list = retired.lock())
                    Reap(*list);
            },
            Qt::QueuedConnection);
        return;
    }
    // The stop request ends the listener's wait at once (its wake event) and makes a delivery
    // that the main thread has not yet taken return undelivered, so the join cannot hang on
    // this thread. Only then are the sockets closed: the listener never sees a closed one.
    m_listener->WaitFor();
    const std::unique_ptr<TIdUDPListenerThread> listener = std::move(m_listener);
    if (AHandOver && listener->m_held) {
        // The datagram was received while active: it is delivered as if the main thread had
        // taken the call in time. The sockets are still open; a deactivation from inside this
        // delivery finds no listener and only closes them.
        listener->m_held = false;
        try {
            DoUDPRead(listener->m_data, *listener->m_incoming);
        } catch (...) {
            // As in the listener: the handler's error loses this datagram only.
        }
    }
    CloseAllSockets();
    m_binding = nullptr;
}

void TIdUDPServer::Reap(std::vector<TRetired>& AList) {
    std::vector<TRetired> todo;
    todo.swap(AList);
    for (auto& t : todo) {
        t.Listener.reset(); // joins
        for (auto s : t.Sockets)
            IdCloseSocketHandle(s);
    }
}

void TIdUDPServer::ReapRetired() {
    Reap(*m_retired);
}

void TIdUDPServer::DoUDPRead(const std::string& AData, TIdSocketHandle& ABinding) {
    const bool onMain = !ThreadedEvent();
    if (onMain)
        ++m_deliveryDepth;
    struct TLeave {
        int* Depth;
        ~TLeave() {
            if (Depth)
                --*Depth;
        }
    } leave{onMain ? &m_deliveryDepth : nullptr};
    m_binding = &ABinding;
    if (OnUDPRead)
        OnUDPRead(this, AData, ABinding);
}
