// The start options: what each one sets, what each bad value says, profiles written and read
// back, and the window after the options are applied.
#include "StartOptions.h" // the window's, with the console's
#include "ConsoleSupport.h"
#include "UdpPeer.h"
#include "VaPlatformLinux.h"

#include <QDir>
#include <QFileInfo>

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <gtest/gtest.h>

namespace {
TStartParse Parse(const QStringList& AArgs) {
    return ParseStartOptions(QStringList{"tevro-console"} + AArgs);
}

// The options as one text each, so a table can say what it expects in a line.
std::string Show(const TStartOptions& O) {
    std::string s;
    auto put = [&s](const char* K, const std::string& V) { s += std::string(K) + "=" + V + " "; };
    auto b = [](bool V) { return std::string(V ? "1" : "0"); };
    if (O.Com)
        put("com", std::to_string(*O.Com));
    if (O.Baud)
        put("baud", std::to_string(*O.Baud));
    if (O.Mode)
        put("mode", *O.Mode == TStartMode::Packet ? "packet" : "direct");
    if (O.Treat)
        put("treat", b(*O.Treat));
    if (O.Screen)
        put("screen", b(*O.Screen));
    if (O.UdpPort)
        put("udp-port", std::to_string(*O.UdpPort));
    if (O.Activation)
        put("activation", b(*O.Activation));
    if (O.RemoteHost)
        put("remote",
            O.RemoteHost->toStdString() + ":" + std::to_string(O.RemotePort.value_or(-1)));
    if (O.UdpBind)
        put("udp-bind", O.UdpBind->toStdString());
    if (O.UdpAllow)
        put("udp-allow", O.UdpAllow->toStdString());
    if (!O.Profile.isEmpty())
        put("profile", O.Profile.toStdString());
    if (O.Help)
        put("help", "1");
    if (O.Version)
        put("version", "1");
    return s;
}

std::string Result(const TStartParse& P) {
    if (const auto* e = std::get_if<QString>(&P))
        return "error: " + e->toStdString();
    return Show(std::get<TStartOptions>(P));
}
} // namespace

TEST(StartOptions, EachOptionAndEachBadValue) {
    struct {
        QStringList Args;
        std::string Want;
    } cases[] = {
        {{}, ""},
        {{"--help"}, "help=1 "},
        {{"-h"}, "help=1 "},
        {{"--version"}, "version=1 "},
        {{"--com", "1"}, "com=1 "},
        {{"--com=16"}, "com=16 "},
        {{"--com", "0"}, "error: --com must be a port number from 1 to 16, not \"0\""},
        {{"--com", "17"}, "error: --com must be a port number from 1 to 16, not \"17\""},
        {{"--com", "+3"}, "error: --com must be a port number from 1 to 16, not \"+3\""},
        {{"--com"}, "error: Missing value after '--com'."},
        {{"--com", "1", "--com", "2"}, "error: --com is given more than once"},
        {{"--baud", "110"}, "baud=110 "},
        {{"--baud", "921600"}, "baud=921600 "},
        {{"--baud", "256000"}, "baud=256000 "},
        {{"--baud", "115201"},
         "error: --baud must be one of the window's rates (110 ... 921600), not \"115201\""},
        {{"--baud", "fast"},
         "error: --baud must be one of the window's rates (110 ... 921600), not \"fast\""},
        {{"--mode", "direct"}, "mode=direct "},
        {{"--mode", "packet"}, "mode=packet "},
        {{"--mode", "Packet"}, "error: --mode must be direct or packet, not \"Packet\""},
        {{"--treat"}, "treat=1 "},
        {{"--screen"}, "screen=1 "},
        {{"--activation"}, "activation=1 "},
        {{"--treat=yes"}, "error: Unexpected value after '--treat'."},
        {{"--udp-port", "50000"}, "udp-port=50000 "},
        {{"--udp-port", "65536"},
         "error: --udp-port must be a UDP port from 0 to 65535, not \"65536\""},
        {{"--remote", "127.0.0.1:9000"}, "remote=127.0.0.1:9000 "},
        {{"--remote", "device.example:7"}, "remote=device.example:7 "},
        {{"--remote", "127.0.0.1"},
         "error: --remote must be HOST:PORT with a port from 1 to 65535, not \"127.0.0.1\""},
        {{"--remote", ":9000"},
         "error: --remote must be HOST:PORT with a port from 1 to 65535, not \":9000\""},
        {{"--remote", "host:0"},
         "error: --remote must be HOST:PORT with a port from 1 to 65535, not \"host:0\""},
        {{"--udp-bind", "127.0.0.1"}, "udp-bind=127.0.0.1 "},
        {{"--udp-bind", "localhost"},
         "error: --udp-bind must be one IPv4 address of this machine (a.b.c.d), not "
         "\"localhost\""},
        {{"--udp-bind", "10.0.0.0/8"},
         "error: --udp-bind must be one IPv4 address of this machine (a.b.c.d), not "
         "\"10.0.0.0/8\""},
        {{"--udp-allow", "192.0.2.0/24,127.0.0.1"}, "udp-allow=192.0.2.0/24,127.0.0.1 "},
        {{"--udp-allow", "192.0.2.0/33"},
         "error: --udp-allow \"192.0.2.0/33\": the prefix length after \"/\" must be 0 to 32"},
        {{"--udp-allow", ""}, "error: --udp-allow must name at least one network"},
        {{"--profile", "bench-2"}, "profile=bench-2 "},
        {{"--profile", "../x"},
         "error: --profile must be a name of letters, digits, \"-\", \"_\" and \".\", not "
         "\"../x\""},
        {{"--profile", ".hidden"},
         "error: --profile must be a name of letters, digits, \"-\", \"_\" and \".\", not "
         "\".hidden\""},
        {{"--frobnicate"}, "error: Unknown option 'frobnicate'."},
        {{"COM1"}, "error: unexpected argument \"COM1\""},
        // The toolkit's own options pass.
        {{"-platform", "offscreen", "--com", "2"}, "com=2 "},
        {{"--com", "1", "--mode", "packet", "--treat"}, "com=1 mode=packet treat=1 "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Result(Parse(c.Args)), c.Want) << c.Args.join(' ').toStdString();
}

TEST(StartOptions, AProfileReadsBackWhatWasSavedAndTheCommandLineOverridesIt) {
    TConfigHome home;
    const QString dir = QString::fromStdString(VaConfigDir());
    ASSERT_EQ(dir.toStdString(), home.Dir());
    auto saved = std::get<TStartOptions>(Parse(
        {"--com", "3", "--baud", "9600", "--mode", "direct", "--screen", "--udp-port", "50001",
         "--remote", "127.0.0.1:7000", "--udp-bind", "127.0.0.1", "--udp-allow", "127.0.0.0/8"}));
    saved.Treat = false;
    saved.Activation = false;
    QString error;
    const QString path = StartProfilePath(dir, "desk");
    ASSERT_TRUE(WriteStartProfile(path, saved, error)) << error.toStdString();
    EXPECT_EQ(path.toStdString(), home.Dir() + "/tevro-console/profiles/desk.conf");
    EXPECT_EQ(Result(ReadStartProfile(path)), Show(saved));

    const TStartParse merged =
        ResolveStartOptions({"tevro-console", "--profile", "desk", "--com", "1", "--treat"}, dir);
    EXPECT_EQ(Result(merged), "com=1 baud=9600 mode=direct treat=1 screen=1 udp-port=50001 "
                              "activation=0 remote=127.0.0.1:7000 udp-bind=127.0.0.1 "
                              "udp-allow=127.0.0.0/8 profile=desk ");
    EXPECT_EQ(Result(ResolveStartOptions({"tevro-console", "--profile", "absent"}, dir)),
              "error: --profile absent: profile " + home.Dir() +
                  "/tevro-console/profiles/absent.conf: No such file or directory");
}

TEST(StartOptions, ABadProfileLineNamesTheFileTheLineAndTheKey) {
    TConfigHome home;
    const QString path = StartProfilePath(QString::fromStdString(home.Dir()), "bad");
    struct {
        const char* Text;
        std::string Want;
    } cases[] = {
        {"# a comment\n\ncom=2\n", "com=2 "},
        {" mode = packet \n", "mode=packet "},
        {"com=2\nbaud=7\n", "line 2: baud must be one of the window's rates (110 ... 921600), "
                            "not \"7\""},
        {"treat=maybe\n", "line 1: treat must be true or false, not \"maybe\""},
        {"colour=red\n", "line 1: colour is not an option"},
        {"com 2\n", "line 1: \"com 2\" is not key=value"},
        {"profile=other\n", "line 1: a profile cannot name another profile"},
    };
    for (const auto& c : cases) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.Text);
        f.close();
        const std::string got = Result(ReadStartProfile(path));
        const std::string prefix = "error: profile " + path.toStdString() + ", ";
        if (c.Want.rfind("line ", 0) == 0)
            EXPECT_EQ(got, prefix + c.Want) << c.Text;
        else
            EXPECT_EQ(got, c.Want) << c.Text;
    }
}

TEST(StartOptions, ComOneInPacketModeWithTreatOpensThePortAndAnswers) {
    TConsoleFixture f;
    f.W().show();
    const auto options =
        std::get<TStartOptions>(Parse({"--com", "1", "--mode", "packet", "--treat", "--udp-port",
                                       "0", "--remote", "127.0.0.1:7001"}));
    ApplyStartOptions(f.W(), options);
    ASSERT_TRUE(f.W().VaComm->IsOpen());
    EXPECT_EQ(f.W().ComboPortNum->currentText(), "Com 1");
    EXPECT_TRUE(f.W().RButPack->isChecked());
    EXPECT_TRUE(f.W().ChBxTreat->isChecked());
    EXPECT_EQ(f.W().EdPort->text(), "0");
    EXPECT_EQ(f.W().edtHost->text(), "127.0.0.1");
    EXPECT_EQ(f.W().edtPort->text(), "7001");
    // The responder is on: a request is answered on the wire.
    f.Device.ReadFor(20);
    const std::string request = Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3});
    ASSERT_TRUE(f.Device.Write(request));
    EXPECT_EQ(f.Device.ReadExactly(request.size(), 2000), request);
    EXPECT_TRUE(f.Boxes.isEmpty()) << f.Boxes.join('|').toStdString();
    // What "Save profile…" would write is what was applied.
    const TStartOptions now = CurrentStartOptions(f.W());
    EXPECT_EQ(Show(now), "com=1 baud=115200 mode=packet treat=1 screen=0 udp-port=0 "
                         "remote=127.0.0.1:7001 ");
}

TEST(StartOptions, ActivationListensOnTheBoundAddressForTheAllowedSendersOnly) {
    TConsoleFixture f;
    f.W().show();
    ApplyStartOptions(
        f.W(), std::get<TStartOptions>(Parse({"--udp-port", "0", "--udp-bind", "127.0.0.1",
                                              "--udp-allow", "127.0.0.1/32", "--activation"})));
    ASSERT_TRUE(f.W().UDPServer->Active());
    EXPECT_TRUE(f.W().ChBxActiv->isChecked());
    EXPECT_EQ(f.W().UDPServer->Bindings()[0].IP, "127.0.0.1");
    const int port = f.W().UDPServer->Bindings()[0].Port;
    TUdpPeer outside = TUdpPeer::On("127.0.0.2");
    ASSERT_TRUE(outside.SendTo(port, "from outside"));
    ASSERT_TRUE(PumpUntil([&] { return f.W().UDPServer->RefusedCount() == 1; }));
    TUdpPeer inside;
    ASSERT_TRUE(inside.SendTo(port, "from inside"));
    ASSERT_TRUE(
        PumpUntil([&] { return f.W().LogGetText().find("from inside") != std::string::npos; }));
    EXPECT_EQ(f.W().LogGetText().find("from outside"), std::string::npos);
}
