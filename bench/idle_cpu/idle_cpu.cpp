// The console with a port open in Packet mode (Treat ticked) and nothing arriving: CPU time
// used as a share of one core, and resident memory. Usage: bench_idle_cpu [seconds]
#include "BenchSupport.h"

#include <QCheckBox>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>

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
    const double cpu0 = CpuSeconds(), t0 = MonotonicSeconds();
    console.RunUntil([] { return false; }, seconds, 1000);
    const double cpu = CpuSeconds() - cpu0, wall = MonotonicSeconds() - t0;
    std::printf("idle_cpu: %.2f s of CPU in %.1f s: %.3f %% of one core; resident %.1f MB\n", cpu,
                wall, 100.0 * cpu / wall, ResidentBytes() / 1e6);
    return 0;
}
