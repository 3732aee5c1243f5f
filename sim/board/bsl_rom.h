// The MSP430's ROM bootstrap loader as it talks on its UART: SYNC exchange,
// frame assembly and checks, the commands, the password, and loader 1.10's
// reliance on its RAM patch for flash data blocks (later loaders need none).
#pragma once

#include "sim/board/bsl_frame.h"
#include "sim/clock.h"

#include <cstdint>
#include <vector>

namespace sim::board {

class Msp430;

class BslRom {
  public:
    explicit BslRom(Msp430 &chip) : chip_(chip) {}

    // A fresh start of the loader (reset entry or load PC to its entry): no
    // password, no patch run pending, waiting for SYNC.
    void restart();
    // Entry from reset also restarts the frame count of nak-after.
    void enter();

    // A byte received without line errors while the loader runs.
    void on_byte(std::uint8_t byte);

    bool authenticated() const { return authenticated_; }
    void set_authenticated(bool on) { authenticated_ = on; }

  private:
    enum class State { Idle, Synced, Frame };

    void frame_done();
    // A whole frame arrived: the checks, then the command.
    void execute();
    // One function per command; each answers the frame.
    void run(std::uint8_t cmd, std::uint16_t address, std::uint16_t word);
    void mass_erase(std::uint16_t word);
    void rx_password();
    void rx_data(std::uint16_t address, std::uint16_t count);
    void tx_data(std::uint16_t address, std::uint16_t count);
    // The erase command: the erase word decides segment, main memory or all flash.
    void erase(std::uint16_t address, std::uint16_t word);
    void load_pc(std::uint16_t address);
    void erase_check(std::uint16_t address, std::uint16_t count);
    void tx_version();
    // Answer after the loader's own delay plus `work` (erase, programming).
    void answer(const std::vector<std::uint8_t> &bytes, Nanos work = 0);
    // A data frame: HDR, 0x00, n, n, the n bytes, checksum.
    void answer_data(const std::vector<std::uint8_t> &data);
    void ack(Nanos work = 0) { answer({BSL_ACK}, work); }
    void nak() { answer({BSL_NAK}); }
    // A data block within the loader guide's rules: even address and length,
    // at most DATA_BLOCK_MAX bytes.
    static bool block_ok(std::uint16_t address, std::uint16_t count);
    // A loader after 1.10: no RAM patch, TX loader version known.
    bool later_loader() const;
    // Bytes of data in the frame.
    std::size_t data_size() const { return frame_.size() - FRAME_DATA - CHECKSUM_SIZE; }

    Msp430 &chip_;
    State state_ = State::Idle;
    std::vector<std::uint8_t> frame_;
    bool authenticated_ = false;
    bool patch_armed_ = false;
    int frames_since_entry_ = 0;
    Nanos answer_end_ = 0; // when the answer to the current frame has left
};

} // namespace sim::board
