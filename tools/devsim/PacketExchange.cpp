#include "PacketExchange.h"

namespace devsim {

namespace {

constexpr auto ProbeEvery = std::chrono::milliseconds(200);
constexpr auto SettleQuiet = std::chrono::milliseconds(100);
constexpr auto DrainQuiet = std::chrono::milliseconds(50);
constexpr unsigned ProblemReports = 20; // wrong or missing answers told on stderr one by one

} // namespace

void TPacketExchange::Begin(TTime Now) {
    m_plan = PlanRequests(m_o.Mix, m_rng);
    if (m_o.ProbeTimeout > 0) {
        m_state = TState::Probing;
        m_probeUntil = Now + Seconds(m_o.ProbeTimeout);
        m_nextProbe = Now;
        m_probeAnswer = ExpectedAnswer(MakeFrame(TBytes{0x5A, 0x01}));
        Say("probing: waiting for the console to answer (Packet Com, Treat ticked)");
    } else {
        m_state = TState::Sending;
    }
}

bool TPacketExchange::Running() const {
    return Active() &&
           (m_state == TState::Settling || m_state == TState::Sending ||
            m_state == TState::Awaiting || m_state == TState::Gap || m_state == TState::Draining);
}

TTime TPacketExchange::NextWake(TTime Now, TTime Wake) const {
    auto at = [&](TTime t) { Wake = std::min(Wake, t); };
    switch (m_state) {
    case TState::Probing:
        at(std::min(m_nextProbe, m_probeUntil));
        break;
    case TState::Settling:
    case TState::Gap:
    case TState::Draining:
        at(m_until);
        break;
    case TState::Awaiting:
        if (!m_reqInFlight)
            at(m_until);
        break;
    case TState::Sending:
        at(Now);
        break;
    default:
        break;
    }
    return Wake;
}

void TPacketExchange::OnAllWritten() {
    if (!m_reqInFlight)
        return;
    m_reqInFlight = false;
    m_sentAt = TClock::now();
    m_until = m_sentAt +
              std::chrono::milliseconds(m_check.ExpectsAnswer() ? m_o.TimeoutMs : m_o.SilenceMs);
}

void TPacketExchange::Tick(TTime Now) {
    for (int step = 0; step < 4; ++step) {
        const TState before = m_state;
        switch (m_state) {
        case TState::Probing:
            if (Now >= m_probeUntil) {
                m_n.Probe = "failed";
                m_host.Fail("the console answered no probe request within " +
                                std::to_string(static_cast<int>(m_o.ProbeTimeout)) +
                                " s; is it in Packet Com with Treat ticked?",
                            1);
                m_host.Quit();
                return;
            }
            if (Now >= m_nextProbe) {
                if (m_host.PeerOpen()) {
                    m_host.Queue(MakeFrame(TBytes{0x5A, 0x01}));
                    m_host.FlushPty(Now);
                }
                m_nextProbe = Now + ProbeEvery;
            }
            break;
        case TState::Settling:
        case TState::Gap:
        case TState::Draining:
            if (Now >= m_until)
                m_state = TState::Sending;
            break;
        case TState::Sending:
            if (m_next >= m_plan.size()) {
                m_state = TState::Done;
                if (m_burst)
                    EndBurst();
                else
                    m_host.WorkDone(Now);
                break;
            }
            m_req = MakeRequest(m_plan[m_next++], m_rng, m_o.ExtraMax);
            ++m_n.SentByKind[static_cast<int>(m_req.Kind)];
            m_check.Expect(m_req.Answer);
            if (m_check.ExpectsAnswer())
                ++m_n.Expecting;
            else
                ++m_n.SilentSent;
            m_host.Queue(m_req.Bytes);
            m_reqInFlight = true;
            m_state = TState::Awaiting;
            m_host.FlushPty(Now);
            break;
        case TState::Awaiting:
            if (!m_reqInFlight && Now >= m_until)
                FinishRequest(Now);
            break;
        case TState::Waiting:
        case TState::Done:
            break;
        }
        if (m_state == before)
            break;
    }
}

void TPacketExchange::OnBytes(std::string_view Data, TTime Now) {
    switch (m_state) {
    case TState::Probing:
        m_probeRx += Data;
        if (m_probeRx.find(m_probeAnswer) != TBytes::npos) {
            m_n.Probe = "ok";
            m_state = TState::Settling;
            m_until = Now + SettleQuiet;
            m_host.Event(TJsonObject().Add("event", "probe_answered"));
            Say("the console answers; measuring");
        } else if (m_probeRx.size() > 512) {
            m_probeRx.erase(0, m_probeRx.size() - 16);
        }
        break;
    case TState::Settling:
        m_until = Now + SettleQuiet;
        break;
    case TState::Awaiting: {
        if (m_reqInFlight) { // the request is not all out yet: nothing can answer it
            m_n.Stray += Data.size();
            break;
        }
        const size_t took = m_check.Feed(Data);
        m_n.Stray += Data.size() - took;
        if (m_check.Complete())
            FinishRequest(Now);
        break;
    }
    case TState::Draining:
        m_n.Late += Data.size();
        m_until = Now + DrainQuiet;
        break;
    default:
        m_n.Stray += Data.size();
        break;
    }
}

void TPacketExchange::FinishRequest(TTime Now) {
    using V = TAnswerCheck::TVerdict;
    const V v = m_check.Verdict();
    const size_t number = m_next; // 1-based number of this request
    if (v == V::Ok && m_check.ExpectsAnswer()) {
        ++m_n.Answered;
        m_n.Rtt.Add(Ms(Now - m_sentAt));
    } else if (v == V::Missing) {
        if (++m_n.Missing + m_n.Wrong <= ProblemReports)
            Say("request %zu (%s) got no answer: sent %s", number, RequestKindName(m_req.Kind),
                Hex(m_req.Bytes).c_str());
    } else if (v == V::Wrong) {
        if (m_n.Missing + ++m_n.Wrong <= ProblemReports)
            Say("request %zu (%s) got a wrong answer: sent %s, expected %s, got %s", number,
                RequestKindName(m_req.Kind), Hex(m_req.Bytes).c_str(),
                m_req.Answer.empty() ? "nothing" : Hex(m_req.Answer).c_str(),
                Hex(m_check.Got()).c_str());
    }
    if (v == V::Ok) {
        m_state = TState::Gap;
        m_until = Now + std::chrono::milliseconds(m_o.GapMs);
    } else {
        // A late or broken answer may still be on its way: let it pass before the next one.
        m_state = TState::Draining;
        m_until = Now + DrainQuiet;
    }
}

void TPacketExchange::StartBurst(unsigned Count) {
    if (m_o.Mode != TMode::Text) {
        Say("burst works in text mode only");
        return;
    }
    if (m_burst) {
        Say("a burst is running already");
        return;
    }
    if (!m_host.PeerOpen()) {
        Say("no burst: the console has not opened COM%d", m_o.Com);
        return;
    }
    m_burst = true;
    ++m_bursts;
    m_burstBase = {m_n.Expecting, m_n.Answered, m_n.Missing, m_n.Wrong};
    m_plan = PlanRequests(TRequestMix{Count, 0, 0, 0, 0}, m_rng);
    m_next = 0;
    m_state = TState::Sending;
    Say("burst of %u requests", Count);
}

void TPacketExchange::EndBurst() {
    m_burst = false;
    const unsigned requests = m_n.Expecting - m_burstBase[0],
                   answered = m_n.Answered - m_burstBase[1], missing = m_n.Missing - m_burstBase[2],
                   wrong = m_n.Wrong - m_burstBase[3];
    m_host.Event(TJsonObject()
                     .Add("event", "burst_done")
                     .Add("requests", requests)
                     .Add("answered", answered)
                     .Add("missing", missing)
                     .Add("wrong", wrong));
    Say("burst done: %u of %u answered, %u missing, %u wrong", answered, requests, missing, wrong);
}

} // namespace devsim
