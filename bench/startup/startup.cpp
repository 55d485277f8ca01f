// Launches the console ten times on a virtual X display and prints the median time from launch
// to its window being mapped. Usage: bench_startup [path-to-tevro-console] [runs]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& Args) {
    std::vector<char*> argv;
    for (const auto& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

bool WaitExit(pid_t Pid, int TimeoutMs) {
    for (int waited = 0; waited < TimeoutMs; waited += 5) {
        int status;
        if (waitpid(Pid, &status, WNOHANG) == Pid)
            return true;
        usleep(5000);
    }
    return false;
}

void CloseWindow(Display* D, Window W) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = W;
    e.xclient.message_type = XInternAtom(D, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(D, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(D, W, False, NoEventMask, &e);
    XFlush(D);
}
} // namespace

int main(int argc, char** argv) {
    const std::string bin = argc > 1 ? argv[1] : "build-release/fBase/tevro-console";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    pid_t xvfb = -1;
    if (!getenv("DISPLAY")) {
        std::string disp = ":";
        disp += std::to_string(200 + getpid() % 200);
        xvfb = Spawn({"/usr/bin/Xvfb", disp, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        setenv("DISPLAY", disp.c_str(), 1);
        for (int i = 0; i < 200; ++i) {
            if (Display* d = XOpenDisplay(nullptr)) {
                XCloseDisplay(d);
                break;
            }
            usleep(20000);
        }
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "startup: no X display\n");
        return 2;
    }
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
        }
        const auto start = Clock::now();
        pid_t app = Spawn({bin});
        if (app < 0) {
            std::fprintf(stderr, "startup: cannot start %s\n", bin.c_str());
            return 2;
        }
        Window mapped = 0;
        while (!mapped && Clock::now() - start < std::chrono::seconds(10)) {
            if (!XPending(d)) {
                pollfd p{ConnectionNumber(d), POLLIN, 0};
                poll(&p, 1, 100);
                continue;
            }
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == MapNotify && !e.xmap.override_redirect)
                mapped = e.xmap.window;
        }
        if (!mapped) {
            std::fprintf(stderr, "startup: the window was not mapped within 10 s\n");
            kill(app, SIGKILL);
            WaitExit(app, 1000);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        CloseWindow(d, mapped);
        if (!WaitExit(app, 5000)) {
            kill(app, SIGKILL);
            WaitExit(app, 1000);
        }
    }
    XCloseDisplay(d);
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        WaitExit(xvfb, 2000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "startup: median %.1f ms from launch to window mapped (%d runs, min %.1f, max %.1f)\n",
        ms[ms.size() / 2], runs, ms.front(), ms.back());
    return 0;
}
