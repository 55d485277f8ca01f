// The UDP side of the real console, driven from outside: "Activation" and the datagrams it
// logs or relays, and "To Sock". All traffic stays on 127.0.0.1, on ports the system chose.
#include "E2eFixture.h"

#include <regex>

namespace {

class TUdpConsoleTest : public TConsoleTest {
protected:
    // Ticks "Activation" on a free port (never the default one) and waits until it is bound.
    int Activate() {
        const int port = FreeUdpPort();
        Console().SetText("EdPort", std::to_string(port));
        Console().Click("ChBxActiv");
        EXPECT_TRUE(WaitFor([port] { return UdpPortBound(port); }, 5000))
            << "the console did not listen on " << port;
        return port;
    }
};

TEST_F(TUdpConsoleTest, HelloIsLoggedWithTheSenderAndAStamp) {
    const int port = Activate();
    TProcess sim({TEVRO_DEVSIM_BIN, "udp", "--console-port", std::to_string(port), "--send",
                  "hello", "--events", "--no-stdin", "--time-limit", "20"},
                 {.CaptureStdout = true, .QuietStderr = true});
    auto ready = sim.ReadLine(5000);
    ASSERT_TRUE(ready && JsonValue(*ready, "event") == "ready") << ready.value_or("(nothing)");
    const std::string simPort = JsonValue(*ready, "listen_port").value_or("?");

    // The datagram starts a new line of the (empty) log.
    const std::regex line(std::string("\nHELLO from tevro-devsim >>> 127\\.0\\.0\\.1  ") +
                          StampPattern);
    std::string log;
    EXPECT_TRUE(Console().WaitLog([&](const std::string& L) { return std::regex_match(L, line); },
                                  5000, &log))
        << log;
    // The remote host and port now name the sender, so "To Sock" would answer it.
    EXPECT_EQ(Console().CopyText("edtHost"), "127.0.0.1");
    EXPECT_EQ(Console().CopyText("edtPort"), simPort);
}

TEST_F(TUdpConsoleTest, ActivationDatagramIsRelayedToTheDeviceAndReplacesTheLog) {
    OpenOnDevice("RButDirect");
    ASSERT_TRUE(m_device->Write("earlier text\r"));
    ASSERT_TRUE(
        Console().WaitLog([](const std::string& L) { return L == "earlier text\n"; }, 5000));
    const int port = Activate();
    TUdpPeer peer;
    const std::string datagram("contact 7\0tail", 14);
    peer.SendTo(port, datagram);
    EXPECT_EQ(m_device->ReadExactly(datagram.size()), datagram) << "not relayed unchanged";

    const std::regex only(std::string("Activation ") + StampPattern);
    std::string log;
    EXPECT_TRUE(Console().WaitLog([&](const std::string& L) { return std::regex_match(L, only); },
                                  5000, &log))
        << log;
}

TEST_F(TUdpConsoleTest, ToSockReachesTheSimulator) {
    TProcess sim({TEVRO_DEVSIM_BIN, "udp", "--events", "--no-stdin", "--time-limit", "30"},
                 {.CaptureStdout = true, .QuietStderr = true});
    auto ready = sim.ReadLine(5000);
    ASSERT_TRUE(ready && JsonValue(*ready, "event") == "ready") << ready.value_or("(nothing)");
    const std::string simPort = JsonValue(*ready, "listen_port").value_or("");
    ASSERT_FALSE(simPort.empty());

    // The endpoint listens on a port of the test's choosing, so "To Sock" does not bind the
    // default one; the remote host is set to 127.0.0.1 and checked before anything is sent.
    const int port = Activate();
    Console().SetText("edtHost", "127.0.0.1");
    Console().SetText("edtPort", simPort);
    ASSERT_EQ(Console().CopyText("edtHost"), "127.0.0.1");
    ASSERT_EQ(Console().CopyText("edtPort"), simPort);
    Console().SetText("EdCmdLn", "STATUS?");
    Console().Click("BtnETX");

    std::optional<std::string> line;
    std::string got;
    while ((line = sim.ReadLine(5000)))
        if (JsonValue(*line, "event") == "datagram") {
            got = *line;
            break;
        }
    EXPECT_EQ(JsonValue(got, "data"), "STATUS?\r") << got;
    EXPECT_EQ(JsonValue(got, "from"), "127.0.0.1:" + std::to_string(port)) << got;
}

} // namespace
