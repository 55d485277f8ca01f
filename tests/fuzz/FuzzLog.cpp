// The console log's line breaks over random texts cut into random pieces: no lone CR or LF is
// ever left, pieces give the text of one whole append except where a CR ends one piece and an
// LF begins the next, and the view's rows follow the line breaks.
#include "ConsoleLog.h"
#include "FuzzCheck.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

namespace {

// The rule written out on its own: CR LF stays, a CR or an LF alone becomes CR LF.
std::string Normalized(const std::string& S) {
    std::string out;
    for (size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '\r' && i + 1 < S.size() && S[i + 1] == '\n') {
            out += "\r\n";
            ++i;
        } else if (S[i] == '\r' || S[i] == '\n') {
            out += "\r\n";
        } else {
            out += S[i];
        }
    }
    return out;
}

bool NoLoneBreak(std::string_view T) {
    for (size_t i = 0; i < T.size(); ++i) {
        if (T[i] == '\r' && (i + 1 == T.size() || T[i + 1] != '\n'))
            return false;
        if (T[i] == '\n' && (i == 0 || T[i - 1] != '\r'))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    std::vector<std::string> pieces;
    while (in.remaining_bytes() > 0 && pieces.size() < 64) {
        std::string p = in.ConsumeRandomLengthString(512);
        // Line breaks are what this is about: make them common.
        for (char& c : p)
            if ((c & 0x1C) == 0x1C)
                c = (c & 1) ? '\r' : '\n';
        pieces.push_back(std::move(p));
    }
    std::string whole, expected;
    bool cutPair = false;
    TConsoleLog log;
    for (size_t i = 0; i < pieces.size(); ++i) {
        log.Append(pieces[i]);
        FUZZ_CHECK(NoLoneBreak(log.Text()));
        if (!whole.empty() && whole.back() == '\r' && !pieces[i].empty() && pieces[i][0] == '\n')
            cutPair = true;
        if (!pieces[i].empty())
            whole += pieces[i];
        expected += Normalized(pieces[i]);
    }
    FUZZ_CHECK(log.Text() == expected);
    if (!cutPair)
        FUZZ_CHECK(log.Text() == Normalized(whole));

    TConsoleLog once;
    once.Append(whole);
    FUZZ_CHECK(once.Text() == Normalized(whole));

    // Rows: each ends after an LF or at the longest row; together they cover the text.
    const std::string_view text = log.Text();
    FUZZ_CHECK(log.RowCount() >= 1 && log.RowStart(0) == 0);
    for (size_t r = 0; r < log.RowCount(); ++r) {
        const size_t start = log.RowStart(r);
        const size_t next = r + 1 < log.RowCount() ? log.RowStart(r + 1) : text.size();
        FUZZ_CHECK(start <= next && next - start <= TConsoleLog::MaxRowBytes + 2);
        for (size_t k = start; k + 1 < next; ++k)
            FUZZ_CHECK(text[k] != '\n');
        if (r + 1 < log.RowCount() && text[next - 1] != '\n')
            FUZZ_CHECK(next - start >= TConsoleLog::MaxRowBytes);
        FUZZ_CHECK(log.RowEnd(r) >= start && log.RowEnd(r) <= next);
    }
    return 0;
}
