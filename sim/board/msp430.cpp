#include "sim/board/msp430.h"

#include "sim/board/intel_hex.h"
#include "sim/controller/controller.h"

#include <algorithm>

namespace sim::board {

const char *mode_name(Mode mode) {
    switch (mode) {
    case Mode::Loader:
        return "loader";
    case Mode::Running:
        return "running";
    case Mode::Hung:
        return "hung";
    case Mode::Off:
        break;
    }
    return "off";
}

bool parse_mode(const std::string &text, Mode *mode) {
    for (Mode m : {Mode::Off, Mode::Loader, Mode::Running, Mode::Hung}) {
        if (text == mode_name(m)) {
            *mode = m;
            return true;
        }
    }
    return false;
}

BoardState erased_state() {
    BoardState s;
    s.main.fill(ERASED);
    s.info.fill(ERASED);
    s.ram.fill(RAM_POWER_ON);
    return s;
}

void program_image(BoardState *state, const FwImage &image) {
    for (const ImageRecord &r : image.records) {
        for (std::size_t i = 0; i < r.data.size(); ++i) {
            std::uint32_t a = r.address + i;
            if (Msp430::in_main(a))
                state->main[a - MAIN_START] &= r.data[i];
            else if (Msp430::in_info(a))
                state->info[a - INFO_START] &= r.data[i];
            else if (Msp430::in_ram(a))
                state->ram[a - RAM_START] = r.data[i];
        }
    }
}

BoardState factory_state(const FwImage &image) {
    BoardState s = erased_state();
    program_image(&s, image);
    s.mode = Mode::Running;
    return s;
}

namespace {
std::uint16_t main_word(const BoardState &state, std::uint16_t a) {
    return static_cast<std::uint16_t>(state.main[a - MAIN_START] | state.main[a + 1 - MAIN_START]
                                                                       << 8);
}

// Erased flash (or anything that is not main flash) holds no program.  The
// program counter ignores bit 0: code is word aligned.
bool holds_code(const BoardState &state, std::uint16_t address) {
    auto pc = static_cast<std::uint16_t>(address & 0xFFFE);
    return Msp430::in_main(pc) && main_word(state, pc) != 0xFFFF;
}
} // namespace

Mode power_on_mode(const BoardState &state) {
    return holds_code(state, main_word(state, RESET_VECTOR)) ? Mode::Running : Mode::Hung;
}

void power_cycle(BoardState *state) {
    state->ram.fill(RAM_POWER_ON);
    state->authenticated = false;
    state->mode = power_on_mode(*state);
}

void TckEdges::clear() {
    falls_ = 0;
    low_pending_ = false;
    rise_seen_ = false;
}

void TckEdges::fell(Nanos when) {
    if (rise_seen_ && when - rose_at_ < TCK_MIN_PULSE) {
        // A high pulse too short to be seen: TCK stayed low.
        if (rise_counted_)
            --falls_;
        fell_at_ = prev_fell_at_;
    } else {
        fell_at_ = when;
    }
    low_pending_ = true;
    rise_seen_ = false;
}

void TckEdges::rose(Nanos when) {
    rise_seen_ = true;
    rose_at_ = when;
    rise_counted_ = low_pending_ && when - fell_at_ >= TCK_MIN_PULSE;
    if (rise_counted_)
        ++falls_;
    prev_fell_at_ = fell_at_;
    low_pending_ = false;
}

void TckEdges::rst_rose(Nanos when) {
    if (low_pending_ && when - fell_at_ >= TCK_MIN_PULSE) {
        ++falls_;
        low_pending_ = false;
    }
}

Msp430::Msp430(int port) : port_(port), state_(erased_state()), bsl_(*this), modbus_(*this) {}

Msp430::~Msp430() = default;

void Msp430::load(const BoardState &state) {
    answers_.retire();
    state_ = state;
    bsl_.restart();
    bsl_.set_authenticated(state.authenticated);
    modbus_.reset();
    // A board saved in reset waits for RST to rise; otherwise it goes on as it was.
    line_a_ = true;
    line_b_ = state.mode != Mode::Off;
    listen_from_ = 0;
    busy_until_ = 0;
    bytes_received_ = 0;
    loader_frames_ = 0;
    erased_for_ = 0;
    tck_.clear();
    dirty_ = false;
    persisted_auth_ = saved_auth();
}

bool Msp430::saved_auth() const {
    return state_.mode == Mode::Loader && bsl_.authenticated();
}

BoardState Msp430::save() const {
    BoardState s = state_;
    s.authenticated = saved_auth();
    return s;
}

std::uint8_t Msp430::peek(std::uint16_t a) const {
    if (in_ram(a))
        return state_.ram[a - RAM_START];
    if (in_info(a))
        return state_.info[a - INFO_START];
    if (in_main(a))
        return state_.main[a - MAIN_START];
    if (a >= CHIP_ID_ADDRESS && a < CHIP_ID_ADDRESS + CHIP_ID.size()) {
        std::size_t i = a - CHIP_ID_ADDRESS;
        if (i == CHIP_ID_VERSION)
            return static_cast<std::uint8_t>(state_.settings.loader >> 8);
        if (i == CHIP_ID_VERSION + 1)
            return static_cast<std::uint8_t>(state_.settings.loader & 0xFF);
        return CHIP_ID[i];
    }
    if (a >= LOADER_ROM_START && a <= LOADER_ROM_END)
        return BOOT_ROM_READ;
    if (a <= PERIPHERAL_END)
        return PERIPHERAL_READ;
    return UNUSED_READ;
}

std::uint16_t Msp430::peek16(std::uint16_t a) const {
    return static_cast<std::uint16_t>(peek(a) | peek(static_cast<std::uint16_t>(a + 1)) << 8);
}

void Msp430::write_ram(std::uint16_t a, std::uint8_t v) {
    if (in_ram(a)) {
        state_.ram[a - RAM_START] = v;
        dirty_ = true;
    }
}

void Msp430::write_flash(std::uint16_t a, std::uint8_t v) {
    dirty_ = true;
    erased_for_ = 0;
    if (in_main(a))
        state_.main[a - MAIN_START] &= v;
    else if (in_info(a))
        state_.info[a - INFO_START] &= v;
}

template <std::size_t N>
void Msp430::erase_cells(std::array<std::uint8_t, N> *cells, Nanos duration) {
    if (!state_.settings.cumulative_erase || erased_for_ + duration >= CUMULATIVE_ERASE_TIME) {
        cells->fill(ERASED);
        return;
    }
    for (std::uint8_t &c : *cells)
        c |= UNDER_ERASED_BITS;
}

void Msp430::erase_main(Nanos duration) {
    dirty_ = true;
    erase_cells(&state_.main, duration);
    erased_for_ += duration;
}

void Msp430::erase_all(Nanos duration) {
    dirty_ = true;
    erase_cells(&state_.main, duration);
    erase_cells(&state_.info, duration);
    erased_for_ += duration;
}

void Msp430::erase_segment(std::uint16_t a) {
    dirty_ = true;
    if (in_main(a)) {
        std::size_t start = (a - MAIN_START) / MAIN_SEGMENT * MAIN_SEGMENT;
        std::fill_n(state_.main.begin() + static_cast<std::ptrdiff_t>(start), MAIN_SEGMENT, ERASED);
    } else if (in_info(a)) {
        std::size_t start = (a - INFO_START) / INFO_SEGMENT * INFO_SEGMENT;
        std::fill_n(state_.info.begin() + static_cast<std::ptrdiff_t>(start), INFO_SEGMENT, ERASED);
    }
}

void Msp430::send(const std::vector<std::uint8_t> &bytes, const FrameFormat &fmt, Nanos at) {
    answers_.schedule(at, [this, bytes, fmt] {
        for (std::uint8_t b : bytes) {
            if (sink_) {
                Nanos start = std::max(now(), sink_free_at_);
                sink_free_at_ = start + fmt.byte_time();
                sink_(b, fmt, start);
            } else {
                partner_send(port_, b, fmt, now());
            }
        }
    });
}

void Msp430::on_byte(std::uint8_t byte, const FrameFormat &fmt, Nanos) {
    ++bytes_received_;
    if (state_.faults.drop_byte > 0 && bytes_received_ == state_.faults.drop_byte)
        return; // lost on the line
    if (now() < listen_from_ || now() < busy_until_)
        return;
    if (state_.mode == Mode::Loader) {
        Received r = receive_as(byte, fmt, format_8e1());
        if (r.ok())
            bsl_.on_byte(r.byte);
        settle();
    } else if (state_.mode == Mode::Running) {
        Received r = receive_as(byte, fmt, format_8n1());
        if (r.ok())
            modbus_.on_char(r.byte);
    }
}

void Msp430::on_lines(bool a, bool b, Nanos when) {
    if (!b && line_b_) {
        line_b_ = false;
        enter_reset();
    }
    if (a != line_a_) {
        line_a_ = a;
        if (!line_b_ && a)
            tck_.rose(when);
        else if (!line_b_)
            tck_.fell(when);
    }
    if (b && !line_b_) {
        line_b_ = true;
        leave_reset(when);
    }
    settle();
}

void Msp430::enter_reset() {
    answers_.retire();
    set_mode(Mode::Off);
    tck_.clear();
    busy_until_ = 0;
}

void Msp430::leave_reset(Nanos when) {
    tck_.rst_rose(when);
    bool tck_low = !line_a_;
    if (tck_.falls() >= 2 && tck_low && !state_.faults.loader_silent) {
        set_mode(Mode::Loader);
        listen_from_ = when + LOADER_STARTUP;
        bsl_.enter();
    } else {
        boot_from_vector(when);
    }
}

void Msp430::boot_from_vector(Nanos at) {
    jump(peek16(RESET_VECTOR), at);
}

void Msp430::jump(std::uint16_t address, Nanos at) {
    if (holds_code(state_, address))
        start_program(at);
    else
        hang();
}

void Msp430::start_program(Nanos at) {
    set_mode(Mode::Running);
    listen_from_ = at + state_.settings.firmware_start;
    modbus_.reset();
}

void Msp430::loader_frame_done(Nanos answer_end) {
    ++loader_frames_;
    if (state_.faults.power_cut_after > 0 && loader_frames_ == state_.faults.power_cut_after) {
        power_.schedule(answer_end, [this] { power_cut(); });
    }
}

void Msp430::power_cut() {
    answers_.retire();
    state_.ram.fill(RAM_POWER_ON);
    bsl_.restart();
    busy_until_ = 0;
    // Power returns with the chip in reset; it leaves reset as soon as RST is high.
    set_mode(Mode::Off);
    dirty_ = true; // RAM
    tck_.clear();
    if (line_b_)
        boot_from_vector(now());
    settle();
}

void Msp430::set_mode(Mode mode) {
    dirty_ = dirty_ || mode != state_.mode;
    state_.mode = mode;
}

void Msp430::settle() {
    bool auth = saved_auth();
    if (!persist_ || (!dirty_ && auth == persisted_auth_))
        return;
    dirty_ = false;
    persisted_auth_ = auth;
    persist_(save());
}

} // namespace sim::board
