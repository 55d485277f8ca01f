// Which senders the endpoint hears: IPv4 networks written as the technician types them.
#pragma once

#include "IdStack.h"

#include <string>
#include <vector>

// An IPv4 network: its address (host bits clear) and prefix length, 0 to 32.
struct TIdNetwork {
    TIdInAddr Address{};
    int PrefixLength = 32;
    bool Contains(const TIdInAddr& AAddr) const;
    bool operator==(const TIdNetwork&) const = default;
};

// Reads "a.b.c.d/n" or a bare address (a /32), comma-separated, blanks around an item allowed.
// On success fills ANetworks and returns ""; otherwise returns a text naming the item at fault
// and leaves ANetworks alone. An empty text is an empty list.
std::string ParseNetworkList(const std::string& AText, std::vector<TIdNetwork>& ANetworks);

// True when AList is empty (every sender allowed) or a network of it contains AAddr.
bool NetworkListAllows(const std::vector<TIdNetwork>& AList, const TIdInAddr& AAddr);
