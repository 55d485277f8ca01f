#include "ChatSession.h"

#include <filesystem>

TChatSession::TChatSession(TChatLink Link, std::function<void(const std::string&)> Log)
    : m_link(std::move(Link)), m_log(std::move(Log)) {
    m_clock.start();
    if (!m_link.NowMs)
        m_link.NowMs = [this] { return m_clock.elapsed(); };
    auto say = m_link.Say;
    m_link.Say = [this, say](const std::string& Text) {
        if (say)
            say(Text);
        else if (m_log)
            m_log("Chat: " + Text);
    };
    m_timer.setSingleShot(true);
    // Precise: a timeout is due to the millisecond, and a coarse timer may fire 5 % late.
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (!m_runner)
            return;
        m_runner->Tick();
        Arm();
    });
}

bool TChatSession::Start(const std::string& Path) {
    if (Running())
        return false;
    TChatParse parsed = LoadChatScript(Path);
    if (!parsed.Ok()) {
        if (m_log)
            m_log("Chat script refused: " + parsed.Error->Text());
        return false;
    }
    parsed.Script->Name = std::filesystem::path(Path).filename().string();
    return Start(std::move(*parsed.Script));
}

bool TChatSession::Start(TChatScript Script) {
    if (Running())
        return false;
    m_name = Script.Name;
    m_runner = std::make_unique<TChatRunner>(std::move(Script), m_link);
    m_runner->OnDone = [this](const TChatOutcome& O) { Done(O); };
    if (m_log)
        m_log("Chat script " + m_name + " started");
    m_runner->Start();
    Arm();
    return true;
}

void TChatSession::Feed(std::string_view Received) {
    if (!Running())
        return;
    m_runner->Feed(Received);
    Arm();
}

void TChatSession::Stop() {
    if (Running())
        m_runner->Stop();
    m_timer.stop();
}

void TChatSession::LineHungUp() {
    if (!Running())
        return;
    m_runner->LineHungUp();
    Arm();
}

std::optional<TChatRunner::TProgress> TChatSession::Progress() const {
    if (!Running())
        return std::nullopt;
    return m_runner->Progress();
}

std::optional<TChatOutcome> TChatSession::LastOutcome() const {
    return m_runner ? m_runner->Outcome() : std::nullopt;
}

void TChatSession::Arm() {
    const auto due = Running() ? m_runner->NextDueMs() : std::nullopt;
    if (!due) {
        m_timer.stop();
        return;
    }
    const int64_t wait = std::max<int64_t>(0, *due - m_link.NowMs());
    m_timer.start(static_cast<int>(std::min<int64_t>(wait, 24 * 3600 * 1000)));
}

void TChatSession::Done(const TChatOutcome& Outcome) {
    m_timer.stop();
    if (m_log)
        m_log(FormatChatOutcome(m_name, Outcome));
    // From the event loop, not from inside the runner: the handler may start the next script,
    // which replaces the runner that is still on the stack here.
    QTimer::singleShot(0, &m_timer, [this, Outcome] {
        if (OnDone)
            OnDone(Outcome);
    });
}
