// What the board in a port runs now, as the board query program reports it,
// and which port a running update works on.
#pragma once

#include "common/ports.h"

#include <cstddef>

// How long one query may take before the page gives up on it.  A board that
// answers takes well under a second; one that does not, about one.
constexpr int BOARD_QUERY_TIMEOUT_MS = 3000;

enum BoardQuery {
    BOARD_READ,      // version and configuration read
    BOARD_NO_BOARD,  // no TARVO board in the port
    BOARD_BUSY,      // an update holds the lock: the board was not asked
    BOARD_NO_ANSWER, // the board's firmware did not answer
    BOARD_UNKNOWN,   // the query failed, was not started or took too long
};

struct BoardState {
    int query;         // BoardQuery
    char version[16];  // "0x01010000" when read
    char config[128];  // the configuration text when read
    int update_pid;    // the running update (BOARD_BUSY), or 0
    int update_port;   // the port it updates, 0 when the query could not tell
    char pending[256]; // image of an interrupted update of the port, or ""
    char since[64];    // when that update began
    bool gave_up;      // boot recovery gave that update up
    char error[300];   // why the query failed (BOARD_UNKNOWN)
};

// Runs the board query for the port and fills the state from its answer.
// Returns the state's query result.
int board_state_query(const PortInfo &port, BoardState *state);

// Fills the state from the query's one-line JSON object.
void board_state_parse(const char *json, BoardState *state);

// The port that the updater with this pid works on, or 0 when it cannot be
// told (no such process, not the updater, no port in its arguments).
int updating_port(int pid);

// The offered image whose name carries this configuration, or null.
const char *offered_image(const char *config);
