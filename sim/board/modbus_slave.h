// The TARVO board firmware's MODBUS ASCII slave (address 3): it assembles
// request lines, answers reads of holding registers 1 to 3 from the firmware
// descriptor in flash, and sends exception replies for anything else it has
// no answer to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

class Msp430;

class ModbusSlave {
  public:
    explicit ModbusSlave(Msp430 &chip) : chip_(chip) {}

    // Forget any half-received line (program start).
    void reset() { line_.clear(); }
    // A character received without line errors while the firmware runs.
    void on_char(std::uint8_t c);

  private:
    void request(const std::vector<std::uint8_t> &message);
    void reply(const std::vector<std::uint8_t> &message);

    Msp430 &chip_;
    std::string line_;
};

// A MODBUS ASCII line for a message: ":", hex pairs, LRC, CR LF.
std::string modbus_ascii(const std::vector<std::uint8_t> &message);

} // namespace sim::board
