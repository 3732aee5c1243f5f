// The boards of the simulated world: a TARVO board (an MSP430 model) on every
// port whose kind is "tarvo", nothing on the others.  Their state lives in the
// world between runs; a run only writes it back when something changed, so a
// program that never touched a board cannot overwrite what a concurrent run
// wrote.
#include "sim/boards.h"

#include "sim/board/state.h"
#include "sim/controller/controller.h"
#include "sim/world.h"

#include <cstdio>
#include <memory>

namespace sim {
namespace {

struct Slot {
    std::unique_ptr<board::Msp430> chip;
    std::string loaded; // the state as read at the start of the run
};
Slot slots[2];

} // namespace

bool boards_init_world(const std::string &root, std::string *error) {
    for (int port = 1; port <= 2; ++port) {
        std::string path = board::state_path(root, port);
        if (board_kind(port) != BoardKind::Tarvo) {
            std::remove(path.c_str());
            continue;
        }
        if (!board::save_state(path, board::factory_board(), error))
            return false;
    }
    return true;
}

void boards_start() {
    board::boards_start_in(world_root());
}

void boards_save() {
    board::boards_save_in(world_root());
}

namespace board {

void boards_start_in(const std::string &root) {
    for (int port = 1; port <= 2; ++port) {
        Slot &slot = slots[port - 1];
        attach_partner(port, nullptr);
        slot.chip.reset();
        slot.loaded.clear();
        if (board_kind(port) != BoardKind::Tarvo)
            continue;
        board::BoardState state = board::factory_board();
        if (!root.empty()) {
            std::string error;
            if (board::load_state(board::state_path(root, port), &state, &error))
                slot.loaded = board::serialize(state);
            else
                std::fprintf(stderr, "simulated board on PORT%d: %s; factory state used\n", port,
                             error.c_str());
        }
        slot.chip = std::make_unique<board::Msp430>(port);
        slot.chip->load(state);
        attach_partner(port, slot.chip.get());
    }
}

void boards_save_in(const std::string &root) {
    if (root.empty())
        return;
    for (int port = 1; port <= 2; ++port) {
        Slot &slot = slots[port - 1];
        if (!slot.chip)
            continue;
        std::string text = board::serialize(slot.chip->save());
        if (text == slot.loaded)
            continue;
        std::string error;
        if (board::save_state(board::state_path(root, port), slot.chip->save(), &error))
            slot.loaded = text;
        else
            std::fprintf(stderr, "simulated board on PORT%d: %s\n", port, error.c_str());
    }
}

Msp430 *board(int port) {
    if (port != 1 && port != 2)
        return nullptr;
    return slots[port - 1].chip.get();
}
} // namespace board

} // namespace sim
