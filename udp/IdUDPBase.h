// The common part of the UDP components: activity, buffer size, broadcast and sending.
#pragma once

#include "IdComponent.h"
#include "IdSocketHandle.h"

#include <atomic>
#include <string>

class EIdPackageSizeTooBig : public EIdSocketHandleError {
public:
    EIdPackageSizeTooBig() : EIdSocketHandleError("Package Size Too Big.") {}
};

class EIdNotAllBytesSent : public EIdSocketHandleError {
public:
    EIdNotAllBytesSent() : EIdSocketHandleError("Not all bytes sent.") {}
};

// All members are for the main thread.
class TIdUDPBase : public TIdComponent {
public:
    // True while the current binding exists and its socket is open.
    bool Active() const;
    // Activates or deactivates; writing the value it already has does nothing.
    void SetActive(bool AValue);

    // The listener's usual receive buffer; copied into the listener when it starts. A longer
    // datagram is still taken whole, in a buffer grown for it.
    int BufferSize() const { return m_bufferSize; }
    void SetBufferSize(int AValue) { m_bufferSize = AValue; }
    // Written to SO_BROADCAST of every binding at activation.
    bool BroadcastEnabled() const { return m_broadcastEnabled; }
    void SetBroadcastEnabled(bool AValue) { m_broadcastEnabled = AValue; }

    // The binding that sends; activates an inactive component.
    TIdSocketHandle& Binding() { return GetBinding(); }

    // Sends AData (any bytes, NULs included) as one datagram to AHost:APort from the current
    // binding, activating the component first when it is inactive. AHost may be a name.
    void Send(const std::string& AHost, int APort, const std::string& AData);

protected:
    TIdUDPBase() = default;
    // The current binding, made ready (bound, listened on) when there is none.
    virtual TIdSocketHandle& GetBinding() = 0;
    // Deactivation: no current binding afterwards.
    virtual void CloseBinding() = 0;

    // Written by activation, deactivation and each delivery.
    std::atomic<TIdSocketHandle*> m_binding{nullptr};

private:
    int m_bufferSize = 8192;
    bool m_broadcastEnabled = false;
};
