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

// Reads the simulator's event lines until one of the kind named comes; returns that line.
std::string AwaitEvent(TProcess& Sim, const std::string& Event, int TimeoutMs = 5000) {
    while (auto line = Sim.ReadLine(TimeoutMs))
        if (JsonValue(*line, "event") == Event)
            return *line;
    throw std::runtime_error("the simulator did not report \"" + Event + "\"");
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

// "Packet Com" with "Treat", and a burst of requests whose answers the simulator checks.
void PacketBurst(TConsole& Console, TProcess& Sim) {
    Say("clicking \"Packet Com\" and \"Treat\"; the simulator on COM1 sends " +
        std::to_string(Requests) + " requests");
    Console.Click("RButPack");
    Console.Click("ChBxTreat");
    AwaitEvent(Sim, "open");
    Check(Console.Sync(), "the console did not take the clicks");
    Sim.WriteLine("burst " + std::to_string(Requests));
    const std::string done = AwaitEvent(Sim, "burst_done", 60000);
    Check(Field(done, "answered") == std::to_string(Requests),
          "not every request was answered: " + done);
}

// "Activation", then "Direct Com": a command answered, an activation datagram relayed to the
// device and a HELLO logged. The window is saved as Shot while the port is open.
void ActivationSession(TConsole& Console, TProcess& Sim, int Port, const std::string& Shot) {
    Say("ticking \"Activation\" on 127.0.0.1:" + std::to_string(Port) +
        " and opening \"Direct Com\"");
    Console.SetText("EdPort", std::to_string(Port));
    Console.Click("ChBxActiv");
    Check(WaitFor([Port] { return UdpPortBound(Port); }, 5000), "Activation did not listen");
    Console.Click("RButDirect"); // closes and opens the port again
    AwaitEvent(Sim, "open");

    Console.SetText("EdCmdLn", "ATI");
    Console.Key("Return");
    Check(Console.WaitLog([](const std::string& L) { return L.find("OK") != std::string::npos; },
                          5000),
          "the device's answer to ATI was not shown");
    Sim.WriteLine("udp act");
    Check(
        Console.WaitLog([](const std::string& L) { return L.rfind("Activation ", 0) == 0; }, 5000),
        "the activation datagram did not replace the log");
    Sim.WriteLine("udp hello");
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
    AwaitEvent(Sim, "close");
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

        const int port = FreeUdpPort();
        TProcess sim({devsim, "text", "--com", "1", "--console-port", std::to_string(port),
                      "--events", "--time-limit", "120"},
                     {.CaptureStdout = true, .PipeStdin = true, .QuietStderr = true});
        AwaitEvent(sim, "ready");
        PacketBurst(c, sim);
        ActivationSession(c, sim, port, out + "/demo.png");
        Check(c.Close(5000) == 0, "the console did not close cleanly");

        sim.WriteLine("quit");
        std::string summary;
        while (auto line = sim.ReadLine(10000))
            summary = *line; // the summary comes last
        Check(sim.Wait(5000) == 0, "the device simulator found a fault: " + summary);
        Check(Field(summary, "rx").find("ACT 1 tevro-devsim activation") != std::string::npos,
              "the activation datagram did not reach the device");

        Say("Packet Com with Treat: " + Field(summary, "answered") + " of " +
            Field(summary, "requests") + " requests answered (" + Field(summary, "missing") +
            " missing, " + Field(summary, "wrong") + " wrong); round trip median " +
            Field(summary, "rtt_median_ms") + " ms, worst " + Field(summary, "rtt_max_ms") + " ms");
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
