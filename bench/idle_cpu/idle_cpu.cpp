// The console with a port open in Packet mode (Treat ticked) and nothing arriving: CPU time
// used as a share of one core, wake-ups a second (the threads' context switches, in all and
// per thread) and resident memory. Usage: bench_idle_cpu [seconds]
// On a pseudo-terminal the port has no modem lines; a preloaded library that answers the
// modem-line calls shows the cost of a port that has them.
#include "BenchSupport.h"

#include <QCheckBox>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>
#include <map>

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    TConfigHome config;
    TPtyDevice device;
    config.MapCom(1, device.SlavePath());
    TBenchConsole console(argc, argv);
    console.Form->ChBxTreat->setChecked(true);
    console.Form->RButPack->setChecked(true);
    if (!console.Form->VaComm->IsOpen()) {
        std::fprintf(stderr, "idle_cpu: the console did not open COM1\n");
        return 1;
    }
    console.RunUntil([] { return false; }, 1); // settle
    std::map<int, TThreadSwitches> before;
    for (const TThreadSwitches& t : ThreadSwitches())
        before[t.Tid] = t;
    const long switches0 = ContextSwitches();
    const double cpu0 = CpuSeconds(), t0 = MonotonicSeconds();
    // The loop looks at its condition once a second: the check itself is not a wake-up
    // that the figure should show.
    console.RunUntil([] { return false; }, seconds, 1000);
    const double cpu = CpuSeconds() - cpu0, wall = MonotonicSeconds() - t0;
    const long switches = ContextSwitches() - switches0;
    std::printf("idle_cpu: %.2f s of CPU in %.1f s: %.3f %% of one core; %.1f wake-ups/s; "
                "resident %.1f MB\n",
                cpu, wall, 100.0 * cpu / wall, switches / wall, ResidentBytes() / 1e6);
    for (const TThreadSwitches& t : ThreadSwitches()) {
        const auto was = before.find(t.Tid);
        const long n = t.Switches - (was == before.end() ? 0 : was->second.Switches);
        std::printf("  thread %d %-16s %.1f wake-ups/s\n", t.Tid, t.Name.c_str(), n / wall);
    }
    return 0;
}
