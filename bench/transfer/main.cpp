// A 4 MB random file to lrzsz's XMODEM-1K and YMODEM receivers over a pty pair: the console's
// sender against lrzsz's own sender, the same file to the same receiver, in one run; then the
// same file sent by the window (offscreen) on its port, with its event loop's stalls (a 10 ms
// probe timer's lateness) while the file goes.
//   bench_transfer [MB]
#include "BenchSupport.h"
#include "ConsoleCore.h"
#include "TransferRig.h"

#include <QRadioButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct TFigures {
    double Seconds = 0;
    bool Ok = false;
};

// Start: the receiver is launched; end: the receiver has ended and its file is checked.
TFigures Run(const std::string& File, const std::string& Bytes, TTransferProtocol Protocol,
             bool Ours, const fs::path& Dir) {
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    const bool y = Protocol == TTransferProtocol::Ymodem;
    TPty near, far, idle;
    const int64_t t0 = TTransferRig::NowMs();
    TChild receiver(y ? std::vector<std::string>{"rb", "-b"}
                      : std::vector<std::string>{"rx", "-b", "-c", "got.bin"},
                    Dir.string(), far.Slave());
    TFigures f;
    std::optional<TChild> sender;
    // Both senders reach the receiver the same way: a port on one pty, relayed to the other.
    TTransferRig rig(Ours ? near.SlaveFd() : idle.Master());
    rig.Relay(near.Master(), far.Master());
    // Timed to the receiver's end: the file is whole then. A sender whose last ACK the
    // receiver flushed as it left waits on for it (sx: a minute), which is not the transfer.
    std::optional<TFileTransfer> t;
    if (Ours) {
        t.emplace(TTransferParams{File, Protocol}, rig.Link());
        t->Start();
    } else {
        sender.emplace(y ? std::vector<std::string>{"sb", "-b", File}
                         : std::vector<std::string>{"sx", "-b", "-k", File},
                       Dir.string(), near.Slave());
    }
    f.Ok = rig.RunUntil([&] { return receiver.Poll().has_value(); }, 120'000, t ? &*t : nullptr);
    f.Seconds = static_cast<double>(TTransferRig::NowMs() - t0) / 1000.0;
    f.Ok = f.Ok && receiver.Poll() == 0;
    std::ifstream in(Dir / (y ? fs::path(File).filename() : fs::path("got.bin")), std::ios::binary);
    const std::string got(std::istreambuf_iterator<char>(in), {});
    f.Ok = f.Ok && got.compare(0, Bytes.size(), Bytes) == 0 && got.size() < Bytes.size() + 1024;
    return f;
}

// The window sends File on COM1 (Device's line, bridged to the receiver's); the receiver starts
// once the console waits for it, as a device put into its download mode would.
TFigures RunInWindow(TBenchConsole& Console, TPtyDevice& Device, const std::string& File,
                     const std::string& Bytes, TTransferProtocol Protocol, const fs::path& Dir,
                     std::vector<double>& Lateness) {
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    const bool y = Protocol == TTransferProtocol::Ymodem;
    TPty far;
    TPtyBridge line(Device.Master(), far.Master());
    TLoopProbe probe;
    probe.Start();
    TFigures f;
    const int64_t t0 = TTransferRig::NowMs();
    if (!Console.Form->Console->SendFile({.Path = File, .Protocol = Protocol}))
        return f;
    TChild receiver(y ? std::vector<std::string>{"rb", "-b"}
                      : std::vector<std::string>{"rx", "-b", "-c", "got.bin"},
                    Dir.string(), far.Slave());
    f.Ok = Console.RunUntil([&] { return receiver.Poll().has_value(); }, 120);
    f.Seconds = static_cast<double>(TTransferRig::NowMs() - t0) / 1000.0;
    probe.Stop();
    Lateness = probe.Lateness;
    f.Ok = f.Ok && receiver.Poll() == 0;
    std::ifstream in(Dir / (y ? fs::path(File).filename() : fs::path("got.bin")), std::ios::binary);
    const std::string got(std::istreambuf_iterator<char>(in), {});
    f.Ok = f.Ok && got.compare(0, Bytes.size(), Bytes) == 0 && got.size() < Bytes.size() + 1024;
    Console.RunUntil([&] { return !Console.Form->Console->Transferring(); }, 5);
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4;
    char tmpl[] = "/tmp/bench-transfer-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    const std::string bytes = SeededBytes(mb << 20, 4);
    const std::string file = (dir / "fw.bin").string();
    std::ofstream(file, std::ios::binary) << bytes;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as it comes
    std::printf("%zu MB random file, receiver lrzsz (rx -c / rb) on a pty\n", mb);
    std::printf("%-10s %-8s %9s %10s %s\n", "protocol", "sender", "seconds", "KB/s", "file");
    int bad = 0;
    for (TTransferProtocol p : {TTransferProtocol::Xmodem1K, TTransferProtocol::Ymodem})
        for (bool ours : {true, false}) {
            const TFigures f = Run(file, bytes, p, ours, dir / "rx");
            std::printf("%-10s %-8s %9.2f %10.0f %s\n", TransferProtocolName(p),
                        ours ? "console" : (p == TTransferProtocol::Ymodem ? "sb" : "sx -k"),
                        f.Seconds, static_cast<double>(bytes.size()) / 1024.0 / f.Seconds,
                        f.Ok ? "identical" : "WRONG");
            bad += !f.Ok;
        }

    TConfigHome config;
    TPtyDevice device;
    config.MapCom(1, device.SlavePath());
    int qtArgc = 1;
    TBenchConsole console(qtArgc, argv);
    console.Form->RButDirect->setChecked(true);
    for (TTransferProtocol p : {TTransferProtocol::Xmodem1K, TTransferProtocol::Ymodem}) {
        std::vector<double> lateness;
        const TFigures f = RunInWindow(console, device, file, bytes, p, dir / "rx", lateness);
        std::printf("%-10s %-8s %9.2f %10.0f %s; event loop stall median %.2f ms, longest %.1f "
                    "ms\n",
                    TransferProtocolName(p), "window", f.Seconds,
                    static_cast<double>(bytes.size()) / 1024.0 / f.Seconds,
                    f.Ok ? "identical" : "WRONG", Percentile(lateness, 50),
                    Percentile(lateness, 100));
        bad += !f.Ok;
    }
    fs::remove_all(dir);
    return bad ? 1 : 0;
}
