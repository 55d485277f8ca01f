// Appends 100 MB of 80-byte lines to the console log in chunks of 1 to 4096 bytes, with the
// window shown and its events processed after every 64 KB; prints the rate at about 1 MB and
// at about 100 MB, and the resident memory the log costs.
#include "Baseform.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace {
long ResidentBytes() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * 4096;
}
double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyConsoleStyle();
    TBaseform form;
    form.show();
    QApplication::processEvents();
    const long emptyRss = ResidentBytes();

    // 100 MB of text in lines of 80 bytes (78 characters and CR LF).
    const size_t total = 100u << 20;
    std::string line;
    std::string text;
    text.reserve(1 << 20);
    std::mt19937 rng(1);
    for (int i = 0; text.size() < (1u << 20); ++i) {
        line = "line " + std::to_string(i) + ' ';
        while (line.size() < 78)
            line += static_cast<char>('a' + rng() % 26);
        text += line + "\r\n";
    }
    const long textRss = ResidentBytes() - emptyRss; // the source text itself, not the log

    size_t appended = 0, sinceEvents = 0, pos = 0;
    double t0 = Seconds(), rateAt1 = 0, rateAt100 = 0, windowStart = t0;
    size_t windowBytes = 0;
    const size_t window = 1u << 20;
    while (appended < total) {
        size_t n = 1 + rng() % 4096;
        if (pos + n > text.size())
            n = text.size() - pos;
        form.LogAppend(text.substr(pos, n));
        pos = (pos + n) % text.size();
        appended += n;
        sinceEvents += n;
        windowBytes += n;
        if (sinceEvents >= 65536) {
            sinceEvents = 0;
            QApplication::processEvents();
        }
        if (windowBytes >= window) {
            const double now = Seconds();
            const double rate = windowBytes / (now - windowStart) / 1e6;
            if (appended <= window + 4096)
                rateAt1 = rate;
            if (appended >= total - window)
                rateAt100 = rate;
            windowStart = now;
            windowBytes = 0;
        }
    }
    QApplication::processEvents();
    const double elapsed = Seconds() - t0;
    const long logRss = ResidentBytes() - emptyRss - textRss;
    std::printf("log_append: %.1f MB in %.2f s (%.0f MB/s overall)\n", appended / 1e6, elapsed,
                appended / elapsed / 1e6);
    std::printf("log_append: %.0f MB/s at 1 MB, %.0f MB/s at 100 MB (ratio %.2f)\n", rateAt1,
                rateAt100, rateAt100 / rateAt1);
    std::printf("log_append: resident memory above the empty program %.1f MB, %.2f bytes per log "
                "byte\n",
                logRss / 1e6,
                static_cast<double>(logRss) / static_cast<double>(form.LogGetText().size()));
    form.close();
    return 0;
}
