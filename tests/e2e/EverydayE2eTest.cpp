// The log's context menu and shortcuts, a script from its "Scripts" submenu against the
// simulator, the command line's history and the port names, on the real console: files are
// chosen by typing their path into the toolkit's own file dialog, as an operator can; menu
// items are found by their place, the pixels and the X selection tell what the log shows.
#include "E2eFixture.h"
#include "FileText.h"
#include "TransferRig.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {
namespace fs = std::filesystem;

class TEverydayTest : public TConsoleTest {
protected:
    void SetUp() override {
        TConsoleTest::SetUp();
        m_files = std::make_unique<TTempDir>("tevro-e2e-files");
    }
    void TearDown() override {
        TConsoleTest::TearDown();
        m_files.reset();
    }
    std::string FilePath(const std::string& Name) const { return m_files->Path() + "/" + Name; }

    // Types Text into the focused edit box and reads it back (Ctrl+A, Ctrl+C), again until it
    // holds: a key typed before a new window took the focus goes elsewhere.
    bool TypeChecked(const std::string& Text) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            Console().Key("ctrl+a");
            Console().Type(Text);
            Console().X().ClearClipboard();
            Console().Key("ctrl+a ctrl+c");
            if (Console().Clipboard(2000) == Text)
                return true;
        }
        return false;
    }
    // Waits for a window of this title, types the path into its file name box (which has the
    // focus) and accepts.
    void AnswerFileDialog(const std::string& Title, const std::string& Path) {
        const unsigned long dialog = Console().X().WaitForWindow(Title, 10000);
        ASSERT_NE(dialog, 0u) << "no dialog \"" << Title << "\"";
        ASSERT_TRUE(TypeChecked(Path)) << "the file name box did not take the path";
        Console().Key("Return");
        ASSERT_TRUE(Console().X().WaitGone(dialog, 10000)) << "the dialog stayed";
    }
    // Right click on the log: its menu on the screen, and the menu's window.
    void OpenLogMenu(TRect& Menu, unsigned long& MenuWindow) {
        const TRect log = layout::Control("MemMess");
        Console().ClickAt(log.X + log.W / 2, log.Y + log.H / 2, 3);
        std::vector<TRect> menus;
        ASSERT_TRUE(WaitFor([&] { return !(menus = PopupWindows(60, &MenuWindow)).empty(); }, 5000))
            << "no context menu";
        Menu = menus.front();
    }
    // Right click on the log, and a click on the menu's last item, "Capture to file…".
    void ToggleCaptureByMenu() {
        TRect m;
        unsigned long w = 0;
        ASSERT_NO_FATAL_FAILURE(OpenLogMenu(m, w));
        const TRect window = Console().X().Geometry(Console().Window());
        Console().ClickAt(m.X + 40 - window.X, m.Y + m.H - 12 - window.Y);
        ASSERT_TRUE(WaitFor([this] { return PopupWindows(60).empty(); }, 5000));
    }
    // The rows of a menu painted in the selection's colour across most of their width: the
    // item under the pointer. Its top inside the menu and its height; a height of 0 when none.
    std::pair<int, int> LitItem(unsigned long MenuWindow, const TRect& Menu) {
        const std::vector<uint32_t> pixels = Console().X().Grab(MenuWindow, {0, 0, Menu.W, Menu.H});
        int top = -1, height = 0;
        for (int y = 0; y < Menu.H && size_t((y + 1) * Menu.W) <= pixels.size(); ++y) {
            const auto row = pixels.begin() + y * Menu.W;
            const bool lit = std::count_if(row, row + Menu.W, IsSelectionBlue) > Menu.W / 2;
            if (lit && top < 0)
                top = y;
            if (lit)
                height = y - top + 1;
            else if (top >= 0)
                break;
        }
        return {top, height};
    }
    // The menus, lists and tooltips on the display at least MinHeight high, or at most
    // -MinHeight high for a negative value; in Window, their window.
    std::vector<TRect> PopupWindows(int MinHeight, unsigned long* Window = nullptr) {
        std::vector<TRect> found;
        for (unsigned long w : Console().X().PopupWindows()) {
            const TRect g = Console().X().Geometry(w);
            if (g.W > 4 && (MinHeight >= 0 ? g.H >= MinHeight : g.H <= -MinHeight)) {
                found.push_back(g);
                if (Window)
                    *Window = w;
            }
        }
        return found;
    }
    std::string PrimarySelection() {
        TRunResult r = ::Run({"xclip", "-o", "-selection", "primary", "-t", "UTF8_STRING"});
        return r.Status == 0 ? r.Out : std::string();
    }
    static bool IsSelectionBlue(uint32_t P) {
        const int r = (P >> 16) & 255, g = (P >> 8) & 255, b = P & 255;
        return b > 120 && r < 100 && g < 160; // the style's blue
    }
    // Pixels of the log painted in the selection's colour.
    int HighlightPixels() {
        const std::vector<uint32_t> pixels = Console().Grab(layout::Control("MemMess"));
        return int(std::count_if(pixels.begin(), pixels.end(), IsSelectionBlue));
    }

    // The pixels of a tooltip once its text is drawn: a tip is mapped before it is painted,
    // and a grab in between is one colour.
    std::vector<uint32_t> PaintedGrab(unsigned long Window, const TRect& Tip) {
        std::vector<uint32_t> pixels;
        WaitFor(
            [&] {
                pixels = Console().X().Grab(Window, {0, 0, Tip.W, Tip.H});
                return std::any_of(pixels.begin(), pixels.end(),
                                   [&](uint32_t P) { return P != pixels.front(); });
            },
            5000);
        return pixels;
    }

    // Ctrl+Shift+U on the log, the path typed into the box, the protocol chosen by typing its
    // first letters into the list (none: the first, XMODEM-1K), and Send.
    void SendFileByKeys(const std::string& Path, const std::string& ProtocolKeys) {
        Console().Click("MemMess");
        Console().Key("ctrl+shift+u");
        const unsigned long box = Console().X().WaitForWindow("Send file", 10000);
        ASSERT_NE(box, 0u) << "no \"Send file\" box";
        ASSERT_TRUE(TypeChecked(Path)) << "the file box did not take the path";
        Console().Key("Tab Tab"); // past "Browse…" to the protocol
        if (!ProtocolKeys.empty())
            Console().Type(ProtocolKeys);
        Console().Key("Return");
        ASSERT_TRUE(Console().X().WaitGone(box, 10000)) << "the box stayed";
    }

    std::unique_ptr<TTempDir> m_files;
    int m_lastTipWidth = 0;
};

TEST_F(TEverydayTest, SaveLogAsWritesTheLogAsUtf8ByteForByte) {
    OpenOnDevice("RButDirect");
    // Windows-1251 from the device: "Привет, мир" and "Ёж №5".
    ASSERT_TRUE(m_device->Write("\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0\r\n"
                                "\xA8\xE6 \xB9"
                                "5\rlast"));
    ASSERT_TRUE(Console().WaitLog(
        [](const std::string& L) { return L == "Привет, мир\nЁж №5\nlast"; }, 5000));
    Console().Click("MemMess");
    Console().Key("ctrl+s");
    const std::string path = FilePath("saved log.txt");
    AnswerFileDialog("Save log as", path);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(path); }, 10000)) << "no file";
    EXPECT_EQ(ReadFile(path), "Привет, мир\nЁж №5\nlast");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_files->Path()), fs::directory_iterator()), 1)
        << "something besides the file was left in its folder";
}

TEST_F(TEverydayTest, CaptureDuringATwentyMegabyteFloodHoldsEveryLineInOrder) {
    OpenOnDevice("RButDirect");
    const std::string path = FilePath("capture.txt");
    ToggleCaptureByMenu();
    AnswerFileDialog("Capture to file", path);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(path); }, 5000)) << "capture did not start";

    // Lines of 100 bytes, numbered, with Cyrillic in them: 20 MB in all.
    std::string flood, want;
    for (int i = 0; flood.size() < (20u << 20); ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "%08d \xE4\xE0\xED\xED\xFB\xE5 ", i);
        std::string line = head;
        line.append(98 - line.size(), 'a' + i % 26);
        flood += line + "\r\n";
        char wantHead[48];
        std::snprintf(wantHead, sizeof wantHead, "%08d данные ", i);
        want += wantHead + line.substr(std::strlen(head)) + "\n";
    }
    for (size_t pos = 0; pos < flood.size(); pos += 65536)
        ASSERT_TRUE(m_device->Write(flood.substr(pos, 65536), 30000)) << "the console stopped";
    // The file catches up within about a second of the log while capture is on.
    const bool complete = WaitFor([&] { return fs::file_size(path) >= want.size(); }, 90000, 100);
    EXPECT_TRUE(complete) << fs::file_size(path) << " of " << want.size() << " bytes";
    ToggleCaptureByMenu(); // off: nothing more is written
    const std::string got = ReadFile(path);
    if (got != want) {
        size_t at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at])
            ++at;
        const size_t line = std::count(want.begin(), want.begin() + at, '\n');
        ADD_FAILURE() << "the file differs from line " << line << " on (" << got.size() << " of "
                      << want.size() << " bytes)";
    }
}

TEST_F(TEverydayTest, FindSelectsAMatchFarAboveTheEndAndKeepsItInView) {
    OpenOnDevice("RButDirect");
    std::string text = "first line\r\nthe NEEDLE-7 is here\r\n";
    for (int i = 0; i < 20000; ++i)
        text += "filler line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(m_device->Write(text, 10000));
    ASSERT_TRUE(Console().WaitLog(
        [](const std::string& L) { return L.ends_with("filler line 19999\n"); }, 20000));
    // A click away from the centre, where reading clicked (no double click), ends the
    // selection of the whole log that reading it made.
    const TRect log = layout::Control("MemMess");
    Console().ClickAt(log.X + 30, log.Y + 30);
    ASSERT_TRUE(WaitFor([this] { return HighlightPixels() == 0; }, 5000));

    Console().Key("ctrl+f");
    const unsigned long box = Console().X().WaitForWindow("Find", 5000);
    ASSERT_NE(box, 0u) << "no find box";
    ASSERT_TRUE(TypeChecked("needle-7"));
    Console().Key("Return");
    EXPECT_TRUE(WaitFor([this] { return PrimarySelection() == "NEEDLE-7"; }, 5000))
        << PrimarySelection();
    // One word highlighted on screen, 20000 lines above the end.
    int lit = 0;
    EXPECT_TRUE(WaitFor([&] { return (lit = HighlightPixels()) > 50 && lit < 3000; }, 5000))
        << "the match is not in view: " << lit << " pixels lit";

    // Text goes on arriving with the box open, and the box finds it as it comes.
    ASSERT_TRUE(m_device->Write("arrived later\r\n"));
    ASSERT_TRUE(TypeChecked(
        "ARRIVED LATER")); // another case than the log's: the box's own selection differs
    EXPECT_TRUE(WaitFor(
        [this] {
            Console().Key("Return");
            return PrimarySelection() == "arrived later";
        },
        10000, 200));
    // Shift+F3 goes back up to the first match of the box's text, round the start.
    ASSERT_TRUE(TypeChecked("needle-7"));
    Console().Key("shift+F3");
    EXPECT_TRUE(WaitFor([this] { return PrimarySelection() == "NEEDLE-7"; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return (lit = HighlightPixels()) > 50 && lit < 3000; }, 5000));
    Console().Key("Escape");
    EXPECT_TRUE(Console().X().WaitGone(box, 5000));
}

TEST_F(TEverydayTest, UpAndDownRecallTheLinesSentAndSendNothing) {
    OpenOnDevice("RButDirect");
    Console().Click("EdCmdLn");
    Console().Type("AT1");
    Console().Key("Return");
    EXPECT_EQ(m_device->ReadExactly(5), "AT1\r\n");
    Console().Key("ctrl+a");
    Console().Type("AT2");
    Console().Click("BtTransmit");
    EXPECT_EQ(m_device->ReadExactly(5), "AT2\r\n");
    Console().Key("Return"); // the same line once more: stored once
    EXPECT_EQ(m_device->ReadExactly(5), "AT2\r\n");
    Console().Key("ctrl+a");
    Console().Type("draft");
    const std::pair<const char*, const char*> steps[] = {
        {"Up", "AT2"},   {"Up", "AT1"},     {"Up", "AT1"},
        {"Down", "AT2"}, {"Down", "draft"}, {"Down", "draft"},
    };
    for (const auto& [key, want] : steps) {
        Console().Key(key);
        EXPECT_EQ(Console().CopyText("EdCmdLn"), want) << "after " << key;
    }
    EXPECT_EQ(m_device->ReadFor(200), "") << "a history key sent something";
}

TEST_F(TEverydayTest, PortItemsAndPanelSixShowTheDeviceAsTooltips) {
    // Com 3 and Com 4 are links of the COM map to the same device by paths of different
    // length; Com 5 is in neither the map nor the machine.
    m_config->MapCom(3, "/dev/null");
    m_config->MapCom(4, "/dev/../dev/../dev/../dev/../dev/null");
    Console().Click("BtSet");
    Console().Click("ComboPortNum");
    std::vector<TRect> lists;
    ASSERT_TRUE(WaitFor([&] { return !(lists = PopupWindows(100)).empty(); }, 5000))
        << "the port list did not open";
    const TRect list = lists.front();
    const TRect window = Console().X().Geometry(Console().Window());
    // Hovers item Index and returns the tooltip's pixels and width once it shows.
    auto tooltip = [&](int Index, std::vector<uint32_t>* Pixels = nullptr) {
        ASSERT_TRUE(WaitFor([&] { return PopupWindows(-40).empty(); }, 10000)) << "stale tip";
        const int rowHeight = (list.H - 4) / 10;
        const int y = list.Y + 2 + rowHeight * Index + rowHeight / 2 - window.Y;
        Console().MoveTo(list.X + 20 - window.X, y);
        Console().MoveTo(list.X + 22 - window.X, y);
        std::vector<TRect> tips;
        unsigned long w = 0;
        ASSERT_TRUE(WaitFor([&] { return !(tips = PopupWindows(-40, &w)).empty(); }, 10000))
            << "no tooltip on item " << Index;
        if (Pixels)
            *Pixels = PaintedGrab(w, tips[0]);
        m_lastTipWidth = tips[0].W;
        Console().MoveTo(list.X + list.W + 150 - window.X, y); // away: the tip goes
    };
    std::vector<uint32_t> com1Tip;
    tooltip(2);
    const int link = m_lastTipWidth;
    tooltip(3);
    const int longerLink = m_lastTipWidth;
    tooltip(4);
    const int absent = m_lastTipWidth;
    // "<map>/COM3 → /dev/null" is 20 characters longer than "not present" and 28 shorter
    // than the Com 4 text: at least some pixels for each character.
    EXPECT_GT(link, absent + 20 * 3) << "link " << link << ", not present " << absent;
    EXPECT_GT(longerLink, link + 28 * 3) << "longer link " << longerLink << ", link " << link;

    // Com 1, the test's device; once it is open, panel 6's tooltip says the same.
    m_config->MapCom(1, m_device->SlavePath());
    tooltip(0, &com1Tip);
    Console().Key("Escape");
    ASSERT_TRUE(WaitFor([this] { return PopupWindows(100).empty(); }, 5000));
    Console().Click("BtnOpen");
    ASSERT_TRUE(WaitFor([this] { return m_device->PeerOpen() && PanelHasText(0); }, 5000));
    const TRect panel = layout::StatusPanel(6);
    ASSERT_TRUE(WaitFor([&] { return PopupWindows(-40).empty(); }, 10000));
    Console().MoveTo(panel.X + 20, panel.Y + 5);
    Console().MoveTo(panel.X + 22, panel.Y + 6);
    std::vector<TRect> tips;
    unsigned long tipWindow = 0;
    ASSERT_TRUE(WaitFor([&] { return !(tips = PopupWindows(-40, &tipWindow)).empty(); }, 10000))
        << "no tooltip on panel 6";
    EXPECT_EQ(PaintedGrab(tipWindow, tips[0]), com1Tip)
        << "panel 6's tooltip differs from the text of Com 1";
}

TEST_F(TEverydayTest, AScriptFromTheScriptsMenuTalksToTheSimulatorAndEndsWithExitZero) {
    const std::string scripts = m_config->Path() + "/tevro-console/scripts";
    fs::create_directories(scripts);
    std::ofstream(scripts + "/setup.chat") << "'' AT\nOK ATE1\nOK AT+CSQ\n";
    TProcess sim({TEVRO_DEVSIM_BIN, "text", "--com", "1", "--events", "--time-limit", "60"},
                 {.CaptureStdout = true, .PipeStdin = true, .QuietStderr = true});
    auto awaitEvent = [&](const std::string& Event) {
        while (auto line = sim.ReadLine(10000))
            if (JsonValue(*line, "event") == Event)
                return *line;
        return std::string();
    };
    ASSERT_NE(awaitEvent("ready"), "");
    Console().Click("RButDirect");
    ASSERT_NE(awaitEvent("open"), "") << "the console did not open COM1";

    TRect menu;
    unsigned long menuWindow = 0;
    ASSERT_NO_FATAL_FAILURE(OpenLogMenu(menu, menuWindow));
    const TRect window = Console().X().Geometry(Console().Window());
    // The pointer on the last item lights it: that gives the height of the items, all of one
    // height below the separator.
    Console().MoveTo(menu.X + 40 - window.X, menu.Y + menu.H - 12 - window.Y);
    std::pair<int, int> last;
    ASSERT_TRUE(WaitFor([&] { return (last = LitItem(menuWindow, menu)).second >= 8; }, 5000))
        << "the menu's last item did not light under the pointer";
    // Below the separator: Run script…, Scripts, Timestamps, Show what is sent, Save
    // profile…, Find…, Save log as…, Capture to file…: "Scripts" is six items above the last.
    const int scriptsY = menu.Y + last.first - 6 * last.second + last.second / 2 - window.Y;
    Console().MoveTo(menu.X + 40 - window.X, scriptsY);
    Console().ClickAt(menu.X + 42 - window.X, scriptsY);
    std::vector<TRect> submenus;
    ASSERT_TRUE(WaitFor(
        [&] {
            submenus.clear();
            for (const TRect& r : PopupWindows(8))
                if (r.X != menu.X || r.Y != menu.Y)
                    submenus.push_back(r);
            return !submenus.empty();
        },
        5000))
        << "the Scripts submenu did not open";
    // One file in the folder: the submenu holds one item, setup.chat.
    const TRect& sub = submenus.front();
    ASSERT_LT(sub.H, 2 * last.second) << "more than one item in the Scripts submenu";
    Console().ClickAt(sub.X + sub.W / 2 - window.X, sub.Y + sub.H / 2 - window.Y);
    ASSERT_TRUE(WaitFor([this] { return PopupWindows(8).empty(); }, 5000)) << "the menus stayed";

    // The device got the three commands in order and answered each with OK.
    for (const std::string command : {"AT", "ATE1", "AT+CSQ"}) {
        const std::string line = awaitEvent("line");
        EXPECT_EQ(JsonValue(line, "text"), command) << line;
        EXPECT_EQ(JsonValue(line, "answer"), "OK") << line;
    }
    // The log's last word on the run, as chat would end: its exit code and what it means.
    const std::regex outcome(
        R"(Chat script setup\.chat: exit (-?[0-9]+), ([^\n]*), in [0-9]+\.[0-9]{2} s)");
    std::string log;
    ASSERT_TRUE(Console().WaitLog(
        [&](const std::string& L) { return std::regex_search(L, outcome); }, 10000, &log))
        << log;
    std::smatch m;
    std::regex_search(log, m, outcome);
    EXPECT_EQ(m.str(1), "0") << m.str(0);
    EXPECT_EQ(m.str(2), "the script ran to its end") << m.str(0);
}

// The device is lrzsz's YMODEM receiver on a pty of its own, bridged to the console's line.
TEST_F(TEverydayTest, SendFileByYmodemGivesTheReceiverTheFileWithItsNameAndSize) {
    OpenOnDevice("RButDirect");
    const std::string bytes = SeededBytes(100 * 1024 + 7, 3);
    std::ofstream(FilePath("fw.bin"), std::ios::binary) << bytes;
    fs::create_directories(FilePath("in"));
    TPty far;
    TChild rb({"rb", "-b"}, FilePath("in"), far.Slave());
    TPtyBridge line(m_device->Master(), far.Master());
    ASSERT_NO_FATAL_FAILURE(SendFileByKeys(FilePath("fw.bin"), "Y"));
    ASSERT_TRUE(WaitFor([&] { return rb.Poll().has_value(); }, 60000)) << "rb did not end";
    EXPECT_EQ(rb.Poll(), 0);
    EXPECT_TRUE(ReadFile(FilePath("in/fw.bin")) == bytes) << "the file differs";
    std::string log;
    EXPECT_TRUE(Console().WaitLog(
        [](const std::string& L) {
            return std::regex_search(
                L, std::regex(R"(Send file "fw\.bin" \(102407 bytes, YMODEM\): done in)"));
        },
        10000, &log))
        << log;
}

// Cancel in the progress box midway, with a command sent meanwhile: the receiver ends, the
// cancel goes before the held command, and the log tells both.
TEST_F(TEverydayTest, CancelMidwayEndsBothSidesAndTheHeldCommandGoesAfter) {
    OpenOnDevice("RButDirect");
    std::ofstream(FilePath("big.bin"), std::ios::binary) << SeededBytes(8 << 20, 5);
    TPty far;
    TPtyBridge line(m_device->Master(), far.Master());
    ASSERT_NO_FATAL_FAILURE(SendFileByKeys(FilePath("big.bin"), ""));
    // Started once the console waits for it: rx asks again only after ten seconds.
    TChild rx({"rx", "-b", "got.bin"}, m_files->Path(), far.Slave());
    const unsigned long progress = Console().X().WaitForWindow("Send file", 10000);
    ASSERT_NE(progress, 0u) << "no progress box";
    ASSERT_TRUE(WaitFor([&] { return line.FromA() >= 16 * 1024; }, 30000)) << "nothing went";
    Console().Click("EdCmdLn");
    Console().Type("AT");
    Console().Click("BtTransmit"); // "To COM": held, the line is the transfer's
    const TRect box = Console().X().Geometry(progress);
    const TRect window = Console().X().Geometry(Console().Window());
    Console().ClickAt(box.X + box.W / 2 - window.X, box.Y + 12 - window.Y);
    Console().Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return rx.Poll().has_value(); }, 30000)) << "rx did not end";
    EXPECT_NE(rx.Poll(), 0);
    std::string tail;
    ASSERT_TRUE(WaitFor(
        [&] { return (tail = line.TailFromA()).find("AT\r\n") != std::string::npos; }, 5000))
        << "the held command did not go out";
    EXPECT_LT(tail.rfind("\x18\x18"), tail.find("AT\r\n")) << "no cancel before it";
    std::string log;
    EXPECT_TRUE(Console().WaitLog(
        [](const std::string& L) {
            return L.find("Held until the file is sent") != std::string::npos &&
                   L.find("): cancelled after") != std::string::npos;
        },
        10000, &log))
        << log;
    EXPECT_TRUE(Console().X().WaitGone(progress, 5000)) << "the progress box stayed";
}

} // namespace
