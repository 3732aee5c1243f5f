// The PL061 GPIO block of the simulated controller: the address-masked data
// register, the direction register and the identification registers.
#pragma once

#include <cstdint>

namespace sim {

namespace pl061 {
constexpr std::uint32_t DATA_LAST = 0x3FC; // DATA at 0x000..0x3FC, mask = offset bits 9..2
constexpr std::uint32_t DIR = 0x400;
constexpr std::uint32_t ID_FIRST = 0xFE0; // PeriphID0..3, CellID0..3
constexpr std::uint32_t ID_LAST = 0xFFC;
} // namespace pl061

class Pl061 {
  public:
    Pl061() { reset(); }
    void reset();

    // Register access at an offset from the base.  False when there is no
    // register at that offset.  Without its clock the block reads 0 and ignores
    // writes (the registers keep their values and the outputs stay driven).
    bool read(std::uint32_t offset, std::uint32_t *value, bool clocked) const;
    bool write(std::uint32_t offset, std::uint32_t value, bool clocked);

    // Pin levels: an output pin at its data bit, an input pin at what the far
    // side pulls it to.
    std::uint8_t levels() const;
    std::uint8_t dir() const { return dir_; }
    std::uint8_t data() const { return data_; }

  private:
    std::uint8_t data_ = 0;
    std::uint8_t dir_ = 0;
};

} // namespace sim
