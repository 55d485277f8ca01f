// The guest's line to the host during a real-driver test: a request file in the run folder
// both sides see, answered by tools/vm/Peer.cpp. The event loop runs while the answer is
// awaited, so the console keeps serving its port meanwhile.
#pragma once

#include "EventPump.h"
#include "FileText.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

// Sends Request to the host and returns its answer ("ok ..." or "error: ..."; "error: no
// answer" when none came within TimeoutMs). Prefix "guest-" sends it to the peer that plays
// the guest's own devices instead.
inline std::string HostDo(const std::string& Request, int TimeoutMs = 30000,
                          const std::string& Prefix = "") {
    static std::map<std::string, unsigned> counts;
    unsigned& next = counts[Prefix];
    const char* run = std::getenv("TEVRO_VM_RUN");
    if (!run)
        return "error: not in the guest (TEVRO_VM_RUN unset)";
    const std::string n = std::to_string(next++);
    const std::string req = std::string(run) + "/" + Prefix + "req." + n,
                      ack = std::string(run) + "/" + Prefix + "ack." + n;
    {
        std::ofstream f(req + ".tmp");
        f << Request << "\n";
    }
    std::filesystem::rename(req + ".tmp", req);
    if (!PumpUntil([&] { return std::filesystem::exists(ack); }, TimeoutMs))
        return "error: no answer";
    std::string answer = ReadFile(ack);
    while (!answer.empty() && answer.back() == '\n')
        answer.pop_back();
    return answer;
}
