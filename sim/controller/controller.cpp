// The simulated controller: address decoding, the RAS select, control and
// clock-enable registers, and the wiring of each port's UART and control lines
// to the partner plugged into it.
#include "sim/controller/controller.h"

#include "sim/controller/pl011.h"
#include "sim/controller/pl061.h"
#include "sim/line.h"
#include "sim/trace.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

struct Port {
    LineLevels levels{0, true, true};
    std::vector<LineLevels> history{{0, true, true}};
    Nanos partner_free_at = 0; // end of the last frame the partner queued
};

struct Controller {
    Pl011 uart[2];
    Pl061 gpio;
    std::uint32_t ras_select = hw::RAS_SELECT_RESET;
    std::uint32_t control = hw::CONTROL_RESET;
    std::uint32_t clk_enb = hw::PERIP1_CLK_ENB_RESET;
    Port port[2];
    EventScope events; // bytes on their way to a UART; a reset retires them
    Controller();
};

// Kept apart from the controller's state: a reset leaves them alone.
LinePartner *partners[2] = {nullptr, nullptr};
std::vector<std::string> faults;
Nanos cost = hw::DEFAULT_ACCESS_COST;
bool running = false; // a simulated program run: faults are printed too

void deliver(int index, std::uint8_t byte, const FrameFormat &fmt, Nanos start);

Controller::Controller()
    : uart{Pl011(hw::UART1_REF_CLOCK_HZ,
                 [](std::uint8_t b, const FrameFormat &f, Nanos s) { deliver(0, b, f, s); }),
           Pl011(hw::UART2_REF_CLOCK_HZ,
                 [](std::uint8_t b, const FrameFormat &f, Nanos s) { deliver(1, b, f, s); })} {}

// Built on first use, at power-on state.
Controller &ctl() {
    static Controller c;
    return c;
}

int index_of(int port) {
    return port == 1 ? 0 : port == 2 ? 1 : -1;
}

bool connected(const Controller &c, int index) {
    return (c.ras_select & hw::SELECT_BITS[index]) == hw::SELECT_BITS[index];
}

void deliver(int index, std::uint8_t byte, const FrameFormat &fmt, Nanos start) {
    if (connected(ctl(), index) && partners[index])
        partners[index]->on_byte(byte, fmt, start);
}

// The levels the board sees: a line the controller does not drive, or a port
// whose pins are not routed, floats high.
LineLevels effective_lines(const Controller &c, int index) {
    if (!connected(c, index))
        return {now(), true, true};
    std::uint8_t levels = c.gpio.levels();
    return {now(), (levels & hw::LINE_A[index]) != 0, (levels & hw::LINE_B[index]) != 0};
}

void update_lines() {
    Controller &c = ctl();
    for (int i = 0; i < 2; ++i) {
        LineLevels l = effective_lines(c, i);
        Port &p = c.port[i];
        if (l.a == p.levels.a && l.b == p.levels.b)
            continue;
        p.levels = l;
        p.history.push_back(l);
        if (partners[i])
            partners[i]->on_lines(l.a, l.b, l.when);
    }
}

void fault(char dir, int width, std::uint32_t base, std::uint32_t offset, const char *why) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%c%d 0x%08" PRIX32 ": %s", dir, width, base + offset, why);
    faults.push_back(buf);
    if (running)
        std::fprintf(stderr, "simulated controller: bus fault: %s\n", buf);
}

enum class Op { Read, Peek, Write };

// One access; false (and a recorded fault) when nothing answers it.
bool access(Op op, std::uint32_t base, std::uint32_t offset, int width, std::uint32_t *value) {
    Controller &c = ctl();
    char dir = op == Op::Write ? 'W' : 'R';
    if (width != 8 && width != 16 && width != 32) {
        fault(dir, width, base, offset, "no such access width");
        return false;
    }
    if (base % hw::PAGE_SIZE != 0 || offset >= hw::PAGE_SIZE) {
        fault(dir, width, base, offset, "base not page aligned or offset beyond the page");
        return false;
    }
    if (offset % 4 != 0) {
        fault(dir, width, base, offset, "not a register address");
        return false;
    }
    const std::uint32_t width_mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
    const std::uint32_t address = base + offset;
    const std::uint32_t in = op == Op::Write ? *value & width_mask : 0;
    std::uint32_t out = 0;
    bool ok = false;

    if (base == hw::UART1_BASE || base == hw::UART2_BASE) {
        Pl011 &u = c.uart[base == hw::UART1_BASE ? 0 : 1];
        ok = op == Op::Write  ? u.write(offset, in)
             : op == Op::Read ? u.read(offset, &out)
                              : u.peek(offset, &out);
    } else if (base == hw::GPIO_BASE) {
        bool clocked = op == Op::Peek || (c.clk_enb & hw::GPIO_CLOCK_BIT) != 0;
        ok = op == Op::Write ? c.gpio.write(offset, in, clocked)
                             : c.gpio.read(offset, &out, clocked);
        if (ok && op == Op::Write)
            update_lines();
    } else if (address == hw::RAS_SELECT || address == hw::CONTROL ||
               address == hw::PERIP1_CLK_ENB) {
        if (width != 32) {
            fault(dir, width, base, offset, "32-bit register");
            return false;
        }
        std::uint32_t &reg = address == hw::RAS_SELECT ? c.ras_select
                             : address == hw::CONTROL  ? c.control
                                                       : c.clk_enb;
        if (op == Op::Write) {
            reg = in;
            if (address == hw::RAS_SELECT)
                update_lines();
        } else {
            out = reg;
        }
        ok = true;
    }
    if (!ok) {
        fault(dir, width, base, offset, "no register at this address");
        return false;
    }
    if (op != Op::Write)
        *value = out & width_mask;
    return true;
}

// Splits an absolute address into page base and offset.
std::uint32_t page_of(std::uint32_t address) {
    return address & ~(hw::PAGE_SIZE - 1);
}

} // namespace

void controller_start() {
    running = true;
    if (const char *path = std::getenv("TARVO_SIM_TRACE"); path && *path) {
        if (!trace_open(path))
            std::fprintf(stderr, "simulated controller: cannot open trace file %s\n", path);
    }
}

void controller_shutdown() {
    trace_close();
    running = false;
}

void controller_reset() {
    Controller &c = ctl();
    for (auto &u : c.uart)
        u.reset();
    c.gpio.reset();
    c.ras_select = hw::RAS_SELECT_RESET;
    c.control = hw::CONTROL_RESET;
    c.clk_enb = hw::PERIP1_CLK_ENB_RESET;
    c.events.retire();
    for (int i = 0; i < 2; ++i) {
        Port &p = c.port[i];
        LineLevels l = effective_lines(c, i);
        bool changed = l.a != p.levels.a || l.b != p.levels.b;
        p = Port{};
        p.levels = l;
        p.history = {l};
        if (changed && partners[i])
            partners[i]->on_lines(l.a, l.b, l.when);
    }
}

void set_access_cost(Nanos c) {
    cost = c;
}
Nanos access_cost() {
    return cost;
}
const std::vector<std::string> &bus_faults() {
    return faults;
}
void clear_bus_faults() {
    faults.clear();
}

std::uint32_t bus_read(std::uint32_t base, std::uint32_t offset, int width) {
    std::uint32_t v = 0;
    return access(Op::Read, base, offset, width, &v) ? v : 0;
}

void bus_write(std::uint32_t base, std::uint32_t offset, int width, std::uint32_t value) {
    access(Op::Write, base, offset, width, &value);
}

std::uint32_t peek(std::uint32_t address, int width) {
    std::uint32_t v = 0;
    return access(Op::Peek, page_of(address), address - page_of(address), width, &v) ? v : 0;
}

void poke(std::uint32_t address, std::uint32_t value, int width) {
    access(Op::Write, page_of(address), address - page_of(address), width, &value);
}

UartState uart_state(int port) {
    UartState s;
    int i = index_of(port);
    if (i < 0)
        return s;
    const Pl011 &u = ctl().uart[i];
    s.format = u.format();
    s.tx_enabled = u.tx_enabled();
    s.rx_enabled = u.rx_enabled();
    s.tx_fifo = static_cast<int>(u.tx_count());
    s.rx_fifo = static_cast<int>(u.rx_count());
    s.sending = u.shifting();
    return s;
}

bool port_connected(int port) {
    int i = index_of(port);
    return i >= 0 && connected(ctl(), i);
}

// --- the line side ---

void attach_partner(int port, LinePartner *p) {
    int i = index_of(port);
    if (i < 0)
        return;
    partners[i] = p;
    if (p) {
        const LineLevels &l = ctl().port[i].levels;
        p->on_lines(l.a, l.b, now());
    }
}

LinePartner *partner(int port) {
    int i = index_of(port);
    return i < 0 ? nullptr : partners[i];
}

Nanos partner_send(int port, std::uint8_t byte, const FrameFormat &fmt, Nanos earliest) {
    int i = index_of(port);
    Nanos start = now();
    if (earliest > start)
        start = earliest;
    if (i < 0 || !(fmt.baud > 0.0))
        return start;
    Controller &c = ctl();
    Port &p = c.port[i];
    if (p.partner_free_at > start)
        start = p.partner_free_at;
    Nanos end = start + fmt.byte_time();
    p.partner_free_at = end;
    c.events.schedule(end, [i, byte, fmt] {
        Controller &cc = ctl();
        // Pins not routed: the byte never reaches the UART.
        if (connected(cc, i))
            cc.uart[i].receive(byte, fmt);
    });
    return start;
}

LineLevels line_levels(int port) {
    int i = index_of(port);
    if (i < 0)
        return {now(), true, true};
    return ctl().port[i].levels;
}

const std::vector<LineLevels> &line_history(int port) {
    static const std::vector<LineLevels> none;
    int i = index_of(port);
    return i < 0 ? none : ctl().port[i].history;
}

} // namespace sim
