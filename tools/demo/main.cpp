// tevro-demo: plays a short session with the console on a virtual X display, as an operator
// would, against the device simulator: Packet Com with Treat and a burst of requests, then
// Activation with a HELLO and an activation datagram. Saves two screenshots and prints what
// happened. Usage: tevro-demo CONSOLE DEVSIM OUTPUT-FOLDER
#include "Console.h"
#include "Layout.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

constexpr int Requests = 200;

void Say(const std::string& Text) {
    std::printf("demo: %s\n", Text.c_str());
    std::fflush(stdout);
}

void Check(bool Ok, const std::string& What) {
    if (!Ok)
        throw std::runtime_error(What);
}

// Reads the simulator's event lines until one of the kind named comes.
void AwaitEvent(TProcess& Sim, const std::string& Event, int TimeoutMs) {
    while (auto line = Sim.ReadLine(TimeoutMs))
        if (JsonValue(*line, "event") == Event)
            return;
    throw std::runtime_error("the simulator did not report \"" + Event + "\"");
}

// The simulator's last line once it has ended: its summary.
std::string Summary(TProcess& Sim, int TimeoutMs) {
    std::string last;
    while (auto line = Sim.ReadLine(TimeoutMs))
        last = *line;
    Check(Sim.Wait(5000).has_value(), "the simulator did not end");
    return last;
}

std::string Field(const std::string& Json, const std::string& Key) {
    return JsonValue(Json, Key).value_or("?");
}

// The log's selection is drawn in the highlight colour, a blue; the log itself is green.
bool HasSelection(const std::vector<uint32_t>& Pixels) {
    for (uint32_t p : Pixels)
        if ((p & 255) > ((p >> 16) & 255) + 60)
            return true;
    return false;
}

void ClosePort(TConsole& Console) {
    Console.Click("BtSet"); // " Port settings " shows OPEN and CLOSE
    Console.Click("BtnClose");
    Console.Click("BtSet");
}

std::string PacketBurst(TConsole& Console, const std::string& Devsim) {
    TProcess sim({Devsim, "packet", "--com", "1", "--requests", std::to_string(Requests), "--start",
                  "open", "--timeout-ms", "100", "--gap-ms", "2", "--linger", "2", "--events",
                  "--no-stdin", "--time-limit", "60"},
                 {.CaptureStdout = true, .QuietStderr = true});
    AwaitEvent(sim, "ready", 5000);
    Say("clicking \"Packet Com\" and \"Treat\"; the simulator on COM1 sends " +
        std::to_string(Requests) + " requests");
    Console.Click("RButPack");
    Console.Click("ChBxTreat");
    AwaitEvent(sim, "probe_answered", 15000);
    // The simulator writes a request at least every 150 ms until it has sent all; once it has
    // been quiet for longer the port is closed (before the device goes away with it).
    long long written = -2;
    Check(WaitFor(
              [&] {
                  const long long now = sim.WrittenBytes();
                  const bool quiet = now == written;
                  written = now;
                  return quiet;
              },
              60000, 600),
          "the packet burst did not end");
    ClosePort(Console);
    const std::string summary = Summary(sim, 10000);
    Check(Field(summary, "exit") == "0" && Field(summary, "answered") == std::to_string(Requests),
          "the packet burst failed: " + summary);
    return summary;
}

// Activation with a text-mode device on COM1: a command line answered, then an activation
// datagram relayed to the device and a HELLO logged; the window is saved as Shot while the
// port is still open. Returns what the device received.
std::string ActivationSession(TConsole& Console, const std::string& Devsim,
                              const std::string& Shot) {
    const int port = FreeUdpPort();
    TProcess sim({Devsim, "text", "--com", "1", "--console-port", std::to_string(port), "--events",
                  "--time-limit", "120"},
                 {.CaptureStdout = true, .PipeStdin = true, .QuietStderr = true});
    AwaitEvent(sim, "ready", 5000);
    Say("ticking \"Activation\" on 127.0.0.1:" + std::to_string(port) +
        " and opening \"Direct Com\"");
    Console.SetText("EdPort", std::to_string(port));
    Console.Click("ChBxActiv");
    Check(WaitFor([port] { return UdpPortBound(port); }, 5000), "Activation did not listen");
    Console.Click("RButDirect");
    AwaitEvent(sim, "open", 5000);

    Console.SetText("EdCmdLn", "ATI");
    Console.Key("Return");
    Check(Console.WaitLog([](const std::string& L) { return L.find("OK") != std::string::npos; },
                          5000),
          "the device's answer to ATI was not shown");
    sim.WriteLine("udp act");
    Check(
        Console.WaitLog([](const std::string& L) { return L.rfind("Activation ", 0) == 0; }, 5000),
        "the activation datagram did not replace the log");
    sim.WriteLine("udp hello");
    Check(Console.WaitLog(
              [](const std::string& L) {
                  return L.find("HELLO from tevro-devsim >>> 127.0.0.1  ") != std::string::npos;
              },
              5000),
          "the HELLO datagram was not logged");
    // A click in the log drops the selection that reading it made (away from where reading
    // clicked, which would make a double click); wait for the repaint.
    Console.ClickAt(40, 40);
    Check(WaitFor([&] { return !HasSelection(Console.Grab(layout::Control("MemMess"))); }, 3000),
          "the log's selection stayed");
    Check(Console.SaveScreenshot(Shot), "cannot save " + Shot);

    ClosePort(Console);
    AwaitEvent(sim, "close", 5000);
    sim.WriteLine("quit");
    const std::string summary = Summary(sim, 10000);
    Check(Field(summary, "exit") == "0", "the device simulator failed: " + summary);
    return Field(summary, "rx");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "Usage: tevro-demo CONSOLE DEVSIM OUTPUT-FOLDER\n");
        return 2;
    }
    const std::string console = argv[1], devsim = argv[2], out = argv[3];
    try {
        TXvfb display;
        TConfigHome config; // a COM map of its own: COM1 is the simulator
        TConsole c(console);
        Say("the console runs on the virtual display " + display.Name());
        Check(c.SaveScreenshot(out + "/screenshot.png"), "cannot save the screenshot");

        const std::string packet = PacketBurst(c, devsim);
        const std::string received = ActivationSession(c, devsim, out + "/demo.png");
        Check(received.find("ACT 1 tevro-devsim activation") != std::string::npos,
              "the activation datagram did not reach the device");

        Check(c.Close(5000) == 0, "the console did not close cleanly");

        Say("Packet Com with Treat: " + Field(packet, "answered") + " of " +
            Field(packet, "requests") + " requests answered (" + Field(packet, "missing") +
            " missing, " + Field(packet, "wrong") + " wrong); round trip median " +
            Field(packet, "rtt_median_ms") + " ms, worst " + Field(packet, "rtt_max_ms") + " ms");
        Say("Activation: a HELLO logged with its sender and time; the activation datagram "
            "relayed to the device");
        Say("window at start in " + out + "/screenshot.png, after the session in " + out +
            "/demo.png");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
}
