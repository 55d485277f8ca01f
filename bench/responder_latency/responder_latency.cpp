// The device simulator sends 20 000 requests (kinds 1 and 2, random P1) one at a time over a
// pseudo-terminal, a new one 2 ms after each answer, to the console in Packet mode with Treat;
// prints the round trip from a request's last byte written to its answer's last byte read.
// With --profile NAME the console's serial calls go through that driver's profile (ftdi_sio:
// every modem-line call costs a USB round trip), so the figures show what the adapter costs.
// Usage: bench_responder_latency [requests] [--profile NAME]
#include "BenchSupport.h"
#include "DriverProfile.h"

#include <QCheckBox>
#include <QRadioButton>
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    std::string requests = "20000", profile;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--profile" && i + 1 < argc)
            profile = argv[++i];
        else if (!a.empty() && a[0] != '-')
            requests = a;
    }
    TConfigHome config;
    TBenchConsole console(argc, argv);
    if (!profile.empty()) {
        try {
            console.Form->VaComm->SetPlatform(
                ProfilePlatform(std::make_shared<TDriverProfile>(DriverProfileNamed(profile))));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "responder_latency: %s\n", e.what());
            return 2;
        }
    }
    TProcess device({TEVRO_DEVSIM, "packet", "--com", "1", "--requests", requests, "--gap-ms", "2",
                     "--start", "open", "--no-stdin", "--time-limit", "600"},
                    {.CaptureStdout = true, .QuietStderr = true});
    const std::string entry = config.Dir() + "/tevro-console/com/COM1";
    if (!console.RunUntil([&] { return std::filesystem::exists(entry) || !device.Running(); },
                          10)) {
        std::fprintf(stderr, "responder_latency: the simulator did not publish COM1\n");
        return 1;
    }
    console.Form->ChBxTreat->setChecked(true);
    console.Form->RButPack->setChecked(true);
    if (!console.Form->VaComm->IsOpen()) {
        std::fprintf(stderr, "responder_latency: the console did not open COM1\n");
        return 1;
    }
    console.RunUntil([&] { return !device.Running(); }, 900);
    const std::string summary = LastJsonLine(device.ReadAll(2000));
    std::printf("responder_latency: %s\n", summary.c_str());
    std::printf("responder_latency: profile %s\n", profile.empty() ? "none (the pty as it is)"
                                                                    : profile.c_str());
    std::printf("responder_latency: %.0f requests, %.0f answered, %.0f missing, %.0f wrong; round "
                "trip median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                JsonNumber(summary, "requests"), JsonNumber(summary, "answered"),
                JsonNumber(summary, "missing"), JsonNumber(summary, "wrong"),
                JsonNumber(summary, "rtt_median_ms"), JsonNumber(summary, "rtt_p99_ms"),
                JsonNumber(summary, "rtt_max_ms"));
    return device.Wait(2000) == 0 ? 0 : 1;
}
