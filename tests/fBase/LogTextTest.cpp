// The log as a file and as a search space: UTF-8 conversion, the byte search against a plain
// search of its own, saving, capture to a file, the command history and the COM port names.
#include "LogText.h"
#include "CommandHistory.h"
#include "ConfigHome.h"
#include "ConsoleLog.h"
#include "FileText.h"
#include "LogCapture.h"
#include "VaDeviceInfo.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <unistd.h>

namespace {
namespace fs = std::filesystem;

// Capitals of Windows-1251, from the code page's chart: Latin, the Russian alphabet, Ё, and
// the letters of the other Cyrillic alphabets in 0x80..0xBF.
unsigned char Capital(unsigned char B) {
    if (B >= 'a' && B <= 'z')
        return B - 32;
    if (B >= 0xE0)
        return B - 32;
    static const std::pair<unsigned char, unsigned char> others[] = {
        {0x90, 0x80}, {0x83, 0x81}, {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9D, 0x8D},
        {0x9E, 0x8E}, {0x9F, 0x8F}, {0xA2, 0xA1}, {0xBC, 0xA3}, {0xB4, 0xA5},
        {0xB8, 0xA8}, {0xBA, 0xAA}, {0xBF, 0xAF}, {0xB3, 0xB2}, {0xBE, 0xBD}};
    for (auto [small, capital] : others)
        if (B == small)
            return capital;
    return B;
}

// The search written the plain way: every start, every byte.
size_t PlainFind(const std::string& Text, const std::string& Needle, size_t From, bool Backward,
                 bool MatchCase) {
    auto matches = [&](size_t At) {
        for (size_t j = 0; j < Needle.size(); ++j) {
            unsigned char a = Text[At + j], b = Needle[j];
            if (MatchCase ? a != b : Capital(a) != Capital(b))
                return false;
        }
        return true;
    };
    if (Needle.empty() || Needle.size() > Text.size())
        return std::string::npos;
    if (!Backward) {
        for (size_t i = From; i + Needle.size() <= Text.size(); ++i)
            if (matches(i))
                return i;
        return std::string::npos;
    }
    for (size_t i = Text.size() - Needle.size() + 1; i-- > 0;)
        if (i + Needle.size() <= From && matches(i))
            return i;
    return std::string::npos;
}
} // namespace

// ---------------------------------------------------------------- UTF-8

TEST(LogText, BytesBecomeUtf8WithLfLineEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {"one\r\ntwo\r\n", "one\ntwo\n"},
        {"\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {"\xC0\xDF\xE0\xFF", "АЯая"},
        {"\xA8\xB8", "Ёё"},
        {"\x80\x88\xB9", "Ђ€№"},
        {"\x98", "\xC2\x98"}, // unassigned: its own code point
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\r", "\r"}, // a lone CR (never in the log) is left as it is
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(LogToUtf8(in), out) << in;
}

TEST(LogText, PiecesConvertAsTheWhole) {
    const std::string log = "line \xC0\xC1\xC2\r\nnext \xB9 1\r\n\r\nend";
    for (size_t cut = 0; cut <= log.size(); ++cut) {
        if (cut > 0 && log[cut - 1] == '\r')
            continue; // the log never splits a CR LF pair between appends
        std::string out;
        AppendLogAsUtf8(out, log.data(), cut);
        AppendLogAsUtf8(out, log.data() + cut, log.size() - cut);
        EXPECT_EQ(out, LogToUtf8(log)) << "cut at " << cut;
    }
}

// ---------------------------------------------------------------- find

TEST(LogFind, TableOfCases) {
    struct TCase {
        std::string Text, Needle;
        size_t From;
        bool Backward, MatchCase;
        size_t Want;
    };
    const size_t no = std::string::npos;
    const TCase cases[] = {
        {"hello world", "world", 0, false, true, 6},
        {"hello world", "World", 0, false, true, no},
        {"hello world", "World", 0, false, false, 6},
        {"abcabc", "abc", 1, false, true, 3},
        {"abcabc", "abc", 6, true, true, 3},
        {"abcabc", "abc", 5, true, true, 0},
        {"abcabc", "abc", 2, true, true, no},
        {"\xCF\xD0\xC8\xC2\xC5\xD2", "\xEF\xF0\xE8\xE2\xE5\xF2", 0, false, false, 0}, // ПРИВЕТ
        {"\xCF\xD0\xC8\xC2\xC5\xD2", "\xEF\xF0\xE8\xE2\xE5\xF2", 0, false, true, no},
        {"x \xA8\xEB\xEA\xE0", "\xB8\xEB\xEA\xE0", 0, false, false, 2}, // Ёлка / ёлка
        {"a", "ab", 0, false, false, no},
        {"abc", "", 0, false, false, no},
        {"aaaa", "aa", 3, false, true, no},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(FindInLog(c.Text, c.Needle, c.From, c.Backward, c.MatchCase), c.Want)
            << c.Text << " / " << c.Needle << " from " << c.From << (c.Backward ? " back" : "");
}

TEST(LogFind, AgreesWithThePlainSearchEverywhere) {
    // Texts long enough for whole blocks and a tail, over letters that have two cases.
    std::mt19937 rng(11);
    const std::string alphabet = "aAbB\xE0\xC0\xB8\xA8\r\n ";
    for (int round = 0; round < 300; ++round) {
        std::string text(1 + rng() % 70, ' '), needle(1 + rng() % 4, ' ');
        for (char& c : text)
            c = alphabet[rng() % alphabet.size()];
        for (char& c : needle)
            c = alphabet[rng() % 6];
        const bool matchCase = rng() % 2;
        for (size_t from = 0; from <= text.size(); ++from)
            for (bool back : {false, true})
                ASSERT_EQ(FindInLog(text, needle, from, back, matchCase),
                          PlainFind(text, needle, from, back, matchCase))
                    << "round " << round << " from " << from << (back ? " back" : "");
    }
}

TEST(LogFind, EveryByteFoldsAsTheCodePageSays) {
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(FoldCase(static_cast<unsigned char>(b)), Capital(static_cast<unsigned char>(b)))
            << "byte " << b;
}

// ---------------------------------------------------------------- save

TEST(LogSave, WritesUtf8AndLeavesNothingElseInTheFolder) {
    TConfigHome dir; // a private folder
    const std::string path = dir.Dir() + "/log.txt";
    const std::string log = "\xCF\xF0\xE8\xE2\xE5\xF2\r\nline 2\r\n";
    std::atomic<size_t> done{0};
    std::string error;
    ASSERT_TRUE(SaveLogAsUtf8(log, path, &done, error)) << error;
    EXPECT_EQ(ReadFile(path), "Привет\nline 2\n");
    EXPECT_EQ(done.load(), log.size());
    // Saving again replaces the file; no temporary file is left beside it.
    ASSERT_TRUE(SaveLogAsUtf8("x", path, nullptr, error)) << error;
    EXPECT_EQ(ReadFile(path), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 1);
}

TEST(LogSave, AFailureNamesTheReasonAndLeavesTheOldFile) {
    TConfigHome dir;
    std::string error;
    EXPECT_FALSE(SaveLogAsUtf8("abc", dir.Dir() + "/no/such/folder/log.txt", nullptr, error));
    EXPECT_EQ(error, "No such file or directory");

    // A folder under the chosen name cannot be replaced by a file: the folder stays, and the
    // new file is removed again.
    const std::string path = dir.Dir() + "/taken";
    fs::create_directory(path);
    error.clear();
    EXPECT_FALSE(SaveLogAsUtf8("abc", path, nullptr, error));
    EXPECT_EQ(error, "Is a directory");
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 1);
}

TEST(LogSave, ALogLongerThanOnePieceKeepsItsLineEndsWhole) {
    TConfigHome dir;
    const std::string path = dir.Dir() + "/big.txt";
    std::string log, want;
    for (int i = 0; log.size() < (9u << 20); ++i) {
        const std::string line = "line " + std::to_string(i) + " \xE4\xE0\xED\xED\xFB\xE5";
        log += line + "\r\n";
        want += "line " + std::to_string(i) + " данные\n";
    }
    std::string error;
    ASSERT_TRUE(SaveLogAsUtf8(log, path, nullptr, error)) << error;
    EXPECT_TRUE(ReadFile(path) == want) << "the saved text differs";
}

// ---------------------------------------------------------------- capture

TEST(LogCapture, AppendsReachTheFileInOrderAsUtf8) {
    TConfigHome dir;
    const std::string path = dir.Dir() + "/capture.txt";
    std::ofstream(path) << "old content";
    TLogCapture capture;
    std::string error;
    ASSERT_TRUE(capture.Open(path, error)) << error;
    EXPECT_EQ(ReadFile(path), "") << "a capture starts an empty file";
    std::string want;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = "n" + std::to_string(i) + " \xC4\xE0\r\n";
        capture.Append(line.data(), line.size());
        want += "n" + std::to_string(i) + " Да\n";
    }
    capture.Append("tail", 4);
    capture.StartLine();
    capture.StartLine(); // a line already started is not started twice
    want += "tail\n";
    ASSERT_TRUE(capture.Close(error)) << error;
    EXPECT_FALSE(capture.Active());
    EXPECT_TRUE(ReadFile(path) == want);
}

TEST(LogCapture, FlushPutsTheTextInTheFileWhileCaptureGoesOn) {
    TConfigHome dir;
    const std::string path = dir.Dir() + "/capture.txt";
    TLogCapture capture;
    std::string error;
    ASSERT_TRUE(capture.Open(path, error)) << error;
    capture.Append("abc\r\n", 5);
    capture.Flush();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (ReadFile(path) != "abc\n" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ReadFile(path), "abc\n");
    EXPECT_TRUE(capture.Active());
}

TEST(LogCapture, AWriteFailureIsToldOnce) {
    TLogCapture capture;
    std::string error;
    ASSERT_TRUE(capture.Open("/dev/full", error)) << error; // every write: no space
    capture.Append("abc", 3);
    capture.Flush();
    std::optional<std::string> failure;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!(failure = capture.TakeFailure()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(failure, "No space left on device");
    capture.Append("more", 4);
    capture.Flush();
    EXPECT_EQ(capture.TakeFailure(), std::nullopt) << "told twice";
    EXPECT_FALSE(capture.Close(error));
}

TEST(LogCapture, AFileThatCannotBeMadeIsRefused) {
    TLogCapture capture;
    std::string error;
    EXPECT_FALSE(capture.Open("/nonexistent-folder/capture.txt", error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(capture.Active());
}

// ---------------------------------------------------------------- command history

TEST(CommandHistory, StepsBackAndForthAndKeepsTheLineBeingTyped) {
    TCommandHistory h;
    h.Add("AT1");
    h.Add("AT2");
    h.Add("AT2"); // a repeat of the newest line is not stored twice
    h.Add("");    // nor is an empty line
    EXPECT_EQ(h.Size(), 2u);
    struct TStep {
        bool Up;
        std::optional<QString> Want;
    };
    const TStep steps[] = {
        {true, "AT2"},  {true, "AT1"},         {true, std::nullopt}, {false, "AT2"},
        {false, "typ"}, {false, std::nullopt}, {true, "AT2"},
    };
    int n = 0;
    for (const TStep& s : steps) {
        EXPECT_EQ(s.Up ? h.Older("typ") : h.Newer(), s.Want) << "step " << n;
        ++n;
    }
    h.Add("AT3");
    EXPECT_EQ(h.Older("new"), "AT3") << "browsing starts over after a send";
}

TEST(CommandHistory, KeepsItsCapacityOfNewestLines) {
    TCommandHistory h(100);
    for (int i = 0; i < 150; ++i)
        h.Add(QString::number(i));
    EXPECT_EQ(h.Size(), 100u);
    std::optional<QString> oldest;
    for (auto l = h.Older(""); l; l = h.Older(""))
        oldest = l;
    EXPECT_EQ(oldest, "50");
}

// ---------------------------------------------------------------- which device is Com N

TEST(ComPortNames, TellTheDeviceOrTheMapLinkAndItsTarget) {
    TConfigHome home;
    home.MapCom(3, "/dev/null");
    home.MapCom(4, "/nonexistent/ttyUSB9");
    const std::string map = home.Dir() + "/tevro-console/com/";
    const std::pair<int, std::string> cases[] = {
        {3, map + "COM3 \u2192 /dev/null"},
        {4, map + "COM4 \u2192 /nonexistent/ttyUSB9: not present"},
        {0, "not present"},
    };
    for (const auto& [port, want] : cases)
        EXPECT_EQ(VaDescribeComPort(port, home.Dir()), want) << port;
    // Outside the map: the built-in port, when this machine has it.
    const std::string builtIn = "/dev/ttyS1";
    EXPECT_EQ(VaDescribeComPort(2, home.Dir()), fs::exists(builtIn) ? builtIn : "not present");
}

// ---------------------------------------------------------------- the log shared with a saver

TEST(LogShare, TheSharedTextStaysWhileTheLogGrowsAndIsEmptied) {
    TConsoleLog log;
    log.Append("first\r\n");
    std::shared_ptr<const char> early = log.Share();
    const std::string want(log.Text());
    // Growing far past the first block moves the log, not the shared bytes.
    for (int i = 0; i < 20000; ++i)
        log.Append("more text " + std::to_string(i) + "\r\n");
    EXPECT_EQ(std::string_view(early.get(), want.size()), want);
    EXPECT_EQ(log.Text().substr(0, want.size()), want);
    std::shared_ptr<const char> later = log.Share();
    const std::string all(log.Text());
    log.Clear();
    log.Append("new");
    EXPECT_EQ(std::string_view(later.get(), all.size()), all);
    EXPECT_EQ(log.Text(), "new");
    // Once no one holds a share, the log grows in its own block again.
    later.reset();
    early.reset();
    log.Share();
    for (int i = 0; i < 20000; ++i)
        log.Append("x");
    EXPECT_EQ(log.Size(), 20003u);
}
