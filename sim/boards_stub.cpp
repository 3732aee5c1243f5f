// Boards not modelled yet: nothing answers on the ports.
#include "sim/boards.h"

namespace sim {
bool boards_init_world(const std::string &, std::string *) { return true; }
void boards_start() {}
void boards_save() {}
} // namespace sim
