// The status bar's panels as a screen reader reads them: the console runs with a private
// session bus and accessibility bus (the platform's own bus launcher), and the test asks the
// console's accessible objects for their names over that bus with gdbus, as any client would.
#include "E2eFixture.h"

#include <cstdlib>
#include <regex>
#include <unistd.h>

namespace {

const char* const BusLauncher = "/usr/libexec/at-spi-bus-launcher";

// A session bus with the accessibility bus launcher on it, for the processes started after it.
class TAccessibilityBus {
public:
    TAccessibilityBus() {
        m_session = std::make_unique<TProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
            TProcess::TOptions{.CaptureStdout = true, .QuietStderr = true});
        const auto address = m_session->ReadLine(10000);
        if (!address || address->empty())
            throw std::runtime_error("the session bus did not start");
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
        // The toolkit talks to assistive technologies only when asked to; a desktop's setting
        // does that, here the variable does.
        ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
        m_launcher = std::make_unique<TProcess>(std::vector<std::string>{BusLauncher},
                                                TProcess::TOptions{.QuietStderr = true});
        std::string reply;
        const bool up = WaitFor(
            [&] {
                reply = Gdbus({"--address", *address, "--dest", "org.a11y.Bus", "--object-path",
                               "/org/a11y/bus", "--method", "org.a11y.Bus.GetAddress"});
                return reply.starts_with("('");
            },
            10000, 100);
        if (!up)
            throw std::runtime_error("no accessibility bus: " + reply);
        m_address = reply.substr(2, reply.find('\'', 2) - 2);
    }
    ~TAccessibilityBus() {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
    }

    static std::string Gdbus(std::vector<std::string> Args) {
        Args.insert(Args.begin(), {"gdbus", "call"});
        TRunResult r = Run(Args, 5000);
        return r.Status == 0 ? r.Out : "error " + std::to_string(r.Status);
    }
    // A call to an object of the program on the bus by the name Program.
    std::string Call(const std::string& Program, const std::string& Path,
                     std::vector<std::string> Method) {
        std::vector<std::string> args{"--address",     m_address, "--dest",  Program,
                                      "--object-path", Path,      "--method"};
        args.insert(args.end(), Method.begin(), Method.end());
        return Gdbus(args);
    }
    std::vector<std::string> Children(const std::string& Program, const std::string& Path) {
        const std::string out = Call(Program, Path, {"org.a11y.atspi.Accessible.GetChildren"});
        std::vector<std::string> paths;
        // gdbus writes the type before the first path only.
        static const std::regex child("'(/org/a11y/atspi/accessible/[0-9]+)'");
        for (std::sregex_iterator i(out.begin(), out.end(), child), end; i != end; ++i)
            paths.push_back((*i)[1]);
        return paths;
    }
    // The Name or Description property; nothing when the call failed.
    std::optional<std::string> Text(const std::string& Program, const std::string& Path,
                                    const std::string& Property) {
        const std::string out =
            Call(Program, Path,
                 {"org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible", Property});
        if (!out.starts_with("(<'"))
            return std::nullopt;
        return out.substr(3, out.rfind("'>,)") - 3);
    }
    // The program on the bus whose root has a window titled Title.
    std::string FindProgram(const std::string& Title) {
        const std::string names =
            Gdbus({"--address", m_address, "--dest", "org.freedesktop.DBus", "--object-path",
                   "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.ListNames"});
        static const std::regex unique("'(:[0-9.]+)'");
        for (std::sregex_iterator i(names.begin(), names.end(), unique), end; i != end; ++i)
            for (const std::string& window : Children((*i)[1], "/org/a11y/atspi/accessible/root"))
                if (Text((*i)[1], window, "Name") == Title)
                    return (*i)[1];
        return {};
    }

private:
    std::unique_ptr<TProcess> m_session, m_launcher;
    std::string m_address;
};

class TAccessibleConsoleTest : public TConsoleTest {
protected:
    void SetUp() override {
        if (::access(BusLauncher, X_OK) != 0)
            GTEST_SKIP() << "no accessibility bus launcher on this machine";
        m_config = std::make_unique<TConfigHome>(); // its runtime folder holds the buses
        // The bus first: it needs no display, and its launcher then leaves the display alone.
        ::unsetenv("DISPLAY");
        m_bus = std::make_unique<TAccessibilityBus>();
        m_xvfb = std::make_unique<TXvfb>();
        m_device = std::make_unique<TPtyDevice>();
        m_console = std::make_unique<TConsole>(TEVRO_CONSOLE_BIN);
    }
    void TearDown() override {
        TConsoleTest::TearDown();
        m_bus.reset();
    }
    // The status bar: the object of the window (searched breadth first) with nine children,
    // the seventh of them named Panel6.
    std::vector<std::string> StatusPanels(const std::string& Program, const std::string& Panel6) {
        std::vector<std::string> queue =
            m_bus->Children(Program, "/org/a11y/atspi/accessible/root");
        for (size_t i = 0; i < queue.size() && i < 400; ++i) {
            const std::vector<std::string> children = m_bus->Children(Program, queue[i]);
            if (children.size() == 9 && m_bus->Text(Program, children[6], "Name") == Panel6)
                return children;
            queue.insert(queue.end(), children.begin(), children.end());
        }
        return {};
    }
    std::unique_ptr<TAccessibilityBus> m_bus;
};

TEST_F(TAccessibleConsoleTest, TheStatusPanelsTellTheirTextOverTheAccessibilityBus) {
    std::string program;
    ASSERT_TRUE(WaitFor([&] { return !(program = m_bus->FindProgram(TConsole::Title)).empty(); },
                        20000, 200))
        << "the console's window is not on the accessibility bus";
    const std::vector<std::string> panels = StatusPanels(program, "Com-порт не выбран");
    ASSERT_EQ(panels.size(), 9u) << "no status bar of nine panels";
    EXPECT_EQ(m_bus->Text(program, panels[0], "Name"), "");
    EXPECT_EQ(m_bus->Text(program, panels[1], "Name"), "");

    OpenOnDevice("RButDirect");
    // DTR and RTS raised, the port open and named; DSR is off (a pseudo-terminal has no
    // modem lines), so its panel is empty, as it is painted.
    const std::pair<int, std::string> open[] = {
        {0, "DTR"}, {1, ""}, {2, "RTS"}, {6, " Com-порт 1 [активен]"}};
    for (const auto& entry : open) {
        const int panel = entry.first;
        const std::string& text = entry.second;
        std::optional<std::string> got;
        EXPECT_TRUE(WaitFor(
            [&] { return (got = m_bus->Text(program, panels[panel], "Name")) == text; }, 5000, 100))
            << "panel " << panel << ": " << got.value_or("(no answer)");
    }
    // Panel 6's tooltip is its description: the device it opened.
    const std::string link = m_config->ComMap() + "/COM1 \u2192 " + m_device->SlavePath();
    EXPECT_EQ(m_bus->Text(program, panels[6], "Description"), link);
}

} // namespace
