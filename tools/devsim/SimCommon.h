// What the simulator's parts share: the clock, a file descriptor owner, the run's outcome,
// the traffic counters, and the way a part reaches the line and the run it belongs to.
#pragma once

#include "DevSimCore.h"
#include "Fd.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace devsim {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

using ::TFd;

// The run's outcome: the first failure told and the worst exit status.
struct TRunStatus {
    int Exit = 0;
    std::string Failure;
    void Fail(const std::string& Reason, int Code);
};

// Bytes and datagrams that went over the pty and the socket.
struct TTraffic {
    uint64_t RxBytes = 0;
    uint64_t TxBytes = 0;
    uint64_t UdpSent = 0, UdpReceived = 0, SendErrors = 0;
};

// What a part of the simulator may ask of the run it belongs to.
class TSimHost {
public:
    virtual void Queue(std::string_view Bytes) = 0;
    virtual void FlushPty(TTime Now) = 0;
    virtual size_t Pending() const = 0;
    virtual bool PeerOpen() const = 0;
    virtual void Fail(const std::string& Reason, int Code) = 0;
    virtual void Quit() = 0;
    virtual void WorkDone(TTime Now) = 0;
    virtual void Event(TJsonObject Object) = 0;

protected:
    ~TSimHost() = default;
};

void Say(const char* Format, ...) __attribute__((format(printf, 1, 2)));
std::string ErrnoText(int e);
std::string Hex(std::string_view Bytes);

inline double Ms(TClock::duration D) {
    return std::chrono::duration<double, std::milli>(D).count();
}

inline TClock::duration Seconds(double S) {
    return std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(S));
}

constexpr auto PeerCheckEvery = std::chrono::milliseconds(10);
constexpr size_t FloodChunk = 64 * 1024;

} // namespace devsim
