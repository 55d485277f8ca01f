// Launches the console ten times on a virtual X display and prints the median time from launch
// to its window being mapped. Usage: bench_startup [path-to-tevro-console] [runs]
#include "Console.h"
#include "Process.h"
#include "XWin.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    const std::string bin = argc > 1 ? argv[1] : "build-release/fBase/tevro-console";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    std::unique_ptr<TXvfb> xvfb;
    if (!std::getenv("DISPLAY"))
        xvfb = std::make_unique<TXvfb>();
    TXDisplay display(xvfb ? xvfb->Name() : std::string());
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        TProcess app({bin}, {.QuietStderr = true});
        // Woken by the map notification of the window, not by polling.
        const unsigned long window = display.WaitForWindow("  TEVRO SERVICE PROGRAM ", 10000);
        if (!window) {
            std::fprintf(stderr, "startup: the window was not mapped within 10 s\n");
            return 1;
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        display.Close(window);
        if (!app.Wait(5000)) {
            std::fprintf(stderr, "startup: the console did not close within 5 s\n");
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "startup: median %.1f ms from launch to window mapped (%d runs, min %.1f, max %.1f)\n",
        ms[ms.size() / 2], runs, ms.front(), ms.back());
    return 0;
}
