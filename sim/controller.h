// The simulated controller behind the register access interface: the two
// PL011 UARTs, the PL061 GPIO block, the RAS select, control and clock-enable
// registers.  Addresses and behaviour follow the controller's register map.
#pragma once

#include "sim/clock.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Start of a simulated run: opens the register trace named by TARVO_SIM_TRACE.
void controller_start();
// End of a run: flushes and closes the trace.
void controller_shutdown();

// Power-on state of every register, FIFO and line; partners stay plugged in.
void controller_reset();

// Virtual time charged for every register access (default 20 us).
void set_access_cost(Nanos cost);
Nanos access_cost();

// Accesses to addresses outside the controller's blocks, or of a width a block
// does not support.  Each entry describes one access.
const std::vector<std::string> &bus_faults();
void clear_bus_faults();

} // namespace sim
