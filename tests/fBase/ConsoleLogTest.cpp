#include "ConsoleLog.h"
#include "Cp1251.h"

#include <gtest/gtest.h>
#include <random>

namespace {
std::string Norm(const std::string& S) {
    std::string out;
    AppendNormalized(out, S.data(), S.size());
    return out;
}
} // namespace

TEST(ConsoleLog, LineBreaksAreNormalisedToCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb", "a\r\nb"},
        {"a\rb", "a\r\nb"},
        {"a\nb", "a\r\nb"},
        {"\n\r", "\r\n\r\n"},
        {"\r\r\n", "\r\n\r\n"},
        {"x\r", "x\r\n"},
        {"\n", "\r\n"},
        {"", ""},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Norm(in), out) << "input of " << in.size() << " bytes";
}

TEST(ConsoleLog, EachAppendLeavesTheOldTextAndThePieceNormalisedAsAWhole) {
    std::mt19937 rng(7);
    const char alphabet[] = {'a', '\r', '\n', 'b', ' '};
    for (int round = 0; round < 200; ++round) {
        std::string whole;
        TConsoleLog log;
        for (int piece = 0; piece < 10; ++piece) {
            std::string p;
            for (int n = rng() % 6; n > 0; --n)
                p += alphabet[rng() % 5];
            whole = Norm(whole + p);
            log.Append(p);
        }
        ASSERT_EQ(log.Text(), whole);
    }
}

TEST(ConsoleLog, AddLineStartsTheTextOnALineOfItsOwn) {
    TConsoleLog log;
    log.AddLine("X");
    EXPECT_EQ(log.Text(), "X\r\n");

    TConsoleLog partial;
    partial.Append("abc");
    partial.AddLine("X");
    EXPECT_EQ(partial.Text(), "abc\r\nX");

    TConsoleLog ended;
    ended.Append("abc\r\n");
    ended.AddLine("");
    EXPECT_EQ(ended.Text(), "abc\r\n\r\n");

    TConsoleLog empty;
    empty.AddLine("");
    EXPECT_EQ(empty.Text(), "\r\n");
}

TEST(ConsoleLog, LoneCrThenLoneLfLeaveAnEmptyLine) {
    TConsoleLog log;
    log.Append("A");
    log.Append("\r");
    EXPECT_EQ(log.Text(), "A\r\n");
    log.Append("\n");
    EXPECT_EQ(log.Text(), "A\r\n\r\n");
}

TEST(ConsoleLog, SetTextAndClearReplaceEverything) {
    TConsoleLog log;
    log.Append("old text\r\n");
    const auto gen = log.Generation();
    log.SetText("new\rtext");
    EXPECT_EQ(log.Text(), "new\r\ntext");
    EXPECT_NE(log.Generation(), gen);
    EXPECT_EQ(log.RowCount(), 2u);
    log.Clear();
    EXPECT_TRUE(log.Empty());
    EXPECT_EQ(log.RowCount(), 1u);
}

TEST(ConsoleLog, RowsEndAtLineBreaksAndSplitLongLinesWithoutLosingBytes) {
    TConsoleLog log;
    log.Append("ab\r\ncd\r\n");
    ASSERT_EQ(log.RowCount(), 3u);
    EXPECT_EQ(log.RowEnd(0), 2u);
    EXPECT_EQ(log.RowStart(1), 4u);
    EXPECT_EQ(log.RowEnd(1), 6u);
    EXPECT_EQ(log.RowStart(2), log.RowEnd(2));

    // One long line, appended in odd pieces, with a CR LF right at a row boundary.
    TConsoleLog big;
    std::string line(TConsoleLog::MaxRowBytes - 1, 'x');
    line += "\r\n";
    line += std::string(3 * TConsoleLog::MaxRowBytes + 17, 'y');
    for (size_t i = 0; i < line.size(); i += 1000)
        big.Append(line.substr(i, 1000));
    ASSERT_EQ(big.Text(), line);
    std::string rebuilt;
    for (size_t r = 0; r < big.RowCount(); ++r) {
        const size_t end = r + 1 < big.RowCount() ? big.RowStart(r + 1) : big.Size();
        EXPECT_LE(end - big.RowStart(r), TConsoleLog::MaxRowBytes + 1);
        EXPECT_NE(big.Text()[big.RowStart(r)], '\n') << "row " << r << " starts inside a CR LF";
        rebuilt += big.Text().substr(big.RowStart(r), end - big.RowStart(r));
    }
    EXPECT_EQ(rebuilt, line);
}

TEST(Cp1251, HighBytesAreCyrillicAndEncodingRoundTrips) {
    EXPECT_EQ(Cp1251ToChar(0xC0).unicode(), 0x0410); // А
    EXPECT_EQ(Cp1251ToChar(0xFF).unicode(), 0x044F); // я
    EXPECT_EQ(Cp1251ToChar(0xA8).unicode(), 0x0401); // Ё
    EXPECT_EQ(Cp1251ToChar(0xB8).unicode(), 0x0451); // ё
    EXPECT_EQ(Cp1251ToChar(0x7F).unicode(), 0x007F);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(QStringToCp1251(Cp1251ToQString(all)), all);
    EXPECT_EQ(Utf8ToCp1251("Com-порт"), std::string("Com-\xEF\xEE\xF0\xF2"));
    EXPECT_EQ(QStringToCp1251(QString::fromUtf8("\u4E2D")), "?");
}
