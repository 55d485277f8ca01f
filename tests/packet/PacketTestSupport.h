// Helpers of the packet tests: a CRC and frame builder of their own, independent of the
// table in the code under test, and the answerer the packet tests share, under its members'
// names.
#pragma once

#include "Util.h"
#include "uThread.h"

#include <algorithm>
#include <cstdint>
#include <vector>

using TBytes = std::vector<uint8_t>;

// The CRC step done bit by bit, least significant bit first, reflected polynomial 0x8C.
inline uint8_t BitwiseCrc8(uint8_t Crc, uint8_t Data) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool mix = (Crc ^ Data) & 1;
        Crc = static_cast<uint8_t>(Crc >> 1);
        if (mix)
            Crc ^= 0x8C;
        Data = static_cast<uint8_t>(Data >> 1);
    }
    return Crc;
}

inline uint8_t BitwiseCrc8(const TBytes& Bytes) {
    uint8_t crc = 0;
    for (uint8_t b : Bytes)
        crc = BitwiseCrc8(crc, b);
    return crc;
}

// 1E, L, payload, CRC.
inline TBytes Frame(const TBytes& Payload) {
    TBytes f;
    f.reserve(Payload.size() + 3);
    f.push_back(PacketStart);
    f.push_back(static_cast<uint8_t>(Payload.size()));
    for (uint8_t b : Payload)
        f.push_back(b);
    f.push_back(BitwiseCrc8(f));
    return f;
}

inline TAnswerer TestLink;
inline TRing& CaptureBuf = TestLink.CaptureBuf;
inline uint8_t& CaptureWr = TestLink.CaptureWr;
inline uint8_t& CaptureRd = TestLink.CaptureRd;
inline std::atomic<uint8_t>& RxCountdown = TestLink.RxCountdown;
inline TRing& PacketBuf = TestLink.PacketBuf;
inline uint8_t& SendRd = TestLink.SendRd;
inline uint8_t& SendWr = TestLink.SendWr;
inline TRing& AnswerBuf = TestLink.AnswerBuf;

// The scanner with the shared answerer's countdown.
inline bool ExtractPacket(uint8_t Start, uint8_t& Read, uint8_t Write, const TRing& Ring,
                          TRing& Body) {
    return ExtractPacket(Start, Read, Write, Ring, Body, RxCountdown.load());
}

// Puts the packet link back to its start state, with the capture ring and the answer ring
// empty at the given positions.
inline void ResetPacketLink(uint8_t CaptureAt = 0, uint8_t SendAt = 0) {
    std::fill(std::begin(CaptureBuf), std::end(CaptureBuf), 0);
    std::fill(std::begin(PacketBuf), std::end(PacketBuf), 0);
    std::fill(std::begin(AnswerBuf), std::end(AnswerBuf), 0);
    CaptureRd = CaptureWr = CaptureAt;
    SendRd = SendWr = SendAt;
    RxCountdown = 0;
}

// What the window's capture does with received bytes.
inline void Capture(const TBytes& Bytes) {
    for (uint8_t b : Bytes)
        CaptureBuf[CaptureWr++] = b;
}
