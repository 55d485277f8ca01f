// The Linux binding: errno numbers, the resolver and the host name.
#include "IdStackLinux.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

TEST(WSAErrorFromErrno, GivesTheWinsockNumberOfTheSameName) {
    // Linux's numbers, written out: Winsock's are 10000 plus the BSD ones, which differ.
    const std::pair<int, int> cases[] = {
        {4, 10004},   // EINTR
        {11, 10035},  // EAGAIN, the same as EWOULDBLOCK
        {24, 10024},  // EMFILE
        {90, 10040},  // EMSGSIZE
        {98, 10048},  // EADDRINUSE
        {99, 10049},  // EADDRNOTAVAIL
        {101, 10051}, // ENETUNREACH
        {111, 10061}, // ECONNREFUSED
        {113, 10065}, // EHOSTUNREACH
    };
    for (const auto& [e, wsa] : cases)
        EXPECT_EQ(WSAErrorFromErrno(e), wsa) << "errno " << e;
}

TEST(WSAErrorFromErrno, PassesAnErrnoWithoutAWinsockNameUnchanged) {
    for (int e : {EPERM, ENOENT, ENOMEM, EIO, EPIPE})
        EXPECT_EQ(WSAErrorFromErrno(e), e);
}

TEST(StackLinux, ResolvesLocalhostAndAddresses) {
    TIdStackLinux s;
    EXPECT_EQ(s.ResolveHost("LOCALHOST"), "127.0.0.1");
    EXPECT_EQ(s.ResolveHost("127.0.0.1"), "127.0.0.1");
}

TEST(StackLinux, ANameThatDoesNotResolveIsHostNotFound) {
    TIdStackLinux s;
    // The reserved .invalid domain never resolves.
    try {
        s.ResolveHost("no-such-device.invalid");
        ADD_FAILURE() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
}

TEST(StackLinux, HostNameIsTheSystemsName) {
    TIdStackLinux s;
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(s.HostName(), name);
}

TEST(StackLinux, LocalAddressesAreDottedAddresses) {
    TIdStackLinux s;
    std::vector<std::string> list;
    try {
        list = s.LocalAddresses();
    } catch (const EIdSocketError& e) {
        GTEST_SKIP() << "this machine's name does not resolve: " << e.Message();
    }
    ASSERT_FALSE(list.empty());
    for (const auto& a : list)
        EXPECT_TRUE(TIdStack::IsIP(a)) << a;
    EXPECT_EQ(s.LocalHostAddress(), list.front());
}

TEST(StackLinux, AFailedCallLeavesItsCodeOnItsOwnThread) {
    TIdStackLinux s;
    // A descriptor that is certainly not open.
    EXPECT_EQ(s.WSSendTo(1 << 20, "x", 1, 0, {127, 0, 0, 1}, 9), -1);
    EXPECT_EQ(s.WSGetLastError(), 10009);
    int other = 0;
    std::thread([&] {
        const int sock = s.WSSocket();
        EXPECT_EQ(s.WSSetSockOpt(sock, Id_SOL_SOCKET, 0x7777, 1), -1);
        other = s.WSGetLastError();
        s.WSCloseSocket(sock);
    }).join();
    EXPECT_EQ(other, 10042);
    EXPECT_EQ(s.WSGetLastError(), 10009);
}

TEST(StackLinux, ABindToATakenPortFailsWithAddressInUse) {
    TIdStackLinux s;
    const int a = s.CreateSocketHandle();
    const int b = s.CreateSocketHandle();
    ASSERT_EQ(s.WSBind(a, {127, 0, 0, 1}, 0), 0);
    TIdInAddr addr{};
    int port = 0;
    ASSERT_EQ(s.WSGetSockName(a, addr, port), 0);
    EXPECT_EQ(TIdStack::TInAddrToString(addr), "127.0.0.1");
    EXPECT_NE(port, 0);
    EXPECT_EQ(s.WSBind(b, {127, 0, 0, 1}, port), -1);
    EXPECT_EQ(s.WSGetLastError(), 10048);
    // Only the low 16 bits of a port count.
    EXPECT_EQ(s.WSBind(b, {127, 0, 0, 1}, port + 65536), -1);
    EXPECT_EQ(s.WSGetLastError(), 10048);
    s.WSCloseSocket(a);
    s.WSCloseSocket(b);
}

TEST(StackLinux, ADatagramLongerThanTheBufferIsConsumedAndReportedTooLong) {
    TIdStackLinux s;
    const int rx = s.CreateSocketHandle();
    const int tx = s.CreateSocketHandle();
    ASSERT_EQ(s.WSBind(rx, {127, 0, 0, 1}, 0), 0);
    TIdInAddr addr{};
    int port = 0;
    ASSERT_EQ(s.WSGetSockName(rx, addr, port), 0);
    ASSERT_EQ(s.WSSendTo(tx, "0123456789", 10, 0, {127, 0, 0, 1}, port), 10);
    ASSERT_EQ(s.WSSendTo(tx, "abc", 3, 0, {127, 0, 0, 1}, port), 3);
    char buf[16] = {};
    TIdInAddr from{};
    int fromPort = 0;
    TIdSocketList list{rx};
    ASSERT_EQ(s.Select(list, 2000), 1);
    // A peek gives the whole length and leaves the datagram queued.
    EXPECT_EQ(s.WSRecvFrom(rx, buf, 1, Id_MSG_PEEK, from, fromPort), 10);
    EXPECT_EQ(s.WSRecvFrom(rx, buf, 9, 0, from, fromPort), -1);
    EXPECT_EQ(s.WSGetLastError(), 10040);
    list = {rx};
    ASSERT_EQ(s.Select(list, 2000), 1);
    EXPECT_EQ(s.WSRecvFrom(rx, buf, 9, 0, from, fromPort), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(TIdStack::TInAddrToString(from), "127.0.0.1");
    // Nothing left: the read does not block.
    EXPECT_EQ(s.WSRecvFrom(rx, buf, 9, 0, from, fromPort), -1);
    EXPECT_EQ(s.WSGetLastError(), 10035);
    s.WSCloseSocket(rx);
    s.WSCloseSocket(tx);
}

TEST(StackLinux, AWaitEndsWhenTheWakeEventIsSet) {
    TIdStackLinux s;
    const int rx = s.CreateSocketHandle();
    ASSERT_EQ(s.WSBind(rx, {127, 0, 0, 1}, 0), 0);
    TIdWakeEvent wake;
    std::thread setter([&] { wake.Set(); });
    TIdSocketList list{rx};
    // Without the event this wait would last a minute.
    EXPECT_EQ(s.Select(list, 60000, &wake), 0);
    EXPECT_TRUE(list.empty());
    setter.join();
    s.WSCloseSocket(rx);
}
