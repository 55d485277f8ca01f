// The serial side of the real console, driven from outside: what its buttons and keys put on
// the wire, what it shows of what the device sends, its answers to requests, the status bar
// and the open error.
#include "E2eFixture.h"

#include <chrono>

namespace {

struct TPresetCase {
    const char* Button;
    const char* Wire;
};

// The twelve preset buttons and the bytes each must put on the line.
const TPresetCase PresetCases[] = {
    {"BtnSet1", "AT+WOPEN=0\r\n"},    {"BtnSet2", "AT+WOPEN=1\r\n"},
    {"BtnSet3", "AT+WOPEN=2\r\n"},    {"BtnSet4", "AT+WCFM=2\r\n"},
    {"BtnSet5", "AT+WMFM=0,1,2\r\n"}, {"BtnSet6", "AT+WFM=1,\"SIM3VONLY\"\r\n"},
    {"BtnSet7", "AT+WMBS=5,1\r\n"},   {"BtnSet8", "AT+STSF=0\r\n"},
    {"Button9", "AT+WIND=0\r\n"},     {"BtnSet10", "at+Factory\r\n"},
    {"Button11", "at+LogOn\r\n"},     {"Button12", "AT&F\r\n"},
};

TEST_F(TConsoleTest, EveryPresetButtonPutsItsCommandOnTheWire) {
    OpenOnDevice("RButDirect");
    for (const TPresetCase& c : PresetCases) {
        Console().Click(c.Button);
        const std::string want = c.Wire;
        EXPECT_EQ(m_device->ReadExactly(want.size()), want) << c.Button;
    }
    EXPECT_EQ(m_device->ReadFor(200), "") << "bytes beyond the commands";
}

TEST_F(TConsoleTest, PlusGoesAtOnceAndEnterSendsTheLine) {
    OpenOnDevice("RButDirect");
    Console().Click("EdCmdLn");
    for (int i = 0; i < 3; ++i) {
        Console().Type("+");
        EXPECT_EQ(m_device->ReadExactly(1), "+") << "plus number " << i + 1;
    }
    Console().Key("Return");
    EXPECT_EQ(m_device->ReadExactly(5), "+++\r\n");
    Console().Key("Escape");
    EXPECT_EQ(m_device->ReadExactly(1), "\x1b");
    Console().Type("AT");
    Console().Click("BtTransmit"); // "To COM"
    EXPECT_EQ(m_device->ReadExactly(7), "+++AT\r\n");
    EXPECT_EQ(m_device->ReadFor(200), "");
    EXPECT_EQ(Console().CopyText("EdCmdLn"), "+++AT") << "the command line keeps its text";
}

TEST_F(TConsoleTest, DirectComShowsTextAndScreenShowsControlBytes) {
    OpenOnDevice("RButDirect");
    // Without "Screen": CR starts a line, other control bytes are dropped, NUL ends the chunk.
    ASSERT_TRUE(m_device->Write("one\r\ntw\x01o\rthree\0hidden"));
    std::string log;
    EXPECT_TRUE(
        Console().WaitLog([](const std::string& L) { return L == "one\ntwo\nthree"; }, 5000, &log))
        << log;

    Console().Click("ScrChBx");
    // With "Screen": two CRs at the start of a chunk empty the log.
    ASSERT_TRUE(m_device->Write("\r\rX"));
    EXPECT_TRUE(Console().WaitLog([](const std::string& L) { return L == "X"; }, 5000, &log))
        << log;
    // CR and LF each make a line break of their own.
    ASSERT_TRUE(m_device->Write("\r\nY"));
    EXPECT_TRUE(Console().WaitLog([](const std::string& L) { return L == "X\n\nY"; }, 5000, &log))
        << log;
}

TEST_F(TConsoleTest, PacketComWithTreatAnswersTheSimulatorsRequests) {
    const int requests = 60;
    TProcess sim(
        {TEVRO_DEVSIM_BIN, "packet", "--com",     "1",    "--requests",   std::to_string(requests),
         "--kind3",        "3",      "--damaged", "3",    "--garbage",    "3",
         "--empty",        "2",      "--start",   "open", "--timeout-ms", "100",
         "--gap-ms",       "2",      "--linger",  "2",    "--events",     "--no-stdin",
         "--time-limit",   "60"},
        {.CaptureStdout = true, .QuietStderr = true});
    auto line = sim.ReadLine(5000);
    ASSERT_TRUE(line && JsonValue(*line, "event") == "ready") << line.value_or("(nothing)");

    Console().Click("RButPack");
    Console().Click("ChBxTreat");
    bool probed = false;
    while ((line = sim.ReadLine(15000)))
        if (JsonValue(*line, "event") == "probe_answered") {
            probed = true;
            break;
        }
    ASSERT_TRUE(probed) << "the console answered no probe request";
    // The simulator writes a request at least every 150 ms until it has sent them all;
    // the port is closed once it has been quiet for longer (a closed port mid-run fails it).
    long long written = -2;
    ASSERT_TRUE(WaitFor(
        [&] {
            const long long now = sim.WrittenBytes();
            const bool quiet = now == written;
            written = now;
            return quiet;
        },
        30000, 600));
    Console().Click("BtSet");
    Console().Click("BtnClose");

    std::string summary;
    while ((line = sim.ReadLine(10000)))
        summary = *line;
    ASSERT_EQ(sim.Wait(5000), 0) << summary;
    EXPECT_EQ(JsonValue(summary, "answered"), JsonValue(summary, "requests")) << summary;
    EXPECT_GE(std::stoi(JsonValue(summary, "answered").value_or("0")), requests) << summary;
    EXPECT_EQ(JsonValue(summary, "missing"), "0") << summary;
    EXPECT_EQ(JsonValue(summary, "wrong"), "0") << summary;
    EXPECT_EQ(JsonValue(summary, "stray_bytes"), "0") << summary;

    // The requests were shown as hex lines, the probe request among them.
    std::string log = Console().Log();
    EXPECT_NE(log.find("Rx- 1E 02 5A 01 "), std::string::npos) << log.substr(0, 400);
}

TEST_F(TConsoleTest, StatusPanelsFollowOpenAndClose) {
    const TRect panel6 = layout::StatusPanel(6);
    const auto atStart = InkColumns(Console().GrabPanel(6), panel6.W);
    EXPECT_FALSE(PanelHasText(0));
    EXPECT_FALSE(PanelHasText(2));

    m_config->MapCom(1, m_device->Path());
    Console().Click("BtSet"); // shows " Port settings "
    Console().Click("BtnOpen");
    ASSERT_TRUE(WaitFor([this] { return PanelHasText(0) && PanelHasText(2); }, 5000))
        << "DTR and RTS did not show after OPEN";
    EXPECT_TRUE(m_device->PeerOpen());
    const auto open = Console().GrabPanel(6);

    // Unticking DTR empties its panel; ticking it again shows it.
    Console().Click("ChBxDTR");
    EXPECT_TRUE(WaitFor([this] { return !PanelHasText(0); }, 3000));
    EXPECT_TRUE(PanelHasText(2));
    Console().Click("ChBxDTR");
    EXPECT_TRUE(WaitFor([this] { return PanelHasText(0); }, 3000));

    Console().Click("BtnClose");
    ASSERT_TRUE(WaitFor([this] { return !PanelHasText(0) && !PanelHasText(2); }, 5000))
        << "DTR and RTS still shown after CLOSE";
    EXPECT_TRUE(WaitFor([this] { return !m_device->PeerOpen(); }, 3000));
    const auto closed = Console().GrabPanel(6);

    // Panel 6: the open text and the closed text differ; both begin with a blank, which the
    // text at start has not, so their first ink lies further right.
    EXPECT_NE(open, closed);
    const auto openCols = InkColumns(open, panel6.W), closedCols = InkColumns(closed, panel6.W);
    EXPECT_GE(atStart.first, 0);
    EXPECT_EQ(openCols.first, closedCols.first);
    EXPECT_GT(closedCols.first, atStart.first);
}

TEST_F(TConsoleTest, OpenErrorOnAMissingPortShowsAMessageBoxAndMovesTheSelectionUp) {
    // COM16 leads nowhere, as after an adapter was unplugged; COM15 is the device.
    m_config->MapCom(16, "/nonexistent/tevro-e2e/ttyUSB15");
    m_config->MapCom(15, m_device->Path());
    Console().Click("BtSet");
    Console().Click("ComboPortNum");
    Console().Key("End Return"); // "Com 16" from the drop-down list
    Console().Click("BtnOpen");

    // The box is captioned with the application's title. (Its text cannot be read from
    // outside: a message box here neither copies nor lets its text be selected.)
    const unsigned long box = Console().X().WaitForWindow("tevro-console", 5000);
    ASSERT_NE(box, 0u) << "no message box";
    EXPECT_FALSE(m_device->PeerOpen());
    Console().X().Close(box);
    ASSERT_TRUE(Console().X().WaitGone(box, 3000)) << "the message box did not close";

    // The failure moved the selection one item up: the next OPEN opens COM15.
    Console().Click("BtnOpen");
    EXPECT_TRUE(WaitFor([this] { return m_device->PeerOpen() && PanelHasText(0); }, 5000))
        << "OPEN after the failure did not open COM15";
    EXPECT_TRUE(Console().X().FindWindows("tevro-console").empty());
}

TEST_F(TConsoleTest, ClosingTheWindowWithThePortOpenEndsTheProgram) {
    OpenOnDevice("RButDirect");
    const auto start = std::chrono::steady_clock::now();
    const auto status = Console().Close(1000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    ASSERT_TRUE(status.has_value()) << "the console still runs a second after its window closed";
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(m_device->PeerOpen()) << "the port was not closed";
    RecordProperty("close_ms", static_cast<int>(ms));
}

} // namespace
