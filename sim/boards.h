// The boards of the simulated world, seen from the world's life cycle.
#pragma once

#include <string>

namespace sim {

// A new world: give each TARVO board its factory state under $root/sim/.
bool boards_init_world(const std::string &root, std::string *error);

// Start of a simulated run: load each board's state from the world and plug the
// boards into the controller's ports.
void boards_start();

// End of a simulated run: write each board's state back to the world.
void boards_save();

} // namespace sim
