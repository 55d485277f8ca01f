#include "ScriptedResponder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

TScriptedResponder::TScriptedResponder(int Master, std::vector<TResponderRule> Rules, int LifeMs)
    : m_master(Master), m_rules(std::move(Rules)), m_lifeMs(LifeMs) {
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    m_thread = std::thread([this] { Run(); });
}

void TScriptedResponder::Stop() {
    if (m_thread.joinable()) {
        (void)!::write(m_wake[1], "x", 1);
        m_thread.join();
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
}

std::string TScriptedResponder::Received() const {
    std::string all;
    for (const TEvent& e : m_events)
        if (!e.FromDevice)
            all += e.Bytes;
    return all;
}

void TScriptedResponder::Run() {
    const auto start = std::chrono::steady_clock::now();
    auto nowUs = [&] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    std::vector<std::pair<int64_t, std::string>> due; // answers by the time they fall due
    std::vector<int> used(m_rules.size(), 0);
    for (const TResponderRule& r : m_rules)
        if (r.Trigger.empty())
            due.emplace_back(int64_t(r.DelayMs) * 1000, r.Answer);
    std::string since; // received since the last rule matched
    bool live = true, stopping = false;
    while (nowUs() < int64_t(m_lifeMs) * 1000) {
        std::stable_sort(due.begin(), due.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        while (!due.empty() && due.front().first <= nowUs()) {
            // Answers are short: the pty takes them whole.
            if (live)
                (void)!::write(m_master, due.front().second.data(), due.front().second.size());
            m_events.push_back({nowUs(), true, due.front().second});
            due.erase(due.begin());
        }
        const int waitMs = stopping      ? 0
                           : due.empty() ? 50
                                         : int((due.front().first - nowUs()) / 1000);
        pollfd p[2] = {{m_wake[0], POLLIN, 0}, {m_master, POLLIN, 0}};
        ::poll(p, live ? 2 : 1, std::max(0, waitMs));
        stopping = stopping || (p[0].revents & POLLIN);
        char buf[4096];
        const ssize_t n = live && p[1].revents ? ::read(m_master, buf, sizeof buf) : 0;
        if (n <= 0) {
            // The other end closed (chat ended): the master now polls as hung up for good.
            live = live && !(p[1].revents && !(n < 0 && errno == EAGAIN));
            if (stopping)
                break;
            continue;
        }
        const int64_t at = nowUs();
        m_events.push_back({at, false, std::string(buf, size_t(n))});
        // Byte by byte, so a trigger is seen where it ends, as a device would see it.
        for (ssize_t k = 0; k < n; ++k) {
            since += buf[k];
            for (size_t r = 0; r < m_rules.size(); ++r) {
                const TResponderRule& rule = m_rules[r];
                if (rule.Trigger.empty() || since.size() < rule.Trigger.size() ||
                    since.compare(since.size() - rule.Trigger.size(), std::string::npos,
                                  rule.Trigger) != 0 ||
                    (rule.Times && used[r] >= rule.Times))
                    continue;
                ++used[r];
                since.clear();
                if (!rule.Answer.empty())
                    due.emplace_back(at + int64_t(rule.DelayMs) * 1000, rule.Answer);
                break;
            }
        }
    }
}
