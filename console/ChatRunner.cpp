// The chat script player. It reads received bytes one at a time, as chat does, so bytes that
// come after a match stay queued for the next expectation, and bytes that come while a reply
// is being sent (during \d, say) are read by the expectation after it.
#include "ChatRunner.h"

#include <algorithm>
#include <cstdio>

namespace {

// Bytes shown in a log line: printable ASCII as is, the rest escaped as a script writes them.
std::string Shown(std::string_view Bytes) {
    std::string out;
    for (char ch : Bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        } else
            out += ch;
    }
    return out;
}

bool EndsWith(const std::string& S, const std::string& Tail) {
    return !Tail.empty() && S.size() >= Tail.size() &&
           S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}

// An expectation needs only the tail of what it read; the longest string compared is far
// shorter than this.
constexpr size_t SeenKeep = 4096;

} // namespace

std::string ChatExitMeaning(int ExitCode) {
    switch (ExitCode) {
    case 0:
        return "the script ran to its end";
    case 1:
        return "a reply could not be sent within the timeout";
    case 2:
        return "stopped, the line hung up, or the port failed";
    case 3:
        return "an expectation timed out";
    default:
        return ExitCode >= 4 ? "abort string " + std::to_string(ExitCode - 3) + " came"
                             : "unknown exit code";
    }
}

std::string FormatChatOutcome(const std::string& ScriptName, const TChatOutcome& Outcome) {
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.2f", double(Outcome.Ms) / 1000.0);
    return "Chat script " + ScriptName + ": exit " + std::to_string(Outcome.ExitCode) + ", " +
           Outcome.Meaning + ", in " + secs + " s";
}

TChatRunner::TChatRunner(TChatScript Script, TChatLink Link)
    : m_script(std::move(Script)), m_link(std::move(Link)) {}

void TChatRunner::Start() {
    if (m_started)
        return;
    m_started = true;
    m_startMs = m_link.NowMs();
    if (m_link.SetDTR)
        m_link.SetDTR(true);
    Pump();
}

void TChatRunner::Feed(std::string_view Received) {
    if (m_outcome)
        return;
    // Before Start the bytes wait, as they wait in the tty's buffer until chat reads them.
    m_input.append(Received);
    if (!m_started)
        return;
    // An expectation whose time ran out before these bytes came does not get them.
    CheckTime();
    Pump();
}

void TChatRunner::Tick() {
    if (!Running())
        return;
    CheckTime();
    Pump();
}

void TChatRunner::Stop() {
    if (Running())
        Finish(2, "stopped");
}

void TChatRunner::LineHungUp() {
    if (Running() && m_hangupEnds)
        Finish(2, "the line hung up");
}

// Moves the script on as far as it goes without waiting: one loop, so a long script of steps
// that end at once does not deepen the stack.
void TChatRunner::Pump() {
    while (!m_outcome) {
        switch (m_phase) {
        case TPhase::Idle:
            if (m_step >= m_script.Steps.size()) {
                Finish(0, ChatExitMeaning(0));
                return;
            }
            RunKeyword(m_script.Steps[m_step]);
            break;
        case TPhase::Expecting:
            if (!Matched())
                return;
            if (const auto& reply = m_script.Steps[m_step].Reply)
                BeginSend(*reply, true);
            else {
                ++m_step;
                m_phase = TPhase::Idle;
            }
            break;
        case TPhase::Sending:
            if (!SendParts())
                return;
            m_send = nullptr;
            if (m_sendIsReply) {
                ++m_step;
                m_phase = TPhase::Idle;
            } else
                BeginExpect(m_alt + 1);
            break;
        case TPhase::Done:
            return;
        }
    }
}

void TChatRunner::RunKeyword(const TChatStep& S) {
    using K = TChatStep::TKind;
    switch (S.Kind) {
    case K::Expect:
        BeginExpect(0);
        return; // the step goes on in the expectation
    case K::Abort:
        m_aborts.push_back(S.Text);
        break;
    case K::Report:
        m_reports.push_back(S.Text);
        break;
    case K::ClrAbort:
    case K::ClrReport: {
        // chat keeps the others in their order, so an abort's exit code is its place now.
        auto& list = S.Kind == K::ClrAbort ? m_aborts : m_reports;
        list.erase(std::remove(list.begin(), list.end(), S.Text), list.end());
        break;
    }
    case K::Timeout:
        m_timeoutS = S.Seconds ? S.Seconds : DefaultTimeoutS;
        break;
    case K::Say:
        if (m_link.Say)
            m_link.Say(S.Text);
        break;
    case K::Echo:
        m_echo = S.On;
        break;
    case K::Hangup:
        m_hangupEnds = S.On;
        break;
    }
    ++m_step;
}

void TChatRunner::BeginExpect(size_t Alternative) {
    m_phase = TPhase::Expecting;
    m_alt = Alternative;
    m_expectStartMs = m_link.NowMs();
    m_seen.clear();
}

void TChatRunner::BeginSend(const TChatSend& Send, bool Reply) {
    m_phase = TPhase::Sending;
    m_send = &Send;
    m_sendIsReply = Reply;
    m_part = 0;
    m_resumeMs = 0;
    // chat's alarm covers sending too: a reply whose delays outlast the timeout fails.
    m_sendDeadlineMs = m_link.NowMs() + TimeoutMs();
}

bool TChatRunner::SendParts() {
    while (m_part < m_send->Parts.size()) {
        const TChatSendPart& p = m_send->Parts[m_part];
        if (p.Kind == TChatSendPart::TKind::Bytes) {
            if (!m_link.Write(p.Bytes)) {
                Finish(2, "writing to the port failed");
                return false;
            }
        } else if (p.Kind == TChatSendPart::TKind::Break) {
            if (m_link.SendBreak)
                m_link.SendBreak();
        } else {
            const int64_t now = m_link.NowMs();
            if (m_resumeMs == 0)
                m_resumeMs = now + p.Ms;
            if (m_resumeMs >= m_sendDeadlineMs && now >= m_sendDeadlineMs) {
                Finish(1, "the reply " + Shown(m_send->Text) + " was not sent within the " +
                              std::to_string(m_timeoutS) + " s timeout");
                return false;
            }
            if (now < m_resumeMs)
                return false; // Tick comes back
            m_resumeMs = 0;
        }
        ++m_part;
    }
    return true;
}

bool TChatRunner::Matched() {
    // '' expects nothing: the reply goes at once.
    if (m_script.Steps[m_step].Expects[m_alt].empty())
        return true;
    size_t used = 0;
    bool matched = false;
    while (!matched && !m_outcome && used < m_input.size())
        matched = Take(m_input[used++]);
    // What follows a match stays queued for the next expectation.
    m_input.erase(0, used);
    return matched;
}

bool TChatRunner::Take(char Byte) {
    if (m_echo && m_link.Echo)
        m_link.Echo(std::string_view(&Byte, 1));
    // chat compares 7-bit characters: a modem's parity bit does not hide its "OK".
    const char c = static_cast<char>(Byte & 0x7F);
    m_seen += c;
    if (m_seen.size() > 2 * SeenKeep)
        m_seen.erase(0, m_seen.size() - SeenKeep);
    if (m_reportLine) {
        if (static_cast<unsigned char>(c) < 0x20 || m_reportLine->size() >= SeenKeep) {
            if (m_link.Say)
                m_link.Say(*m_reportLine);
            m_reportLine.reset();
        } else
            *m_reportLine += c;
    }
    for (const std::string& r : m_reports)
        if (EndsWith(m_seen, r))
            m_reportLine = r;
    // The expectation is looked at before the aborts: chat ends well when a string is both.
    if (EndsWith(m_seen, m_script.Steps[m_step].Expects[m_alt]))
        return true;
    for (size_t k = 0; k < m_aborts.size(); ++k)
        if (EndsWith(m_seen, m_aborts[k])) {
            Finish(4 + static_cast<int>(k), "aborted on \"" + Shown(m_aborts[k]) + "\"");
            return false;
        }
    return false;
}

void TChatRunner::CheckTime() {
    const int64_t now = m_link.NowMs();
    if (m_phase != TPhase::Expecting || now - m_expectStartMs < TimeoutMs())
        return; // a delay that is over is seen by Pump
    const TChatStep& s = m_script.Steps[m_step];
    if (m_alt + 1 < s.Expects.size())
        BeginSend(s.SubSends[m_alt], false);
    else
        Finish(3, "timed out waiting for \"" + Shown(s.Expects[m_alt]) + "\" (line " +
                      std::to_string(s.Line) + ")");
}

void TChatRunner::Finish(int ExitCode, std::string Meaning) {
    if (m_outcome)
        return;
    if (m_reportLine && m_link.Say)
        m_link.Say(*m_reportLine);
    m_reportLine.reset();
    m_phase = TPhase::Done;
    m_outcome = TChatOutcome{ExitCode, std::move(Meaning), m_step, m_link.NowMs() - m_startMs};
    if (OnDone) {
        const TChatOutcome copy = *m_outcome; // the handler may let go of the runner
        OnDone(copy);
    }
}

TChatRunner::TProgress TChatRunner::Progress() const {
    TProgress p;
    p.Step = m_step;
    p.Steps = m_script.Steps.size();
    switch (m_phase) {
    case TPhase::Idle:
        p.What = m_started ? "between steps" : "not started";
        break;
    case TPhase::Expecting:
        p.What = "expect \"" + Shown(m_script.Steps[m_step].Expects[m_alt]) + "\"";
        if (m_alt > 0)
            p.What += " (alternative " + std::to_string(m_alt) + ")";
        p.WaitedMs = m_link.NowMs() - m_expectStartMs;
        break;
    case TPhase::Sending:
        p.What = "send \"" + Shown(m_send->Text) + "\"";
        break;
    case TPhase::Done:
        p.What = "done";
        break;
    }
    return p;
}

std::optional<int64_t> TChatRunner::NextDueMs() const {
    if (m_phase == TPhase::Expecting)
        return m_expectStartMs + TimeoutMs();
    if (m_phase == TPhase::Sending && m_resumeMs)
        return std::min(m_resumeMs, m_sendDeadlineMs);
    return std::nullopt;
}
