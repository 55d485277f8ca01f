// A device that answers from a table, on the master of a pseudo-terminal, in a thread of its
// own: when what it received since its last answer ends with a rule's trigger, it writes the
// rule's answer after the rule's delay. Every byte each way is kept with its time, so two runs
// against the same dialogue can be compared, timing included, as the wire saw them.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct TResponderRule {
    std::string Trigger; // empty: answers once, DelayMs after the start
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

    // Master must outlive the responder and have a peer open from the start: a master without
    // one reads as hung up. The thread ends on Stop or after LifeMs.
    TScriptedResponder(int Master, std::vector<TResponderRule> Rules, int LifeMs = 30000);
    ~TScriptedResponder() { Stop(); }
    TScriptedResponder(const TScriptedResponder&) = delete;
    TScriptedResponder& operator=(const TScriptedResponder&) = delete;

    // Reads what is still queued, then ends the thread. The results are read after it.
    void Stop();
    const std::vector<TEvent>& Events() const { return m_events; }
    std::string Received() const;

private:
    void Run();
    int m_master;
    std::vector<TResponderRule> m_rules;
    int m_lifeMs;
    int m_wake[2] = {-1, -1}; // a pipe: Stop
    std::vector<TEvent> m_events;
    std::thread m_thread;
};
