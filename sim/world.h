// The simulated world: a directory ($TARVO_SIM_ROOT) standing in for the
// controller's file system, with the simulated boards' state under sim/.
#pragma once

#include <string>

namespace sim {

enum class BoardKind { None, Other, Tarvo };

const char *kind_name(BoardKind kind);
bool parse_kind(const std::string &text, BoardKind *kind);

// Board type code the "/dev/gpio" driver reports for a kind.
int kind_type_code(BoardKind kind);

// The world directory of this process ("" when none: unit tests).
const std::string &world_root();

// Reads $root/sim/world.conf (board kinds).  False with a reason on failure.
bool world_load(const std::string &root, std::string *error);

// Creates a fresh world: directory tree, world.conf, sample images, the
// simulated updater.  False with a reason on failure.
bool world_init(const std::string &root, BoardKind port1, BoardKind port2, std::string *error,
                bool gpio_missing = false);

// The controller kernel's timer tick (world.conf "kernel-hz=N"): 0 for
// high-resolution timers, the default; otherwise the tick rate of a
// jiffy-based kernel, from KERNEL_HZ_MIN to KERNEL_HZ_MAX (Linux builds with
// 100, 250, 300 or 1000).
constexpr int KERNEL_HZ_MIN = 100;
constexpr int KERNEL_HZ_MAX = 1000;
int kernel_hz();
void set_kernel_hz(int hz);
// Parses "kernel-hz=N" with N 0 or in range.  False with a reason otherwise.
bool parse_kernel_hz(const std::string &item, int *hz, std::string *error);
// Stores the tick in the world at `root` (loaded before) for its later runs.
bool world_save_kernel_hz(const std::string &root, int hz, std::string *error);

BoardKind board_kind(int port);
// A world whose controller has no "/dev/gpio" driver (world.conf "gpio=missing").
bool world_gpio_missing();
void set_board_kind(int port, BoardKind kind);

// Path of a file of the world: root + fixed (fixed starts with '/').
std::string world_path(const std::string &fixed);

} // namespace sim
