// Scripts the reader refuses, each with the file, the line and a reason that names the fault;
// how a run ends other than on the wire (stop, hang-up, a failing port); and the session the
// console holds, whose own timer moves a script on.
#include "ChatSession.h"
#include "EventPump.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

namespace {
// A script, the line it is refused at and a part of the reason.
using TBad = std::tuple<std::string, int, std::string>;

// A link whose port takes every write (or none) into Wrote; its clock stands still.
TChatLink Recorder(std::string& Wrote, bool WriteOk = true) {
    TChatLink link;
    link.Write = [&Wrote, WriteOk](const std::string& B) { return Wrote += B, WriteOk; };
    link.NowMs = [] { return int64_t(0); };
    return link;
}
} // namespace

TEST(ChatScriptRefused, WithTheLineAndTheReason) {
    const TBad cases[] = {
        {"'' AT\nOK 'ATI\n", 2, "unterminated quote"},
        {"'' \"AT\n", 1, "unterminated quote"},
        {"'' AT\n\n'' ATD\\T", 3,
         "\\T (the telephone number given to chat with -T) is not supported"},
        {"'' ATD\\U", 1, "\\U (the telephone number given to chat with -U)"},
        {"'' AT\n\\d OK", 2, "\\d is not valid in an expect string"},
        {"'' AT O\\NK", 1, "\\N is not valid in an expect string"},
        {"'' AT\n\\K ok", 2, "\\K is not valid"},
        {"'' AT OK\\c", 1, "\\c is not valid in an expect string"},
        {"'' A\\cT", 1, "\\c must end the reply"},
        {"'' AT\\x", 1, "unknown escape \\x"},
        {"'' AT\\", 1, "lone backslash"},
        {"'' AT\\777", 1, "above \\377"},
        {"'' 'AT^ X'", 1, "not a control character"},
        {"'' @/etc/passwd", 1, "@file"},
        {"'' AT abort BUSY", 1, "unknown keyword abort: keywords are upper case (ABORT)"},
        {"Timeout 5 '' AT", 1, "unknown keyword Timeout"},
        {"CLR_ABORTS BUSY", 1, "unknown keyword CLR_ABORTS"},
        {"'' AT\nOK ATI\nABORT", 3, "ABORT needs a value"},
        {"TIMEOUT abc '' AT", 1, "TIMEOUT takes a whole number of seconds"},
        {"ECHO maybe", 1, "ECHO takes ON or OFF"},
        {"HANGUP on", 1, "HANGUP takes ON or OFF"},
        {"ABORT ''", 1, "ABORT needs a string that is not empty"},
        {"SAY 'a\\db'", 1, "\\d is not valid in a SAY"},
        {"# only a comment\n\n", 0, "empty"},
        {std::string("'' AT\nOK \0 ATI", 14), 2, "NUL byte"},
        {"'' AT\x01", 1, "control byte 0x01"},
        {"'' AT\n'' \xC3\x28", 2, "invalid UTF-8"},
        {"'' \xED\xA0\x80", 1, "invalid UTF-8"}, // a UTF-16 surrogate
        {"'' AT\n\xF8\x88\x80\x80\x80", 2, "invalid UTF-8"},
    };
    std::vector<TBad> all(std::begin(cases), std::end(cases));
    std::string many = "'' AT\n";
    for (int k = 0; k < 50; ++k)
        many += "ABORT A" + std::to_string(k) + " REPORT R" + std::to_string(k) + "\n";
    all.push_back({many + "CLR_ABORT A7 ABORT X\nREPORT Y", 53, "more than 50 REPORT strings"});
    for (const auto& [text, line, reason] : all) {
        const TChatParse r = ParseChatScript(text, "dial.chat");
        ASSERT_FALSE(r.Ok()) << text;
        EXPECT_EQ(r.Error->File, "dial.chat");
        EXPECT_EQ(r.Error->Line, line) << text << " -> " << r.Error->Text();
        EXPECT_NE(r.Error->Reason.find(reason), std::string::npos)
            << text << " -> " << r.Error->Text();
    }
}

TEST(ChatScriptRefused, AFileLargerThanTheLimit) {
    const std::string fit = ::testing::TempDir() + std::to_string(::getpid()) + "-fit.chat",
                      big = fit + ".big";
    // A script of exactly the limit loads; one byte more does not.
    std::string text = "'' AT OK";
    text.resize(ChatScriptMaxBytes, ' ');
    std::ofstream(fit, std::ios::binary) << text;
    std::ofstream(big, std::ios::binary) << text << ' ';
    EXPECT_TRUE(LoadChatScript(fit).Ok());
    const TChatParse r = LoadChatScript(big);
    ASSERT_FALSE(r.Ok());
    EXPECT_EQ(r.Error->Text().rfind(big + ":0: too large", 0), 0u) << r.Error->Text();
    std::remove(fit.c_str());
    std::remove(big.c_str());
}

TEST(ChatRunnerEnds, OnStopHangUpAndAFailingPort) {
    struct TCase {
        const char* Script;
        std::function<void(TChatRunner&)> Do;
        bool WriteOk;
        int Exit;
        std::string Wrote;
    };
    const TCase cases[] = {
        {"'' AT OK", [](TChatRunner& R) { R.Stop(); }, true, 2, "AT\r"},
        {"'' AT OK", [](TChatRunner& R) { R.LineHungUp(); }, true, 2, "AT\r"},
        {"HANGUP OFF '' AT OK ATI", [](TChatRunner& R) { R.LineHungUp(), R.Feed("OK"); }, true, 0,
         "AT\rATI\r"},
        {"HANGUP OFF '' AT OK ATI HANGUP ON OK",
         [](TChatRunner& R) { R.Feed("OK"), R.LineHungUp(); }, true, 2, "AT\rATI\r"},
        {"'' AT OK", [](TChatRunner&) {}, false, 2, "AT\r"},
        // The clock stands still and nothing ticks: the byte that completes OK sends the reply.
        {"'' AT OK ATI", [](TChatRunner& R) { R.Feed("xxO"), R.Feed("K"); }, true, 0, "AT\rATI\r"},
    };
    for (const TCase& c : cases) {
        std::string wrote;
        bool dtr = false;
        TChatLink link = Recorder(wrote, c.WriteOk);
        link.SetDTR = [&](bool On) { dtr = On; };
        TChatRunner runner(*ParseChatScript(c.Script, "x").Script, link);
        runner.Start();
        c.Do(runner);
        EXPECT_TRUE(dtr) << "raised at the start, as opening the port raises it";
        ASSERT_TRUE(runner.Outcome()) << c.Script;
        EXPECT_EQ(runner.Outcome()->ExitCode, c.Exit) << c.Script;
        EXPECT_EQ(wrote, c.Wrote) << c.Script;
    }
}

// Steps that end at once follow each other in a loop: a script near the size limit does not
// run out of stack.
TEST(ChatRunnerEnds, ALongScriptOfImmediateSteps) {
    std::string text;
    while (text.size() < ChatScriptMaxBytes - 8)
        text += "'' x\\c\n";
    std::string wrote;
    TChatRunner runner(*ParseChatScript(text, "long").Script, Recorder(wrote));
    runner.Start();
    ASSERT_TRUE(runner.Outcome());
    EXPECT_EQ(runner.Outcome()->ExitCode, 0);
    EXPECT_EQ(wrote.size(), text.size() / 7);
}

TEST(ChatSession, ItsTimerEndsTheWaitsAndTheLogGetsTheOutcome) {
    TestApp();
    std::string wrote;
    std::vector<std::string> log;
    TChatLink link = Recorder(wrote);
    link.NowMs = nullptr; // the session's own clock
    TChatSession session(link, [&](const std::string& L) { log.push_back(L); });
    EXPECT_FALSE(session.Start("/nonexistent/dial.chat"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "Chat script refused: /nonexistent/dial.chat:0: cannot be read");
    // No ticks from outside: the sub-expectation's reply and the timeout come from the session.
    ASSERT_TRUE(session.Start(*ParseChatScript("TIMEOUT 1 '' A\\pT OK-AT-OK", "t.chat").Script));
    std::optional<int> done;
    session.OnDone = [&](const TChatOutcome& O) { done = O.ExitCode; };
    ASSERT_TRUE(PumpUntil([&] { return done.has_value(); }, 5000));
    EXPECT_EQ(wrote, "AT\rAT\r");
    EXPECT_EQ(done, 3);
    EXPECT_EQ(session.LastOutcome()->ExitCode, 3);
    // The log's line: the script, chat's exit code, what it means and the seconds it took.
    EXPECT_EQ(log.back().rfind(
                  "Chat script t.chat: exit 3, timed out waiting for \"OK\" (line 1), in 2.", 0),
              0u)
        << log.back();
}
