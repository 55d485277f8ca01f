// The allow-list as typed: what it reads, what it refuses and why, and whom it lets in.
#include "IdNetworkList.h"

#include <gtest/gtest.h>

namespace {
// The list read back as text ("a.b.c.d/n ..."), or the error as "error: ...".
std::string Read(const std::string& AText) {
    std::vector<TIdNetwork> list{{{1, 2, 3, 4}, 32}};
    const std::string error = ParseNetworkList(AText, list);
    if (!error.empty())
        return "error: " + error + (list.size() == 1 ? "" : " (and the list was changed)");
    std::string s;
    for (const auto& n : list)
        s += TIdStack::TInAddrToString(n.Address) + "/" + std::to_string(n.PrefixLength) + " ";
    return s;
}
} // namespace

TEST(NetworkList, ReadsNetworksAndAddressesAndNamesTheItemAtFault) {
    const std::pair<const char*, std::string> cases[] = {
        {"", ""},
        {"127.0.0.1", "127.0.0.1/32 "},
        {"192.0.2.0/24", "192.0.2.0/24 "},
        {" 10.0.0.0/8 , 192.0.2.7 ", "10.0.0.0/8 192.0.2.7/32 "},
        {"192.0.2.0/", "error: \"192.0.2.0/\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.0/33", "error: \"192.0.2.0/33\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.256", "error: \"192.0.2.256\": \"192.0.2.256\" is not an IPv4 address (a.b.c.d)"},
        {"192.0.2", "error: \"192.0.2\": \"192.0.2\" is not an IPv4 address (a.b.c.d)"},
        {"1.2.3.4.5", "error: \"1.2.3.4.5\": \"1.2.3.4.5\" is not an IPv4 address (a.b.c.d)"},
        {"010.0.0.1", "error: \"010.0.0.1\": \"010.0.0.1\" is not an IPv4 address (a.b.c.d)"},
        {"host/24", "error: \"host/24\": \"host\" is not an IPv4 address (a.b.c.d)"},
        {"192.0.2.7/24", "error: \"192.0.2.7/24\": the address has bits set past the prefix (the "
                         "network is 192.0.2.0/24)"},
        {"10.0.0.0/8,", "error: an empty network in \"10.0.0.0/8,\""},
        {"10.0.0.0/8, x", "error: \"x\": \"x\" is not an IPv4 address (a.b.c.d)"},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(Read(text), want) << text;
}

TEST(NetworkList, LetsInExactlyTheSendersOfItsNetworks) {
    const std::tuple<const char*, TIdInAddr, bool> cases[] = {
        {"", {203, 0, 113, 9}, true},
        {"127.0.0.1/32", {127, 0, 0, 1}, true},
        {"127.0.0.1/32", {127, 0, 0, 2}, false},
        {"192.0.2.0/24", {192, 0, 2, 255}, true},
        {"192.0.2.0/24", {192, 0, 3, 0}, false},
        {"10.0.0.0/8,192.0.2.9", {192, 0, 2, 9}, true},
        {"172.16.0.0/12", {172, 31, 255, 255}, true},
        {"172.16.0.0/12", {172, 32, 0, 0}, false},
        {"0.0.0.0/0", {255, 255, 255, 255}, true},
    };
    for (const auto& [text, sender, allowed] : cases) {
        std::vector<TIdNetwork> list;
        ASSERT_EQ(ParseNetworkList(text, list), "");
        EXPECT_EQ(NetworkListAllows(list, sender), allowed)
            << text << " <- " << TIdStack::TInAddrToString(sender);
    }
}
