// The saved state of the simulated TARVO boards in a world: one text file per
// port, $root/sim/boardN.state, with the mode, the loader's password state,
// the injected faults, the envelope settings and the memory (main and
// information flash, RAM) in hex.  Files are replaced atomically (temporary
// file, then rename): a reader, or a program started after the writer died,
// finds the old state or the new one.
#pragma once

#include "sim/board/msp430.h"

#include <string>

namespace sim::board {

std::string state_path(const std::string &root, int port);

std::string serialize(const BoardState &state);
bool parse_state(const std::string &text, BoardState *state, std::string *error);

// False with a reason when the file is missing or damaged.
bool load_state(const std::string &path, BoardState *state, std::string *error);
bool save_state(const std::string &path, const BoardState &state, std::string *error);
// Writes serialized state.  Without `sync` the new file is not flushed to the
// disk: it survives the death of the writing program (the kernel holds it),
// which is what a board's flash must survive, and costs little enough to be
// written after every loader command.
bool write_state(const std::string &path, const std::string &text, bool sync, std::string *error);

// The factory state: the first sample image programmed and running.
BoardState factory_board();

} // namespace sim::board
