// The host's side of the real-driver tests: plays the devices on the host ends of the guest's
// FTDI adapter and UART, and does what a test inside the guest asks of the host (the monitor
// commands that unplug and replug the adapter, a packet run of the simulator on a line).
//
// A request is a file req.N in the run folder both sides see (written whole, then renamed);
// the answer goes to ack.N the same way. One request a line:
//   echo LINE          every byte that arrives on LINE (ftdi or uart) is sent back
//   stream LINE        LINE sends a numbered text line every 10 ms and drops what arrives
//   quiet LINE         what arrives on LINE is dropped, nothing is sent
//   monitor TEXT       TEXT to QEMU's monitor; the answer is "ok" and its reply, or "error:"
//                      and its reply when it refused the command
//   packet LINE N ...  the simulator's packet mode on LINE with N requests (further
//                      arguments passed on); the answer is its summary line
//   quit               the peer ends
//
// With --guest it runs inside the guest instead: it presents the USB devices the guest plays
// to itself (an ACM gadget and FunctionFS models of a CP2102, a PL2303 and a CH340), plays
// their far ends as the lines acm, cp210x, pl2303 and ch341, and takes its requests from
// guest-req.N. Two more requests there:
//   plug LINE in|out   the device comes onto or leaves the bus
//   lines LINE BITS    the modem inputs the device reports (TIOCM_ bits, decimal); on acm,
//                      0 closes the far end (DSR and DCD drop) and any other value opens it
#include "Fd.h"
#include "UsbGadget.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

enum class TMode { Echo, Stream, Quiet, Lent };

struct TLine {
    std::string Name, Path;
    TFd Fd;
    TMode Mode = TMode::Echo;
    std::string Out; // bytes waiting to go out
    TClock::time_point NextLine{};
    unsigned LineNo = 0;
};

TFd OpenLine(const std::string& Path) {
    TFd fd(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid())
        return fd;
    termios t;
    if (::tcgetattr(fd.Get(), &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(fd.Get(), TCSANOW, &t);
    }
    return fd;
}

// Reads what the monitor says until its prompt, at most TimeoutMs.
bool ReadUntilPrompt(int Fd, std::string& Text, int TimeoutMs) {
    const auto end = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Text.find("(qemu) ") == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(Fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        Text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

std::string Monitor(const std::string& Socket, const std::string& Command) {
    TFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", Socket.c_str());
    if (!s.Valid() || ::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return std::string("error: no monitor: ") + std::strerror(errno);
    std::string text;
    if (!ReadUntilPrompt(s.Get(), text, 10000))
        return "error: the monitor did not greet";
    const std::string line = Command + "\n";
    if (::write(s.Get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "error: the monitor did not take the command";
    std::string reply;
    if (!ReadUntilPrompt(s.Get(), reply, 10000))
        return "error: the monitor did not answer";
    // The reply echoes the command and ends in the next prompt; keep what lies between.
    reply.erase(reply.find("(qemu) "));
    const size_t eol = reply.find('\n');
    reply = eol == std::string::npos ? "" : reply.substr(eol + 1);
    reply.erase(std::remove(reply.begin(), reply.end(), '\r'), reply.end());
    // The monitor answers a command it refused with text, not a status: "Error: Device 'x'
    // not found" (hmp_handle_error) or "unknown command: 'x'"; a plain success says nothing
    // or prints a value.
    for (const char* refusal : {"Error:", "unknown command"})
        if (reply.find(refusal) != std::string::npos)
            return "error: " + reply;
    return "ok " + reply;
}

// Runs Argv with stdout to a pipe, at most TimeoutS; returns its last line of output.
std::string RunForLastLine(const std::vector<std::string>& Argv, int TimeoutS) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return "error: pipe";
    TFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(writeEnd.Get(), STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& a : Argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        _exit(127);
    }
    writeEnd.Reset();
    std::string out;
    const auto end = TClock::now() + std::chrono::seconds(TimeoutS);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGTERM);
            break;
        }
        pollfd p{readEnd.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(readEnd.Get(), buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    const size_t nl = out.rfind('\n');
    return nl == std::string::npos ? out : out.substr(nl + 1);
}

void WriteWhole(const std::string& Path, const std::string& Text) {
    {
        std::ofstream f(Path + ".tmp", std::ios::binary);
        f << Text;
    }
    std::rename((Path + ".tmp").c_str(), Path.c_str());
}

class TPeer {
public:
    TPeer(std::string Run, std::string MonitorSocket, std::string Devsim, std::string Prefix = "")
        : m_run(std::move(Run)), m_monitor(std::move(MonitorSocket)), m_devsim(std::move(Devsim)),
          m_prefix(std::move(Prefix)) {}

    std::map<std::string, std::unique_ptr<TUsbGadget>> Gadgets;

    bool AddLine(const std::string& Name, const std::string& Path) {
        TLine l;
        l.Name = Name;
        l.Path = Path;
        l.Fd = OpenLine(Path);
        if (!l.Fd.Valid()) {
            std::fprintf(stderr, "tevro-vm-peer: cannot open %s: %s\n", Path.c_str(),
                         std::strerror(errno));
            return false;
        }
        m_lines[Name] = std::move(l);
        return true;
    }

    // Serves the lines and the requests until "quit", or until the guest's end closes the run
    // folder or MaxSeconds pass.
    void Run(int MaxSeconds) {
        const auto end = TClock::now() + std::chrono::seconds(MaxSeconds);
        while (!m_quit && TClock::now() < end) {
            std::vector<pollfd> fds;
            std::vector<TLine*> order;
            for (auto& [name, l] : m_lines) {
                if (l.Mode == TMode::Lent || !l.Fd.Valid())
                    continue;
                fds.push_back(
                    {l.Fd.Get(), static_cast<short>(POLLIN | (l.Out.empty() ? 0 : POLLOUT)), 0});
                order.push_back(&l);
            }
            // Requests are files: looked for every 20 ms.
            ::poll(fds.data(), fds.size(), 20);
            for (size_t i = 0; i < fds.size(); ++i)
                Serve(*order[i], fds[i].revents);
            const auto now = TClock::now();
            for (auto& [name, l] : m_lines)
                if (l.Mode == TMode::Stream && now >= l.NextLine) {
                    char text[64];
                    std::snprintf(text, sizeof text, "line %06u\r\n", l.LineNo++);
                    if (l.Out.size() < 4096)
                        l.Out += text;
                    l.NextLine = now + std::chrono::milliseconds(10);
                    Flush(l);
                }
            TakeRequest();
            if (::access(m_run.c_str(), F_OK) != 0)
                break;
        }
    }

private:
    void Serve(TLine& L, short Revents) {
        if (Revents & POLLIN) {
            char buf[4096];
            const ssize_t n = ::read(L.Fd.Get(), buf, sizeof buf);
            if (n > 0 && L.Mode == TMode::Echo)
                L.Out.append(buf, static_cast<size_t>(n));
        }
        // The guest's side of a pty that nothing drives (an unplugged adapter) hangs up
        // transiently; a short pause keeps that from spinning.
        if (Revents & (POLLHUP | POLLERR))
            ::usleep(5000);
        if (!L.Out.empty())
            Flush(L);
    }
    void Flush(TLine& L) {
        const ssize_t n = ::write(L.Fd.Get(), L.Out.data(), L.Out.size());
        if (n > 0)
            L.Out.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN)
            L.Out.clear();
    }

    void TakeRequest() {
        const std::string path = m_run + "/" + m_prefix + "req." + std::to_string(m_next);
        std::ifstream f(path);
        if (!f)
            return;
        std::string request((std::istreambuf_iterator<char>(f)), {});
        while (!request.empty() && (request.back() == '\n' || request.back() == '\r'))
            request.pop_back();
        std::fprintf(stderr, "tevro-vm-peer: %s\n", request.c_str());
        const std::string answer = Do(request);
        std::fprintf(stderr, "tevro-vm-peer: -> %s\n", answer.c_str());
        WriteWhole(m_run + "/" + m_prefix + "ack." + std::to_string(m_next), answer + "\n");
        ::unlink(path.c_str());
        ++m_next;
    }

    std::string Do(const std::string& Request) {
        std::istringstream in(Request);
        std::string verb, name;
        in >> verb;
        if (verb == "quit") {
            m_quit = true;
            return "ok";
        }
        if (verb == "monitor") {
            std::string text;
            std::getline(in >> std::ws, text);
            return Monitor(m_monitor, text);
        }
        in >> name;
        auto it = m_lines.find(name);
        if (it == m_lines.end())
            return "error: no line " + name;
        TLine& l = it->second;
        if (verb == "echo" || verb == "stream" || verb == "quiet") {
            l.Mode = verb == "echo" ? TMode::Echo : verb == "stream" ? TMode::Stream : TMode::Quiet;
            l.Out.clear();
            ::tcflush(l.Fd.Get(), TCIOFLUSH);
            return "ok";
        }
        if (verb == "plug" || verb == "lines") {
            auto g = Gadgets.find(name);
            if (g == Gadgets.end())
                return "error: " + name + " is not a device of the guest";
            std::string arg;
            in >> arg;
            if (verb == "plug") {
                if (!g->second->Plug(arg == "in"))
                    return "error: the controller refused";
                // The ACM function hangs its far end up when the device leaves the bus.
                if (arg == "in")
                    l.Fd = OpenLine(l.Path);
                return l.Fd.Valid() ? "ok" : "error: cannot open " + l.Path;
            }
            const uint32_t bits = uint32_t(std::strtoul(arg.c_str(), nullptr, 10));
            if (g->second->SetInputs(bits))
                return "ok";
            if (bits == 0)
                l.Fd.Reset();
            else if (!l.Fd.Valid())
                l.Fd = OpenLine(l.Path);
            return l.Fd.Valid() == (bits != 0) ? "ok" : "error: cannot open " + l.Path;
        }
        if (verb == "packet") {
            std::vector<std::string> argv = {m_devsim, "packet",     "--device",
                                             l.Path,   "--no-stdin", "--time-limit",
                                             "120",    "--requests"};
            std::string word;
            while (in >> word)
                argv.push_back(word);
            const TMode was = l.Mode;
            l.Mode = TMode::Lent;
            const std::string summary = RunForLastLine(argv, 150);
            l.Mode = was;
            ::tcflush(l.Fd.Get(), TCIOFLUSH);
            return "ok " + summary;
        }
        return "error: unknown request " + verb;
    }

    std::string m_run, m_monitor, m_devsim, m_prefix;
    std::map<std::string, TLine> m_lines;
    unsigned m_next = 0;
    bool m_quit = false;
};

} // namespace

// How many tty nodes of the guest belong to the drivers of its own devices.
size_t DriverNodes() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/tty")) {
        std::error_code ec;
        const std::string driver =
            std::filesystem::read_symlink(e.path() / "device/driver", ec).filename();
        for (const char* d : {"cdc_acm", "cp210x", "pl2303", "ch341-uart"})
            n += driver == d;
    }
    return n;
}

// Inside the guest: one gadget per driver, each on a controller of its own.
int GuestMain(const char* Run, const char* Devsim) {
    TPeer peer(Run, "", Devsim, "guest-");
    const struct {
        const char* Name;
        std::unique_ptr<TChipModel> (*Model)();
    } devices[] = {{"acm", nullptr},
                   {"cp210x", MakeCp210xModel},
                   {"pl2303", MakePl2303Model},
                   {"ch341", MakeCh341Model}};
    int udc = 0;
    for (const auto& d : devices) {
        try {
            auto g = std::make_unique<TUsbGadget>(d.Name, "dummy_udc." + std::to_string(udc++),
                                                  d.Model ? d.Model() : nullptr);
            if (peer.AddLine(d.Name, g->FarEnd()))
                peer.Gadgets[d.Name] = std::move(g);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tevro-vm-peer: no %s device: %s\n", d.Name, e.what());
        }
    }
    // Ready once the guest's drivers have a node for every device (bounded: 10 s).
    for (int i = 0; i < 100 && DriverNodes() < peer.Gadgets.size(); ++i)
        ::usleep(100000);
    WriteWhole(std::string(Run) + "/guest-ready", "ready\n");
    peer.Run(1200);
    peer.Gadgets.clear();
    return 0;
}

int main(int argc, char** argv) {
    const char* run = std::getenv("TEVRO_VM_RUN");
    ::signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && std::string(argv[1]) == "--guest" && run)
        return GuestMain(run, argv[2]);
    const char* monitor = std::getenv("TEVRO_VM_MONITOR");
    const char* ftdi = std::getenv("TEVRO_VM_FTDI");
    const char* uart = std::getenv("TEVRO_VM_UART");
    if (argc != 2 || !run || !monitor || !ftdi || !uart) {
        std::fprintf(stderr, "usage: tevro-vm-peer [--guest] PATH-OF-TEVRO-DEVSIM\n"
                             "  (run by tools/vm/tevro-vm --host-helper or --guest-helper, which\n"
                             "  set TEVRO_VM_*)\n");
        return 2;
    }
    TPeer peer(run, monitor, argv[1]);
    if (!peer.AddLine("ftdi", ftdi) || !peer.AddLine("uart", uart))
        return 2;
    peer.Run(1200);
    return 0;
}
