// The row of a port the tests name by its number; the number must be a port.
#pragma once

#include "common/ports.h"

#include <cstdlib>

inline const PortInfo &port_row(int number) {
    const PortInfo *row = port_info(number);
    if (!row)
        std::abort();
    return *row;
}
