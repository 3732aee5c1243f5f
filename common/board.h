// Board detection: is the expansion board in a port a TARVO board?
#pragma once

struct PortInfo;

// The type code of a TARVO board (the request per port is in the port table).
constexpr int BOARD_TYPE_TARVO = 5;

// 1 when the board in the port reports the TARVO type code, 0 otherwise
// (including when the driver cannot be asked).  Logs nothing.
int board_present(const PortInfo &port);

// The port argument's leading base-10 number (0 when there is none).  A number
// beyond the range of int is taken as the nearest end of that range, as on a
// target whose long is 32 bits wide, so it never lands on a real port.
int parse_port(const char *arg);
