// What a received chunk and a datagram add to the log, without a window: the expected texts
// are written out.
#include "ReceiveRules.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(ReceiveRules, DirectChunksShowAsText) {
    struct TCase {
        std::string Chunk;
        bool Screen;
        bool Clear;
        std::string Text;
    };
    const TCase cases[] = {
        {"AB\nC\r", false, false, "ABC\r\n"},
        {"A\0B"s, false, false, "A"},
        {"\0AB"s, false, false, ""},
        {"\t\x7F\xC0\xFF", false, false, "\x7F\xC0\xFF"},
        {"\x01\x1B[", false, false, "["},
        {"\n", false, false, ""},
        {"\r\rX", false, false, "\r\n\r\nX"},
        {"", false, false, ""},
        {"A\r\nB", true, false, "A\r\n\r\nB"},
        {"\r\rX", true, true, "X"},
        {"\r\r", true, true, ""},
        {"\r\rX\t", true, true, "X\t"},
        {"X\r\r", true, false, "X\r\n\r\n"},
        {"\r", true, false, "\r\n"},
        {"\n\n", true, false, "\r\n\r\n"},
        {"Q\0R"s, true, false, "Q"},
        {"\r\r\0X"s, true, true, ""},
        {"\x01\x1B[", true, false, "\x01\x1B["},
        {"", true, false, ""},
    };
    for (const TCase& c : cases) {
        const TDirectText t = DirectText(c.Chunk, c.Screen);
        EXPECT_EQ(t.Clear, c.Clear) << testing::PrintToString(c.Chunk) << " screen " << c.Screen;
        EXPECT_EQ(t.Text, c.Text) << testing::PrintToString(c.Chunk) << " screen " << c.Screen;
    }
}

TEST(ReceiveRules, PacketChunksShowAsOneHexLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "Rx- \r\n"},
        {"\x1E\x02\x05", "Rx- 1E 02 05 \r\n"},
        {"\0\r\xFF\xA0\x7F"s, "Rx- 00 0D FF A0 7F \r\n"},
        {"\x1E\x02\x05\x01\xC3", "Rx- 1E 02 05 01 C3 \r\n"},
    };
    for (const auto& [chunk, line] : cases)
        EXPECT_EQ(PacketLine(chunk), line) << testing::PrintToString(chunk);
    // 300 bytes stay on one line.
    const std::string line = PacketLine(std::string(300, '\x30'));
    EXPECT_EQ(line.size(), 4u + 3 * 300 + 2);
    EXPECT_EQ(line.find("\r\n"), line.size() - 2);
    EXPECT_EQ(line.substr(0, 10), "Rx- 30 30 ");
}

TEST(ReceiveRules, DatagramKeywordsAndTheShownLine) {
    struct TCase {
        std::string Data;
        bool Activation;
        std::string Line;
        bool Ssi, Hello, Imei;
    };
    const TCase cases[] = {
        {"ACT", true, "ACT", false, false, false},
        {"please contact us", true, "please contact us", false, false, false},
        {"aCt", true, "aCt", false, false, false},
        {"imei\0act"s, true, "imei", false, false, true},
        {"A C T", false, "A C T", false, false, false},
        {"hello", false, "hello", false, true, false},
        {"HeLLo device", false, "HeLLo device", false, true, false},
        {"AB\0IMEI"s, false, "AB", false, false, true},
        {"SSI 1 IMEI 2", false, "SSI 1 IMEI 2", true, false, true},
        {"x\r\ny\tz", false, "xyz", false, false, false},
        {"\xC0\xFF abc", false, "\xC0\xFF abc", false, false, false},
        {"", false, "", false, false, false},
        {"\0"s, false, "", false, false, false},
        {"HELL O", false, "HELL O", false, false, false},
    };
    for (const TCase& c : cases) {
        const TDatagramText t = DatagramText(c.Data);
        const std::string what = testing::PrintToString(c.Data);
        EXPECT_EQ(t.Activation, c.Activation) << what;
        EXPECT_EQ(t.Line, c.Line) << what;
        EXPECT_EQ(t.Ssi, c.Ssi) << what;
        EXPECT_EQ(t.Hello, c.Hello) << what;
        EXPECT_EQ(t.Imei, c.Imei) << what;
    }
}
