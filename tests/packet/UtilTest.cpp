// CRC-8, frame building and frame extraction over 256-byte rings.
#include "Util.h"
#include "PacketTestSupport.h"
#include "uThread.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

// Sets RxCountdown for one test and leaves it at zero afterwards.
class TCountdown {
public:
    explicit TCountdown(uint8_t Ticks) { RxCountdown = Ticks; }
    ~TCountdown() { RxCountdown = 0; }
    void Set(uint8_t Ticks) { RxCountdown = Ticks; }
};

// A ring of received bytes with its two indices, starting empty at a chosen position.
struct TReceiveRing {
    TRing ring{};
    TRing body{};
    uint8_t read;
    uint8_t write;

    explicit TReceiveRing(uint8_t At = 0) : read(At), write(At) {}
    void Put(const TBytes& Bytes) {
        for (uint8_t b : Bytes)
            ring[write++] = b;
    }
    bool Extract() { return ExtractPacket(PacketStart, read, write, ring, body); }
    TBytes Body() const { return TBytes(body, body + body[0] + 1); }
    unsigned Unread() const { return static_cast<uint8_t>(write - read); }
};

// Positions at which the ring tests start, so that frames also lie across the wrap.
const uint8_t RingStarts[] = {0, 100, 250, 254, 255};

TBytes Concat(std::initializer_list<TBytes> Parts) {
    TBytes all;
    for (const auto& p : Parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

// --- CRC-8 ----------------------------------------------------------------------------------

TEST(Crc8, TableStepEqualsBitwiseStepForEveryCrcAndData) {
    for (unsigned crc = 0; crc < 256; ++crc)
        for (unsigned data = 0; data < 256; ++data)
            ASSERT_EQ(Crc8Update(crc, data), BitwiseCrc8(crc, data))
                << "crc " << crc << " data " << data;
}

TEST(Crc8, KnownValues) {
    uint8_t crc = 0;
    for (char c : std::string("123456789"))
        crc = Crc8Update(crc, static_cast<uint8_t>(c));
    EXPECT_EQ(crc, 0xA1);
    EXPECT_EQ(Crc8Update(0, 0x1E), 0x82);
    const uint8_t firstEntries[] = {0x00, 0x5E, 0xBC, 0xE2, 0x61};
    for (uint8_t i = 0; i < 5; ++i)
        EXPECT_EQ(Crc8Update(0, i), firstEntries[i]) << "entry " << int(i);
}

// --- BuildPacket -----------------------------------------------------------------------------

struct TFrameCase {
    TBytes payload;
    TBytes frame;
};

const TFrameCase KnownFrames[] = {
    {{0x05, 0x01}, {0x1E, 0x02, 0x05, 0x01, 0xC3}},
    {{0x07, 0x02, 0x41}, {0x1E, 0x03, 0x07, 0x02, 0x41, 0xA5}},
    {{}, {0x1E, 0x00, 0x30}},
    {{0x07, 0x02}, {0x1E, 0x02, 0x07, 0x02, 0xB0}},
    {{0x07, 0x03}, {0x1E, 0x02, 0x07, 0x03, 0xEE}},
    {{0x06, 0x02}, {0x1E, 0x02, 0x06, 0x02, 0x74}},
    {{0x09, 0x01}, {0x1E, 0x02, 0x09, 0x01, 0x8E}},
};

TEST(BuildPacket, WritesKnownFramesIntoAnEmptyRing) {
    for (const auto& c : KnownFrames) {
        ASSERT_EQ(Frame(c.payload), c.frame); // the tests' own builder agrees with the literals
        for (uint8_t at : RingStarts) {
            TRing data{}, ring{};
            data[0] = static_cast<uint8_t>(c.payload.size());
            std::copy(c.payload.begin(), c.payload.end(), data + 1);
            uint8_t write = at;
            ASSERT_TRUE(BuildPacket(PacketStart, data, at, write, ring));
            EXPECT_EQ(write, static_cast<uint8_t>(at + c.frame.size()));
            for (size_t k = 0; k < c.frame.size(); ++k)
                EXPECT_EQ(ring[static_cast<uint8_t>(at + k)], c.frame[k]) << "byte " << k;
        }
    }
}

TEST(BuildPacket, StopsShortOfTheLimit) {
    TRing data{0x02, 0x05, 0x01}, ring{};
    uint8_t write = 0;
    EXPECT_FALSE(BuildPacket(PacketStart, data, 5, write, ring));
    EXPECT_EQ(write, 0);
    EXPECT_TRUE(BuildPacket(PacketStart, data, 6, write, ring));
    EXPECT_EQ(write, 5);
}

TEST(BuildPacket, WrapsAtTheEndOfTheRing) {
    TRing data{0x02, 0x05, 0x01}, ring{};
    uint8_t write = 254;
    ASSERT_TRUE(BuildPacket(PacketStart, data, 254, write, ring));
    EXPECT_EQ(write, 3);
    const TBytes got{ring[254], ring[255], ring[0], ring[1], ring[2]};
    EXPECT_EQ(got, (TBytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
}

// A frame of L payload bytes fits exactly when L + 3 <= (limit - write - 1) mod 256.
TEST(BuildPacket, FitsExactlyWhenTheRingKeepsOneFreePosition) {
    for (uint8_t write0 : {0, 3, 200, 255})
        for (unsigned len : {0u, 2u, 100u, 252u})
            for (unsigned limit = 0; limit < 256; ++limit) {
                TRing data{}, ring{};
                data[0] = static_cast<uint8_t>(len);
                for (unsigned k = 1; k <= len; ++k)
                    data[k] = static_cast<uint8_t>(k * 7);
                uint8_t write = write0;
                const unsigned room = static_cast<uint8_t>(limit - write0 - 1);
                const bool ok = BuildPacket(PacketStart, data, limit, write, ring);
                ASSERT_EQ(ok, len + 3 <= room)
                    << "write " << int(write0) << " len " << len << " limit " << limit;
                ASSERT_EQ(write, ok ? static_cast<uint8_t>(write0 + len + 3) : write0);
            }
}

TEST(BuildPacket, WhatItBuildsExtractsToTheSameBody) {
    std::mt19937 rng(7);
    for (unsigned len = 0; len <= 252; ++len) {
        const uint8_t at = static_cast<uint8_t>(rng());
        TRing data{};
        data[0] = static_cast<uint8_t>(len);
        for (unsigned k = 1; k <= len; ++k)
            data[k] = static_cast<uint8_t>(rng());
        TReceiveRing r(at);
        ASSERT_TRUE(BuildPacket(PacketStart, data, r.read, r.write, r.ring));
        ASSERT_TRUE(r.Extract()) << "len " << len;
        EXPECT_EQ(r.Body(), TBytes(data, data + len + 1));
        EXPECT_EQ(r.read, r.write);
    }
}

// --- ExtractPacket --------------------------------------------------------------------------

TEST(ExtractPacket, EmptyRingGivesNothing) {
    for (uint8_t ticks : {0, 10}) {
        TCountdown cd(ticks);
        TReceiveRing r(77);
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, 77);
    }
}

TEST(ExtractPacket, GarbageBeforeAFrameIsConsumedByTheSameCall) {
    TCountdown cd(10);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put({0x11, 0x22, 0x1E, 0x02, 0x09, 0x01, 0x8E});
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x09, 0x01}));
        EXPECT_EQ(r.read, r.write);
    }
}

TEST(ExtractPacket, TwoFramesComeOutOneCallEach) {
    TCountdown cd(10);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put({0x1E, 0x02, 0x05, 0x01, 0xC3, 0x1E, 0x02, 0x06, 0x02, 0x74});
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x05, 0x01}));
        EXPECT_EQ(r.read, static_cast<uint8_t>(at + 5));
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x06, 0x02}));
        EXPECT_EQ(r.read, r.write);
        EXPECT_FALSE(r.Extract());
    }
}

TEST(ExtractPacket, EmptyPayloadFrameIsValid) {
    TCountdown cd(10);
    TReceiveRing r(255);
    r.Put({0x1E, 0x00, 0x30});
    ASSERT_TRUE(r.Extract());
    EXPECT_EQ(r.body[0], 0);
    EXPECT_EQ(r.read, r.write);
}

TEST(ExtractPacket, WrongCrcIsSkippedAndTheScanGoesOnInTheSameCall) {
    TCountdown cd(10);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put({0x1E, 0x02, 0x05, 0x01, 0xC4, 0x1E, 0x02, 0x06, 0x02, 0x74});
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x06, 0x02}));
        EXPECT_EQ(r.read, r.write);
    }
}

TEST(ExtractPacket, WrongCrcAloneIsNeverReturned) {
    TCountdown cd(10);
    TReceiveRing r(250);
    r.Put({0x1E, 0x02, 0x05, 0x01, 0xC4});
    EXPECT_FALSE(r.Extract());
    // Past the false start byte; the last byte is held as a possible beginning.
    EXPECT_EQ(r.Unread(), 1u);
    cd.Set(0);
    EXPECT_FALSE(r.Extract());
    EXPECT_EQ(r.read, r.write);
}

TEST(ExtractPacket, StartByteInsideADamagedFrameBeginsTheNextCandidate) {
    TCountdown cd(10);
    // 1E 07 then seven bytes that hold a whole frame, then a byte that is not the CRC of
    // the outer candidate.
    const TBytes inner{0x1E, 0x02, 0x05, 0x01, 0xC3};
    TBytes outer = Concat({{0x1E, 0x07, 0x00}, inner, {0x00}});
    const uint8_t outerCrc = BitwiseCrc8(outer);
    outer.push_back(static_cast<uint8_t>(outerCrc ^ 0x01));
    ASSERT_EQ(outer.size(), 7u + 3u);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put(outer);
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x05, 0x01}));
        EXPECT_EQ(r.read, static_cast<uint8_t>(at + 3 + inner.size()));
    }
}

TEST(ExtractPacket, CutFrameIsHeldWhileBytesKeepArriving) {
    TCountdown cd(10);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put({0x11, 0x22, 0x1E, 0x02, 0x05});
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, static_cast<uint8_t>(at + 2)); // on the start byte
        EXPECT_FALSE(r.Extract());                       // and it stays there
        EXPECT_EQ(r.read, static_cast<uint8_t>(at + 2));
        r.Put({0x01, 0xC3});
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), (TBytes{0x02, 0x05, 0x01}));
        EXPECT_EQ(r.read, r.write);
    }
}

TEST(ExtractPacket, CutFrameIsGivenUpOnceTheCountdownHasRunOut) {
    TCountdown cd(0);
    for (uint8_t at : RingStarts) {
        TReceiveRing r(at);
        r.Put({0x11, 0x22, 0x1E, 0x02, 0x05});
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, r.write);
        r.Put({0x01, 0xC3});
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, r.write);
    }
}

TEST(ExtractPacket, LastSingleByteIsHeldUntilTheCountdownRunsOut) {
    for (uint8_t b : {0x11, 0x1E}) {
        TCountdown cd(1);
        TReceiveRing r(255);
        r.Put({b});
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, 255) << "byte " << int(b);
        cd.Set(0);
        EXPECT_FALSE(r.Extract());
        EXPECT_EQ(r.read, 0) << "byte " << int(b);
    }
}

// A length of 253 to 255 cannot lie whole in a ring that holds at most 255 bytes.
TEST(ExtractPacket, LengthsAbove252NeverComplete) {
    for (unsigned len : {253u, 254u, 255u}) {
        TBytes payload(len);
        for (unsigned k = 0; k < len; ++k)
            payload[k] = static_cast<uint8_t>(0x40 + k % 0x40); // no start byte inside
        TBytes full = Frame(payload);
        full.resize(255); // as much of it as the ring can hold
        TCountdown cd(10);
        TReceiveRing r(13);
        r.Put(full);
        ASSERT_EQ(r.Unread(), 255u);
        EXPECT_FALSE(r.Extract()) << "len " << len;
        EXPECT_EQ(r.read, 13);
        cd.Set(0);
        EXPECT_FALSE(r.Extract()) << "len " << len;
        EXPECT_EQ(r.read, r.write);
    }
}

TEST(ExtractPacket, LengthFFIsConsumedByteByByteOnceTheCountdownRunsOut) {
    TCountdown cd(10);
    TReceiveRing r(200);
    r.Put({0x1E, 0xFF, 0x01, 0x02, 0x03});
    EXPECT_FALSE(r.Extract());
    EXPECT_EQ(r.read, 200);
    // A valid frame behind it is found only once the held candidate is given up.
    r.Put({0x1E, 0x02, 0x05, 0x01, 0xC3});
    EXPECT_FALSE(r.Extract());
    EXPECT_EQ(r.read, 200);
    cd.Set(0);
    ASSERT_TRUE(r.Extract());
    EXPECT_EQ(r.Body(), (TBytes{0x02, 0x05, 0x01}));
    EXPECT_EQ(r.read, r.write);
}

TEST(ExtractPacket, FrameThatFillsTheRingExactlyIsReturned) {
    TCountdown cd(10);
    std::mt19937 rng(252);
    for (uint8_t at : RingStarts) {
        TBytes payload(252);
        for (auto& b : payload)
            b = static_cast<uint8_t>(rng()); // start bytes inside too
        TReceiveRing r(at);
        r.Put(Frame(payload));
        ASSERT_EQ(r.Unread(), 255u);
        ASSERT_TRUE(r.Extract());
        EXPECT_EQ(r.Body(), Concat({{252}, payload}));
        EXPECT_EQ(r.read, r.write);
    }
}

// Valid frames mixed with garbage and damaged frames, fed in chunks of random size while
// bytes keep arriving, come out whole and in order. Garbage and damaged frames hold no start
// byte other than a damaged frame's own first one, and a damaged frame keeps its length, so
// its candidate ends on its own last byte and is refuted: no false frame can form.
TEST(ExtractPacket, RandomStreamGivesBackExactlyTheValidFrames) {
    std::mt19937 rng(0x7E7A0);
    auto byteBut1E = [&] {
        uint8_t b;
        do
            b = static_cast<uint8_t>(rng());
        while (b == PacketStart);
        return b;
    };
    auto length = [&] {
        unsigned len;
        do
            len = rng() % 2 ? rng() % 9 : rng() % 253;
        while (len == PacketStart);
        return len;
    };

    TBytes stream;
    std::vector<TBytes> expected;
    unsigned damaged = 0;
    for (int item = 0; item < 3000; ++item) {
        switch (rng() % 3) {
        case 0: { // a valid frame, any payload bytes
            TBytes payload(length());
            for (auto& b : payload)
                b = static_cast<uint8_t>(rng());
            const TBytes f = Frame(payload);
            stream.insert(stream.end(), f.begin(), f.end());
            expected.push_back(Concat({{static_cast<uint8_t>(payload.size())}, payload}));
            break;
        }
        case 1: { // garbage
            const unsigned n = 1 + rng() % 20;
            for (unsigned k = 0; k < n; ++k)
                stream.push_back(byteBut1E());
            break;
        }
        default: { // a frame with one payload or CRC byte changed
            TBytes payload(length());
            for (auto& b : payload)
                b = byteBut1E();
            TBytes f = Frame(payload);
            size_t pos = 2 + rng() % (payload.size() + 1);
            if (f.back() == PacketStart)
                pos = f.size() - 1;
            const uint8_t was = f[pos];
            while (f[pos] == was || f[pos] == PacketStart)
                f[pos] = static_cast<uint8_t>(rng());
            const TBytes covered(f.begin(), f.end() - 1);
            ASSERT_NE(BitwiseCrc8(covered), f.back());
            ASSERT_EQ(std::count(f.begin(), f.end(), PacketStart), 1);
            stream.insert(stream.end(), f.begin(), f.end());
            ++damaged;
            break;
        }
        }
    }
    ASSERT_GT(expected.size(), 800u);
    ASSERT_GT(damaged, 800u);

    TCountdown cd(10);
    TReceiveRing r(static_cast<uint8_t>(rng()));
    std::vector<TBytes> got;
    size_t fed = 0;
    while (fed < stream.size()) {
        size_t chunk = rng() % 4 == 0 ? 1 + rng() % 255 : 1 + rng() % 16;
        chunk = std::min({chunk, stream.size() - fed, size_t(255 - r.Unread())});
        ASSERT_GT(chunk, 0u) << "the ring is full with " << r.Unread() << " unread bytes";
        r.Put(TBytes(stream.begin() + fed, stream.begin() + fed + chunk));
        fed += chunk;
        while (r.Extract())
            got.push_back(r.Body());
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    cd.Set(0);
    EXPECT_FALSE(r.Extract());
    EXPECT_EQ(r.read, r.write);
}

TEST(PacketCapture, CaptureBytesAppendsFromTheWriteIndexAndWraps) {
    struct TCase {
        const char* What;
        uint8_t At;
        size_t Count;     // bytes 1, 2, 3, ... (mod 256) are captured
        uint8_t WriteEnd; // CaptureWr afterwards
        uint8_t Pos;      // a position to look at afterwards
        uint8_t Holds;    // what it holds
    };
    const TCase cases[] = {
        {"three bytes", 0, 3, 3, 2, 3},
        {"nothing", 7, 0, 7, 7, 0},
        {"across the wrap", 254, 3, 1, 0, 3},
        {"a whole ring is empty again", 10, 256, 10, 10, 1},
        {"300 bytes overwrite the oldest", 0, 300, 44, 43, 300 % 256},
    };
    for (const TCase& c : cases) {
        ResetPacketLink(c.At);
        std::string bytes;
        for (size_t i = 1; i <= c.Count; ++i)
            bytes += static_cast<char>(i);
        TestLink.CaptureBytes(bytes.data(), bytes.size());
        EXPECT_EQ(CaptureWr, c.WriteEnd) << c.What;
        EXPECT_EQ(CaptureRd, c.At) << c.What << ": the capture never moves the read index";
        EXPECT_EQ(CaptureBuf[c.Pos], c.Holds) << c.What;
    }
    ResetPacketLink();
}

TEST(PacketCapture, TickCountdownLowersToZeroAndStaysThere) {
    const std::pair<uint8_t, uint8_t> cases[] = {{10, 9}, {2, 1}, {1, 0}, {0, 0}, {255, 254}};
    for (const auto& [before, after] : cases) {
        RxCountdown = before;
        TestLink.TickCountdown();
        EXPECT_EQ(RxCountdown.load(), after) << int(before);
    }
    RxCountdown = 0;
}
