// Request frames, the answers a correct console gives, and the judging of what comes back.
#include "ByteText.h"
#include "DevSimCore.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace devsim;

// The simulator frames and checks with a CRC of its own; on these frames, written out
// literally, it and the console's framing agree byte for byte, in both directions.
TEST(DevSimFrames, SimulatorAndConsoleAgreeOnKnownFrames) {
    struct TCase {
        TBytes Payload;
        TBytes Frame;
    };
    const TCase cases[] = {
        {Bytes({0x05, 0x01}), Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3})},
        {Bytes({0x06, 0x02}), Bytes({0x1E, 0x02, 0x06, 0x02, 0x74})},
        {Bytes({0x07, 0x02}), Bytes({0x1E, 0x02, 0x07, 0x02, 0xB0})},
        {Bytes({0x07, 0x03}), Bytes({0x1E, 0x02, 0x07, 0x03, 0xEE})},
        {Bytes({0x09, 0x01}), Bytes({0x1E, 0x02, 0x09, 0x01, 0x8E})},
        {Bytes({0x07, 0x02, 0x41}), Bytes({0x1E, 0x03, 0x07, 0x02, 0x41, 0xA5})},
        {{}, Bytes({0x1E, 0x00, 0x30})},
    };
    for (const TCase& c : cases) {
        const std::string what = "frame " + std::to_string(static_cast<uint8_t>(c.Frame.back()));
        EXPECT_EQ(MakeFrame(c.Payload), c.Frame) << what;
        EXPECT_EQ(Crc8(c.Frame.substr(0, c.Frame.size() - 1)), static_cast<uint8_t>(c.Frame.back()))
            << what;

        // The console builds the same bytes ...
        TRing body = {}, ring = {};
        body[0] = static_cast<uint8_t>(c.Payload.size());
        std::copy(c.Payload.begin(), c.Payload.end(), body + 1);
        uint8_t write = 0;
        ASSERT_TRUE(BuildPacket(PacketStart, body, 0, write, ring)) << what;
        EXPECT_EQ(TBytes(reinterpret_cast<const char*>(ring), write), c.Frame) << what;

        // ... and takes the simulator's frame for a valid one.
        TRing in = {}, got = {};
        uint8_t rd = 0, wr = 0;
        for (char b : MakeFrame(c.Payload))
            in[wr++] = static_cast<uint8_t>(b);
        ASSERT_TRUE(ExtractPacket(PacketStart, rd, wr, in, got, 0)) << what;
        EXPECT_EQ(TBytes(reinterpret_cast<const char*>(got + 1), got[0]), c.Payload) << what;
        EXPECT_EQ(rd, wr) << what;
    }
    EXPECT_EQ(MakeFrame(TBytes(252, 'x')).size(), 255u);
}

TEST(DevSimFrames, SimulatorCrcMatchesTheCatalogueAndEveryConsoleTableEntry) {
    EXPECT_EQ(Crc8("123456789"), 0xA1);
    EXPECT_EQ(Crc8(Bytes({0x1E})), 0x82);
    EXPECT_EQ(Crc8(""), 0x00);
    // The console's CRC of each single byte, from 0, is one entry of its table.
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(Crc8(Bytes({i})), Crc8Update(0, static_cast<uint8_t>(i))) << "byte " << i;
}

TEST(DevSimFrames, ExpectedAnswerFollowsTheResponderRules) {
    struct TCase {
        const char* What;
        TBytes Frame;
        TBytes Answer;
    };
    const TCase cases[] = {
        {"kind 1 is echoed", Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3}),
         Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3})},
        {"kind 2 is echoed", Bytes({0x1E, 0x02, 0x06, 0x02, 0x74}),
         Bytes({0x1E, 0x02, 0x06, 0x02, 0x74})},
        {"extra payload not echoed", Bytes({0x1E, 0x03, 0x07, 0x02, 0x41, 0xA5}),
         Bytes({0x1E, 0x02, 0x07, 0x02, 0xB0})},
        {"P1 zero is answered", MakeFrame(Bytes({0x00, 0x01})), MakeFrame(Bytes({0x00, 0x01}))},
        {"kind 3 gets nothing", Bytes({0x1E, 0x02, 0x07, 0x03, 0xEE}), {}},
        {"kind 0 gets nothing", MakeFrame(Bytes({0x07, 0x00})), {}},
        {"empty gets nothing", Bytes({0x1E, 0x00, 0x30}), {}},
        {"length 1 gets nothing", MakeFrame(Bytes({0x01})), {}},
        {"bad CRC gets nothing", Bytes({0x1E, 0x02, 0x05, 0x01, 0xC4}), {}},
        {"cut frame gets nothing", Bytes({0x1E, 0x02, 0x05, 0x01}), {}},
        {"no start byte", Bytes({0x1F, 0x02, 0x05, 0x01, 0xC3}), {}},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ExpectedAnswer(c.Frame), c.Answer) << c.What;
}

TEST(DevSimFrames, RequestsOfEveryKindHaveTheirShape) {
    std::mt19937 rng(7);
    std::map<int, int> p1Seen;
    for (int round = 0; round < 2000; ++round) {
        for (TRequestKind kind :
             {TRequestKind::Kind1, TRequestKind::Kind2, TRequestKind::Kind3, TRequestKind::Empty,
              TRequestKind::Damaged, TRequestKind::Garbage}) {
            const TRequest r = MakeRequest(kind, rng, round % 2 ? 3 : 0);
            ASSERT_EQ(r.Kind, kind);
            const size_t start = r.Bytes.find('\x1E');
            ASSERT_NE(start, TBytes::npos) << RequestKindName(kind);
            const TBytes frame = r.Bytes.substr(start);
            switch (kind) {
            case TRequestKind::Kind1:
            case TRequestKind::Kind2:
                ASSERT_EQ(start, 0u);
                ASSERT_EQ(r.Answer, ExpectedAnswer(frame));
                ASSERT_EQ(r.Answer.size(), 5u);
                ASSERT_EQ(r.Answer[3], kind == TRequestKind::Kind1 ? 1 : 2);
                ++p1Seen[static_cast<uint8_t>(r.Answer[2])];
                break;
            case TRequestKind::Kind3:
                ASSERT_EQ(frame[3], 3);
                ASSERT_TRUE(r.Answer.empty());
                break;
            case TRequestKind::Empty:
                ASSERT_EQ(r.Bytes, Bytes({0x1E, 0x00, 0x30}));
                ASSERT_TRUE(r.Answer.empty());
                break;
            case TRequestKind::Damaged:
                ASSERT_EQ(start, 0u);
                ASSERT_TRUE(r.Answer.empty());
                // Only the CRC is wrong: with the right CRC it would be an answered request.
                {
                    TBytes mended = frame.substr(0, frame.size() - 1);
                    ASSERT_EQ(MakeFrame(mended.substr(2)).substr(0, mended.size()), mended);
                    ASSERT_NE(MakeFrame(mended.substr(2)), frame);
                }
                ASSERT_EQ(frame.find('\x1E', 1), TBytes::npos) << "a second start byte";
                break;
            case TRequestKind::Garbage:
                ASSERT_GE(start, 1u);
                ASSERT_LE(start, 8u);
                ASSERT_FALSE(r.Answer.empty());
                ASSERT_EQ(r.Answer, ExpectedAnswer(frame));
                break;
            }
        }
    }
    EXPECT_EQ(p1Seen.size(), 256u) << "P1 takes every value";
}

TEST(DevSimFrames, PlanHoldsTheMixSpreadOutAndRepeatsForASeed) {
    const TRequestMix mix{200, 10, 5, 7, 3};
    std::mt19937 a(42), b(42), c(43);
    const auto plan = PlanRequests(mix, a);
    ASSERT_EQ(plan.size(), 225u);
    std::map<TRequestKind, unsigned> n;
    for (TRequestKind k : plan)
        ++n[k];
    EXPECT_EQ(n[TRequestKind::Kind1] + n[TRequestKind::Kind2], 200u);
    EXPECT_GT(n[TRequestKind::Kind1], 50u);
    EXPECT_GT(n[TRequestKind::Kind2], 50u);
    EXPECT_EQ(n[TRequestKind::Kind3], 10u);
    EXPECT_EQ(n[TRequestKind::Empty], 5u);
    EXPECT_EQ(n[TRequestKind::Damaged], 7u);
    EXPECT_EQ(n[TRequestKind::Garbage], 3u);
    const auto firstExtra = std::find_if(plan.begin(), plan.end(), [](TRequestKind k) {
        return k != TRequestKind::Kind1 && k != TRequestKind::Kind2;
    });
    EXPECT_LT(firstExtra - plan.begin(), 150) << "extras are spread over the run";
    EXPECT_EQ(PlanRequests(mix, b), plan);
    EXPECT_NE(PlanRequests(mix, c), plan);
}

// The request stream, fed to the console's own frame scanner one request at a time the way a
// responder sees it, gives exactly the answers the simulator expects: damaged and garbage
// requests never make a false frame that would swallow the next request.
TEST(DevSimFrames, TheConsolesScannerAnswersExactlyWhatIsExpected) {
    std::mt19937 rng(2024);
    const auto plan = PlanRequests(TRequestMix{3000, 300, 300, 600, 600}, rng);
    TRing ring = {}, body = {};
    uint8_t rd = 0, wr = 0;
    const uint8_t countdown = 10; // bytes keep arriving: an incomplete frame is waited for
    size_t k = 0;
    for (TRequestKind kind : plan) {
        const TRequest r = MakeRequest(kind, rng, 4);
        for (char c : r.Bytes)
            ring[wr++] = static_cast<uint8_t>(c);
        TBytes answers;
        while (ExtractPacket(PacketStart, rd, wr, ring, body, countdown)) {
            if (body[0] >= 2 && (body[2] == 1 || body[2] == 2))
                answers +=
                    MakeFrame(TBytes{static_cast<char>(body[1]), static_cast<char>(body[2])});
        }
        ASSERT_EQ(answers, r.Answer) << "request " << k << " (" << RequestKindName(kind) << ")";
        ++k;
    }
}

TEST(DevSimAnswerCheck, JudgesWhatComesBack) {
    const TBytes answer = Bytes({0x1E, 0x02, 0x05, 0x01, 0xC3});
    using V = TAnswerCheck::TVerdict;
    struct TCase {
        const char* What;
        TBytes Expected;
        std::vector<TBytes> Feeds;
        V Verdict;
        bool Complete;
        size_t Stray; // bytes not taken
    };
    const TCase cases[] = {
        {"exact", answer, {answer}, V::Ok, true, 0},
        {"split in three",
         answer,
         {answer.substr(0, 1), answer.substr(1, 3), answer.substr(4)},
         V::Ok,
         true,
         0},
        {"followed by more", answer, {answer + Bytes({0x1E, 0x02})}, V::Ok, true, 2},
        {"nothing", answer, {}, V::Missing, false, 0},
        {"cut short", answer, {answer.substr(0, 4)}, V::Wrong, false, 0},
        {"one byte off", answer, {Bytes({0x1E, 0x02, 0x05, 0x02, 0xC3})}, V::Wrong, true, 0},
        {"no answer wanted, none", {}, {}, V::Ok, false, 0},
        {"no answer wanted, one byte", {}, {Bytes({0x00})}, V::Wrong, false, 0},
    };
    for (const TCase& c : cases) {
        TAnswerCheck check;
        check.Expect(c.Expected);
        size_t stray = 0;
        for (const TBytes& f : c.Feeds)
            stray += f.size() - check.Feed(f);
        EXPECT_EQ(check.Verdict(), c.Verdict) << c.What;
        EXPECT_EQ(check.Complete(), c.Complete) << c.What;
        EXPECT_EQ(stray, c.Stray) << c.What;
    }
}

TEST(DevSimAnswerCheck, ExpectStartsAFreshAnswer) {
    TAnswerCheck check;
    check.Expect(Bytes({1, 2, 3, 4, 5}));
    check.Feed(Bytes({1, 2}));
    check.Expect(Bytes({6, 7, 8, 9, 10}));
    EXPECT_EQ(check.Verdict(), TAnswerCheck::TVerdict::Missing);
    check.Feed(Bytes({6, 7, 8, 9, 10}));
    EXPECT_EQ(check.Verdict(), TAnswerCheck::TVerdict::Ok);
}
