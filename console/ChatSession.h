// A chat script run on the console's port, as the console holds it: the file is read (a bad one
// is refused with one log line and nothing is sent), the runner is woken by one timer armed for
// its next timeout or delay (no periodic wake-ups), and the end is logged in one line.
#pragma once

#include "ChatRunner.h"

#include <QElapsedTimer>
#include <QTimer>
#include <memory>

class TChatSession {
public:
    // Link.NowMs may be left empty: the session's own steady clock is used. Log gets the lines
    // for the console's log: a refusal, the start, SAY and REPORT text, and the outcome.
    TChatSession(TChatLink Link, std::function<void(const std::string&)> Log);
    TChatSession(const TChatSession&) = delete;
    TChatSession& operator=(const TChatSession&) = delete;

    // Loads and starts a script file; false when it was refused or one is running already.
    bool Start(const std::string& Path);
    // Starts a script already parsed.
    bool Start(TChatScript Script);
    // The bytes the port received; call from the receive handler, before or after showing them.
    void Feed(std::string_view Received);
    void Stop();
    void LineHungUp();

    bool Running() const { return m_runner && m_runner->Running(); }
    // The running script's step and how long its expectation has waited; none when idle.
    std::optional<TChatRunner::TProgress> Progress() const;
    // The last run's outcome, until the next Start.
    std::optional<TChatOutcome> LastOutcome() const;

    // After the outcome's log line, from the event loop: it may start another script.
    std::function<void(const TChatOutcome&)> OnDone;

private:
    void Arm();
    void Done(const TChatOutcome& Outcome);

    TChatLink m_link;
    std::function<void(const std::string&)> m_log;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::unique_ptr<TChatRunner> m_runner;
    std::string m_name;
};
