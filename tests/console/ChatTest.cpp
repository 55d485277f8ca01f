// The chat script player against chat(8) itself: each script runs twice against the same
// scripted device on a pseudo-terminal, once by /usr/sbin/chat and once by TChatRunner; the
// bytes that reach the device and the exit code must be the same.
//
// Where they differ on purpose (not compared here):
// - chat writes a reply one byte every 10 ms, and its timeout covers the writing too, so a long
//   reply (about 100 bytes a second of TIMEOUT) ends chat with 1; the runner writes it at once.
// - \p: the man page says a tenth of a second and the runner pauses 100 ms; Debian's chat
//   pauses about 10 ms. Only the runner's pause is checked; chat's is printed.
// - What chat takes quietly as something else (an unknown escape, "TIMEOUT abc", a keyword in
//   lower case...) and a 51st ABORT or REPORT string, on which chat ends with 2 where it comes,
//   after what it sent, are refused at load (ChatScriptTest, and the list in the README).
#include "ByteText.h"
#include "ChatRunner.h"
#include "PtyDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const char* const ChatPath = "/usr/sbin/chat";

// A device that answers from a table, on the master of a pseudo-terminal, in a thread of its
// own: when what it received since its last answer ends with a rule's trigger, it writes the
// rule's answer after the rule's delay. Every byte each way is kept with its time, so two runs
// against the same dialogue can be compared, timing included, as the wire saw them.
struct TResponderRule {
    std::string Trigger; // empty: answers once, DelayMs after the start
    std::string Answer;  // empty: the trigger is taken and nothing is answered
    int DelayMs = 0;
};

struct TEvent {
    int64_t Us = 0;          // since the responder started
    bool FromDevice = false; // written by the responder, else received
    std::string Bytes;
};

class TScriptedResponder {
public:
    // Master must outlive the responder and have a peer open from the start: a master without
    // one reads as hung up.
    TScriptedResponder(int Master, std::vector<TResponderRule> Rules)
        : m_master(Master), m_rules(std::move(Rules)) {
        if (::pipe2(m_wake, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe");
        m_thread = std::thread([this] { Run(); });
    }
    ~TScriptedResponder() { Stop(); }
    // Reads what is still queued, then ends the thread; every byte each way, in order.
    const std::vector<TEvent>& Stop() {
        if (m_thread.joinable()) {
            (void)!::write(m_wake[1], "x", 1);
            m_thread.join();
            ::close(m_wake[0]);
            ::close(m_wake[1]);
        }
        return m_events;
    }

private:
    void Run() {
        const auto start = Clock::now();
        auto nowUs = [&] { return int64_t((Clock::now() - start) / std::chrono::microseconds(1)); };
        // Answers by the time they fall due; those due together leave in the order they were made.
        std::multimap<int64_t, std::string> due;
        for (const TResponderRule& r : m_rules)
            if (r.Trigger.empty())
                due.emplace(int64_t(r.DelayMs) * 1000, r.Answer);
        std::string since; // received since the last rule matched
        bool live = true, stopping = false;
        for (;;) {
            for (auto d = due.begin(); d != due.end() && d->first <= nowUs(); d = due.erase(d)) {
                if (live) // answers are short: the pty takes them whole
                    (void)!::write(m_master, d->second.data(), d->second.size());
                m_events.push_back({nowUs(), true, d->second});
            }
            const int64_t dueUs =
                due.empty() ? 0 : std::max<int64_t>(0, due.begin()->first - nowUs());
            const int waitMs = stopping ? 0 : due.empty() ? -1 : int((dueUs + 999) / 1000);
            pollfd p[2] = {{m_wake[0], POLLIN, 0}, {m_master, POLLIN, 0}};
            ::poll(p, live ? 2 : 1, waitMs);
            stopping = stopping || (p[0].revents & POLLIN);
            char buf[4096];
            const ssize_t n = live && p[1].revents ? ::read(m_master, buf, sizeof buf) : 0;
            if (n <= 0) {
                // The other end closed (chat ended): the master now polls as hung up for good.
                live = live && !(p[1].revents && !(n < 0 && errno == EAGAIN));
                if (stopping)
                    return;
                continue;
            }
            const int64_t at = nowUs();
            m_events.push_back({at, false, std::string(buf, size_t(n))});
            // Byte by byte, so a trigger is seen where it ends, as a device would see it.
            for (ssize_t k = 0; k < n; ++k) {
                since += buf[k];
                for (const TResponderRule& rule : m_rules) {
                    if (rule.Trigger.empty() || !since.ends_with(rule.Trigger))
                        continue;
                    since.clear();
                    if (!rule.Answer.empty())
                        due.emplace(at + int64_t(rule.DelayMs) * 1000, rule.Answer);
                    break;
                }
            }
        }
    }
    int m_master;
    std::vector<TResponderRule> m_rules;
    int m_wake[2] = {-1, -1}; // a pipe: Stop
    std::vector<TEvent> m_events;
    std::thread m_thread;
};

// The pause between the first two bytes on the wire: the runner's must be Ms, within TolMs.
struct TGap {
    int Ms = 0, TolMs = 0;
    bool ChatToo = false; // chat's too
};

struct TCase {
    const char* Name;
    std::string Script;
    std::vector<TResponderRule> Rules;
    std::optional<TGap> Gap = std::nullopt;
    const char* Reported = nullptr; // a REPORT line both must give
};

struct TRun {
    int Exit = -1;
    std::string Bytes;
    std::vector<TEvent> Events;
    std::string Said;
};

TResponderRule Answer(std::string Trigger, std::string Text, int DelayMs = 20) {
    return {std::move(Trigger), std::move(Text), DelayMs};
}
// A modem that answers every line with OK.
TResponderRule Modem() {
    return Answer("\r", "\r\nOK\r\n");
}

std::vector<TCase> Cases() {
    const char* aborts = "TIMEOUT 1 ABORT BUSY ABORT 'NO CARRIER' ABORT ERROR '' ATD1 CONNECT";
    return {
        {"PlainPairs",
         "TIMEOUT 1 '' AT OK ATI OK",
         {Answer("ATI\r", "\r\nTEVRO 1.0\r\nOK\r\n"), Modem()}},
        {"ExpectWithLineEnd", "TIMEOUT 1 '' AT OK\\r\\n ATE0 OK\\r\\n", {Modem()}},
        {"SubExpectTaken", "TIMEOUT 1 '' ATX OK-AT-OK ATI OK", {Answer("ATX\r", ""), Modem()}},
        {"SubExpectNotTaken", "TIMEOUT 1 '' ATZ OK-AT-OK ATI OK", {Modem()}},
        {"SubExpectEmptyReply", "TIMEOUT 1 '' ATX OK--OK", {Answer("ATX\r", ""), Modem()}},
        {"SubExpectsAllFail", "TIMEOUT 1 '' ATX OK-AT-OK", {}},
        {"SubExpectEndsOnReply", "TIMEOUT 1 '' AT XY-ATZ", {}},
        {"TimesOut", "TIMEOUT 1 '' AT OK ATI OK", {Answer("AT\r", "\r\nOK\r\n")}},
        {"AbortFirst", aborts, {Answer("ATD1\r", "\r\nBUSY\r\n")}},
        {"AbortSecond", aborts, {Answer("ATD1\r", "\r\nNO CARRIER\r\n")}},
        {"AbortThird", aborts, {Answer("ATD1\r", "\r\nERROR\r\n")}},
        {"ClearedAbortMovesTheRestUp",
         "TIMEOUT 1 ABORT BUSY ABORT 'NO CARRIER' CLR_ABORT BUSY ABORT ERROR '' AT OK",
         {Answer("AT\r", "\r\nERROR\r\n")}},
        {"ClearedAbortNoLongerAborts",
         "TIMEOUT 1 ABORT BUSY CLR_ABORT BUSY '' AT OK",
         {Answer("AT\r", "BUSY\r\n"), Answer("", "\r\nOK\r\n", 400)}},
        {"AbortLaterInScript",
         "TIMEOUT 1 '' AT OK ABORT BUSY ATD1 CONNECT",
         {Answer("ATD1\r", "\r\nBUSY\r\n"), Modem()}},
        {"ExpectBeatsAbort", "TIMEOUT 1 ABORT OK '' AT OK", {Modem()}},
        {"TimeoutLonger",
         "TIMEOUT 1 '' AT OK TIMEOUT 2 ATD CONNECT",
         {Answer("ATD\r", "\r\nCONNECT\r\n", 1500), Modem()}},
        {"TimeoutShorter",
         "TIMEOUT 2 '' AT OK TIMEOUT 1 ATD CONNECT",
         {Answer("ATD\r", "\r\nCONNECT\r\n", 1500), Modem()}},
        {"NoCr", "TIMEOUT 1 '' AT\\c OK ATI\\c OK", {Answer("AT", "OK"), Answer("I", "OK")}},
        {"DelayOneSecond", "TIMEOUT 3 '' A\\dB OK", {Modem()}, TGap{1000, 250, true}},
        {"Pause", "TIMEOUT 1 '' A\\pB OK", {Modem()}, TGap{100, 60, false}},
        {"ReplyOutlastsTimeout", "TIMEOUT 1 '' A\\d\\dB OK", {Modem()}},
        {"QuotesAndBlanks",
         "TIMEOUT 1 '' 'AT S0=1' OK \"AT \\\"x\\\"\" OK AT\\s+CSQ OK",
         {Modem()}},
        {"SendEscapes", "TIMEOUT 1 '' AT\\t\\\\\\101\\62^A^Z\\b\\n\\N OK", {Modem()}},
        {"ExpectEscapes",
         "TIMEOUT 1 '' AT \\r\\nO\\113\\r\\n ATI '\\tv1\\\\'",
         {Answer("ATI\r", "\r\n\tv1\\\r\n"), Modem()}},
        {"CommentsAndLines", "# set up\nTIMEOUT 1\n'' AT\n\n  OK   ATI\n#'' ATZ\nOK", {Modem()}},
        {"EotAndBreak", "TIMEOUT 1 '' AT OK EOT '' BREAK '' x", {Modem()}},
        {"ParityBitIgnored", "TIMEOUT 1 '' AT OK", {Answer("AT\r", "\xCF\xCB")}},
        {"BytesAfterAMatchAreKept",
         "TIMEOUT 1 '' AT OK ATA RING",
         {Answer("AT\r", "\r\nOK\r\nRING\r\n"), Answer("ATA\r", "")}},
        {"ReportAndSayDoNotChangeTheOutcome",
         "TIMEOUT 1 REPORT CONNECT SAY 'dialling\\n' '' ATD CONNECT '' ATI OK",
         {Answer("ATD\r", "\r\nCONNECT 9600\r\n"), Modem()},
         std::nullopt,
         "CONNECT 9600\n"},
    };
}

int64_t MsSince(Clock::time_point T0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - T0).count();
}

// One run against the dialogue: a pty whose master the responder plays; Drive runs the script
// on the slave and returns its exit code.
TRun Play(const TCase& Case, const std::function<int(int Slave, TRun& Run)>& Drive) {
    TPtyDevice device;
    // Opened before the responder starts: a master without a peer reads as hung up.
    const int slave = ::open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    TScriptedResponder responder(device.Master(), Case.Rules);
    TRun run;
    run.Exit = Drive(slave, run);
    run.Events = responder.Stop();
    ::close(slave);
    for (const auto& e : run.Events)
        if (!e.FromDevice)
            run.Bytes += e.Bytes;
    return run;
}

// chat with its stdin and stdout on the slave; its stderr is what it said.
TRun RunChat(const TCase& Case, std::string Dir) {
    const std::string script = Dir + "/" + Case.Name, err = script + ".stderr";
    std::ofstream(script, std::ios::binary) << Case.Script;
    TRun run = Play(Case, [&](int Slave, TRun&) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, Slave, 0);
        posix_spawn_file_actions_adddup2(&fa, Slave, 1);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // A chat that hangs is killed after 20 s; its status (137) then differs from any of chat's.
        const char* argv[] = {"timeout", "-s", "KILL", "20",           ChatPath,
                              "-s",      "-S", "-f",   script.c_str(), nullptr};
        pid_t pid = -1;
        int status = 0;
        const int rc =
            posix_spawnp(&pid, "timeout", &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)
                   ? WEXITSTATUS(status)
                   : -1;
    });
    std::ifstream in(err);
    run.Said.assign(std::istreambuf_iterator<char>(in), {});
    return run;
}

// The runner in the console's main loop in small: the receive notification feeds, a timer ticks.
TRun RunRunner(const TCase& Case) {
    const TChatParse parsed = ParseChatScript(Case.Script, Case.Name);
    if (!parsed.Ok())
        return {-1, {}, {}, parsed.Error->Text()};
    return Play(Case, [&](int Slave, TRun& Run) {
        const auto t0 = Clock::now();
        TChatLink link;
        link.NowMs = [&] { return MsSince(t0); };
        link.Write = [&](const std::string& B) {
            return ::write(Slave, B.data(), B.size()) == ssize_t(B.size());
        };
        link.Say = [&](const std::string& Text) { Run.Said += Text + "\n"; };
        TChatRunner runner(*parsed.Script, link);
        runner.Start();
        while (runner.Running() && MsSince(t0) < 20000) {
            pollfd p{Slave, POLLIN, 0};
            char buf[4096];
            if (::poll(&p, 1, 2) > 0)
                if (const ssize_t n = ::read(Slave, buf, sizeof buf); n > 0)
                    runner.Feed(std::string_view(buf, size_t(n)));
            runner.Tick();
        }
        return runner.Outcome() ? runner.Outcome()->ExitCode : -1;
    });
}

// When received byte Index reached the device, in milliseconds.
double ArrivalMs(const TRun& Run, size_t Index) {
    size_t seen = 0;
    for (const auto& e : Run.Events)
        if (!e.FromDevice && Index < (seen += e.Bytes.size()))
            return double(e.Us) / 1000.0;
    return -1;
}

} // namespace

TEST(ChatOracle, TheRunnerSendsWhatChatSendsAndEndsWithItsExitCode) {
    ASSERT_EQ(::access(ChatPath, X_OK), 0) << "install Debian's ppp (.ci/packages.sh)";
    const std::vector<TCase> cases = Cases();
    char tmpl[] = "/tmp/chat-oracle-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    // Every case at once, each run on its own pty: the table takes as long as its longest case.
    std::vector<std::future<TRun>> chats, runners;
    for (size_t k = 0; k < cases.size(); ++k) {
        chats.push_back(std::async(std::launch::async, RunChat, std::cref(cases[k]), tmpl));
        runners.push_back(std::async(std::launch::async, RunRunner, std::cref(cases[k])));
    }
    for (size_t k = 0; k < cases.size(); ++k) {
        const TCase& c = cases[k];
        const TRun chat = chats[k].get(), runner = runners[k].get();
        SCOPED_TRACE(std::string(c.Name) + ": " + c.Script);
        EXPECT_EQ(Hex(runner.Bytes), Hex(chat.Bytes));
        EXPECT_EQ(runner.Exit, chat.Exit)
            << "chat said: " << chat.Said << "\nrunner said: " << runner.Said;
        if (c.Gap) {
            const double ours = ArrivalMs(runner, 1) - ArrivalMs(runner, 0);
            const double theirs = ArrivalMs(chat, 1) - ArrivalMs(chat, 0);
            std::printf("%s: pause on the wire: runner %.1f ms, chat %.1f ms\n", c.Name, ours,
                        theirs);
            EXPECT_NEAR(ours, c.Gap->Ms, c.Gap->TolMs);
            if (c.Gap->ChatToo) {
                EXPECT_NEAR(theirs, c.Gap->Ms, c.Gap->TolMs);
            }
        }
        if (c.Reported) {
            EXPECT_NE(chat.Said.find(c.Reported), std::string::npos) << chat.Said;
            EXPECT_NE(runner.Said.find(c.Reported), std::string::npos) << runner.Said;
        }
    }
    std::filesystem::remove_all(tmpl);
}
