// tevro-xwin: a small X helper for scripts that drive the console on a display without a
// window manager. Run with no arguments for its usage.
#include "Layout.h"
#include "XWin.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {
const char* Usage = R"(Usage: tevro-xwin COMMAND ...
  wait TITLE [SECONDS]   wait until a window with exactly this title is mapped (default 10 s);
                         prints "WINDOW X Y WIDTH HEIGHT"
  gone WINDOW [SECONDS]  wait until the window is unmapped or destroyed (default 10 s)
  close WINDOW           ask the window to close, as a window manager's close button does
  point WINDOW CONTROL   prints "X Y", the screen position of the middle of a console control
                         (RButPack, ChBxTreat, EdCmdLn, ... as the window names them)
Exit status: 0 done, 1 timed out or no such control, 2 usage or display error.
)";

int Seconds(int Argc, char** Argv, int At) {
    return 1000 * (Argc > At ? std::atoi(Argv[At]) : 10);
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    try {
        TXDisplay x;
        const unsigned long window = std::strtoul(argv[2], nullptr, 0);
        if (command == "wait") {
            const unsigned long w = x.WaitForWindow(argv[2], Seconds(argc, argv, 3));
            if (!w)
                return 1;
            const TRect g = x.Geometry(w);
            std::printf("%lu %d %d %d %d\n", w, g.X, g.Y, g.W, g.H);
            return 0;
        }
        if (command == "gone")
            return x.WaitGone(window, Seconds(argc, argv, 3)) ? 0 : 1;
        if (command == "close") {
            x.Close(window);
            return 0;
        }
        if (command == "point" && argc > 3) {
            const TRect r = layout::Control(argv[3]);
            if (r.W == 0)
                return 1;
            const TRect g = x.Geometry(window);
            std::printf("%d %d\n", g.X + r.X + r.W / 2, g.Y + r.Y + r.H / 2);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tevro-xwin: %s\n", e.what());
        return 2;
    }
    std::fputs(Usage, stderr);
    return 2;
}
