#include "Util.h"

#include <array>

namespace {
constexpr std::array<uint8_t, 256> MakeCrcTable() {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = 0, data = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc ^ data) & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C)
                                     : static_cast<uint8_t>(crc >> 1);
            data >>= 1;
        }
        table[i] = crc;
    }
    return table;
}
constexpr auto CrcTable = MakeCrcTable();
} // namespace

uint8_t Crc8Update(uint8_t Crc, uint8_t Data) {
    return CrcTable[Crc ^ Data];
}

void TickCountdown(std::atomic<uint8_t>& Countdown) {
    uint8_t ticks = Countdown.load();
    while (ticks > 0 && !Countdown.compare_exchange_weak(ticks, static_cast<uint8_t>(ticks - 1))) {
    }
}

bool ExtractPacket(uint8_t Start, uint8_t& Read, uint8_t Write, const TRing& Ring, TRing& Body,
                   uint8_t Countdown) {
    if (Read == Write)
        return false;
    for (;;) {
        uint8_t i = Read;
        uint8_t b = Ring[i++];
        bool incomplete = false;
        bool candidate = false;
        if (i == Write) {
            incomplete = true;
        } else if (b == Start) {
            candidate = true;
            uint8_t crc = Crc8Update(0, b);
            uint8_t len = Ring[i];
            // The copy counter runs 0..L as an 8-bit value; a length of 253..255 runs into
            // the write index before it completes.
            for (unsigned k = 0; k <= len; ++k) {
                Body[k] = Ring[i++];
                if (i == Write) {
                    incomplete = true;
                    break;
                }
                crc = Crc8Update(crc, Body[k]);
            }
            if (!incomplete && Ring[i] == crc) {
                Read = static_cast<uint8_t>(i + 1);
                return true;
            }
        }
        (void)candidate;
        if (incomplete && Countdown != 0)
            return false;
        ++Read; // skip one byte, not the whole candidate
        if (Read == Write)
            return false;
    }
}

bool BuildPacket(uint8_t Start, const TRing& Data, uint8_t Limit, uint8_t& Write, TRing& Ring) {
    const unsigned len = Data[0];
    const unsigned n = len + 3;
    uint8_t p = Write;
    uint8_t crc = 0;
    uint8_t next = Start;
    for (unsigned emitted = 0; emitted < n;) {
        Ring[p++] = next;
        if (p == Limit)
            return false;
        crc = Crc8Update(crc, next);
        ++emitted;
        if (emitted <= len + 1)
            next = Data[emitted - 1];
        else
            next = crc;
    }
    Write = p;
    return true;
}
