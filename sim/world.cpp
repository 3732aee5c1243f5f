#include "sim/world.h"

#include "sim/boards.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sim {
namespace {
std::string root;
BoardKind kinds[2] = {BoardKind::Tarvo, BoardKind::Tarvo};
bool no_gpio = false;
int tick_hz = 0;
int step_us = 0;

// world.conf: the board kinds, a missing "/dev/gpio", the kernel's tick and
// clock step.
bool write_conf(const std::string &dir, std::string *error) {
    std::ofstream conf(dir + "/sim/world.conf", std::ios::trunc);
    conf << "port1=" << kind_name(kinds[0]) << "\nport2=" << kind_name(kinds[1]) << "\n";
    if (no_gpio)
        conf << "gpio=missing\n";
    if (tick_hz != 0)
        conf << "kernel-hz=" << tick_hz << "\n";
    if (step_us != 0)
        conf << "clock-step-us=" << step_us << "\n";
    if (!conf) {
        *error = "cannot write " + dir + "/sim/world.conf";
        return false;
    }
    return true;
}

// Where the simulated programs live: beside the running tool.
std::string own_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    return fs::path(buf).parent_path().string();
}
} // namespace

const char *kind_name(BoardKind kind) {
    switch (kind) {
    case BoardKind::Tarvo:
        return "tarvo";
    case BoardKind::Other:
        return "other";
    case BoardKind::None:
        break;
    }
    return "none";
}

bool parse_kind(const std::string &text, BoardKind *kind) {
    for (BoardKind k : {BoardKind::Tarvo, BoardKind::Other, BoardKind::None}) {
        if (text == kind_name(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

int kind_type_code(BoardKind kind) {
    switch (kind) {
    case BoardKind::Tarvo:
        return 5;
    case BoardKind::Other:
        return 4;
    case BoardKind::None:
        break;
    }
    return 0;
}

const std::string &world_root() {
    return root;
}

std::string world_path(const std::string &fixed) {
    return root + fixed;
}

bool world_gpio_missing() {
    return no_gpio;
}

int kernel_hz() {
    return tick_hz;
}

void set_kernel_hz(int hz) {
    tick_hz = hz;
}

bool parse_kernel_hz(const std::string &item, int *hz, std::string *error) {
    const std::string name = "kernel-hz=";
    std::string value = item.rfind(name, 0) == 0 ? item.substr(name.size()) : "";
    char *end = nullptr;
    long v = value.empty() ? -1 : std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || (v != 0 && (v < KERNEL_HZ_MIN || v > KERNEL_HZ_MAX))) {
        *error = "kernel-hz=N takes 0 (high-resolution timers) or a tick rate from " +
                 std::to_string(KERNEL_HZ_MIN) + " to " + std::to_string(KERNEL_HZ_MAX) +
                 ", not '" + item + "'";
        return false;
    }
    *hz = static_cast<int>(v);
    return true;
}

bool world_save_kernel_hz(const std::string &dir, int hz, std::string *error) {
    tick_hz = hz;
    return write_conf(dir, error);
}

int clock_step_us() {
    return step_us;
}

void set_clock_step_us(int us) {
    step_us = us;
}

bool parse_clock_step_us(const std::string &item, int *us, std::string *error) {
    const std::string name = "clock-step-us=";
    std::string value = item.rfind(name, 0) == 0 ? item.substr(name.size()) : "";
    char *end = nullptr;
    long v = value.empty() ? -1 : std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v < 0 || v > CLOCK_STEP_US_MAX) {
        *error = "clock-step-us=N takes 0 (a clock that advances between any two reads) or a "
                 "step from 1 to " +
                 std::to_string(CLOCK_STEP_US_MAX) + " us, not '" + item + "'";
        return false;
    }
    *us = static_cast<int>(v);
    return true;
}

bool world_save_clock_step_us(const std::string &dir, int us, std::string *error) {
    step_us = us;
    return write_conf(dir, error);
}

BoardKind board_kind(int port) {
    return kinds[port == 2 ? 1 : 0];
}

void set_board_kind(int port, BoardKind kind) {
    kinds[port == 2 ? 1 : 0] = kind;
}

bool world_load(const std::string &dir, std::string *error) {
    std::ifstream in(dir + "/sim/world.conf");
    if (!in) {
        *error = "no simulated world at " + dir + " (run 'tarvo-sim init " + dir + "' first)";
        return false;
    }
    root = dir;
    no_gpio = false;
    tick_hz = 0;
    step_us = 0;
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        BoardKind kind;
        if ((key == "port1" || key == "port2") && parse_kind(value, &kind))
            set_board_kind(key == "port1" ? 1 : 2, kind);
        else if (key == "gpio")
            no_gpio = value == "missing";
        else if (key == "kernel-hz")
            parse_kernel_hz(line, &tick_hz, error);
        else if (key == "clock-step-us")
            parse_clock_step_us(line, &step_us, error);
    }
    return true;
}

bool world_init(const std::string &dir, BoardKind port1, BoardKind port2, std::string *error,
                bool gpio_missing) {
    std::error_code ec;
    for (const char *sub :
         {"/sim", "/opt/tarvo_update/bin", "/opt/tarvo_update/fw", "/opt/tarvo_update/etc",
          "/opt/tarvo_update/state", "/var/tarvo_update", "/var/log", "/tmp"}) {
        fs::create_directories(dir + sub, ec);
        if (ec) {
            *error = "cannot create " + dir + sub + ": " + ec.message();
            return false;
        }
    }
    // The private directories of the lock and of the records: the world's
    // owner (its root) and the group of the settings directory, nobody else.
    for (const char *sub : {"/opt/tarvo_update/state", "/var/tarvo_update"})
        fs::permissions(dir + sub, static_cast<fs::perms>(02770), ec);
    set_board_kind(1, port1);
    set_board_kind(2, port2);
    no_gpio = gpio_missing;
    tick_hz = 0;
    step_us = 0;
    if (!write_conf(dir, error))
        return false;
    // The sample firmware images of the project.
    for (const auto &entry : fs::directory_iterator(TARVO_FW_DIR, ec)) {
        if (entry.path().extension() == ".hex")
            fs::copy_file(entry.path(),
                          fs::path(dir + "/opt/tarvo_update/fw") / entry.path().filename(),
                          fs::copy_options::overwrite_existing, ec);
    }
    // The simulated updater, where the web pages start it, and the board query
    // and the boot-time recovery beside it.
    for (const char *program : {"tarvo_update", "tarvo_info", "tarvo_recover"}) {
        std::string target = dir + "/opt/tarvo_update/bin/" + program;
        fs::remove(target, ec);
        fs::create_symlink(fs::absolute(own_dir() + "/" + program), target, ec);
        if (ec) {
            *error = "cannot link " + target + ": " + ec.message();
            return false;
        }
    }
    std::ofstream(dir + "/var/log/messages", std::ios::app);
    root = dir;
    return boards_init_world(dir, error);
}

} // namespace sim
