// The boards of the simulated world, seen from the world's life cycle.
#pragma once

#include <string>

namespace sim {

// A new world: give each TARVO board its factory state under $root/sim/.
bool boards_init_world(const std::string &root, std::string *error);

// Start of a simulated run: plug a board into each TARVO port of the world.
// A board reads its state from the world when the run first touches it (a
// line change or a byte), not before: a run reaches the boards only under the
// update lock, so it sees what the previous holder left.
void boards_start();

// End of a simulated run: writes back whatever a board still holds unsaved.
// Every change a board makes (flash, RAM, mode, the loader's password state)
// is written to the world as it happens, so a run that dies leaves the boards
// as it had driven them, as on hardware.
void boards_save();

namespace board {

class Msp430;

// boards_start and boards_save for the world at `root` ("": boards in their
// factory state at once, nothing saved).
void boards_start_in(const std::string &root);
void boards_save_in(const std::string &root);

// The board model plugged into a port by boards_start, its state read from
// the world if that has not happened yet (nullptr when the port holds no
// TARVO board or boards_start has not run).
Msp430 *board(int port);

} // namespace board

} // namespace sim
