// Faults that can be injected into a simulated TARVO board, to see how the
// updater copes.  They are part of the board's saved state: set once (by a test
// or with tarvo-sim fault), they act in every later run until cleared.  Counts
// (N) restart with every simulated run.
#pragma once

#include <string>

namespace sim::board {

struct Faults {
    bool loader_silent = false; // the entry pattern does not start the loader
    bool erase_silent = false;  // a mass erase is neither done nor answered
    int nak_after = 0;          // the Nth frame after loader entry is answered NAK
    int corrupt_readback = -1;  // TX data block returns a wrong byte at this address
    bool modbus_silent = false; // the firmware never replies
    bool modbus_short = false;  // replies are cut to their first 11 characters
    int drop_byte = 0;          // the Nth byte the board receives is lost
    int power_cut_after = 0;    // power lost after the Nth loader frame of a run
    bool operator==(const Faults &) const = default;
};

// The names of the faults with their argument ("nak-after=N"), joined by ", ";
// after every `per_line` names (0: never) the line goes on after `line_break`.
std::string fault_names(int per_line = 0, const char *line_break = "");

// Applies one fault given as "name" or "name=arg" (names as in fault_names).
// False with a reason for an unknown name or a bad argument.
bool fault_set(Faults *faults, const std::string &item, std::string *error);

// The faults as "name[=arg]" items joined by ","; "" when there are none.
std::string faults_text(const Faults &faults);

// Reads faults_text's form back (an empty text clears all).
bool faults_parse(const std::string &text, Faults *faults, std::string *error);

} // namespace sim::board
