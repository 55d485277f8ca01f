// The simulated modem: line splitting, the hunt for AT in any case, the echo, and the CR LF
// framing. The tables before the echo's own test turn it off first, to read the answers alone.
#include "DevSimCore.h"

#include <gtest/gtest.h>

using namespace devsim;

namespace {

const TBytes Ok = "\r\nOK\r\n";
const TBytes Error = "\r\nERROR\r\n";

TBytes FeedAll(TModem& Modem, std::initializer_list<std::string_view> Chunks,
               std::vector<TModem::TLine>* LinesOut = nullptr) {
    std::vector<TModem::TLine> lines;
    if (Modem.Echo()) {
        Modem.Feed("ATE0\r", lines);
        lines.clear();
    }
    TBytes out;
    for (std::string_view c : Chunks)
        out += Modem.Feed(c, lines);
    if (LinesOut)
        *LinesOut = lines;
    return out;
}

} // namespace

TEST(DevSimModem, AnswersEachLineByItsStart) {
    struct TCase {
        std::string_view In;
        TBytes Out;
    };
    const TCase cases[] = {
        {"AT\r", Ok},
        {"at\r", Ok},
        {"aT+cgmr\r", Ok},
        {"At&F\r", Ok},
        {"ATZ\r\n", Ok}, // the console ends every command with CR LF
        {"\nAT\r", Ok},  // the LF of the line before
        {"hello\r", Error},
        {"A\r", Error},
        {" AT\r", Ok}, // what comes before AT is noise
        {"+AT+CSQ\r", Ok},
        {"TA\r", Error},
        {std::string_view("\x1b"
                          "AT\r",
                          4),
         Ok},
        {"+\r", Error},
        {"AT", ""}, // no CR yet: no answer yet
        {"\r", ""}, // an empty line: no answer, as a modem
        {"\r\n", ""},
        {"AT\rfoo\rat\r", Ok + Error + Ok},
        {"AX\bT\r", Ok}, // backspace mends the line
        {"\b\bAT\r", Ok},
    };
    for (const TCase& c : cases) {
        TModem modem;
        EXPECT_EQ(FeedAll(modem, {c.In}), c.Out) << JsonString(c.In);
    }
}

TEST(DevSimModem, EmptyLinesCanBeAnsweredWithError) {
    TModem modem(/*AnswerEmptyLines=*/true);
    EXPECT_EQ(FeedAll(modem, {"\r"}), Error);
    EXPECT_EQ(FeedAll(modem, {"\r\nAT\r\n"}), Error + Ok);
}

TEST(DevSimModem, LinesSplitAcrossChunksAreWholeLines) {
    TModem modem;
    std::vector<TModem::TLine> lines;
    EXPECT_EQ(FeedAll(modem, {"A", "T+WOPEN", "=0", "\r", "\n", "a", "t+LogOn\r\n"}, &lines),
              Ok + Ok);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Text, "AT+WOPEN=0");
    EXPECT_EQ(lines[0].Answer, "OK");
    EXPECT_EQ(lines[1].Text, "at+LogOn");
}

TEST(DevSimModem, TheConsolesPresetCommandsAreAllAccepted) {
    const char* presets[] = {"AT+WOPEN=0",  "AT+WOPEN=1",    "AT+WOPEN=2",
                             "AT+WCFM=2",   "AT+WMFM=0,1,2", "AT+WFM=1,\"SIM3VONLY\"",
                             "AT+WMBS=5,1", "AT+STSF=0",     "AT+WIND=0",
                             "at+Factory",  "at+LogOn",      "AT&F"};
    TModem modem;
    FeedAll(modem, {});
    TBytes all;
    for (const char* p : presets)
        all += TBytes(p) + "\r\n";
    std::vector<TModem::TLine> lines;
    TBytes expected;
    for (size_t k = 0; k < std::size(presets); ++k)
        expected += Ok;
    EXPECT_EQ(modem.Feed(all, lines), expected);
    ASSERT_EQ(lines.size(), std::size(presets));
    for (size_t k = 0; k < std::size(presets); ++k)
        EXPECT_EQ(lines[k].Text, presets[k]);
    EXPECT_EQ(modem.OkCount(), 13u); // and the ATE0
    EXPECT_EQ(modem.ErrorCount(), 0u);
}

TEST(DevSimModem, AnOverlongLineIsAnErrorAndTheNextLineIsFine) {
    TModem modem(false, 16);
    FeedAll(modem, {});
    std::vector<TModem::TLine> lines;
    EXPECT_EQ(modem.Feed("AT" + TBytes(40, 'X') + "\rAT\r", lines), Error + Ok);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Text.size(), 16u);
    EXPECT_EQ(lines[1].Text, "AT");
}

TEST(DevSimModem, CountsItsAnswers) {
    TModem modem;
    FeedAll(modem, {"AT\r", "x\r", "\r", "at\r", "\r\n"});
    EXPECT_EQ(modem.OkCount(), 3u); // and the ATE0
    EXPECT_EQ(modem.ErrorCount(), 1u);
    EXPECT_EQ(modem.IgnoredCount(), 2u);
}

TEST(DevSimModem, UnsolicitedLinesAreFramedLikeAnswers) {
    EXPECT_EQ(ModemLine("RING"), "\r\nRING\r\n");
    EXPECT_EQ(ModemLine(""), "\r\n\r\n");
}

TEST(DevSimModem, EchoesWhileEchoIsOnAndE0TurnsItOff) {
    struct TCase {
        std::vector<std::string_view> In;
        TBytes Out;
    };
    const TCase cases[] = {
        {{"AT\r\n"}, "AT\r" + Ok},                // on from the start; LF is not echoed
        {{"+", "AT+CSQ\r\n"}, "+AT+CSQ\r" + Ok},  // the console's key, then its line
        {{"ATE0\r", "AT\r"}, "ATE0\r" + Ok + Ok}, // the E0 line is still echoed
        {{"ate0\r", "ATE1\r", "AT\r"}, "ate0\r" + Ok + Ok + "AT\r" + Ok},
        {{"ATE\r", "AT\r"}, "ATE\r" + Ok + Ok},                // E without a number is E0
        {{"AT&FE0V1\r", "AT\r"}, "AT&FE0V1\r" + Ok + Ok},      // among other commands
        {{"AT&E0\r", "AT\r"}, "AT&E0\r" + Ok + "AT\r" + Ok},   // &E is another command
        {{"ATD0E0\r", "AT\r"}, "ATD0E0\r" + Ok + "AT\r" + Ok}, // a dial string's E
        {{"AT+CMEE=0\r", "AT\r"}, "AT+CMEE=0\r" + Ok + "AT\r" + Ok},
        {{"xE0\r", "AT\r"}, "xE0\r" + Error + "AT\r" + Ok}, // not a command: no AT
        {{"AX\bT\r"}, "AX\bT\r" + Ok},
        {{"\x1e\x02\x05\x01\xc3"}, ""}, // a frame never comes back as one
    };
    for (const TCase& c : cases) {
        TModem modem;
        std::vector<TModem::TLine> lines;
        TBytes out;
        for (std::string_view chunk : c.In)
            out += modem.Feed(chunk, lines);
        EXPECT_EQ(out, c.Out) << JsonString(c.In.front());
    }
}
