// Placeholder of the packet responder until the real one lands.
#pragma once

#include "Thread.h"
#include "Util.h"

#include <functional>
#include <string>

class TUserThread : public TThread {
public:
    explicit TUserThread(std::function<void()> Step) : m_step(std::move(Step)) {}
    std::atomic_bool Running{false};

protected:
    void Execute() override {
        RxCountdown = 1;
        Running = true;
        while (!Terminated()) {
            try {
                Synchronize(m_step);
            } catch (...) {
            }
            Pause(1);
        }
        Running = false;
    }

private:
    std::function<void()> m_step;
};

inline void AnswerRequest(const std::function<bool(const std::string&)>&,
                          const std::function<void()>&) {}
