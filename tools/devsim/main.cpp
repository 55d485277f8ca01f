// tevro-devsim: plays the terminal device for tevro-console on a pty and on 127.0.0.1.
#include "Options.h"
#include "Simulator.h"

#include <cstdio>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const devsim::TParsed parsed = devsim::ParseOptions(args);
    if (parsed.Help) {
        std::fputs(devsim::UsageText().c_str(), stdout);
        return 0;
    }
    if (parsed.Version) {
        std::printf("tevro-devsim %s\n", TEVRO_VERSION);
        return 0;
    }
    if (!parsed.Options) {
        std::fprintf(stderr, "tevro-devsim: %s (see tevro-devsim --help)\n", parsed.Error.c_str());
        return 2;
    }
    devsim::TSimulator sim(*parsed.Options);
    return sim.Run();
}
