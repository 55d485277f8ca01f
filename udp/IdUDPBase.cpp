#include "IdUDPBase.h"

bool TIdUDPBase::Active() const {
    const TIdSocketHandle* b = m_binding.load();
    return b && b->HandleAllocated();
}

void TIdUDPBase::SetActive(bool AValue) {
    if (AValue == Active())
        return;
    if (AValue)
        GetBinding();
    else
        CloseBinding();
}

void TIdUDPBase::Send(const std::string& AHost, int APort, const std::string& AData) {
    // Resolved first: a failed look-up leaves an inactive component inactive.
    const std::string ip = GStack()->ResolveHost(AHost);
    TIdSocketHandle& b = GetBinding();
    const int n = b.SendTo(ip, APort, AData);
    if (n == Id_SOCKET_ERROR) {
        const int err = GStack()->WSGetLastError();
        if (err == Id_WSAEMSGSIZE)
            throw EIdPackageSizeTooBig();
        GStack()->RaiseSocketError(err);
    }
    if (static_cast<size_t>(n) != AData.size())
        throw EIdNotAllBytesSent();
}
