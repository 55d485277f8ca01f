// Statistics, byte-text escapes, the JSON text, datagram texts, flood contents and commands.
#include "DevSimCore.h"
#include "TestJson.h"

#include <gtest/gtest.h>

#include <set>

using namespace devsim;

using devsim_test::DecodeJsonString;

TEST(DevSimStats, MedianPercentileAndMax) {
    TRttStats s;
    EXPECT_EQ(s.Median(), 0);
    EXPECT_EQ(s.Percentile(99), 0);
    EXPECT_EQ(s.Max(), 0);
    for (double v : {5.0, 1.0, 3.0})
        s.Add(v);
    EXPECT_EQ(s.Median(), 3);
    s.Add(10);
    EXPECT_EQ(s.Median(), 4); // mean of 3 and 5
    EXPECT_EQ(s.Max(), 10);
    EXPECT_EQ(s.Percentile(99), 10);
    EXPECT_EQ(s.Percentile(50), 3);
    EXPECT_EQ(s.Count(), 4u);
}

TEST(DevSimStats, NearestRankPercentileOnLargeSets) {
    TRttStats hundred, thousand;
    for (int v = 100; v >= 1; --v)
        hundred.Add(v);
    for (int v = 1; v <= 1000; ++v)
        thousand.Add(v);
    EXPECT_EQ(hundred.Percentile(99), 99);
    EXPECT_EQ(hundred.Percentile(100), 100);
    EXPECT_EQ(hundred.Percentile(1), 1);
    EXPECT_EQ(hundred.Median(), 50.5);
    EXPECT_EQ(thousand.Percentile(99), 990);
    EXPECT_EQ(thousand.Percentile(99.9), 999);
}

TEST(DevSimText, EscapesAndHex) {
    EXPECT_EQ(ParseEscaped("AT\\r\\n"), TBytes("AT\r\n"));
    EXPECT_EQ(ParseEscaped("\\0\\e\\t\\\\"), TBytes("\0\x1b\t\\", 4));
    EXPECT_EQ(ParseEscaped("\\x1E\\xff"), TBytes("\x1e\xff"));
    EXPECT_EQ(ParseEscaped("plain"), TBytes("plain"));
    EXPECT_EQ(ParseEscaped(""), TBytes(""));
    for (const char* bad : {"\\", "\\q", "\\x", "\\x1", "\\xG0", "a\\x4"})
        EXPECT_FALSE(ParseEscaped(bad)) << bad;
    EXPECT_EQ(ParseHex("1E 02 05 01 C3"), TBytes("\x1e\x02\x05\x01\xc3"));
    EXPECT_EQ(ParseHex("1e0200"), TBytes("\x1e\x02\x00", 3));
    for (const char* bad : {"1", "1E 0", "zz", "1E-02"})
        EXPECT_FALSE(ParseHex(bad)) << bad;
}

TEST(DevSimJson, EveryByteValueSurvivesAStringRoundTrip) {
    TBytes all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string json = JsonString(all);
    for (unsigned char c : json)
        ASSERT_TRUE(c >= 0x20 && c < 0x7F) << "raw byte " << int(c) << " in JSON text";
    EXPECT_EQ(DecodeJsonString(json), all);
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(TBytes("\0", 1)), "\"\\u0000\"");
    EXPECT_EQ(JsonString("\xe9"), "\"\\u00e9\"");
}

TEST(DevSimJson, ObjectMembersInOrder) {
    TJsonObject o;
    o.Add("mode", "packet").Add("n", 3).Add("big", 18446744073709551615ull).Add("neg", -2);
    o.Add("ms", 1.23456).Add("nan", 0.0 / 0.0).Add("yes", true).AddNull("none");
    o.AddRaw("list", "[1,2]");
    EXPECT_EQ(o.Str(), "{\"mode\":\"packet\",\"n\":3,\"big\":18446744073709551615,\"neg\":-2,"
                       "\"ms\":1.235,\"nan\":null,\"yes\":true,\"none\":null,\"list\":[1,2]}");
    EXPECT_EQ(TJsonObject().Str(), "{}");
}

TEST(DevSimUdp, EachDatagramKindCarriesOnlyItsKeyword) {
    struct TCase {
        const char* Kind;
        const char* Keyword; // nullptr: none at all
    };
    const TCase cases[] = {
        {"hello", "HELLO"}, {"ssi", "SSI"}, {"imei", "IMEI"}, {"act", "ACT"}, {"text", nullptr}};
    for (const TCase& c : cases) {
        const auto d = DatagramFor(c.Kind);
        ASSERT_TRUE(d) << c.Kind;
        for (const char* k : {"ACT", "SSI", "HELLO", "IMEI"})
            EXPECT_EQ(ContainsKeyword(*d, k), c.Keyword && std::string(k) == c.Keyword)
                << c.Kind << " / " << k;
        EXPECT_EQ(d->find('\0'), TBytes::npos);
    }
    EXPECT_FALSE(DatagramFor("HELLO"));
    EXPECT_FALSE(DatagramFor(""));
    EXPECT_TRUE(ContainsKeyword("contact", "ACT"));
    EXPECT_FALSE(ContainsKeyword("a c t", "ACT"));
}

TEST(DevSimUdp, OnlyTheLoopbackAddressIsATarget) {
    EXPECT_FALSE(RefuseTarget("127.0.0.1"));
    for (const char* bad : {"127.0.0.2", "localhost", "10.0.0.1", "0.0.0.0", "", "127.0.0.1 "}) {
        const auto r = RefuseTarget(bad);
        ASSERT_TRUE(r) << bad;
        EXPECT_NE(r->find("127.0.0.1"), std::string::npos);
        EXPECT_NE(r->find(std::string("\"") + bad + "\""), std::string::npos) << *r;
    }
}

TEST(DevSimFlood, TextLinesArePrintableEightyByteLines) {
    std::set<TBytes> seen;
    for (uint64_t i : {0ull, 1ull, 2ull, 99ull, 123456789ull, 999999999999ull}) {
        const TBytes l = FloodTextLine(i);
        ASSERT_EQ(l.size(), FloodLineSize);
        EXPECT_EQ(l.substr(78), "\r\n");
        for (size_t k = 0; k < 78; ++k)
            ASSERT_TRUE(l[k] >= 0x20 && l[k] < 0x7F) << i << " at " << k;
        seen.insert(l);
    }
    EXPECT_EQ(seen.size(), 6u);
}

TEST(DevSimFlood, DatagramsHaveTheirSizeAndKeywordMix) {
    unsigned hello = 0, imei = 0, other = 0;
    for (uint64_t i = 0; i < 100; ++i) {
        const size_t size = 20 + i * 7;
        const TBytes d = FloodDatagram(i, size);
        ASSERT_EQ(d.size(), size);
        EXPECT_FALSE(ContainsKeyword(d, "ACT")) << d;
        EXPECT_FALSE(ContainsKeyword(d, "SSI")) << d;
        hello += ContainsKeyword(d, "HELLO");
        imei += ContainsKeyword(d, "IMEI");
        other += !ContainsKeyword(d, "HELLO") && !ContainsKeyword(d, "IMEI");
    }
    EXPECT_EQ(hello, 10u);
    EXPECT_EQ(imei, 10u);
    EXPECT_EQ(other, 80u);
    EXPECT_EQ(FloodDatagram(3, 5).size(), 20u);
    EXPECT_EQ(FloodDatagram(3, 100000).size(), 8192u);
}

TEST(DevSimCommands, ParsesEveryCommand) {
    using K = TCommand::TKind;
    struct TCase {
        const char* Line;
        K Kind;
        TBytes Bytes;
    };
    const TCase cases[] = {
        {"quit", K::Quit, ""},
        {"exit\r", K::Quit, ""},
        {"start", K::Start, ""},
        {"ring", K::Line, "RING"},
        {"line NO CARRIER", K::Line, "NO CARRIER"},
        {"line +WIND: 4\\r", K::Line, "+WIND: 4\r"},
        {"send \\r\\rX", K::Send, "\r\rX"},
        {"send A\\0B", K::Send, TBytes("A\0B", 3)},
        {"hex 1E 02 05 01 C3", K::Send, "\x1e\x02\x05\x01\xc3"},
        {"udp hello", K::Udp, *DatagramFor("hello")},
        {"udp act", K::Udp, *DatagramFor("act")},
        {"udp-send contact\\r", K::Udp, "contact\r"},
        {"burst 20", K::Burst, ""},
        {"burst 0", K::Bad, ""},
        {"burst", K::Bad, ""},
        {"burst -3", K::Bad, ""},
        {"burst 5x", K::Bad, ""},
        {"", K::None, ""},
        {"# a comment", K::None, ""},
        {"udp bogus", K::Bad, ""},
        {"hex 1", K::Bad, ""},
        {"send \\q", K::Bad, ""},
        {"jump", K::Bad, ""},
    };
    for (const TCase& c : cases) {
        const TCommand cmd = ParseCommand(c.Line);
        EXPECT_EQ(cmd.Kind, c.Kind) << c.Line;
        EXPECT_EQ(cmd.Bytes, c.Bytes) << c.Line;
        EXPECT_EQ(cmd.Error.empty(), c.Kind != K::Bad) << c.Line;
    }
    EXPECT_EQ(ParseCommand("burst 20").Count, 20u);
}
