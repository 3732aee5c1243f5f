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

namespace board {

class Msp430;

// boards_start and boards_save for the world at `root` ("": boards in their
// factory state, nothing saved).
void boards_start_in(const std::string &root);
void boards_save_in(const std::string &root);

// The board model plugged into a port by boards_start (nullptr when the port
// holds no TARVO board or boards_start has not run).
Msp430 *board(int port);

} // namespace board

} // namespace sim
