#include "Console.h"

#include "Layout.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

void Xdotool(std::vector<std::string> Args) {
    Args.insert(Args.begin(), "xdotool");
    if (Run(Args).Status != 0)
        throw std::runtime_error("xdotool failed: " + Args[1]);
}
} // namespace

bool WaitFor(const std::function<bool()>& Done, int TimeoutMs, int PeriodMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(PeriodMs));
    }
    return true;
}

// ---------------------------------------------------------------- Xvfb and folders

TXvfb::TXvfb() {
    // -displayfd: the server picks a free display number and writes it once it is ready.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_server = std::make_unique<TProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp"},
        TProcess::TOptions{.QuietStderr = true, .KeepFd = fds[1]});
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[32];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos)
        throw std::runtime_error("Xvfb did not start");
    m_name = ":" + number.substr(0, number.find('\n'));
    ::setenv("DISPLAY", m_name.c_str(), 1);
}

TTempDir::TTempDir(const std::string& Prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (Prefix + "-XXXXXX")).string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot make a temporary folder");
    m_path = tmpl;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

TConfigHome::TConfigHome() : m_dir("tevro-e2e") {
    std::filesystem::create_directories(ComMap());
    ::setenv("XDG_CONFIG_HOME", m_dir.Path().c_str(), 1);
    // Qt wants a private runtime folder too, and warns without one.
    const std::string runtime = m_dir.Path() + "/runtime";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

void TConfigHome::MapCom(int N, const std::string& Target) const {
    const std::string entry = ComMap() + "/COM" + std::to_string(N);
    std::error_code ec;
    std::filesystem::remove(entry, ec);
    std::filesystem::create_symlink(Target, entry);
}

// ---------------------------------------------------------------- the console

TConsole::TConsole(const std::string& Binary) {
    m_process = std::make_unique<TProcess>(std::vector<std::string>{Binary}, TProcess::TOptions{});
    m_window = m_x.WaitForWindow(Title, 15000);
    if (!m_window)
        throw std::runtime_error("the console's window did not appear");
    const TRect g = m_x.Geometry(m_window);
    if (g.W != layout::WindowWidth || g.H != layout::WindowHeight)
        throw std::runtime_error("the console's window is " + std::to_string(g.W) + "x" +
                                 std::to_string(g.H) + ", not the design size");
    // A window is black until its first paint: wait for the log's green face.
    const TRect log = layout::Control("MemMess");
    const TRect middle{log.X + log.W / 2, log.Y + log.H / 2, 1, 1};
    if (!WaitFor([&] { return Grab(middle) == std::vector<uint32_t>{0xC0DCC0}; }, 10000))
        throw std::runtime_error("the console's window was not painted");
}

TConsole::~TConsole() {
    if (m_process->Running())
        Close(3000);
}

void TConsole::ClickAt(int X, int Y, int Button) {
    const TRect g = m_x.Geometry(m_window);
    Xdotool({"mousemove", std::to_string(g.X + X), std::to_string(g.Y + Y), "click",
             std::to_string(Button)});
}

void TConsole::MoveTo(int X, int Y) {
    const TRect g = m_x.Geometry(m_window);
    Xdotool({"mousemove", std::to_string(g.X + X), std::to_string(g.Y + Y)});
}

void TConsole::Click(const std::string& Control) {
    const TRect r = layout::Control(Control);
    if (r.W == 0)
        throw std::runtime_error("no control named " + Control);
    ClickAt(r.X + r.W / 2, r.Y + r.H / 2);
}

void TConsole::Key(const std::string& Keys) {
    std::vector<std::string> args{"key", "--delay", "20"};
    std::istringstream in(Keys);
    for (std::string k; in >> k;)
        args.push_back(k);
    Xdotool(args);
}

void TConsole::Type(const std::string& Text) {
    Xdotool({"type", "--delay", "15", Text});
}

void TConsole::SetText(const std::string& Control, const std::string& Text) {
    Click(Control);
    Key("ctrl+a BackSpace");
    Type(Text);
}

std::string TConsole::Clipboard(int TimeoutMs) {
    if (!WaitFor([this] { return m_x.ClipboardOwned(); }, TimeoutMs, 10))
        return {};
    TRunResult r = Run({"xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"});
    return r.Status == 0 ? r.Out : std::string();
}

std::string TConsole::CopyText(const std::string& Control) {
    m_x.ClearClipboard();
    Click(Control);
    Key("ctrl+a ctrl+c");
    return Clipboard(500);
}

bool TConsole::WaitLog(const std::function<bool(const std::string&)>& Done, int TimeoutMs,
                       std::string* Last) {
    std::string text;
    const bool ok = WaitFor(
        [&] {
            text = Log();
            return Done(text);
        },
        TimeoutMs, 50);
    if (Last)
        *Last = text;
    return ok;
}

std::vector<uint32_t> TConsole::GrabPanel(int N) {
    return Grab(layout::StatusPanel(N));
}

bool TConsole::SaveScreenshot(const std::string& Path) {
    return Run({"import", "-window", std::to_string(m_window), Path}, 15000).Status == 0;
}

std::optional<int> TConsole::Close(int TimeoutMs) {
    m_x.Close(m_window);
    return m_process->Wait(TimeoutMs);
}

// ---------------------------------------------------------------- small helpers

std::optional<std::string> JsonValue(const std::string& Line, const std::string& Key) {
    const std::string needle = "\"" + Key + "\":";
    const size_t at = Line.find(needle);
    if (at == std::string::npos)
        return std::nullopt;
    size_t i = at + needle.size();
    if (i < Line.size() && Line[i] != '"') {
        const size_t end = Line.find_first_of(",}]", i);
        return Line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    }
    std::string value;
    for (++i; i < Line.size() && Line[i] != '"'; ++i) {
        if (Line[i] != '\\' || i + 1 >= Line.size()) {
            value += Line[i];
            continue;
        }
        const char e = Line[++i];
        if (e == 'n')
            value += '\n';
        else if (e == 'r')
            value += '\r';
        else if (e == 't')
            value += '\t';
        else if (e == 'u' && i + 4 < Line.size()) {
            value += static_cast<char>(std::stoi(Line.substr(i + 1, 4), nullptr, 16));
            i += 4;
        } else
            value += e;
    }
    return value;
}

bool UdpPortBound(int Port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", Port);
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0)
                return true;
        }
    }
    return false;
}

int FreeUdpPort() {
    for (;;) {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = -1;
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(s);
        if (port < 0)
            throw std::runtime_error("no free UDP port");
        if (port != 50000)
            return port;
    }
}
