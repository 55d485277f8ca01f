// The frame scanner and builder over random rings, indices and countdowns. The CRC and the
// frame rules of the checks come from the bitwise definition in the packet tests' helpers.
#include "FuzzCheck.h"
#include "PacketTestSupport.h"
#include "Util.h"

#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

uint8_t Distance(uint8_t From, uint8_t To) {
    return static_cast<uint8_t>(To - From);
}

// True when a frame with a right CRC begins at P and lies wholly in the unread bytes up to
// Write.
bool ValidFrameAt(const TRing& Ring, uint8_t P, uint8_t Write) {
    const unsigned unread = Distance(P, Write);
    if (unread < 3 || Ring[P] != PacketStart)
        return false;
    const unsigned len = Ring[static_cast<uint8_t>(P + 1)];
    if (len + 3 > unread)
        return false;
    uint8_t crc = 0;
    for (unsigned k = 0; k < len + 2; ++k)
        crc = BitwiseCrc8(crc, Ring[static_cast<uint8_t>(P + k)]);
    return crc == Ring[static_cast<uint8_t>(P + len + 2)];
}

void CheckScan(FuzzedDataProvider& In) {
    TRing ring{};
    const uint8_t read = In.ConsumeIntegral<uint8_t>();
    const uint8_t write = In.ConsumeIntegral<uint8_t>();
    const uint8_t countdown = In.ConsumeIntegral<uint8_t>() % 4;
    // Dense start bytes make candidates; sometimes a real frame is planted in the unread bytes.
    for (int i = 0; i < 256; ++i) {
        const uint8_t b = In.ConsumeIntegral<uint8_t>();
        ring[i] = (b & 0xE0) == 0xE0 ? PacketStart : b;
    }
    if (In.ConsumeBool()) {
        const uint8_t at = static_cast<uint8_t>(read + In.ConsumeIntegral<uint8_t>());
        const TBytes payload = In.ConsumeBytes<uint8_t>(In.ConsumeIntegralInRange(0, 20));
        const TBytes f = Frame(payload);
        for (size_t k = 0; k < f.size(); ++k)
            ring[static_cast<uint8_t>(at + k)] = f[k];
    }
    RxCountdown = countdown;

    uint8_t r = read;
    TRing body{};
    const bool got = ExtractPacket(PacketStart, r, write, ring, body);

    // The read index moves forward only, and never past the write index.
    FUZZ_CHECK(Distance(read, r) <= Distance(read, write));

    // Only unread bytes are looked at: the same scan over a ring whose other bytes differ
    // gives the same answer.
    TRing other;
    for (int i = 0; i < 256; ++i)
        other[i] = Distance(read, static_cast<uint8_t>(i)) < Distance(read, write)
                       ? ring[i]
                       : static_cast<uint8_t>(~ring[i] ^ i);
    uint8_t r2 = read;
    TRing body2{};
    const bool got2 = ExtractPacket(PacketStart, r2, write, other, body2);
    FUZZ_CHECK(got2 == got && r2 == r);

    if (got) {
        // The frame ends just before the new read index and has a right CRC.
        const unsigned len = body[0];
        FUZZ_CHECK(len <= 252);
        FUZZ_CHECK(Distance(read, r) >= len + 3);
        const uint8_t start = static_cast<uint8_t>(r - (len + 3));
        FUZZ_CHECK(ValidFrameAt(ring, start, write));
        for (unsigned k = 0; k <= len; ++k)
            FUZZ_CHECK(body[k] == ring[static_cast<uint8_t>(start + 1 + k)]);
        FUZZ_CHECK(std::memcmp(body, body2, len + 1) == 0);
        // It is the oldest one: no valid frame begins before it.
        for (uint8_t p = read; p != start; ++p)
            FUZZ_CHECK(!ValidFrameAt(ring, p, write));
    } else {
        // Nothing valid was passed over...
        for (uint8_t p = read; p != r; ++p)
            FUZZ_CHECK(!ValidFrameAt(ring, p, write));
        if (countdown == 0) {
            // ...and with no bytes arriving lately nothing is kept.
            FUZZ_CHECK(r == write);
        } else if (r != write) {
            // ...and what is kept waits for more bytes: a cut candidate or the last byte.
            FUZZ_CHECK(ring[r] == PacketStart || Distance(r, write) == 1);
            FUZZ_CHECK(!ValidFrameAt(ring, r, write));
        }
    }
    RxCountdown = 0;
}

void CheckBuild(FuzzedDataProvider& In) {
    TRing data{};
    const unsigned len = In.ConsumeIntegralInRange(0, 252);
    data[0] = static_cast<uint8_t>(len);
    for (unsigned k = 1; k <= len; ++k)
        data[k] = In.ConsumeIntegral<uint8_t>();
    const uint8_t write = In.ConsumeIntegral<uint8_t>();
    const uint8_t limit = In.ConsumeBool() ? write : In.ConsumeIntegral<uint8_t>();
    TRing ring{};
    for (auto& b : ring)
        b = 0xA5;
    uint8_t w = write;
    const bool built = BuildPacket(PacketStart, data, limit, w, ring);
    // Room: the frame needs len + 3 positions and may not reach the limit (an empty ring,
    // limit == write, has 255).
    const unsigned room = limit == write ? 255 : Distance(write, limit) - 1;
    FUZZ_CHECK(built == (len + 3 <= room));
    if (!built) {
        FUZZ_CHECK(w == write);
        return;
    }
    FUZZ_CHECK(Distance(write, w) == len + 3);
    TBytes payload(data + 1, data + 1 + len);
    const TBytes f = Frame(payload);
    for (size_t k = 0; k < f.size(); ++k)
        FUZZ_CHECK(ring[static_cast<uint8_t>(write + k)] == f[k]);
    // A built frame scans back to the same body.
    RxCountdown = 0;
    uint8_t r = write;
    TRing body{};
    FUZZ_CHECK(ExtractPacket(PacketStart, r, w, ring, body));
    FUZZ_CHECK(r == w);
    FUZZ_CHECK(std::memcmp(body, data, len + 1) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    if (in.ConsumeBool())
        CheckScan(in);
    else
        CheckBuild(in);
    return 0;
}
