// The MSP430 of a simulated TARVO board, as the far end of an expansion port:
// memory (RAM, information and main flash with their write and erase rules),
// reset and bootstrap-loader entry decided from the TCK (line A) and RST
// (line B) levels and their timing, the ROM loader and the board firmware.
#pragma once

#include "sim/board/bsl_rom.h"
#include "sim/board/faults.h"
#include "sim/board/info.h"
#include "sim/board/modbus_slave.h"
#include "sim/board/model_choices.h"
#include "sim/board/settings.h"
#include "sim/line.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::board {

struct FwImage;

// What the chip does: held in reset ("off"), in its ROM loader, running the
// user program, or stuck (no program, or a jump into garbage).
enum class Mode { Off, Loader, Running, Hung };
const char *mode_name(Mode mode);
bool parse_mode(const std::string &text, Mode *mode);

// Everything of a board that outlives a simulated run.
struct BoardState {
    MainFlash main;
    std::array<std::uint8_t, INFO_SIZE> info;
    std::array<std::uint8_t, RAM_SIZE> ram;
    Mode mode = Mode::Off;
    bool authenticated = false; // the loader's password state
    Faults faults;
    Settings settings;
};

// Flash erased, RAM at its power-on content, held in reset, no faults.
BoardState erased_state();
// Programs an image's records into flash (bits only fall).
void program_image(BoardState *state, const FwImage &image);
// A board as it leaves the factory: the image programmed and running.
BoardState factory_state(const FwImage &image);
// What the chip does when power returns with RST high: it runs the program its
// reset vector points at, or hangs when there is none.
Mode power_on_mode(const BoardState &state);
// A power cycle: RAM at its power-on content, the loader forgets its password,
// the chip starts as power_on_mode says.  Flash and faults stay.
void power_cycle(BoardState *state);

// The TCK pulses the chip counts while RST is low.  A low phase of TCK counts
// once it has lasted TCK_MIN_PULSE, seen when TCK rises again or when RST
// rises; a high pulse shorter than that is not seen, so the low phases on
// either side of it are one.
class TckEdges {
  public:
    // Nothing counted (RST fell, power returned, a saved state was loaded).
    void clear();
    void fell(Nanos when);
    void rose(Nanos when);
    // RST rises at `when`: a low phase still running counts if it is long enough.
    void rst_rose(Nanos when);
    int falls() const { return falls_; }

  private:
    int falls_ = 0;
    bool low_pending_ = false; // TCK low, not yet counted
    Nanos fell_at_ = 0;
    bool rise_seen_ = false;
    Nanos rose_at_ = 0;
    bool rise_counted_ = false; // the last rise counted a fall
    Nanos prev_fell_at_ = 0;
};

class Msp430 : public LinePartner {
  public:
    explicit Msp430(int port);
    ~Msp430() override;
    Msp430(const Msp430 &) = delete;
    Msp430 &operator=(const Msp430 &) = delete;

    int port() const { return port_; }

    // Takes over a saved state.  The chip goes on in the saved mode (a board
    // saved in reset starts from its reset vector once RST is high).
    void load(const BoardState &state);
    // The state to save; the mode is the one at this moment.
    BoardState save() const;
    // Called with the state to save whenever a byte, a line change or a power
    // cut has changed it (memory, mode, the loader's password state): a whole
    // loader command is saved at once, before its answer leaves.
    using Persist = std::function<void(const BoardState &state)>;
    void set_persist(Persist persist) { persist_ = std::move(persist); }

    BoardState &state() { return state_; }
    const BoardState &state() const { return state_; }
    Mode mode() const { return state_.mode; }
    Faults &faults() { return state_.faults; }
    const Settings &settings() const { return state_.settings; }

    // Bytes the chip sends go to `sink` instead of the controller (tests
    // driving the chip directly); start is when the byte's start bit begins.
    using Sink = std::function<void(std::uint8_t byte, const FrameFormat &fmt, Nanos start)>;
    void set_sink(Sink sink) { sink_ = std::move(sink); }

    void on_byte(std::uint8_t byte, const FrameFormat &fmt, Nanos start) override;
    void on_lines(bool line_a, bool line_b, Nanos when) override;

    // Counts of this run.
    int bytes_received() const { return bytes_received_; }

    // ---- used by the loader and the firmware ----
    static bool in_ram(std::uint32_t a) { return a >= RAM_START && a <= RAM_END; }
    static bool in_info(std::uint32_t a) { return a >= INFO_START && a <= INFO_END; }
    static bool in_main(std::uint32_t a) { return a >= MAIN_START && a <= MAIN_END; }
    static bool in_flash(std::uint32_t a) { return in_info(a) || in_main(a); }
    static bool in_memory(std::uint32_t a) { return in_ram(a) || in_flash(a); }
    // What a read of any address gives: RAM, flash, the boot ROM's
    // identification, the peripheral registers or an unused address.
    std::uint8_t peek(std::uint16_t address) const;
    std::uint16_t peek16(std::uint16_t address) const;
    void write_ram(std::uint16_t address, std::uint8_t value);
    // Programs one flash byte: old AND new.
    void write_flash(std::uint16_t address, std::uint8_t value);
    // Erases the segment holding a flash address (nothing elsewhere).
    void erase_segment(std::uint16_t address);
    // All main memory, information memory staying, or main and information
    // memory, for one erase cycle of `duration`.  On a part that needs the
    // cumulative erase time the cells are only fully erased once the cycles
    // since the last programming add up to it.
    void erase_main(Nanos duration);
    void erase_all(Nanos duration);

    // Sends bytes back to back from `at` on, unless the chip is reset or
    // loses power before.
    void send(const std::vector<std::uint8_t> &bytes, const FrameFormat &fmt, Nanos at);
    // The chip takes no byte before this time (busy erasing or programming).
    void busy_until(Nanos t) { busy_until_ = t > busy_until_ ? t : busy_until_; }
    // A loader frame was complete; its answer ends on the wire at `answer_end`.
    void loader_frame_done(Nanos answer_end);
    // The loader jumps to code outside itself at time `at`: the user program
    // when the flash there holds code, a hang otherwise.
    void jump(std::uint16_t address, Nanos at);
    void hang() { set_mode(Mode::Hung); }

  private:
    void set_mode(Mode mode);
    // The password state as saved: only a chip in its loader keeps it.
    bool saved_auth() const;
    // End of an event: hands a changed state to persist_.
    void settle();
    void enter_reset();
    void leave_reset(Nanos when);
    void boot_from_vector(Nanos at);
    void start_program(Nanos at);
    void power_cut();

    int port_;
    BoardState state_;
    BslRom bsl_;
    ModbusSlave modbus_;
    Sink sink_;
    Persist persist_;
    bool dirty_ = false;          // changed since persist_ last saw the state
    bool persisted_auth_ = false; // the password state persist_ last saw
    EventScope answers_; // bytes the chip is about to send; reset and power loss retire them
    EventScope power_;   // a power cut: it comes from outside, whatever the chip does
    Nanos sink_free_at_ = 0;

    // Line levels and the TCK edges seen while RST is low.
    bool line_a_ = true;
    bool line_b_ = true;
    TckEdges tck_;

    // Erases flash cells: fully, or as far as the cumulative erase time
    // reached so far allows.
    template <std::size_t N> void erase_cells(std::array<std::uint8_t, N> *cells, Nanos duration);

    Nanos listen_from_ = 0; // loader or program start-up
    Nanos erased_for_ = 0;  // erase time since flash was last programmed
    Nanos busy_until_ = 0;
    int bytes_received_ = 0;
    int loader_frames_ = 0;
};

} // namespace sim::board
