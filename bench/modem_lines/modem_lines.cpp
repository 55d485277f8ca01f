// A device drives its modem input lines while the console has the port open in Direct mode,
// over each driver profile: one that can wait for a line change (16550, ftdi_sio) and one that
// can only be asked (cp210x). Prints, per profile, the time from a line's change to its panel's
// text (median and maximum of the changes; the target is 50 ms) and the modem-line queries a
// second while the lines stay still, shown and minimised.
// Usage: bench_modem_lines [changes]
#include "BenchSupport.h"
#include "DriverProfile.h"
#include "StatusPanels.h"

#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// TIOCMGET calls a second over Seconds of still lines.
double QueriesPerSecond(TBenchConsole& Console, TDriverProfile& Profile, double Seconds) {
    Console.RunUntil([] { return false; }, 0.2); // let a change of pace settle
    const int before = Profile.Calls(TIOCMGET);
    const double t0 = Now();
    Console.RunUntil([] { return false; }, Seconds, 100);
    return (Profile.Calls(TIOCMGET) - before) / (Now() - t0);
}

} // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::max(2, std::atoi(argv[1])) : 40;
    TConfigHome config;
    TBenchConsole console(argc, argv);
    console.Form->show();
    for (const char* name : {"16550", "ftdi_sio", "cp210x"}) {
        TPtyDevice device;
        std::filesystem::remove(config.Dir() + "/tevro-console/com/COM1");
        config.MapCom(1, device.SlavePath());
        auto profile = std::make_shared<TDriverProfile>(DriverProfileNamed(name));
        console.Form->VaComm->SetPlatform(ProfilePlatform(profile));
        console.Form->RButDirectClick();
        if (!console.Form->VaComm->IsOpen()) {
            std::fprintf(stderr, "modem_lines: the console did not open COM1 (%s)\n", name);
            return 1;
        }
        std::vector<double> ms;
        for (int i = 0; i < changes; ++i) {
            const bool on = i % 2 == 0;
            console.RunUntil([] { return false; }, 0.06 + 0.001 * (i % 7), 5);
            profile->SetInputLines(on ? TIOCM_DSR : 0);
            const double t0 = Now();
            if (!console.RunUntil(
                    [&] { return console.Form->StatusBar->PanelText(1).isEmpty() != on; }, 2, 1)) {
                std::fprintf(stderr, "modem_lines: %s: a change did not show in 2 s\n", name);
                return 1;
            }
            ms.push_back(1000 * (Now() - t0));
        }
        std::sort(ms.begin(), ms.end());
        const double shown = QueriesPerSecond(console, *profile, 3);
        console.Form->showMinimized();
        const double minimised = QueriesPerSecond(console, *profile, 3);
        console.Form->showNormal();
        std::printf("modem_lines %-9s change->panel median %.1f ms, max %.1f ms (target 50: %s); "
                    "queries at rest %.1f/s shown, %.1f/s minimised\n",
                    name, ms[ms.size() / 2], ms.back(), ms.back() <= 50 ? "met" : "not met", shown,
                    minimised);
        console.Form->BtnClose->click();
    }
    return 0;
}
