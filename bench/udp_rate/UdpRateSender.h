// A bounded datagram source for measuring how fast the console's UDP link takes device traffic.
// It sends only to 127.0.0.1.
#pragma once

#include <cstdint>
#include <random>
#include <string>

// One datagram of the device-like mix: 20 to 200 bytes, about a third each of plain position
// reports, "HELLO" greetings and "IMEI" reports. None contains "ACT" or "SSI".
std::string UdpRateDatagram(std::mt19937& ARng);

struct TUdpRateSent {
    long Sent = 0;        // datagrams handed to the system whole
    double Seconds = 0;   // from the first send to the last
    double MaxLateMs = 0; // paced runs: the furthest the sender fell behind its schedule
};

// Sends up to ACount datagrams from an ephemeral 127.0.0.1 port to 127.0.0.1:APort, ARate a
// second (0: as fast as the system takes them), and stops after ATimeLimitMs in any case.
// AStop, when given, ends the run early once it is set.
TUdpRateSent SendUdpRate(int APort, long ACount, int ARate, int ATimeLimitMs, uint32_t ASeed,
                         const volatile bool* AStop = nullptr);
