#include "sim/controller/pl061.h"

#include <array>

namespace sim {
namespace {

using namespace pl061;

constexpr std::uint8_t DATA_RESET = 0x00;
constexpr std::uint8_t DIR_RESET = 0x00; // every pin an input

// Level of a pin that nothing on the controller drives: the boards' lines have
// pull-ups, and the block's other pins are taken to float high as well.
constexpr std::uint8_t INPUT_LEVELS = 0xFF;

constexpr std::array<std::uint8_t, 8> ID_BYTES = {0x61, 0x10, 0x04, 0x00, 0x0D, 0xF0, 0x05, 0xB1};

bool is_id(std::uint32_t offset) {
    return offset >= ID_FIRST && offset <= ID_LAST && offset % 4 == 0;
}

} // namespace

void Pl061::reset() {
    data_ = DATA_RESET;
    dir_ = DIR_RESET;
}

std::uint8_t Pl061::levels() const {
    return static_cast<std::uint8_t>((data_ & dir_) | (INPUT_LEVELS & ~dir_));
}

bool Pl061::read(std::uint32_t offset, std::uint32_t *value, bool clocked) const {
    std::uint32_t v;
    if (offset <= DATA_LAST && offset % 4 == 0)
        v = levels() & ((offset >> 2) & 0xFF);
    else if (offset == DIR)
        v = dir_;
    else if (is_id(offset))
        v = ID_BYTES[(offset - ID_FIRST) / 4];
    else
        return false;
    *value = clocked ? v : 0;
    return true;
}

bool Pl061::write(std::uint32_t offset, std::uint32_t value, bool clocked) {
    bool data = offset <= DATA_LAST && offset % 4 == 0;
    if (!data && offset != DIR && !is_id(offset))
        return false;
    if (!clocked)
        return true;
    if (data) {
        auto mask = static_cast<std::uint8_t>(offset >> 2);
        data_ = static_cast<std::uint8_t>((data_ & ~mask) | (value & mask));
    } else if (offset == DIR) {
        dir_ = static_cast<std::uint8_t>(value);
    }
    return true;
}

} // namespace sim
