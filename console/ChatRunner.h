// Plays a chat script on the console's serial port, on the main thread and without blocking:
// the bytes the device sends come in through Feed, time passes through Tick, and what the script
// does goes out through the link. The outcome is told in chat(8)'s exit codes.
#pragma once

#include "ChatScript.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the runner drives. Write and NowMs are needed; the others may be left empty.
struct TChatLink {
    std::function<bool(const std::string&)> Write; // false: the port failed (exit 2)
    // Raised at Start, as opening the port raises it for chat. HANGUP does not touch it: in
    // chat(8) HANGUP only says whether a hang-up of the line is an error (see LineHungUp).
    std::function<void(bool)> SetDTR;
    std::function<void()> SendBreak;             // \K and BREAK
    std::function<int64_t()> NowMs;              // a steady clock
    std::function<void(const std::string&)> Say; // SAY text, and each REPORT line
    std::function<void(std::string_view)> Echo;  // received bytes while ECHO is ON
};

struct TChatOutcome {
    int ExitCode = 0;    // chat's: 0 done, 1 the reply outlasted the timeout, 2 stopped or
                         // failed, 3 timed out, 4 + N the N-th abort string (from 0)
    std::string Meaning; // "timed out waiting for \"OK\" (line 3)", "aborted on \"BUSY\""
    size_t Step = 0;     // the step it ended on
    int64_t Ms = 0;      // from Start
};

// chat(8)'s text for an exit code.
std::string ChatExitMeaning(int ExitCode);
// The one log line at the end: script name, exit code and meaning, time taken.
std::string FormatChatOutcome(const std::string& ScriptName, const TChatOutcome& Outcome);

class TChatRunner {
public:
    static constexpr int DefaultTimeoutS = 45; // chat's initial TIMEOUT

    TChatRunner(TChatScript Script, TChatLink Link);

    void Start();
    // Bytes from the device. A step waiting for them ends in this call, with its reply sent.
    void Feed(std::string_view Received);
    // Timeouts and the delays of \d and \p end here: call it every few milliseconds.
    void Tick();
    // Ends the script with 2, as chat does on a signal.
    void Stop();
    // The line hung up (carrier lost, or the port went away): ends the script with 2 unless
    // the script said HANGUP OFF.
    void LineHungUp();

    bool Running() const { return m_started && !m_outcome; }
    const std::optional<TChatOutcome>& Outcome() const { return m_outcome; }
    std::function<void(const TChatOutcome&)> OnDone;

    struct TProgress {
        size_t Step = 0, Steps = 0;
        std::string What;     // "expect OK", "send AT\\d\\dZ", "done"
        int64_t WaitedMs = 0; // how long the current expectation has waited
    };
    TProgress Progress() const;
    // When Tick has something to do next (a timeout, the end of a delay), in NowMs's time;
    // none while only bytes can move it on. Lets a caller arm one timer instead of polling.
    std::optional<int64_t> NextDueMs() const;

private:
    enum class TPhase { Idle, Expecting, Sending, Done };
    void Pump();
    void RunKeyword(const TChatStep& Step);
    void BeginExpect(size_t Alternative);
    void BeginSend(const TChatSend& Send, bool Reply);
    bool SendParts(); // true when all went; false while a delay runs or when it ended
    bool Matched();   // reads queued bytes until the expectation is met
    bool Take(char Byte);
    void CheckTime();
    void Finish(int ExitCode, std::string Meaning);
    int64_t TimeoutMs() const { return int64_t(m_timeoutS) * 1000; }

    TChatScript m_script;
    TChatLink m_link;
    bool m_started = false;
    std::optional<TChatOutcome> m_outcome;
    TPhase m_phase = TPhase::Idle;
    size_t m_step = 0;
    int64_t m_startMs = 0;
    int m_timeoutS = DefaultTimeoutS;
    bool m_echo = false, m_hangupEnds = true;
    std::vector<std::string> m_aborts, m_reports;

    // Expecting
    size_t m_alt = 0;
    int64_t m_expectStartMs = 0;
    std::string m_seen;  // what this expectation has read, its tail only
    std::string m_input; // fed but not read yet, as the tty's buffer holds it for chat
    std::optional<std::string> m_reportLine;

    // Sending
    const TChatSend* m_send = nullptr;
    bool m_sendIsReply = false;
    size_t m_part = 0;
    int64_t m_resumeMs = 0, m_sendDeadlineMs = 0;
};
