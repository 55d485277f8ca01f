#include "ScriptedResponder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

bool EndsWith(const std::string& S, const std::string& Tail) {
    return S.size() >= Tail.size() && S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}
} // namespace

TScriptedResponder::TScriptedResponder(int Master, std::vector<TResponderRule> Rules, int LifeMs)
    : m_master(Master), m_rules(std::move(Rules)), m_lifeMs(LifeMs) {
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        throw std::runtime_error("no eventfd");
    m_thread = std::thread([this] { Run(); });
}

TScriptedResponder::~TScriptedResponder() {
    Stop();
    ::close(m_wake);
}

void TScriptedResponder::Stop() {
    if (!m_thread.joinable())
        return;
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
    m_thread.join();
}

std::vector<TScriptedResponder::TEvent> TScriptedResponder::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::string TScriptedResponder::Received() const {
    std::string all;
    for (const TEvent& e : Events())
        if (!e.FromDevice)
            all += e.Bytes;
    return all;
}

void TScriptedResponder::Run() {
    const auto start = Clock::now();
    auto nowUs = [&] {
        return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    };
    struct TDue {
        int64_t AtUs;
        std::string Answer;
    };
    std::vector<TDue> due;
    std::vector<int> used(m_rules.size(), 0);
    for (const TResponderRule& r : m_rules)
        if (r.Trigger.empty())
            due.push_back({int64_t(r.DelayMs) * 1000, r.Answer});
    std::string since; // received since the last rule matched
    bool masterLive = true, stopping = false;
    const int64_t endUs = int64_t(m_lifeMs) * 1000;
    while (nowUs() < endUs) {
        // Answers that are due go out first, in the order they fell due.
        std::stable_sort(due.begin(), due.end(),
                         [](const TDue& a, const TDue& b) { return a.AtUs < b.AtUs; });
        while (!due.empty() && due.front().AtUs <= nowUs()) {
            const std::string a = due.front().Answer;
            due.erase(due.begin());
            size_t done = 0;
            while (masterLive && done < a.size()) {
                const ssize_t n = ::write(m_master, a.data() + done, a.size() - done);
                if (n > 0)
                    done += size_t(n);
                else if (n < 0 && errno == EAGAIN) {
                    pollfd p{m_master, POLLOUT, 0};
                    ::poll(&p, 1, 5);
                } else
                    break;
            }
            std::lock_guard lock(m_mutex);
            m_events.push_back({nowUs(), true, a});
        }
        int waitMs =
            due.empty() ? 50 : int(std::max<int64_t>(0, due.front().AtUs - nowUs()) / 1000);
        if (stopping)
            waitMs = 0;
        pollfd p[2] = {{m_wake, POLLIN, 0}, {m_master, short(masterLive ? POLLIN : 0), 0}};
        ::poll(p, masterLive ? 2 : 1, waitMs);
        if (p[0].revents & POLLIN)
            stopping = true;
        if (masterLive && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0) {
                const int64_t at = nowUs();
                {
                    std::lock_guard lock(m_mutex);
                    m_events.push_back({at, false, std::string(buf, size_t(n))});
                }
                // Byte by byte, so a trigger is seen where it ends, as a device would.
                for (ssize_t k = 0; k < n; ++k) {
                    since += buf[k];
                    for (size_t r = 0; r < m_rules.size(); ++r) {
                        const TResponderRule& rule = m_rules[r];
                        if (rule.Trigger.empty() || !EndsWith(since, rule.Trigger))
                            continue;
                        if (rule.Times && used[r] >= rule.Times)
                            continue;
                        ++used[r];
                        since.clear();
                        if (!rule.Answer.empty())
                            due.push_back({at + int64_t(rule.DelayMs) * 1000, rule.Answer});
                        break;
                    }
                }
                continue;
            }
            // The other end closed (chat ended): a pty master then polls as hung up for good.
            if (n == 0 || (n < 0 && errno != EAGAIN))
                masterLive = false;
        }
        if (stopping)
            break;
    }
}
