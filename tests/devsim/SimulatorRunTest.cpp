// The real tevro-devsim program, run as the console's tests will run it: the test plays the
// console's side of the pty (a small responder over the console's own frame scanner) and of
// the UDP link, and reads the program's JSON lines.
#include "ConfigHome.h"
#include "DevSimCore.h"
#include "TestJson.h"
#include "UdpPeer.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace devsim;
using namespace devsim_test;
namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The COM map entry of port N in a private configuration folder.
std::string Entry(const TConfigHome& Config, int N) {
    return Config.Dir() + "/tevro-console/com/COM" + std::to_string(N);
}

bool EntryExists(const std::string& Path) {
    return fs::exists(fs::symlink_status(Path));
}

// The simulator as a child process with its standard streams on pipes.
class TSimProcess {
public:
    TSimProcess(const TConfigHome& Config, const std::vector<std::string>& Args) {
        int in[2], out[2], err[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        std::vector<std::string> argv = {DEVSIM_BINARY};
        argv.insert(argv.end(), Args.begin(), Args.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::setenv("XDG_CONFIG_HOME", Config.Dir().c_str(), 1);
            std::vector<char*> cargv;
            for (auto& a : argv)
                cargv.push_back(a.data());
            cargv.push_back(nullptr);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }
    ~TSimProcess() {
        if (m_status < 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_in, m_out, m_err})
            if (fd >= 0)
                ::close(fd);
    }

    pid_t Pid() const { return m_pid; }

    void Send(const std::string& Line) {
        const std::string l = Line + "\n";
        ASSERT_EQ(::write(m_in, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }

    // Waits for a line on stdout that holds Needle; returns it, or "" after TimeoutMs.
    std::string WaitLine(const std::string& Needle, int TimeoutMs) {
        const auto until = TClock::now() + milliseconds(TimeoutMs);
        for (;;) {
            size_t from = 0, nl;
            while ((nl = m_stdout.find('\n', from)) != std::string::npos) {
                const std::string line = m_stdout.substr(from, nl - from);
                if (line.find(Needle) != std::string::npos)
                    return line;
                from = nl + 1;
            }
            if (TClock::now() >= until || !ReadOutput(20))
                return "";
        }
    }

    // Waits for the exit; the exit status, or -1 after TimeoutMs.
    int Wait(int TimeoutMs) {
        const auto until = TClock::now() + milliseconds(TimeoutMs);
        while (m_status < 0) {
            int st;
            if (::waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (TClock::now() >= until)
                return -1;
            ReadOutput(20);
        }
        while (ReadOutput(0)) {
        }
        return m_status;
    }

    // The last line on stdout: the summary.
    std::string Summary() const {
        std::string s = m_stdout;
        while (!s.empty() && s.back() == '\n')
            s.pop_back();
        const size_t nl = s.rfind('\n');
        return nl == std::string::npos ? s : s.substr(nl + 1);
    }
    const std::string& Stdout() const { return m_stdout; }
    const std::string& Stderr() const { return m_stderr; }

private:
    // Reads what is there within TimeoutMs; false once both streams have ended.
    bool ReadOutput(int TimeoutMs) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (m_out < 0 && m_err < 0)
            return false;
        ::poll(fds, 2, TimeoutMs);
        bool any = false;
        char buf[65536];
        for (int k = 0; k < 2; ++k) {
            int& fd = k == 0 ? m_out : m_err;
            if (fd < 0 || !fds[k].revents)
                continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? m_stdout : m_stderr).append(buf, static_cast<size_t>(n));
                any = true;
            } else {
                ::close(fd);
                fd = -1;
            }
        }
        return any || m_out >= 0 || m_err >= 0;
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    int m_status = -1;
    std::string m_stdout, m_stderr;
};

// The console's end of the pty.
class TPtyPeer {
public:
    ~TPtyPeer() { Close(); }
    // Waits for the COM map entry to appear, then opens the device it points at.
    bool Open(const std::string& Entry, int TimeoutMs = 5000) {
        const auto until = TClock::now() + milliseconds(TimeoutMs);
        while (!EntryExists(Entry)) {
            if (TClock::now() >= until)
                return false;
            std::this_thread::sleep_for(milliseconds(5));
        }
        m_fd = ::open(Entry.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return m_fd >= 0;
    }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }
    void Write(const TBytes& Bytes) {
        ASSERT_EQ(::write(m_fd, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    }
    // Reads until N bytes have come or TimeoutMs has passed.
    TBytes Read(size_t N, int TimeoutMs) {
        TBytes got;
        const auto until = TClock::now() + milliseconds(TimeoutMs);
        while (got.size() < N && TClock::now() < until) {
            pollfd p = {m_fd, POLLIN, 0};
            ::poll(&p, 1, 20);
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, N - got.size()));
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int m_fd = -1;
};

// A packet responder on the console's end, with faults on request.
struct TResponderFaults {
    unsigned CorruptEvery = 0;  // change P1 of every n-th answer
    unsigned DropEvery = 0;     // leave every n-th request unanswered
    bool AnswerAnyKind = false; // also answer kinds other than 1 and 2
    unsigned CloseAfter = 0;    // close the port after n answers
};

class TResponder {
public:
    TResponder(const std::string& Entry, TResponderFaults Faults) : m_faults(Faults) {
        m_thread = std::thread([this, Entry] { Run(Entry); });
    }
    ~TResponder() {
        m_stop = true;
        m_thread.join();
    }
    unsigned Answers() const { return m_answers; }

private:
    void Run(const std::string& Entry) {
        TPtyPeer port;
        if (!port.Open(Entry))
            return;
        TRing ring = {}, body = {};
        uint8_t rd = 0, wr = 0;
        const uint8_t countdown = 10; // an incomplete frame is waited for
        unsigned frames = 0;
        const auto until = TClock::now() + std::chrono::seconds(60);
        while (!m_stop && TClock::now() < until) {
            pollfd p = {port.Fd(), POLLIN, 0};
            ::poll(&p, 1, 20);
            char buf[256];
            const ssize_t n = ::read(port.Fd(), buf, sizeof buf);
            for (ssize_t k = 0; k < n; ++k)
                ring[wr++] = static_cast<uint8_t>(buf[k]);
            while (ExtractPacket(PacketStart, rd, wr, ring, body, countdown)) {
                if (body[0] < 2)
                    continue;
                if (!m_faults.AnswerAnyKind && body[2] != 1 && body[2] != 2)
                    continue;
                ++frames;
                if (m_faults.DropEvery && frames % m_faults.DropEvery == 0)
                    continue;
                char p1 = static_cast<char>(body[1]);
                TBytes answer = MakeFrame(TBytes{p1, static_cast<char>(body[2])});
                if (m_faults.CorruptEvery && frames % m_faults.CorruptEvery == 0)
                    answer[2] = static_cast<char>(answer[2] ^ 0x40);
                port.Write(answer);
                if (++m_answers == m_faults.CloseAfter) {
                    port.Close();
                    return;
                }
            }
        }
    }

    TResponderFaults m_faults;
    std::atomic_bool m_stop{false};
    std::atomic<unsigned> m_answers{0};
    std::thread m_thread;
};

} // namespace

TEST(DevSimRun, PacketRunAgainstACorrectResponderPasses) {
    TConfigHome cfg;
    // The answer timeout is long: a loaded machine may be slow, and nothing may go missing.
    const std::vector<std::string> args = {
        "packet", "--requests", "200",      "--kind3",         "5",  "--empty",
        "5",      "--damaged",  "5",        "--garbage",       "5",  "--extra-max",
        "3",      "--seed",     "5",        "--probe-timeout", "10", "--timeout-ms",
        "2000",   "--no-stdin", "--events", "--time-limit",    "60"};
    TSimProcess sim(cfg, args);
    TResponder responder(Entry(cfg, 1), {});
    ASSERT_EQ(sim.Wait(60000), 0) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonText(s, "mode"), "packet");
    EXPECT_EQ(JsonNumber(s, "requests"), 205);
    EXPECT_EQ(JsonNumber(s, "answered"), 205);
    EXPECT_EQ(JsonNumber(s, "missing"), 0);
    EXPECT_EQ(JsonNumber(s, "wrong"), 0);
    EXPECT_EQ(JsonNumber(s, "no_answer_requests"), 15);
    EXPECT_EQ(JsonNumber(s, "kind1") + JsonNumber(s, "kind2"), 200);
    EXPECT_EQ(JsonNumber(s, "garbage"), 5);
    EXPECT_EQ(JsonNumber(s, "stray_bytes"), 0);
    EXPECT_GT(JsonNumber(s, "rtt_median_ms"), 0);
    EXPECT_GE(JsonNumber(s, "rtt_p99_ms"), JsonNumber(s, "rtt_median_ms"));
    EXPECT_GE(JsonNumber(s, "rtt_max_ms"), JsonNumber(s, "rtt_p99_ms"));
    EXPECT_EQ(JsonText(s, "probe"), "ok");
    EXPECT_EQ(JsonRaw(s, "complete"), "true");
    EXPECT_EQ(JsonRaw(s, "ok"), "true");
    // The answers the responder gave: the probe(s) plus every answered request.
    EXPECT_GE(responder.Answers(), 206u);
    // Event lines come first, the summary is the one line with "summary".
    EXPECT_NE(sim.Stdout().find("{\"event\":\"ready\""), std::string::npos);
    EXPECT_NE(sim.Stdout().find("{\"event\":\"probe_answered\"}"), std::string::npos);
    EXPECT_EQ(JsonRaw(s, "summary"), "true");
    EXPECT_FALSE(EntryExists(Entry(cfg, 1)));
}

TEST(DevSimRun, PacketRunCatchesAFaultyConsole) {
    struct TCase {
        const char* What;
        TResponderFaults Faults;
        const char* Counter; // must be above 0
        const char* Says;    // on stderr
        bool AllAnswered;    // every request of kind 1 and 2 still got its right answer
        // Long where nothing is meant to go missing: a loaded machine may be slow to answer.
        const char* TimeoutMs;
        const char* SilenceMs;
    };
    const TCase cases[] = {
        {"a changed byte", {3, 0, false, 0}, "wrong", "got a wrong answer", false, "2000", "20"},
        {"a dropped answer", {0, 3, false, 0}, "missing", "got no answer", false, "100", "20"},
        {"an answered kind 3", {0, 0, true, 0}, "wrong", "expected nothing", true, "2000", "200"},
    };
    for (const TCase& c : cases) {
        TConfigHome cfg;
        TSimProcess sim(cfg, {"packet", "--requests", "20", "--kind3", "10", "--timeout-ms",
                              c.TimeoutMs, "--silence-ms", c.SilenceMs, "--probe-timeout", "10",
                              "--no-stdin", "--time-limit", "30"});
        TResponder responder(Entry(cfg, 1), c.Faults);
        EXPECT_EQ(sim.Wait(30000), 1) << c.What << "\n" << sim.Stderr();
        const std::string s = sim.Summary();
        EXPECT_GT(JsonNumber(s, c.Counter), 0) << c.What << ": " << s;
        EXPECT_EQ(JsonRaw(s, "ok"), "false") << c.What;
        EXPECT_EQ(JsonRaw(s, "complete"), "true") << c.What;
        EXPECT_NE(sim.Stderr().find(c.Says), std::string::npos) << c.What << sim.Stderr();
        EXPECT_EQ(JsonNumber(s, "answered") == JsonNumber(s, "requests"), c.AllAnswered) << c.What;
    }
}

TEST(DevSimRun, PacketRunFailsWhenTheConsoleClosesThePort) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"packet", "--requests", "100", "--probe-timeout", "10", "--no-stdin",
                          "--time-limit", "30"});
    TResponder responder(Entry(cfg, 1), {0, 0, false, 10});
    EXPECT_EQ(sim.Wait(30000), 1) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_NE(JsonText(s, "error").find("closed the port"), std::string::npos) << s;
    EXPECT_EQ(JsonRaw(s, "complete"), "false");
}

TEST(DevSimRun, PacketProbeGivesUpOnASilentConsole) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"packet", "--probe-timeout", "0.3", "--no-stdin", "--time-limit", "10"});
    TPtyPeer console;
    ASSERT_TRUE(console.Open(Entry(cfg, 1)));
    // The probes reach the console's end: a kind 1 request every 200 ms.
    EXPECT_EQ(console.Read(5, 2000), MakeFrame(TBytes{0x5A, 0x01}));
    EXPECT_EQ(sim.Wait(10000), 1) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonText(s, "probe"), "failed");
    EXPECT_NE(JsonText(s, "error").find("Packet Com"), std::string::npos) << s;
}

TEST(DevSimRun, TimeLimitEndsAWaitForAConsoleThatNeverComes) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"packet", "--no-stdin", "--time-limit", "0.3"});
    EXPECT_EQ(sim.Wait(10000), 1) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonRaw(s, "time_limit_hit"), "true");
    EXPECT_EQ(JsonRaw(s, "complete"), "false");
    EXPECT_EQ(JsonNumber(s, "requests"), 0);
    EXPECT_FALSE(EntryExists(Entry(cfg, 1)));
}

TEST(DevSimRun, TextModeAnswersLikeAModemAndTakesCommands) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"text", "--com", "4", "--events", "--time-limit", "30"});
    ASSERT_NE(sim.WaitLine("\"event\":\"ready\"", 5000), "") << sim.Stderr();
    TPtyPeer console;
    ASSERT_TRUE(console.Open(Entry(cfg, 4)));
    ASSERT_NE(sim.WaitLine("\"event\":\"open\"", 5000), "");

    console.Write("AT+WOPEN=1\r\n"); // echo is on, as a modem starts
    EXPECT_EQ(console.Read(17, 2000), "AT+WOPEN=1\r\r\nOK\r\n");
    console.Write("hello\r");
    EXPECT_EQ(console.Read(15, 2000), "hello\r\r\nERROR\r\n");
    const std::string line = sim.WaitLine("\"text\":\"hello\"", 2000);
    EXPECT_EQ(JsonText(line, "answer"), "ERROR");

    sim.Send("ring");
    EXPECT_EQ(console.Read(8, 2000), "\r\nRING\r\n");
    sim.Send("send \\r\\rX\\0Y");
    EXPECT_EQ(console.Read(5, 2000), TBytes("\r\rX\0Y", 5));
    sim.Send("hex 1E 02 05 01 C3");
    EXPECT_EQ(console.Read(5, 2000), "\x1e\x02\x05\x01\xc3");

    sim.Send("quit");
    ASSERT_EQ(sim.Wait(5000), 0) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonNumber(s, "lines"), 2);
    EXPECT_EQ(JsonNumber(s, "ok_answers"), 1);
    EXPECT_EQ(JsonNumber(s, "error_answers"), 1);
    EXPECT_EQ(JsonNumber(s, "unsolicited"), 1);
    EXPECT_EQ(JsonText(s, "rx"), "AT+WOPEN=1\r\nhello\r");
    EXPECT_EQ(JsonNumber(s, "com"), 4);
    EXPECT_FALSE(EntryExists(Entry(cfg, 4)));
}

TEST(DevSimRun, TextModeRunsBurstsOfRequestsOnCommand) {
    struct TCase {
        const char* What;
        TResponderFaults Faults;
        int Exit;
        const char* TimeoutMs;
    };
    const TCase cases[] = {{"a correct console", {}, 0, "2000"},
                           {"a console that drops", {0, 4}, 1, "100"}};
    for (const TCase& c : cases) {
        TConfigHome cfg;
        TSimProcess sim(cfg,
                        {"text", "--events", "--timeout-ms", c.TimeoutMs, "--time-limit", "30"});
        TResponder responder(Entry(cfg, 1), c.Faults);
        ASSERT_NE(sim.WaitLine("\"event\":\"open\"", 5000), "") << c.What;
        sim.Send("burst 12");
        const std::string done = sim.WaitLine("\"event\":\"burst_done\"", 10000);
        ASSERT_NE(done, "") << c.What << sim.Stderr();
        EXPECT_EQ(JsonNumber(done, "requests"), 12) << c.What;
        EXPECT_EQ(JsonNumber(done, "answered") + JsonNumber(done, "missing"), 12) << c.What;
        sim.Send("burst 8");
        ASSERT_NE(sim.WaitLine("\"requests\":8", 10000), "") << c.What;
        sim.Send("quit");
        EXPECT_EQ(sim.Wait(5000), c.Exit) << c.What << sim.Stderr();
        const std::string s = sim.Summary();
        EXPECT_EQ(JsonNumber(s, "bursts"), 2) << c.What;
        EXPECT_EQ(JsonNumber(s, "requests"), 20) << c.What;
        EXPECT_EQ(JsonNumber(s, "answered") == 20, c.Exit == 0) << c.What << s;
        EXPECT_EQ(JsonNumber(s, "lines"), 0) << "answers are not modem lines";
    }
}

TEST(DevSimRun, TextModeSeesTheConsoleCloseAndReopen) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"text", "--events", "--time-limit", "30"});
    TPtyPeer console;
    ASSERT_TRUE(console.Open(Entry(cfg, 1)));
    ASSERT_NE(sim.WaitLine("\"event\":\"open\"", 5000), "");
    console.Close();
    ASSERT_NE(sim.WaitLine("\"event\":\"close\"", 5000), "");
    ASSERT_TRUE(console.Open(Entry(cfg, 1)));
    console.Write("at\r");
    EXPECT_EQ(console.Read(9, 2000), "at\r\r\nOK\r\n");
    sim.Send("quit");
    EXPECT_EQ(sim.Wait(5000), 0);
}

TEST(DevSimRun, RefusesToReplaceAnEntryForARealDevice) {
    TConfigHome cfg;
    fs::create_directories(fs::path(Entry(cfg, 1)).parent_path());
    fs::create_symlink("/dev/null", Entry(cfg, 1));
    TSimProcess sim(cfg, {"text", "--no-stdin", "--time-limit", "10"});
    EXPECT_EQ(sim.Wait(10000), 2);
    EXPECT_NE(sim.Stderr().find("refusing to replace " + Entry(cfg, 1)), std::string::npos)
        << sim.Stderr();
    EXPECT_NE(sim.Stderr().find("/dev/null"), std::string::npos);
    EXPECT_EQ(fs::read_symlink(Entry(cfg, 1)), "/dev/null");
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonNumber(s, "exit"), 2);
    EXPECT_NE(JsonText(s, "error").find("refusing"), std::string::npos);
}

TEST(DevSimRun, ASignalEndsTheRunAndRemovesTheEntry) {
    for (int sig : {SIGTERM, SIGINT}) {
        TConfigHome cfg;
        TSimProcess sim(cfg, {"text", "--events", "--time-limit", "30"});
        ASSERT_NE(sim.WaitLine("\"event\":\"ready\"", 5000), "");
        ASSERT_TRUE(EntryExists(Entry(cfg, 1)));
        ::kill(sim.Pid(), sig);
        EXPECT_EQ(sim.Wait(5000), 0) << sig;
        EXPECT_FALSE(EntryExists(Entry(cfg, 1))) << sig;
        EXPECT_EQ(JsonRaw(sim.Summary(), "interrupted"), "true") << sig;
    }
}

TEST(DevSimRun, UdpSendsToTheConsoleAndReportsWhatComesBack) {
    TConfigHome cfg;
    TUdpPeer console;
    TSimProcess sim(cfg, {"udp", "--console-port", std::to_string(console.Port()), "--send",
                          "hello,act", "--send-interval", "10", "--events", "--time-limit", "30"});
    const std::string ready = sim.WaitLine("\"event\":\"ready\"", 5000);
    ASSERT_NE(ready, "") << sim.Stderr();
    const int simPort = static_cast<int>(JsonNumber(ready, "listen_port"));
    EXPECT_GT(simPort, 0);

    auto first = console.ReceiveFrom(3000);
    auto second = console.ReceiveFrom(3000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->Data, *DatagramFor("hello"));
    EXPECT_EQ(second->Data, *DatagramFor("act"));
    EXPECT_EQ(first->FromIP, "127.0.0.1");
    EXPECT_EQ(second->FromIP, "127.0.0.1");
    EXPECT_EQ(first->FromPort, simPort) << "sent from the port it listens on";

    ASSERT_TRUE(console.SendTo(simPort, "To Sock\r"));
    const std::string got = sim.WaitLine("\"event\":\"datagram\"", 3000);
    EXPECT_EQ(JsonText(got, "data"), "To Sock\r");
    EXPECT_EQ(JsonText(got, "from"), "127.0.0.1:" + std::to_string(console.Port()));

    sim.Send("udp-send IMEI 1\\0x");
    auto third = console.Receive(3000);
    ASSERT_TRUE(third);
    EXPECT_EQ(*third, TBytes("IMEI 1\0x", 8));

    sim.Send("quit");
    ASSERT_EQ(sim.Wait(5000), 0) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonNumber(s, "udp_sent"), 3);
    EXPECT_EQ(JsonNumber(s, "udp_received"), 1);
    const std::string list = JsonRaw(s, "datagrams");
    EXPECT_EQ(JsonText(list, "data"), "To Sock\r") << s;
}

TEST(DevSimRun, TextFloodDeliversExactlyItsLines) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"flood-text", "--bytes", "8000", "--linger", "0", "--no-stdin",
                          "--time-limit", "30"});
    TPtyPeer console;
    ASSERT_TRUE(console.Open(Entry(cfg, 1)));
    const TBytes got = console.Read(8000, 10000);
    TBytes expected;
    for (uint64_t i = 0; i < 100; ++i)
        expected += FloodTextLine(i);
    EXPECT_EQ(got, expected);
    ASSERT_EQ(sim.Wait(10000), 0) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonNumber(s, "bytes_sent"), 8000);
    EXPECT_EQ(JsonRaw(s, "complete"), "true");
    EXPECT_GT(JsonNumber(s, "mb_per_s"), 0);
}

TEST(DevSimRun, ByteFloodWaitsForStartOnStdin) {
    TConfigHome cfg;
    TSimProcess sim(cfg, {"flood-bytes", "--bytes", "5000", "--start", "stdin", "--linger", "0",
                          "--time-limit", "30"});
    TPtyPeer console;
    ASSERT_TRUE(console.Open(Entry(cfg, 1)));
    EXPECT_EQ(console.Read(1, 300), "") << "nothing before start";
    sim.Send("start");
    const TBytes got = console.Read(5000, 10000);
    ASSERT_EQ(got.size(), 5000u);
    std::set<char> values(got.begin(), got.end());
    EXPECT_GT(values.size(), 200u) << "random bytes";
    EXPECT_EQ(sim.Wait(10000), 0) << sim.Stderr();
    EXPECT_EQ(JsonNumber(sim.Summary(), "bytes_sent"), 5000);
}

TEST(DevSimRun, DatagramFloodSendsItsCountAtItsRate) {
    TConfigHome cfg;
    TUdpPeer console;
    TSimProcess sim(cfg,
                    {"flood-udp", "--console-port", std::to_string(console.Port()), "--count", "50",
                     "--rate", "500", "--linger", "0", "--no-stdin", "--time-limit", "30"});
    unsigned n = 0, hello = 0;
    while (n < 50) {
        auto d = console.Receive(3000);
        if (!d)
            break;
        ++n;
        EXPECT_GE(d->size(), 20u);
        EXPECT_LE(d->size(), 200u);
        hello += ContainsKeyword(*d, "HELLO");
    }
    EXPECT_EQ(n, 50u);
    EXPECT_EQ(hello, 5u);
    ASSERT_EQ(sim.Wait(10000), 0) << sim.Stderr();
    const std::string s = sim.Summary();
    EXPECT_EQ(JsonNumber(s, "udp_sent"), 50);
    // 50 datagrams at 500 a second take about 0.1 s.
    EXPECT_GE(JsonNumber(s, "flood_seconds"), 0.09);
}

TEST(DevSimRun, UsageErrorsExitTwoAndHelpExitsZero) {
    TConfigHome cfg;
    TSimProcess bad(cfg, {"udp", "--host", "192.168.1.10", "--console-port", "5"});
    EXPECT_EQ(bad.Wait(5000), 2);
    EXPECT_NE(bad.Stderr().find("refusing to send to \"192.168.1.10\""), std::string::npos);
    EXPECT_EQ(bad.Stdout(), "");
    TSimProcess help(cfg, {"--help"});
    EXPECT_EQ(help.Wait(5000), 0);
    EXPECT_NE(help.Stdout().find("Usage: tevro-devsim MODE"), std::string::npos);
}

TEST(DevSimRun, APortInUseIsASetUpError) {
    TConfigHome cfg;
    TUdpPeer taken;
    TSimProcess sim(cfg, {"udp", "--listen-port", std::to_string(taken.Port()), "--no-stdin",
                          "--time-limit", "10"});
    EXPECT_EQ(sim.Wait(10000), 2);
    const std::string s = sim.Summary();
    EXPECT_NE(
        JsonText(s, "error").find("cannot listen on 127.0.0.1:" + std::to_string(taken.Port())),
        std::string::npos)
        << s;
    EXPECT_EQ(JsonRaw(s, "ok"), "false");
}
