// The start options: what each one sets, what a bad value says, profiles saved and read back,
// and the window once they are applied.
#include "ApplyOptions.h"
#include "ConsoleSupport.h"
#include "UdpPeer.h"
#include "VaPlatformLinux.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <gtest/gtest.h>
#include <sstream>

namespace {
TStartParse Parse(const QStringList& AArgs) {
    return ParseStartOptions(QStringList{"tevro-console"} + AArgs);
}

// The options in one line, so that a table row says what it expects; an error as "error: ...".
std::string Result(const TStartParse& P) {
    if (const auto* e = std::get_if<QString>(&P))
        return "error: " + e->toStdString();
    const TStartOptions& o = std::get<TStartOptions>(P);
    std::ostringstream s;
    auto put = [&s](const char* K, const auto& V) {
        if (V)
            s << K << '=' << *V << ' ';
    };
    auto text = [](const std::optional<QString>& V) { return V.value_or("").toStdString(); };
    put("com", o.Com);
    put("baud", o.Baud);
    if (o.Mode)
        s << "mode=" << (*o.Mode == TStartMode::Packet ? "packet " : "direct ");
    put("treat", o.Treat);
    put("screen", o.Screen);
    put("udp-port", o.UdpPort);
    put("activation", o.Activation);
    if (o.RemoteHost)
        s << "remote=" << o.RemoteHost->toStdString() << ':' << o.RemotePort.value_or(-1) << ' ';
    for (const auto& [key, value] : {std::pair{"udp-bind", text(o.UdpBind)},
                                     {"udp-allow", text(o.UdpAllow)},
                                     {"profile", o.Profile.toStdString()}})
        s << (value.empty() ? "" : key + std::string("=") + value + " ");
    s << (o.Help ? "help " : "") << (o.Version ? "version " : "");
    return s.str();
}
} // namespace

TEST(StartOptions, EachOptionAndEachBadValue) {
    // A row's text is the whole result, or for an error the start of it: the option's name and
    // what it wants.
    const std::pair<QStringList, std::string> cases[] = {
        {{}, ""},
        {{"--help", "--version"}, "help version "},
        {{"--com", "1", "--mode", "packet", "--treat"}, "com=1 mode=packet treat=1 "},
        {{"--com=16", "--baud", "110", "--mode", "direct"}, "com=16 baud=110 mode=direct "},
        {{"--baud", "921600", "--screen", "--activation"}, "baud=921600 screen=1 activation=1 "},
        {{"--udp-port", "50000", "--remote", "device.example:7"},
         "udp-port=50000 remote=device.example:7 "},
        {{"--udp-bind", "127.0.0.1", "--udp-allow", "192.0.2.0/24,127.0.0.1"},
         "udp-bind=127.0.0.1 udp-allow=192.0.2.0/24,127.0.0.1 "},
        {{"--profile", "bench-2", "-platform", "offscreen"}, "profile=bench-2 "},
        {{"--com", "0"}, "error: --com must be a port number from 1 to 16, not \"0\""},
        {{"--com", "+3"}, "error: --com must be a port number from 1 to 16"},
        {{"--com", "1", "--com", "2"}, "error: --com is given more than once"},
        {{"--baud", "115201"}, "error: --baud must be one of the window's rates"},
        {{"--mode", "Packet"}, "error: --mode must be direct or packet, not \"Packet\""},
        {{"--udp-port", "65536"}, "error: --udp-port must be a UDP port from 0 to 65535"},
        {{"--remote", "127.0.0.1"}, "error: --remote must be HOST:PORT"},
        {{"--udp-bind", "localhost"}, "error: --udp-bind must be one IPv4 address"},
        {{"--udp-allow", "192.0.2.0/33"}, "error: --udp-allow \"192.0.2.0/33\": the prefix"},
        {{"--udp-allow", ""}, "error: --udp-allow must name at least one network"},
        {{"--profile", "../x"}, "error: --profile must be a name of letters"},
        {{"--frobnicate"}, "error: Unknown option 'frobnicate'."},
        {{"COM1"}, "error: unexpected argument \"COM1\""},
    };
    for (const auto& [args, want] : cases) {
        const std::string got = Result(Parse(args));
        if (want.rfind("error: ", 0) == 0)
            EXPECT_EQ(got.substr(0, want.size()), want) << args.join(' ').toStdString();
        else
            EXPECT_EQ(got, want) << args.join(' ').toStdString();
    }
}

TEST(StartOptions, AProfileReadsBackWhatWasSavedAndTheCommandLineOverridesIt) {
    TConfigHome home;
    const QString dir = QString::fromStdString(VaConfigDir());
    auto saved = std::get<TStartOptions>(Parse(
        {"--com", "3", "--baud", "9600", "--mode", "direct", "--screen", "--udp-port", "50001",
         "--remote", "127.0.0.1:7000", "--udp-bind", "127.0.0.1", "--udp-allow", "127.0.0.0/8"}));
    saved.Treat = false;
    QString error;
    const QString path = StartProfilePath(dir, "desk");
    EXPECT_EQ(path.toStdString(), home.Dir() + "/tevro-console/profiles/desk.conf");
    ASSERT_TRUE(WriteStartProfile(path, saved, error)) << error.toStdString();
    EXPECT_EQ(Result(ReadStartProfile(path)), Result(saved));
    EXPECT_EQ(Result(ResolveStartOptions({"x", "--profile", "desk", "--com", "1", "--treat"}, dir)),
              "com=1 baud=9600 mode=direct treat=1 screen=1 udp-port=50001 remote=127.0.0.1:7000 "
              "udp-bind=127.0.0.1 udp-allow=127.0.0.0/8 profile=desk ");
    EXPECT_EQ(Result(ResolveStartOptions({"x", "--profile", "absent"}, dir)),
              "error: --profile absent: profile " + home.Dir() +
                  "/tevro-console/profiles/absent.conf: No such file or directory");
    // A hand-written profile: comments and blanks pass, a bad line is named with its key.
    const std::pair<const char*, std::string> lines[] = {
        {"# bench\n\n mode = packet \n", "mode=packet "},
        {"com=2\nbaud=7\n", ", line 2: baud must be one of the window's rates"},
        {"profile=other\n", ", line 1: a profile cannot name another profile"},
    };
    for (const auto& [text, want] : lines) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        const std::string got = Result(ReadStartProfile(path));
        const std::string expect =
            want[0] == ',' ? "error: profile " + path.toStdString() + want : want;
        EXPECT_EQ(want[0] == ',' ? got.substr(0, expect.size()) : got, expect) << text;
    }
}

TEST(StartOptions, ComOneInPacketModeWithTreatOpensThePortAnswersAndListensAsTold) {
    TConsoleFixture f;
    f.W().show();
    ApplyStartOptions(f.W(), std::get<TStartOptions>(Parse(
                                 {"--com", "1", "--mode", "packet", "--treat", "--udp-port", "0",
                                  "--remote", "127.0.0.1:7001", "--udp-bind", "127.0.0.1",
                                  "--udp-allow", "127.0.0.1/32", "--activation"})));
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    EXPECT_TRUE(f.W().RButPack->isChecked());
    // The responder is on: a request is answered on the wire.
    f.Device.ReadFor(20);
    const std::string request = Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3});
    ASSERT_TRUE(f.Device.Write(request));
    EXPECT_EQ(f.Device.ReadExactly(request.size(), 2000), request);
    EXPECT_TRUE(f.Boxes.isEmpty()) << f.Boxes.join('|').toStdString();
    // What "Save profile…" would write is what the window shows.
    EXPECT_EQ(Result(CurrentStartOptions(f.W())),
              "com=1 baud=115200 mode=packet treat=1 screen=0 udp-port=0 remote=127.0.0.1:7001 ");
    // Activation listens on the bound address, for the allowed senders only.
    ASSERT_TRUE(f.W().UDPServer->Active());
    EXPECT_EQ(f.W().UDPServer->Bindings()[0].IP, "127.0.0.1");
    const int port = f.W().UDPServer->Bindings()[0].Port;
    ASSERT_TRUE(TUdpPeer("127.0.0.2").SendTo(port, "from outside"));
    ASSERT_TRUE(PumpUntil([&] { return f.W().UDPServer->RefusedCount() == 1; }));
    ASSERT_TRUE(TUdpPeer().SendTo(port, "from inside"));
    ASSERT_TRUE(PumpUntil([&] { return f.W().LogGetText().find("inside") != std::string::npos; }));
    EXPECT_EQ(f.W().LogGetText().find("outside"), std::string::npos);
}
