// Save and find on a log of 100 MB (lines of Latin and Cyrillic text): the time to save it as
// UTF-8 through the window (copy, conversion, writing, flush to the disk and rename), and the
// time to search it from start to end, against the targets of 1 s and 100 ms. The window runs
// on the offscreen platform; the file goes to a private folder under the temporary folder.
#include "BenchSupport.h"
#include "ConfigHome.h"
#include "LogText.h"
#include "LogTools.h"

#include <cstdio>
#include <filesystem>
#include <random>

namespace {
constexpr double SaveTargetS = 1.0, FindTargetMs = 100.0;

std::string MakeLog(size_t Size) {
    std::string log;
    log.reserve(Size + 128);
    std::mt19937 rng(3);
    for (int i = 0; log.size() < Size; ++i) {
        log += "+CSQ: " + std::to_string(i) + ", \xD1\xE8\xE3\xED\xE0\xEB ";
        while (log.size() % 80 < 78)
            log += static_cast<char>(rng() % 2 ? 'a' + rng() % 26 : 0xE0 + rng() % 32);
        log += "\r\n";
    }
    return log;
}
} // namespace

int main(int argc, char** argv) {
    TBenchConsole console(argc, argv);
    TConfigHome folder; // a private folder for the saved file
    const size_t size = 100u << 20;
    const std::string log = MakeLog(size);
    console.Form->LogAppend(log);
    QApplication::processEvents();
    TLogTools& tools = console.Form->LogTools();

    std::vector<double> saves;
    for (int round = 0; round < 3; ++round) {
        const std::string path = folder.Dir() + "/saved.txt";
        const double t0 = MonotonicSeconds();
        tools.StartSave(QString::fromStdString(path));
        console.RunUntil([&] { return !tools.Saving(); }, 30, 1);
        saves.push_back(MonotonicSeconds() - t0);
        if (!console.Errors.isEmpty()) {
            std::printf("log_tools: save failed: %s\n", qPrintable(console.Errors.join("; ")));
            return 1;
        }
    }
    const auto fileSize = std::filesystem::file_size(folder.Dir() + "/saved.txt");
    std::printf("log_tools: save %.0f MB log (%.0f MB UTF-8): median %.3f s, worst %.3f s "
                "(target <= %.1f s) %s\n",
                log.size() / 1048576.0, fileSize / 1048576.0, Percentile(saves, 50),
                Percentile(saves, 100), SaveTargetS,
                Percentile(saves, 50) <= SaveTargetS ? "met" : "MISSED");

    // Find: a needle that is nowhere scans the whole log; one at the very end is found last.
    const std::string_view text = log; // the same bytes as the window's log
    struct TCase {
        const char* Name;
        std::string Needle;
        bool MatchCase;
    } cases[] = {
        {"absent, match case", "no such text 42", true},
        {"absent, any case", "\xED\xE5\xF2 \xF2\xE0\xEA\xEE\xE3\xEE", false},
        {"one letter absent, any case", "\x01", false},
        {"frequent first word, any case", "\xD1\xE8\xE3\xED\xE0\xEB 9", false},
    };
    for (const TCase& c : cases) {
        std::vector<double> ms;
        for (int round = 0; round < 5; ++round) {
            const double t0 = MonotonicSeconds();
            volatile size_t at = FindInLog(text, c.Needle, 0, false, c.MatchCase);
            (void)at;
            ms.push_back((MonotonicSeconds() - t0) * 1000);
        }
        std::printf("log_tools: find start to end (%s): median %.1f ms, worst %.1f ms "
                    "(target <= %.0f ms) %s\n",
                    c.Name, Percentile(ms, 50), Percentile(ms, 100), FindTargetMs,
                    Percentile(ms, 50) <= FindTargetMs ? "met" : "MISSED");
    }
    return 0;
}
