#include "IdNetworkList.h"

#include <cstdint>

namespace {
uint32_t ToHost(const TIdInAddr& A) {
    return uint32_t(A[0]) << 24 | uint32_t(A[1]) << 16 | uint32_t(A[2]) << 8 | A[3];
}

uint32_t Mask(int APrefix) {
    return APrefix == 0 ? 0 : ~uint32_t(0) << (32 - APrefix);
}

std::string Trim(const std::string& S) {
    const auto b = S.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return S.substr(b, S.find_last_not_of(" \t") - b + 1);
}

// Plain decimal only: no sign, no hex, and no leading zero, which other tools read as octal.
bool ReadDecimal(const std::string& S, int AMax, int& AValue) {
    if (S.empty() || S.size() > 3 || (S.size() > 1 && S[0] == '0'))
        return false;
    int v = 0;
    for (const char c : S) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > AMax)
        return false;
    AValue = v;
    return true;
}

bool ReadAddress(const std::string& S, TIdInAddr& AAddr) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? S.find('.', at) : S.size();
        if (dot == std::string::npos)
            return false;
        int v = 0;
        if (!ReadDecimal(S.substr(at, dot - at), 255, v))
            return false;
        AAddr[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        at = dot + 1;
    }
    return true;
}
} // namespace

bool TIdNetwork::Contains(const TIdInAddr& AAddr) const {
    return ((ToHost(AAddr) ^ ToHost(Address)) & Mask(PrefixLength)) == 0;
}

std::string ParseNetworkList(const std::string& AText, std::vector<TIdNetwork>& ANetworks) {
    std::vector<TIdNetwork> list;
    if (Trim(AText).empty()) {
        ANetworks.clear();
        return "";
    }
    size_t at = 0;
    for (;;) {
        const size_t comma = AText.find(',', at);
        const std::string item =
            Trim(AText.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (item.empty())
            return "an empty network in \"" + AText + "\"";
        const size_t slash = item.find('/');
        const std::string address = item.substr(0, slash);
        TIdNetwork n;
        if (!ReadAddress(address, n.Address))
            return "\"" + item + "\": \"" + address + "\" is not an IPv4 address (a.b.c.d)";
        if (slash != std::string::npos && !ReadDecimal(item.substr(slash + 1), 32, n.PrefixLength))
            return "\"" + item + "\": the prefix length after \"/\" must be 0 to 32";
        if ((ToHost(n.Address) & ~Mask(n.PrefixLength)) != 0) {
            // Most likely a typo for a single address or a different prefix; guessing would let
            // senders in that were not meant to be.
            const uint32_t net = ToHost(n.Address) & Mask(n.PrefixLength);
            const TIdInAddr base{uint8_t(net >> 24), uint8_t(net >> 16), uint8_t(net >> 8),
                                 uint8_t(net)};
            return "\"" + item + "\": the address has bits set past the prefix (the network is " +
                   TIdStack::TInAddrToString(base) + "/" + std::to_string(n.PrefixLength) + ")";
        }
        list.push_back(n);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    ANetworks = std::move(list);
    return "";
}

bool NetworkListAllows(const std::vector<TIdNetwork>& AList, const TIdInAddr& AAddr) {
    if (AList.empty())
        return true;
    for (const auto& n : AList)
        if (n.Contains(AAddr))
            return true;
    return false;
}
