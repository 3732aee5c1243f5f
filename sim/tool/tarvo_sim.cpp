// tarvo-sim: makes simulated worlds and shows or changes their boards.
//   tarvo-sim init DIR [--port1 KIND] [--port2 KIND] [--no-gpio]   KIND: tarvo, other, none
//   tarvo-sim show DIR                  each port's board as one JSON object per line
//   tarvo-sim fault DIR PORT NAME[=ARG] injects a fault into a TARVO board
//   tarvo-sim clear DIR PORT            removes its injected faults
//   tarvo-sim set DIR PORT NAME=VALUE   makes a TARVO board another board of
//                                       the data sheet's envelope
//   tarvo-sim set DIR kernel-hz=N       the controller kernel's timer tick
//                                       (0: high-resolution timers)
//   tarvo-sim set DIR clock-step-us=N   the step in which its monotonic clock
//                                       advances (0: between any two reads)
//   tarvo-sim flash DIR PORT FILE       programs an Intel HEX image as a factory
//                                       programmer would (erase, write, run)
//   tarvo-sim reboot DIR                power-cycles the boards as a restart of
//                                       the controller does
#include "sim/board/faults.h"
#include "sim/board/info.h"
#include "sim/board/intel_hex.h"
#include "sim/board/settings.h"
#include "sim/board/state.h"
#include "sim/text_util.h"
#include "sim/world.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: tarvo-sim init DIR [--port1 KIND] [--port2 KIND] [--no-gpio]\n"
                 "         KIND: tarvo (board type 5), other (type 4), none (no board)\n"
                 "       tarvo-sim show DIR\n"
                 "       tarvo-sim fault DIR PORT NAME[=ARG]\n"
                 "         NAME: %s\n"
                 "       tarvo-sim clear DIR PORT\n"
                 "       tarvo-sim set DIR PORT NAME=VALUE\n"
                 "         NAME=VALUE: %s\n"
                 "       tarvo-sim set DIR kernel-hz=N\n"
                 "         N: 0 (high-resolution timers, the default) or %d..%d\n"
                 "       tarvo-sim set DIR clock-step-us=N\n"
                 "         N: 0 (a clock that advances between any two reads, the default)\n"
                 "            or 1..%d\n"
                 "       tarvo-sim flash DIR PORT FILE\n"
                 "       tarvo-sim reboot DIR\n",
                 sim::board::fault_names(4, "\n               ").c_str(),
                 sim::board::setting_names().c_str(), sim::KERNEL_HZ_MIN, sim::KERNEL_HZ_MAX,
                 sim::CLOCK_STEP_US_MAX);
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

bool open_world(const char *dir) {
    std::string error;
    if (!sim::world_load(dir, &error)) {
        std::fprintf(stderr, "tarvo-sim: %s\n", error.c_str());
        return false;
    }
    return true;
}

// PORT must be 1 or 2 and hold a TARVO board.
bool tarvo_port(const char *text, int *port) {
    if (std::strcmp(text, "1") != 0 && std::strcmp(text, "2") != 0) {
        std::fprintf(stderr, "tarvo-sim: PORT must be 1 or 2, not '%s'\n", text);
        return false;
    }
    *port = text[0] - '0';
    if (sim::board_kind(*port) != sim::BoardKind::Tarvo) {
        std::fprintf(stderr, "tarvo-sim: PORT%d holds no TARVO board\n", *port);
        return false;
    }
    return true;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

int cmd_show(int argc, char **argv) {
    if (argc != 3)
        return usage();
    if (!open_world(argv[2]))
        return 1;
    int status = 0;
    const std::string kernel = ",\"kernel_hz\":" + std::to_string(sim::kernel_hz()) +
                               ",\"clock_step_us\":" + std::to_string(sim::clock_step_us()) + "}";
    for (int port = 1; port <= 2; ++port) {
        sim::BoardKind kind = sim::board_kind(port);
        std::string line =
            "{\"port\":" + std::to_string(port) + ",\"board\":\"" + sim::kind_name(kind) + "\"";
        if (kind != sim::BoardKind::Tarvo) {
            line += ",\"mode\":\"off\",\"version\":null,\"config\":null,\"config_text\":null,"
                    "\"flash_crc32\":null,\"faults\":\"\",\"settings\":null" +
                    kernel;
            std::printf("%s\n", line.c_str());
            continue;
        }
        sim::board::BoardState state;
        std::string error;
        if (!sim::board::load_state(sim::board::state_path(argv[2], port), &state, &error)) {
            std::fprintf(stderr, "tarvo-sim: %s\n", error.c_str());
            status = 1;
            continue;
        }
        sim::board::Descriptor d = sim::board::read_descriptor(state.main);
        char buf[64];
        line += ",\"mode\":\"" + std::string(sim::board::mode_name(state.mode)) + "\"";
        if (d.found) {
            std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(d.version));
            line += ",\"version\":\"" + std::string(buf) + "\"";
            std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(d.config));
            line += ",\"config\":\"" + std::string(buf) + "\"";
            line += ",\"config_text\":" + json_string(sim::board::config_text(d.config));
        } else {
            line += ",\"version\":null,\"config\":null,\"config_text\":null";
        }
        std::snprintf(
            buf, sizeof buf, "0x%08X",
            static_cast<unsigned>(sim::board::crc32(state.main.data(), state.main.size())));
        line += ",\"flash_crc32\":\"" + std::string(buf) + "\"";
        line += ",\"faults\":" + json_string(sim::board::faults_text(state.faults));
        line += ",\"settings\":" + json_string(sim::board::settings_text(state.settings)) + kernel;
        std::printf("%s\n", line.c_str());
    }
    return status;
}

// Loads a TARVO board's state, lets `change` work on it, saves it.
template <typename Change> int edit_board(const char *dir, const char *port_text, Change change) {
    int port = 0;
    if (!open_world(dir) || !tarvo_port(port_text, &port))
        return 1;
    std::string path = sim::board::state_path(dir, port), error;
    sim::board::BoardState state;
    if (!sim::board::load_state(path, &state, &error) || !change(&state, &error) ||
        !sim::board::save_state(path, state, &error)) {
        std::fprintf(stderr, "tarvo-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int cmd_fault(int argc, char **argv) {
    if (argc != 5)
        return usage();
    std::string item = argv[4];
    return edit_board(argv[2], argv[3], [&item](sim::board::BoardState *s, std::string *error) {
        return sim::board::fault_set(&s->faults, item, error);
    });
}

int cmd_clear(int argc, char **argv) {
    if (argc != 4)
        return usage();
    return edit_board(argv[2], argv[3], [](sim::board::BoardState *s, std::string *) {
        s->faults = sim::board::Faults{};
        return true;
    });
}

int cmd_set(int argc, char **argv) {
    if (argc == 4) {
        int value = 0;
        std::string error;
        if (!open_world(argv[2]))
            return 1;
        bool ok = std::strncmp(argv[3], "clock-step-us=", 14) == 0
                      ? sim::parse_clock_step_us(argv[3], &value, &error) &&
                            sim::world_save_clock_step_us(argv[2], value, &error)
                      : sim::parse_kernel_hz(argv[3], &value, &error) &&
                            sim::world_save_kernel_hz(argv[2], value, &error);
        if (!ok) {
            std::fprintf(stderr, "tarvo-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (argc != 5)
        return usage();
    std::string item = argv[4];
    return edit_board(argv[2], argv[3], [&item](sim::board::BoardState *s, std::string *error) {
        return sim::board::setting_set(&s->settings, item, error);
    });
}

int cmd_flash(int argc, char **argv) {
    if (argc != 5)
        return usage();
    std::string file = argv[4];
    return edit_board(argv[2], argv[3], [&file](sim::board::BoardState *s, std::string *error) {
        std::string text;
        if (!sim::read_whole_file(file, &text)) {
            *error = "cannot read " + file;
            return false;
        }
        sim::board::FwImage image;
        if (!sim::board::parse_intel_hex(text, &image, error)) {
            *error = file + ": " + *error;
            return false;
        }
        sim::board::Faults faults = s->faults;
        sim::board::Settings settings = s->settings;
        *s = sim::board::factory_state(image);
        s->faults = faults;
        s->settings = settings;
        // Without a program behind its reset vector the chip hangs.
        s->mode = sim::board::power_on_mode(*s);
        return true;
    });
}

// Every TARVO board loses power and gets it back, whatever it was doing: its
// loader forgets everything, RAM is lost, and the chip starts from its reset
// vector.
int cmd_reboot(int argc, char **argv) {
    if (argc != 3)
        return usage();
    if (!open_world(argv[2]))
        return 1;
    for (const char *port : {"1", "2"}) {
        if (sim::board_kind(port[0] - '0') != sim::BoardKind::Tarvo)
            continue;
        int status = edit_board(argv[2], port, [](sim::board::BoardState *s, std::string *) {
            sim::board::power_cycle(s);
            return true;
        });
        if (status != 0)
            return status;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "init")
        return cmd_init(argc, argv);
    if (cmd == "show")
        return cmd_show(argc, argv);
    if (cmd == "fault")
        return cmd_fault(argc, argv);
    if (cmd == "clear")
        return cmd_clear(argc, argv);
    if (cmd == "set")
        return cmd_set(argc, argv);
    if (cmd == "flash")
        return cmd_flash(argc, argv);
    if (cmd == "reboot")
        return cmd_reboot(argc, argv);
    return usage();
}
