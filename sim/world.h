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

BoardKind board_kind(int port);
// A world whose controller has no "/dev/gpio" driver (world.conf "gpio=missing").
bool world_gpio_missing();
void set_board_kind(int port, BoardKind kind);

// Path of a file of the world: root + fixed (fixed starts with '/').
std::string world_path(const std::string &fixed);

} // namespace sim
