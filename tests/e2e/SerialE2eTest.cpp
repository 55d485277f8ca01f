// The serial side of the real console, driven from outside: what its buttons and keys put on
// the wire, what it shows of what the device sends, its answers to requests, the status bar
// and the open error.
#include "E2eFixture.h"

#include <chrono>
#include <regex>

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

// Reads the simulator's event lines until one of the kind named; that line, or "".
std::string AwaitEvent(TProcess& Sim, const std::string& Event, int TimeoutMs = 5000) {
    while (auto line = Sim.ReadLine(TimeoutMs))
        if (JsonValue(*line, "event") == Event)
            return *line;
    return {};
}

TEST_F(TConsoleTest, PacketComWithTreatAnswersTheSimulatorsRequests) {
    // Every answer is checked, not how soon it comes: a busy machine (or a checker build) may
    // take longer than the simulator's default 100 ms.
    TProcess sim({TEVRO_DEVSIM_BIN, "text", "--com", "1", "--events", "--time-limit", "60",
                  "--timeout-ms", "3000"},
                 {.CaptureStdout = true, .PipeStdin = true, .QuietStderr = true});
    ASSERT_NE(AwaitEvent(sim, "ready"), "");
    Console().Click("RButPack");
    Console().Click("ChBxTreat");
    ASSERT_NE(AwaitEvent(sim, "open"), "") << "the console did not open COM1";
    ASSERT_TRUE(Console().Sync()) << "the console did not take the clicks";

    // Requests of kind 1 and 2 one at a time, each answer checked byte for byte.
    sim.WriteLine("burst 50");
    const std::string done = AwaitEvent(sim, "burst_done", 30000);
    ASSERT_NE(done, "") << "the burst did not end";
    EXPECT_EQ(JsonValue(done, "requests"), "50") << done;
    EXPECT_EQ(JsonValue(done, "answered"), "50") << done;
    EXPECT_EQ(JsonValue(done, "missing"), "0") << done;
    EXPECT_EQ(JsonValue(done, "wrong"), "0") << done;

    // They were shown as hex lines, one request of five bytes a line.
    const std::regex hexLine("Rx- 1E 02 [0-9A-F]{2} 0[12] [0-9A-F]{2} ");
    std::string log = Console().Log();
    EXPECT_TRUE(std::regex_search(log, hexLine)) << log.substr(0, 400);

    Console().Click("BtSet");
    Console().Click("BtnClose");
    EXPECT_NE(AwaitEvent(sim, "close"), "");
    sim.WriteLine("quit");
    std::string summary;
    while (auto line = sim.ReadLine(5000))
        summary = *line;
    EXPECT_EQ(sim.Wait(5000), 0) << summary;
}

TEST_F(TConsoleTest, StatusPanelsFollowOpenAndClose) {
    const TRect panel6 = layout::StatusPanel(6);
    const auto atStart = InkColumns(Console().GrabPanel(6), panel6.W);
    EXPECT_FALSE(PanelHasText(0));
    EXPECT_FALSE(PanelHasText(2));

    m_config->MapCom(1, m_device->SlavePath());
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
    m_config->MapCom(15, m_device->SlavePath());
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
