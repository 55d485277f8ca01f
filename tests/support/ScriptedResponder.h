// A device that answers from a table, on the master of a pseudo-terminal, in a thread of its
// own: when what it has received since its last answer ends with a rule's trigger, it writes
// the rule's answer after the rule's delay. Every byte each way is kept with its time, so a
// test can compare two runs against the same dialogue and read the timing from the wire.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TResponderRule {
    std::string Trigger; // empty: once, DelayMs after the start
    std::string Answer;  // empty: the trigger is taken and nothing is answered
    int DelayMs = 0;
    int Times = 0; // how often the rule may answer; 0: always
};

class TScriptedResponder {
public:
    struct TEvent {
        int64_t Us = 0;          // since the responder started
        bool FromDevice = false; // written by the responder, else received
        std::string Bytes;
    };

    // Takes no ownership of Master; it must outlive the responder. Lives at most LifeMs.
    TScriptedResponder(int Master, std::vector<TResponderRule> Rules, int LifeMs = 30000);
    ~TScriptedResponder();
    TScriptedResponder(const TScriptedResponder&) = delete;
    TScriptedResponder& operator=(const TScriptedResponder&) = delete;

    // Reads what is still queued on the master, then ends the thread.
    void Stop();
    std::vector<TEvent> Events() const;
    std::string Received() const;

private:
    void Run();
    int m_master;
    std::vector<TResponderRule> m_rules;
    int m_lifeMs;
    int m_wake = -1; // eventfd: Stop
    mutable std::mutex m_mutex;
    std::vector<TEvent> m_events;
    std::thread m_thread;
};
