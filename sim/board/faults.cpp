#include "sim/board/faults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim::board {
namespace {

enum class Arg { None, Count, Address };

// One fault: its name, its argument, and the field of Faults it sets (a flag,
// or a number that is off at 0 for a count and at -1 for an address).
struct Kind {
    const char *name;
    Arg arg;
    bool Faults::*flag;
    int Faults::*number;
};

// Every fault, in the order of faults_text, fault_names and the usage text.
constexpr Kind KINDS[] = {
    {"loader-silent", Arg::None, &Faults::loader_silent, nullptr},
    {"erase-silent", Arg::None, &Faults::erase_silent, nullptr},
    {"nak-after", Arg::Count, nullptr, &Faults::nak_after},
    {"corrupt-readback", Arg::Address, nullptr, &Faults::corrupt_readback},
    {"modbus-silent", Arg::None, &Faults::modbus_silent, nullptr},
    {"modbus-short", Arg::None, &Faults::modbus_short, nullptr},
    {"drop-byte", Arg::Count, nullptr, &Faults::drop_byte},
    {"power-cut-after", Arg::Count, nullptr, &Faults::power_cut_after},
};

// A count of 1 or more, or an address of 0 to 0xFFFF (decimal or 0x hex).
bool parse_number(const std::string &text, long min, long max, long *out) {
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// The fault's item as the listing shows it; "" when it is not set.
std::string item_of(const Kind &k, const Faults &f) {
    switch (k.arg) {
    case Arg::None:
        return f.*k.flag ? k.name : "";
    case Arg::Count:
        return f.*k.number > 0 ? std::string(k.name) + "=" + std::to_string(f.*k.number) : "";
    case Arg::Address:
        break;
    }
    if (f.*k.number < 0)
        return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s=0x%04X", k.name, f.*k.number);
    return buf;
}

const char *arg_text(Arg arg) {
    return arg == Arg::Count ? "=N" : arg == Arg::Address ? "=ADDR" : "";
}

} // namespace

std::string fault_names(int per_line, const char *line_break) {
    std::string out;
    int n = 0;
    for (const Kind &k : KINDS) {
        if (n > 0)
            out += per_line > 0 && n % per_line == 0 ? std::string(",") + line_break : ", ";
        out += std::string(k.name) + arg_text(k.arg);
        ++n;
    }
    return out;
}

bool fault_set(Faults *faults, const std::string &item, std::string *error) {
    auto eq = item.find('=');
    std::string name = item.substr(0, eq);
    bool has_arg = eq != std::string::npos;
    std::string arg = has_arg ? item.substr(eq + 1) : "";
    for (const Kind &k : KINDS) {
        if (name != k.name)
            continue;
        long v = 0;
        switch (k.arg) {
        case Arg::None:
            if (has_arg) {
                *error = "fault '" + name + "' takes no argument";
                return false;
            }
            faults->*k.flag = true;
            return true;
        case Arg::Count:
            if (!parse_number(arg, 1, 1000000000L, &v)) {
                *error = "fault '" + name + "' needs a count of 1 or more (" + name + "=N)";
                return false;
            }
            break;
        case Arg::Address:
            if (!parse_number(arg, 0, 0xFFFF, &v)) {
                *error =
                    "fault '" + name + "' needs an address from 0 to 0xFFFF (" + name + "=ADDR)";
                return false;
            }
            break;
        }
        faults->*k.number = static_cast<int>(v);
        return true;
    }
    *error = "unknown fault '" + name + "' (" + fault_names() + ")";
    return false;
}

std::string faults_text(const Faults &f) {
    std::string out;
    for (const Kind &k : KINDS) {
        std::string item = item_of(k, f);
        if (item.empty())
            continue;
        if (!out.empty())
            out += ',';
        out += item;
    }
    return out;
}

bool faults_parse(const std::string &text, Faults *faults, std::string *error) {
    Faults parsed;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        if (!fault_set(&parsed, text.substr(pos, comma - pos), error))
            return false;
        pos = comma + 1;
    }
    *faults = parsed;
    return true;
}

} // namespace sim::board
