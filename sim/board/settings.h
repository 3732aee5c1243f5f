// The envelope settings of a simulated TARVO board: which loader it carries and
// the timings that real parts spread over within the data sheet's ranges.
// Like the faults they are part of the board's saved state (set with
// tarvo-sim set); the defaults are the board the simulator has always been,
// with a typical flash byte time.
#pragma once

#include "sim/board/model_choices.h"

#include <cstdint>
#include <string>

namespace sim::board {

struct Settings {
    std::uint16_t loader = LOADER_1_10; // BCD version
    Nanos flash_byte = FLASH_BYTE_TIME;
    Nanos erase_cycle = ERASE_TIME;
    bool cumulative_erase = false; // the part needs 200 ms of erase in total
    Nanos firmware_start = PROGRAM_STARTUP;
    bool operator==(const Settings &) const = default;
};

// "NAME=VALUE" items of every setting, with each one's values.
std::string setting_names();

// Applies one "NAME=VALUE" item.  False with a reason for an unknown name or a
// value outside the setting's range.
bool setting_set(Settings *settings, const std::string &item, std::string *error);

// Every setting as "NAME=VALUE" joined by ",", in the order of setting_names.
std::string settings_text(const Settings &settings);

// Reads settings_text's form back; items not given keep their defaults.
bool settings_parse(const std::string &text, Settings *settings, std::string *error);

} // namespace sim::board
