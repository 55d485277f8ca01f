// The UDP endpoint over real sockets on 127.0.0.1: binding, delivery, sending, deactivation.
#include "EventPump.h"
#include "FakeStack.h"
#include "IdUDPServer.h"
#include "ProcessCounts.h"
#include "UdpPeer.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <tuple>

namespace {
struct TDelivery {
    std::string Data;
    std::string SenderIP;
    int SenderPort = 0;
    TIdSocketHandle* Binding = nullptr;
    bool OnMainThread = false;
};

// Records every datagram handed to OnUDPRead.
struct TRecorder {
    std::vector<TDelivery> Got;
    std::mutex Lock; // the threaded-event test writes from the listener
    void Attach(TIdUDPServer& AServer) {
        AServer.OnUDPRead = [this](TIdUDPServer*, const std::string& AData, TIdSocketHandle& B) {
            std::lock_guard<std::mutex> g(Lock);
            Got.push_back({AData, B.SenderIP, B.SenderPort, &B, IsMainThread()});
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(Lock);
        return Got.size();
    }
    bool WaitFor(size_t N, int AMs = 3000) {
        return PumpUntil([&] { return Count() >= N; }, AMs);
    }
};

// An active server on a port the system chose, recording what it receives.
struct TActiveServer {
    TIdUDPServer Server;
    TRecorder Rec;
    TActiveServer() {
        Rec.Attach(Server);
        Server.SetDefaultPort(0);
        Server.SetActive(true);
    }
    int Port() { return Server.Bindings()[0].Port; }
};

// Waits, without running the main thread's messages, until the first binding's socket has
// nothing left to read: loopback queues a datagram before sendto returns, so one sent before
// this call has then been received by the listener, whose delivery waits for the main thread.
bool ListenerHasTakenIt(TIdUDPServer& AServer) {
    const int socket = AServer.Bindings()[0].Handle();
    return SleepUntil([&] {
        pollfd p{socket, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    });
}
} // namespace

TEST(UDPServer, StartsInactiveWithItsDefaults) {
    TIdUDPServer s;
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.BufferSize(), 8192);
    EXPECT_EQ(s.DefaultPort(), 0);
    EXPECT_EQ(s.Bindings().Count(), 0);
    EXPECT_FALSE(s.BroadcastEnabled());
    EXPECT_FALSE(s.ThreadedEvent());
}

TEST(UDPServer, LivesWithTheSharedStack) {
    const int before = IdStackLiveCount();
    {
        TIdUDPServer a;
        TIdStack* stack = GStack();
        ASSERT_NE(stack, nullptr);
        {
            TIdUDPServer b;
            EXPECT_EQ(GStack(), stack);
            EXPECT_EQ(IdStackLiveCount(), before + 2);
        }
        EXPECT_EQ(GStack(), stack);
        char name[256] = {};
        ::gethostname(name, sizeof name - 1);
        EXPECT_EQ(a.LocalHostName(), name);
    }
    EXPECT_EQ(IdStackLiveCount(), before);
    if (before == 0) {
        EXPECT_EQ(GStack(), nullptr);
    }
}

TEST(UDPServer, ActivationBindsEveryAddressOnThePortTheSystemChose) {
    TActiveServer t;
    ASSERT_TRUE(t.Server.Active());
    ASSERT_EQ(t.Server.Bindings().Count(), 1);
    EXPECT_EQ(t.Server.Bindings()[0].IP, "0.0.0.0");
    EXPECT_NE(t.Port(), 0);
    EXPECT_FALSE(TUdpPeer::PortFree(t.Port()));
    EXPECT_EQ(&t.Server.Binding(), &t.Server.Bindings()[0]);
}

TEST(UDPServer, DeliversADatagramOnTheMainThreadWithItsSender) {
    TActiveServer t;
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(t.Port(), "hello device"));
    ASSERT_TRUE(t.Rec.WaitFor(1));
    const TDelivery& d = t.Rec.Got[0];
    EXPECT_EQ(d.Data, "hello device");
    EXPECT_EQ(d.SenderIP, "127.0.0.1");
    EXPECT_EQ(d.SenderPort, peer.Port());
    EXPECT_EQ(d.Binding, &t.Server.Bindings()[0]);
    EXPECT_TRUE(d.OnMainThread);
}

TEST(UDPServer, DeliversDatagramsInOrderOneAtATime) {
    TActiveServer t;
    int depth = 0, maxDepth = 0;
    std::vector<std::string> got;
    t.Server.OnUDPRead = [&](TIdUDPServer*, const std::string& AData, TIdSocketHandle&) {
        maxDepth = std::max(maxDepth, ++depth);
        got.push_back(AData);
        PumpFor(1); // a handler that lets the event loop run must still not be re-entered
        --depth;
    };
    TUdpPeer peer;
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(peer.SendTo(t.Port(), std::to_string(i)));
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 50; }));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i));
    EXPECT_EQ(maxDepth, 1);
}

TEST(UDPServer, DeliversEveryByteValueIncludingNul) {
    TActiveServer t;
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(t.Port(), all));
    ASSERT_TRUE(t.Rec.WaitFor(1));
    EXPECT_EQ(t.Rec.Got[0].Data, all);
}

TEST(UDPServer, DeliversEveryDatagramWholeWhateverTheBufferSize) {
    struct {
        int BufferSize;
        size_t Length;
    } cases[] = {
        {8192, 0},  {8192, 1}, {8192, 8192}, {8192, 8193}, {8192, 65507},
        {100, 101}, {0, 0},    {0, 1},       {0, 65507},
    };
    for (const auto& c : cases) {
        TIdUDPServer s;
        TRecorder rec;
        rec.Attach(s);
        s.SetBufferSize(c.BufferSize);
        s.SetActive(true);
        TUdpPeer peer;
        std::string data(c.Length, 'x');
        // Distinct bytes at both ends: a datagram cut short or taken from the wrong buffer shows.
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7 + i / 251);
        // A short one after the long one: the long buffer does not hold up the usual one.
        ASSERT_TRUE(peer.SendTo(s.Bindings()[0].Port, data));
        ASSERT_TRUE(peer.SendTo(s.Bindings()[0].Port, "next"));
        ASSERT_TRUE(rec.WaitFor(2)) << c.BufferSize << "/" << c.Length;
        ASSERT_EQ(rec.Got.size(), 2u);
        EXPECT_TRUE(rec.Got[0].Data == data)
            << c.BufferSize << "/" << c.Length << ": got " << rec.Got[0].Data.size() << " bytes";
        EXPECT_EQ(rec.Got[1].Data, "next");
    }
}

TEST(UDPServer, APortAboveTheRangeBindsItsLow16Bits) {
    if (!TUdpPeer::PortFree(4464))
        GTEST_SKIP() << "port 4464 is taken on this machine";
    TIdUDPServer s;
    s.SetDefaultPort(70000);
    s.SetActive(true);
    EXPECT_EQ(s.Bindings()[0].Port, 4464);
    EXPECT_EQ(s.DefaultPort(), 70000);
}

TEST(UDPServer, APortInUseRefusesActivationUntilItIsFree) {
    auto holder = std::make_unique<TUdpPeer>(0, true);
    const int port = holder->Port();
    TIdUDPServer s;
    s.SetDefaultPort(port);
    try {
        s.SetActive(true);
        ADD_FAILURE() << "no error";
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(s.Active());
    EXPECT_FALSE(s.Bindings()[0].HandleAllocated());
    holder.reset();
    s.SetActive(true);
    EXPECT_TRUE(s.Active());
    EXPECT_EQ(s.Bindings()[0].Port, port);
}

TEST(UDPServer, ActivatingAgainBindsTheDefaultPortOfThatTime) {
    TIdUDPServer s;
    s.SetDefaultPort(0);
    s.SetActive(true);
    const int first = s.Bindings()[0].Port;
    int second = 0;
    {
        TUdpPeer tmp; // a port the system hands out, free again once released
        second = tmp.Port();
    }
    // Writing true while active changes nothing, even with a new default port.
    s.SetDefaultPort(second);
    s.SetActive(true);
    EXPECT_EQ(s.Bindings()[0].Port, first);
    s.SetActive(false);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.Bindings()[0].Port, first); // kept across deactivation
    s.SetActive(true);
    EXPECT_EQ(s.Bindings()[0].Port, second);
    EXPECT_EQ(s.Bindings().Count(), 1);
}

TEST(UDPServer, DeactivationClosesTheSocket) {
    TActiveServer t;
    const int port = t.Port();
    t.Server.SetActive(false);
    EXPECT_FALSE(t.Server.Active());
    EXPECT_TRUE(TUdpPeer::PortFree(port));
    EXPECT_EQ(t.Server.Bindings()[0].Port, port);
    // Writing false again does nothing.
    t.Server.SetActive(false);
    EXPECT_FALSE(t.Server.Active());
}

namespace {
// A stack whose wait ends only through the wake event, whatever its timeout: a listener that
// the stop request did not wake would stay here (ten seconds at most) instead of leaving its
// one-second wait unnoticed.
class TWakeOnlyStack : public TFakeStack {
public:
    static inline std::atomic_int Waits{0}, Woken{0}, GaveUp{0};
    int WSSelect(TIdSocketList& AList, int, int AWakeHandle) override {
        ++Waits;
        AList.clear();
        pollfd p{AWakeHandle, POLLIN, 0};
        if (AWakeHandle >= 0 && ::poll(&p, 1, 10000) == 1)
            ++Woken;
        else
            ++GaveUp;
        return 0;
    }
};

// Puts a stack made by Factory under the components made while it lives.
struct TStackFactoryGuard {
    explicit TStackFactoryGuard(TIdStackFactory Factory) : m_old(SetIdStackFactory(Factory)) {}
    ~TStackFactoryGuard() { SetIdStackFactory(m_old); }
    TIdStackFactory m_old;
};
} // namespace

TEST(UDPServer, DeactivationWakesTheListenersWait) {
    ASSERT_EQ(IdStackLiveCount(), 0) << "a component of another test is still alive";
    TStackFactoryGuard guard([]() -> TIdStack* { return new TWakeOnlyStack; });
    TWakeOnlyStack::Waits = TWakeOnlyStack::Woken = TWakeOnlyStack::GaveUp = 0;
    {
        TIdUDPServer s;
        s.SetDefaultPort(0);
        s.SetActive(true);
        ASSERT_TRUE(s.Active());
        ASSERT_TRUE(PumpUntil([] { return TWakeOnlyStack::Waits >= 1; }));
        s.SetActive(false);
        EXPECT_FALSE(s.Active());
    }
    EXPECT_EQ(TWakeOnlyStack::Woken, 1);
    EXPECT_EQ(TWakeOnlyStack::GaveUp, 0);
    EXPECT_EQ(TWakeOnlyStack::Waits, 1) << "the listener waited again after its stop request";
}

TEST(UDPServer, NothingIsDeliveredAfterDeactivationReturns) {
    TActiveServer t;
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(t.Port(), "late"));
    ASSERT_TRUE(ListenerHasTakenIt(t.Server));
    ASSERT_TRUE(peer.SendTo(t.Port(), "later"));
    // The datagram the listener holds is delivered by the deactivation itself; the one still
    // waiting in the socket goes with the socket, and nothing comes once it has returned.
    t.Server.SetActive(false);
    const size_t after = t.Rec.Count();
    EXPECT_EQ(after, 1u);
    PumpFor(200);
    EXPECT_EQ(t.Rec.Count(), after);
}

TEST(UDPServer, DeactivationDeliversTheDatagramTheListenerHasReceived) {
    // The main thread runs no messages between the send and the deactivation, so the listener's
    // call to it is still waiting when the stop comes. Each round must deliver.
    for (int round = 0; round < 5; ++round) {
        TActiveServer t;
        TUdpPeer peer;
        const std::string msg = "ACT " + std::to_string(round);
        ASSERT_TRUE(peer.SendTo(t.Port(), msg));
        ASSERT_TRUE(ListenerHasTakenIt(t.Server)) << "the listener did not receive the datagram";
        t.Server.SetActive(false);
        ASSERT_EQ(t.Rec.Count(), 1u) << "round " << round;
        EXPECT_EQ(t.Rec.Got[0].Data, msg);
        EXPECT_EQ(t.Rec.Got[0].SenderPort, peer.Port());
        EXPECT_TRUE(t.Rec.Got[0].OnMainThread);
        EXPECT_FALSE(t.Server.Active());
        EXPECT_TRUE(TUdpPeer::PortFree(t.Port()));
    }
}

TEST(UDPServer, ADeactivationInsideTheHeldDeliveryClosesOnce) {
    TActiveServer t;
    int calls = 0;
    t.Server.OnUDPRead = [&](TIdUDPServer* S, const std::string&, TIdSocketHandle&) {
        ++calls;
        S->SetActive(false);
    };
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(t.Port(), "x"));
    ASSERT_TRUE(ListenerHasTakenIt(t.Server));
    t.Server.SetActive(false);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(t.Server.Active());
    EXPECT_TRUE(TUdpPeer::PortFree(t.Port()));
    t.Server.SetActive(true); // and it can listen again
    EXPECT_TRUE(t.Server.Active());
}

TEST(UDPServer, SurvivesDeactivationAndDestructionUnderTraffic) {
    std::atomic_bool stop{false};
    std::atomic_int target{0};
    TUdpPeer peer;
    std::thread sender([&] {
        // Bounded in count and time.
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 200000 && !stop && t.elapsed() < 10000; ++i) {
            if (const int p = target.load())
                peer.SendTo(p, "traffic " + std::to_string(i));
            if (i % 64 == 0)
                std::this_thread::yield();
        }
    });
    size_t delivered = 0;
    for (int round = 0; round < 6; ++round) {
        auto s = std::make_unique<TIdUDPServer>();
        s->OnUDPRead = [&](TIdUDPServer*, const std::string&, TIdSocketHandle&) { ++delivered; };
        s->SetActive(true);
        target = s->Bindings()[0].Port;
        PumpFor(30);
        if (round % 2 == 0) {
            s->SetActive(false);
            target = 0;
            EXPECT_FALSE(s->Active());
        } else {
            s.reset(); // destroyed while active, with deliveries queued
            target = 0;
        }
        PumpFor(10);
    }
    stop = true;
    sender.join();
    EXPECT_GT(delivered, 0u);
}

TEST(UDPServer, AHandlersErrorIsDroppedAndTheListenerGoesOn) {
    TActiveServer t;
    int calls = 0;
    t.Server.OnUDPRead = [&](TIdUDPServer*, const std::string& AData, TIdSocketHandle&) {
        ++calls;
        if (AData == "bad")
            throw Exception("handler failed");
    };
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(t.Port(), "bad"));
    ASSERT_TRUE(peer.SendTo(t.Port(), "good"));
    ASSERT_TRUE(PumpUntil([&] { return calls >= 2; }));
    EXPECT_TRUE(t.Server.Active());
}

TEST(UDPServer, ThreadedEventRunsTheHandlerInTheListener) {
    TIdUDPServer s;
    TRecorder rec;
    rec.Attach(s);
    s.SetThreadedEvent(true);
    s.SetActive(true);
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(s.Bindings()[0].Port, "threaded"));
    ASSERT_TRUE(rec.WaitFor(1));
    std::lock_guard<std::mutex> g(rec.Lock);
    EXPECT_EQ(rec.Got[0].Data, "threaded");
    EXPECT_FALSE(rec.Got[0].OnMainThread);
}

TEST(UDPServer, SendWhileInactiveActivatesOnTheDefaultPort) {
    TIdUDPServer s;
    TRecorder rec;
    rec.Attach(s);
    s.SetDefaultPort(0);
    TUdpPeer peer;
    s.Send("127.0.0.1", peer.Port(), "ping");
    ASSERT_TRUE(s.Active());
    const auto got = peer.ReceiveFrom(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Data, "ping");
    // Sent from the bound socket, so an answer to the source reaches the listener.
    const int from = got->FromPort;
    EXPECT_EQ(from, s.Bindings()[0].Port);
    ASSERT_TRUE(peer.SendTo(from, "pong"));
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_EQ(rec.Got[0].Data, "pong");
}

TEST(UDPServer, SendsExactBytesToANameOrAnAddress) {
    TActiveServer t;
    TUdpPeer peer;
    const std::string withNul("AT\0+CSQ\r", 8);
    struct {
        const char* Host;
        std::string Data;
    } cases[] = {{"127.0.0.1", withNul},
                 {"LocalHost", "named"},
                 {"localhost", ""},
                 {"127.000.000.001", "leading zeros"}};
    for (const auto& c : cases) {
        t.Server.Send(c.Host, peer.Port(), c.Data);
        EXPECT_EQ(peer.Receive(2000), std::optional<std::string>(c.Data)) << c.Host;
    }
}

TEST(UDPServer, SendToANameThatDoesNotResolveRaisesAndStaysInactive) {
    TIdUDPServer s;
    try {
        s.Send("no-such-device.invalid", 9, "x");
        ADD_FAILURE() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
    EXPECT_FALSE(s.Active());
}

TEST(UDPServer, SendOfADatagramTooLongRaisesPackageSizeTooBig) {
    TActiveServer t;
    TUdpPeer peer;
    try {
        t.Server.Send("127.0.0.1", peer.Port(), std::string(70000, 'x'));
        ADD_FAILURE() << "no error";
    } catch (const EIdPackageSizeTooBig& e) {
        EXPECT_EQ(e.Message(), "Package Size Too Big.");
    }
    EXPECT_TRUE(t.Server.Active());
}

TEST(UDPServer, DeactivationFromInsideTheHandlerEndsListeningAndFreesThePort) {
    TActiveServer t;
    const int port = t.Port();
    int calls = 0;
    t.Server.OnUDPRead = [&](TIdUDPServer* ASender, const std::string&, TIdSocketHandle&) {
        ++calls;
        ASender->SetActive(false);
    };
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(port, "stop"));
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_FALSE(t.Server.Active());
    // The socket is closed once the delivery has returned and the listener has ended.
    ASSERT_TRUE(PumpUntil([&] { return TUdpPeer::PortFree(port); }));
    t.Server.OnUDPRead = nullptr;
    t.Server.SetDefaultPort(port);
    t.Server.SetActive(true);
    EXPECT_EQ(t.Server.Bindings()[0].Port, port);
}

TEST(UDPServer, EachBindingReceivesAndBecomesCurrent) {
    TIdUDPServer s;
    TRecorder rec;
    rec.Attach(s);
    for (int i = 0; i < 2; ++i) {
        TIdSocketHandle& b = s.Bindings().Add();
        b.IP = "127.0.0.1";
        b.Port = 0;
    }
    s.SetActive(true);
    TIdSocketHandle& b0 = s.Bindings()[0];
    TIdSocketHandle& b1 = s.Bindings()[1];
    EXPECT_EQ(b0.IP, "127.0.0.1");
    EXPECT_NE(b0.Port, b1.Port);
    EXPECT_EQ(&s.Binding(), &b0);
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(b1.Port, "to second"));
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_EQ(rec.Got[0].Binding, &b1);
    // The binding that received last is the one that sends.
    EXPECT_EQ(&s.Binding(), &b1);
    s.Send("127.0.0.1", peer.Port(), "reply");
    const auto got = peer.ReceiveFrom(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->FromPort, b1.Port);
    ASSERT_TRUE(peer.SendTo(b0.Port, "to first"));
    ASSERT_TRUE(rec.WaitFor(2));
    EXPECT_EQ(rec.Got[1].Binding, &b0);
}

TEST(UDPServer, MoreThan64BindingsStayActiveButReceiveNothing) {
    TIdUDPServer s;
    TRecorder rec;
    rec.Attach(s);
    for (int i = 0; i < 65; ++i) {
        TIdSocketHandle& b = s.Bindings().Add();
        b.IP = "127.0.0.1";
        b.Port = 0;
    }
    s.SetActive(true);
    EXPECT_TRUE(s.Active());
    TUdpPeer peer;
    ASSERT_TRUE(peer.SendTo(s.Bindings()[0].Port, "unheard"));
    PumpFor(300);
    EXPECT_EQ(rec.Count(), 0u);
    s.SetActive(false);
    EXPECT_FALSE(s.Active());
}

TEST(UDPServer, WritesTheBroadcastOptionAtActivation) {
    for (bool enabled : {false, true}) {
        TIdUDPServer s;
        s.SetBroadcastEnabled(enabled);
        s.SetActive(true);
        EXPECT_EQ(TUdpPeer::BroadcastOption(s.Bindings()[0].Handle()), enabled ? 1 : 0);
    }
}

TEST(UDPServer, DatagramsFromOutsideTheAllowedNetworksAreCountedAndReportedNotDelivered) {
    using namespace std::chrono_literals;
    // Three refused datagrams, one at a time: reported once a minute, or each with no interval.
    const std::pair<std::chrono::milliseconds, std::vector<uint64_t>> cases[] = {{1min, {1}},
                                                                                 {0ms, {1, 2, 3}}};
    for (const auto& [interval, counts] : cases) {
        TIdUDPServer s;
        TRecorder rec;
        rec.Attach(s);
        TUdpPeer inside;
        TUdpPeer outside("127.0.0.2");
        std::vector<std::string> reports, want;
        s.OnRefused = [&](TIdUDPServer*, const std::string& AIP, int APort, uint64_t ACount) {
            reports.push_back(AIP + ":" + std::to_string(APort) + " #" + std::to_string(ACount) +
                              (IsMainThread() ? "" : " off the main thread"));
        };
        std::vector<TIdNetwork> allowed;
        ASSERT_EQ(ParseNetworkList("127.0.0.1/32", allowed), "");
        s.SetAllowedNetworks(allowed);
        s.SetRefusedReportInterval(interval);
        s.SetActive(true);
        const int port = s.Bindings()[0].Port;
        for (int i = 1; i <= 3; ++i) {
            ASSERT_TRUE(outside.SendTo(port, "ACT from outside"));
            ASSERT_TRUE(PumpUntil([&] { return s.RefusedCount() == uint64_t(i); }));
        }
        // Sent after them, so it arrives after them: only it is delivered.
        ASSERT_TRUE(inside.SendTo(port, "inside"));
        ASSERT_TRUE(rec.WaitFor(1));
        ASSERT_EQ(rec.Got.size(), 1u);
        EXPECT_EQ(rec.Got[0].Data, "inside");
        EXPECT_EQ(s.Bindings()[0].SenderIP, "127.0.0.1");
        for (const uint64_t n : counts)
            want.push_back("127.0.0.2:" + std::to_string(outside.Port()) + " #" +
                           std::to_string(n));
        EXPECT_EQ(reports, want) << interval.count();
    }
}

TEST(UDPServer, AFailedBindLeavesTheServerInactiveWithNothingOpen) {
    TUdpPeer holder(0, true);
    const std::string inUse = "Could not bind socket. Address and port are already in use.";
    // 192.0.2.0/24 is reserved for documentation: no machine has it.
    const std::tuple<int, const char*, std::string> cases[] = {
        {holder.Port(), "", inUse},
        {holder.Port(), "127.0.0.1", inUse},
        {0, "192.0.2.1", "Socket Error # 10049\r\nCannot assign requested address."},
    };
    for (const auto& [port, address, message] : cases) {
        TIdUDPServer s;
        s.SetDefaultPort(port);
        s.SetBindAddress(address);
        const int descriptors = OpenDescriptors(), threads = Threads();
        try {
            s.SetActive(true);
            ADD_FAILURE() << "no error for " << address;
        } catch (const EIdException& e) {
            EXPECT_EQ(e.Message(), message);
        }
        EXPECT_FALSE(s.Active());
        EXPECT_FALSE(s.Bindings()[0].HandleAllocated());
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_EQ(Threads(), threads);
    }
}
