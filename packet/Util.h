// The packet link: CRC-8, frames in 256-byte rings with 8-bit indices, and its shared state.
#pragma once

#include <atomic>
#include <cstdint>

using TRing = uint8_t[256];

constexpr uint8_t PacketStart = 0x1E;

// Dallas/Maxim 1-Wire CRC-8 (reflected 0x31, initial 0, no final XOR): the CRC after Data.
uint8_t Crc8Update(uint8_t Crc, uint8_t Data);

// Takes the oldest valid frame that begins with Start out of the unread bytes of Ring
// (Read up to Write). On success Body[0] is the length and Body[1..L] the payload, and Read
// points past the CRC. Bytes that begin no valid frame are consumed; an incomplete frame is
// kept while Countdown (the receive countdown's ticks left) is not zero.
bool ExtractPacket(uint8_t Start, uint8_t& Read, uint8_t Write, const TRing& Ring, TRing& Body,
                   uint8_t Countdown);

// Writes Start, Data[0] (= L), Data[1..L] and the CRC into Ring from Write on, wrapping at 256.
// Fails, leaving Write unchanged, when the frame would reach Limit (the ring's read index).
bool BuildPacket(uint8_t Start, const TRing& Data, uint8_t Limit, uint8_t& Write, TRing& Ring);

// One tick of the status timer: lowers Countdown by one unless it is 0 already, in one atomic
// step (the responder thread writes it too, once, when it starts).
void TickCountdown(std::atomic<uint8_t>& Countdown);
