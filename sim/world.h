// The simulated world: a directory ($TARVO_SIM_ROOT) standing in for the
// controller's file system, with the simulated boards' state under sim/.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

enum class BoardKind { None, Other, Tarvo };

const char *kind_name(BoardKind kind);
bool parse_kind(const std::string &text, BoardKind *kind);

// Board type code the "/dev/gpio" driver reports for a kind.
int kind_type_code(BoardKind kind);

// The world directory of this process ("" when none: unit tests).
const std::string &world_root();

// Reads $root/sim/world.conf (board kinds).  False with a reason on failure.
bool world_load(const std::string &root, std::string *error);

// Creates a fresh world: directory tree, world.conf, sample images, the
// simulated updater.  False with a reason on failure.
bool world_init(const std::string &root, BoardKind port1, BoardKind port2, std::string *error,
                bool gpio_missing = false);

// The controller kernel's timer tick (world.conf "kernel-hz=N"): 0 for
// high-resolution timers, the default; otherwise the tick rate of a
// jiffy-based kernel, from KERNEL_HZ_MIN to KERNEL_HZ_MAX (Linux builds with
// 100, 250, 300 or 1000).
constexpr int KERNEL_HZ_MIN = 100;
constexpr int KERNEL_HZ_MAX = 1000;
int kernel_hz();
void set_kernel_hz(int hz);
// Parses "kernel-hz=N" with N 0 or in range.  False with a reason otherwise.
bool parse_kernel_hz(const std::string &item, int *hz, std::string *error);
// Stores the tick in the world at `root` (loaded before) for its later runs.
bool world_save_kernel_hz(const std::string &root, int hz, std::string *error);

// How finely the kernel's monotonic clock advances (world.conf
// "clock-step-us=N"): 0, the default, for a clock that advances between any
// two reads; otherwise a clock that advances in steps of N us, as one driven
// by the scheduler tick does on a kernel without a clock source driver (one
// tick: 1 ms at 1000 Hz up to 10 ms at 100 Hz; finer steps for slow counters).
constexpr int CLOCK_STEP_US_MAX = 10000;
int clock_step_us();
void set_clock_step_us(int us);
// Parses "clock-step-us=N" with N from 0 to CLOCK_STEP_US_MAX.
bool parse_clock_step_us(const std::string &item, int *us, std::string *error);
// Stores the step in the world at `root` (loaded before) for its later runs.
bool world_save_clock_step_us(const std::string &root, int us, std::string *error);

// What the simulated kernel's calls cost the calling program (model choices).
// The controller is an ARMv5 without a vDSO: every clock_gettime is a system
// call, whose entry, clock source read and exit take a few microseconds on a
// 200-400 MHz ARM9; 3 us.  A sched_yield with nobody else ready to run is a
// system call and a pass of the scheduler: 5 us.
constexpr std::uint64_t CLOCK_READ_COST_NS = 3000;
constexpr std::uint64_t YIELD_COST_NS = 5000;

BoardKind board_kind(int port);
// A world whose controller has no "/dev/gpio" driver (world.conf "gpio=missing").
bool world_gpio_missing();
void set_board_kind(int port, BoardKind kind);

// Path of a file of the world: root + fixed (fixed starts with '/').
std::string world_path(const std::string &fixed);

} // namespace sim
