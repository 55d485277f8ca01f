// The allow-list as typed: what it reads, what it refuses and why, and whom it lets in.
#include "IdNetworkList.h"

#include <gtest/gtest.h>

namespace {
TIdInAddr A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return {a, b, c, d};
}
} // namespace

TEST(NetworkList, ReadsNetworksAndBareAddresses) {
    struct {
        const char* Text;
        std::vector<TIdNetwork> Want;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {"127.0.0.1", {{A(127, 0, 0, 1), 32}}},
        {"127.0.0.1/32", {{A(127, 0, 0, 1), 32}}},
        {"192.0.2.0/24", {{A(192, 0, 2, 0), 24}}},
        {"0.0.0.0/0", {{A(0, 0, 0, 0), 0}}},
        {" 10.0.0.0/8 , 192.0.2.7 ", {{A(10, 0, 0, 0), 8}, {A(192, 0, 2, 7), 32}}},
        {"172.16.0.0/12,198.51.100.128/25", {{A(172, 16, 0, 0), 12}, {A(198, 51, 100, 128), 25}}},
    };
    for (const auto& c : cases) {
        std::vector<TIdNetwork> got{{A(1, 2, 3, 4), 32}};
        EXPECT_EQ(ParseNetworkList(c.Text, got), "") << c.Text;
        EXPECT_EQ(got, c.Want) << c.Text;
    }
}

TEST(NetworkList, RefusesBadInputNamingTheItemAndLeavesTheListAlone) {
    struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"192.0.2.0/", "\"192.0.2.0/\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.0/33", "\"192.0.2.0/33\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.0/-1", "\"192.0.2.0/-1\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.0/24/8", "\"192.0.2.0/24/8\": the prefix length after \"/\" must be 0 to 32"},
        {"192.0.2.256", "\"192.0.2.256\": \"192.0.2.256\" is not an IPv4 address (a.b.c.d)"},
        {"192.0.2", "\"192.0.2\": \"192.0.2\" is not an IPv4 address (a.b.c.d)"},
        {"192.0.2.1.5", "\"192.0.2.1.5\": \"192.0.2.1.5\" is not an IPv4 address (a.b.c.d)"},
        {"010.0.0.1", "\"010.0.0.1\": \"010.0.0.1\" is not an IPv4 address (a.b.c.d)"},
        {"0x7f.0.0.1", "\"0x7f.0.0.1\": \"0x7f.0.0.1\" is not an IPv4 address (a.b.c.d)"},
        {"device.example/24",
         "\"device.example/24\": \"device.example\" is not an IPv4 address (a.b.c.d)"},
        {"192.0.2.7/24",
         "\"192.0.2.7/24\": the address has bits set past the prefix (the network is "
         "192.0.2.0/24)"},
        {"10.0.0.0/8,", "an empty network in \"10.0.0.0/8,\""},
        {",10.0.0.0/8", "an empty network in \",10.0.0.0/8\""},
        {"10.0.0.0/8,,192.0.2.1", "an empty network in \"10.0.0.0/8,,192.0.2.1\""},
        {"10.0.0.0/8, 192.0.2.x", "\"192.0.2.x\": \"192.0.2.x\" is not an IPv4 address (a.b.c.d)"},
    };
    for (const auto& c : cases) {
        const std::vector<TIdNetwork> before{{A(1, 2, 3, 4), 32}};
        std::vector<TIdNetwork> got = before;
        EXPECT_EQ(ParseNetworkList(c.Text, got), c.Error) << c.Text;
        EXPECT_EQ(got, before) << c.Text;
    }
}

TEST(NetworkList, LetsInExactlyTheSendersOfItsNetworks) {
    struct {
        const char* List;
        TIdInAddr Sender;
        bool Allowed;
    } cases[] = {
        {"", A(203, 0, 113, 9), true},
        {"127.0.0.1/32", A(127, 0, 0, 1), true},
        {"127.0.0.1/32", A(127, 0, 0, 2), false},
        {"192.0.2.0/24", A(192, 0, 2, 255), true},
        {"192.0.2.0/24", A(192, 0, 3, 0), false},
        {"192.0.2.0/24", A(192, 0, 1, 255), false},
        {"10.0.0.0/8,192.0.2.9", A(192, 0, 2, 9), true},
        {"10.0.0.0/8,192.0.2.9", A(10, 255, 255, 255), true},
        {"10.0.0.0/8,192.0.2.9", A(11, 0, 0, 0), false},
        {"172.16.0.0/12", A(172, 31, 255, 255), true},
        {"172.16.0.0/12", A(172, 32, 0, 0), false},
        {"0.0.0.0/0", A(255, 255, 255, 255), true},
    };
    for (const auto& c : cases) {
        std::vector<TIdNetwork> list;
        ASSERT_EQ(ParseNetworkList(c.List, list), "");
        EXPECT_EQ(NetworkListAllows(list, c.Sender), c.Allowed)
            << c.List << " <- " << TIdStack::TInAddrToString(c.Sender);
    }
}
