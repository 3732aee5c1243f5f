// The boards of the simulated world: a TARVO board (an MSP430 model) on every
// port whose kind is "tarvo", nothing on the others.  Their state lives in the
// world between runs.  A board reads it when a run first touches it and writes
// it back after every change; a run that never changed a board writes nothing,
// so it cannot overwrite what another run wrote.
#include "sim/boards.h"

#include "sim/board/state.h"
#include "sim/controller/controller.h"
#include "sim/world.h"

#include <cstdio>
#include <memory>

namespace sim {
namespace {

// What the controller sees in a TARVO port: the board, read from the world at
// the first line change or byte that reaches it.
class Slot : public LinePartner {
  public:
    void plug(int port, const std::string &root) {
        attach_partner(port, nullptr);
        port_ = port;
        root_ = root;
        chip_.reset();
        saved_.clear();
        plugging_ = true;
        attach_partner(port, this);
        plugging_ = false;
        if (root_.empty())
            touch();
    }
    void unplug(int port) {
        attach_partner(port, nullptr);
        chip_.reset();
        port_ = 0;
    }
    board::Msp430 *chip() {
        if (!chip_ && port_ != 0)
            touch();
        return chip_.get();
    }
    // Writes the board's state when it differs from what the world holds.
    void save() {
        if (chip_ && !root_.empty())
            write(chip_->save());
    }

    void on_byte(std::uint8_t byte, const FrameFormat &fmt, Nanos start) override {
        touch();
        chip_->on_byte(byte, fmt, start);
    }
    void on_lines(bool a, bool b, Nanos when) override {
        if (plugging_) {
            // The levels at plug time, handed on when the board is read.
            a_ = a;
            b_ = b;
            when_ = when;
            return;
        }
        touch();
        chip_->on_lines(a, b, when);
    }

  private:
    void touch() {
        if (chip_)
            return;
        board::BoardState state = board::factory_board();
        if (!root_.empty()) {
            std::string error;
            if (board::load_state(board::state_path(root_, port_), &state, &error))
                saved_ = board::serialize(state);
            else
                std::fprintf(stderr, "simulated board on PORT%d: %s; factory state used\n", port_,
                             error.c_str());
        }
        chip_ = std::make_unique<board::Msp430>(port_);
        chip_->load(state);
        chip_->on_lines(a_, b_, when_);
        if (!root_.empty())
            chip_->set_persist([this](const board::BoardState &s) { write(s); });
    }
    void write(const board::BoardState &state) {
        std::string text = board::serialize(state);
        if (text == saved_)
            return;
        std::string error;
        if (board::write_state(board::state_path(root_, port_), text, false, &error))
            saved_ = text;
        else
            std::fprintf(stderr, "simulated board on PORT%d: %s\n", port_, error.c_str());
    }

    int port_ = 0;
    std::string root_;
    std::unique_ptr<board::Msp430> chip_;
    std::string saved_; // the state as the world holds it
    bool plugging_ = false;
    bool a_ = true, b_ = true;
    Nanos when_ = 0;
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
        if (board_kind(port) == BoardKind::Tarvo)
            slots[port - 1].plug(port, root);
        else
            slots[port - 1].unplug(port);
    }
}

void boards_save_in(const std::string &root) {
    if (root.empty())
        return;
    for (Slot &slot : slots)
        slot.save();
}

Msp430 *board(int port) {
    if (port != 1 && port != 2)
        return nullptr;
    return slots[port - 1].chip();
}
} // namespace board

} // namespace sim
