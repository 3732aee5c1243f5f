// tarvo-sim: makes and inspects simulated worlds.
//   tarvo-sim init DIR [--port1 KIND] [--port2 KIND]    KIND: tarvo, other, none
#include "sim/world.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: tarvo-sim init DIR [--port1 KIND] [--port2 KIND] [--no-gpio]\n"
                         "  KIND: tarvo (board type 5), other (type 4), none (no board)\n");
    return 2;
}

int cmd_init(int argc, char **argv) {
    if (argc < 3)
        return usage();
    sim::BoardKind kinds[2] = {sim::BoardKind::Tarvo, sim::BoardKind::Tarvo};
    bool no_gpio = false;
    for (int i = 3; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--no-gpio") == 0) {
            no_gpio = true;
            --i;
            continue;
        }
        int port = std::strcmp(argv[i], "--port1") == 0   ? 1
                   : std::strcmp(argv[i], "--port2") == 0 ? 2
                                                          : 0;
        if (port == 0 || i + 1 >= argc)
            return usage();
        if (!sim::parse_kind(argv[i + 1], &kinds[port - 1])) {
            std::fprintf(stderr, "tarvo-sim: unknown board kind '%s'\n", argv[i + 1]);
            return 2;
        }
    }
    std::string error;
    if (!sim::world_init(argv[2], kinds[0], kinds[1], &error, no_gpio)) {
        std::fprintf(stderr, "tarvo-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return usage();
    if (std::strcmp(argv[1], "init") == 0)
        return cmd_init(argc, argv);
    return usage();
}
