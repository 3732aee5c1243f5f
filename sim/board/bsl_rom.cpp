#include "sim/board/bsl_rom.h"

#include "sim/board/bsl_frame.h"
#include "sim/board/bsl_rom_patch.h"
#include "sim/board/model_choices.h"
#include "sim/board/msp430.h"

#include <algorithm>

namespace sim::board {

void BslRom::restart() {
    state_ = State::Idle;
    frame_.clear();
    authenticated_ = false;
    patch_armed_ = false;
}

bool BslRom::block_ok(std::uint16_t address, std::uint16_t count) {
    return count <= DATA_BLOCK_MAX && address % 2 == 0 && count % 2 == 0;
}

bool BslRom::later_loader() const {
    return chip_.settings().loader > LOADER_1_10;
}

void BslRom::enter() {
    restart();
    frames_since_entry_ = 0;
}

void BslRom::answer(const std::vector<std::uint8_t> &bytes, Nanos work) {
    Nanos at = now() + LOADER_ANSWER_DELAY + work;
    chip_.send(bytes, format_8e1(), at);
    chip_.busy_until(at);
    answer_end_ = at + static_cast<Nanos>(bytes.size()) * format_8e1().byte_time();
}

void BslRom::answer_data(const std::vector<std::uint8_t> &data) {
    auto n = static_cast<std::uint8_t>(data.size());
    // Sized once and filled: GCC 12 at -O3 takes an insert after a braced
    // initialiser for an overflow.
    std::vector<std::uint8_t> reply(4 + data.size());
    reply[0] = BSL_HDR;
    reply[1] = 0x00;
    reply[2] = n;
    reply[3] = n;
    std::copy(data.begin(), data.end(), reply.begin() + 4);
    append_checksum(&reply);
    answer(reply);
}

void BslRom::on_byte(std::uint8_t byte) {
    switch (state_) {
    case State::Idle:
        // Only SYNC is understood outside a frame.
        if (byte == BSL_SYNC) {
            state_ = State::Synced;
            answer({BSL_ACK});
        }
        return;
    case State::Synced:
        if (byte != BSL_HDR) {
            state_ = State::Idle;
            nak();
            return;
        }
        frame_.assign(1, byte);
        state_ = State::Frame;
        return;
    case State::Frame:
        frame_.push_back(byte);
        if (frame_.size() == FRAME_L2 + 1 &&
            (frame_[FRAME_L1] != frame_[FRAME_L2] || frame_[FRAME_L1] < FRAME_L1_MIN)) {
            // Length fields disagree (or are too short for a frame): refused at once.
            state_ = State::Idle;
            nak();
            frame_done();
            return;
        }
        if (frame_.size() > FRAME_L2 && frame_.size() == frame_[FRAME_L1] + FRAME_OVERHEAD) {
            state_ = State::Idle;
            execute();
        }
        return;
    }
}

void BslRom::frame_done() {
    ++frames_since_entry_;
    chip_.loader_frame_done(std::max(answer_end_, now()));
    answer_end_ = 0;
}

void BslRom::execute() {
    const Faults &faults = chip_.faults();
    std::uint8_t cmd = frame_[FRAME_CMD];
    // Mass erase and the password are the two commands served without the password.
    bool open = cmd == CMD_MASS_ERASE || cmd == CMD_RX_PASSWORD;
    if (faults.nak_after > 0 && frames_since_entry_ + 1 == faults.nak_after)
        nak();
    else if (!checksum_ok(frame_) || (!open && !authenticated_))
        nak();
    else
        run(cmd, frame_word(frame_, FRAME_AL), frame_word(frame_, FRAME_LL));
    frame_done();
}

void BslRom::run(std::uint8_t cmd, std::uint16_t address, std::uint16_t word) {
    switch (cmd) {
    case CMD_MASS_ERASE:
        return mass_erase(word);
    case CMD_RX_PASSWORD:
        return rx_password();
    case CMD_RX_DATA:
        return rx_data(address, word);
    case CMD_TX_DATA:
        return tx_data(address, word);
    case CMD_ERASE_SEGMENT:
        return erase(address, word);
    case CMD_LOAD_PC:
        return load_pc(address);
    case CMD_ERASE_CHECK:
        return erase_check(address, word);
    case CMD_TX_VERSION:
        return tx_version();
    default:
        return nak();
    }
}

void BslRom::mass_erase(std::uint16_t word) {
    if (word != ERASE_ALL_WORD) {
        nak();
    } else if (!chip_.faults().erase_silent) {
        chip_.erase_all(chip_.settings().erase_cycle);
        ack(chip_.settings().erase_cycle);
    }
}

void BslRom::erase_check(std::uint16_t address, std::uint16_t count) {
    bool erased = count > 0;
    for (std::uint32_t a = address; erased && a < address + static_cast<std::uint32_t>(count); ++a)
        erased = Msp430::in_memory(a) && chip_.peek(static_cast<std::uint16_t>(a)) == ERASED;
    if (erased)
        ack();
    else
        nak();
}

void BslRom::tx_version() {
    if (!later_loader()) {
        nak();
        return;
    }
    std::vector<std::uint8_t> id;
    for (std::size_t i = 0; i < CHIP_ID.size(); ++i)
        id.push_back(chip_.peek(static_cast<std::uint16_t>(CHIP_ID_ADDRESS + i)));
    answer_data(id);
}

void BslRom::erase(std::uint16_t address, std::uint16_t word) {
    if (!Msp430::in_flash(address)) {
        nak();
        return;
    }
    switch (word) {
    case ERASE_SEGMENT_WORD:
        chip_.erase_segment(address);
        break;
    case ERASE_MAIN_WORD:
        chip_.erase_main(chip_.settings().erase_cycle);
        break;
    case ERASE_ALL_WORD:
        chip_.erase_all(chip_.settings().erase_cycle);
        break;
    default:
        nak();
        return;
    }
    ack(chip_.settings().erase_cycle);
}

void BslRom::rx_password() {
    bool ok = data_size() == 32;
    for (std::size_t i = 0; ok && i < 32; ++i)
        ok = frame_[FRAME_DATA + i] == chip_.peek(static_cast<std::uint16_t>(VECTORS_START + i));
    if (ok) {
        authenticated_ = true;
        ack();
    } else {
        nak();
    }
}

void BslRom::rx_data(std::uint16_t address, std::uint16_t count) {
    // The patched code, when it was run, serves this one data block; later
    // loaders serve flash blocks themselves.
    bool patched = patch_armed_ || later_loader();
    patch_armed_ = false;
    std::size_t n = data_size();
    if (count != n || !block_ok(address, count)) {
        nak();
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!Msp430::in_memory(address + i)) {
            nak();
            return;
        }
    }
    Nanos work = 0;
    for (std::size_t i = 0; i < n; ++i) {
        auto a = static_cast<std::uint16_t>(address + i);
        if (Msp430::in_ram(a)) {
            chip_.write_ram(a, frame_[FRAME_DATA + i]);
        } else if (patched) {
            chip_.write_flash(a, frame_[FRAME_DATA + i]);
            work += chip_.settings().flash_byte;
        }
        // Loader 1.10 without its patch acknowledges flash writes but does none.
    }
    ack(work);
}

void BslRom::tx_data(std::uint16_t address, std::uint16_t count) {
    bool patched = patch_armed_ || later_loader();
    patch_armed_ = false;
    if (!block_ok(address, count) || data_size() != 0) {
        nak();
        return;
    }
    std::vector<std::uint8_t> data;
    data.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto a = static_cast<std::uint16_t>(address + i); // wraps past 0xFFFF
        std::uint8_t v = Msp430::in_flash(a) && !patched ? UNPATCHED_READ : chip_.peek(a);
        if (chip_.faults().corrupt_readback == a)
            v = static_cast<std::uint8_t>(~v);
        data.push_back(v);
    }
    answer_data(data);
}

void BslRom::load_pc(std::uint16_t address) {
    ack();
    Nanos at = now() + LOADER_ANSWER_DELAY;
    if (later_loader() && (address == LOADER_ENTRY || address == PATCH_ADDRESS)) {
        chip_.hang(); // code written for the 1.10 ROM
    } else if (address == LOADER_ENTRY) {
        restart();
    } else if (address == PATCH_ADDRESS) {
        bool patch_in_ram = true;
        for (std::size_t i = 0; patch_in_ram && i < LOADER_PATCH.size(); ++i)
            patch_in_ram =
                chip_.peek(static_cast<std::uint16_t>(PATCH_ADDRESS + i)) == LOADER_PATCH[i];
        if (patch_in_ram)
            patch_armed_ = true;
        else
            chip_.hang(); // the jump runs whatever RAM holds
    } else {
        chip_.jump(address, at);
    }
}

} // namespace sim::board
