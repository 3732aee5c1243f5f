#include "sim/board/faults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim::board {
namespace {

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

} // namespace

bool fault_set(Faults *faults, const std::string &item, std::string *error) {
    auto eq = item.find('=');
    std::string name = item.substr(0, eq);
    bool has_arg = eq != std::string::npos;
    std::string arg = has_arg ? item.substr(eq + 1) : "";

    bool *flag = name == "loader-silent"   ? &faults->loader_silent
                 : name == "erase-silent"  ? &faults->erase_silent
                 : name == "modbus-silent" ? &faults->modbus_silent
                 : name == "modbus-short"  ? &faults->modbus_short
                                           : nullptr;
    if (flag) {
        if (has_arg) {
            *error = "fault '" + name + "' takes no argument";
            return false;
        }
        *flag = true;
        return true;
    }
    int *count = name == "nak-after"         ? &faults->nak_after
                 : name == "drop-byte"       ? &faults->drop_byte
                 : name == "power-cut-after" ? &faults->power_cut_after
                                             : nullptr;
    long v = 0;
    if (count) {
        if (!parse_number(arg, 1, 1000000000L, &v)) {
            *error = "fault '" + name + "' needs a count of 1 or more (" + name + "=N)";
            return false;
        }
        *count = static_cast<int>(v);
        return true;
    }
    if (name == "corrupt-readback") {
        if (!parse_number(arg, 0, 0xFFFF, &v)) {
            *error = "fault 'corrupt-readback' needs an address from 0 to 0xFFFF "
                     "(corrupt-readback=ADDR)";
            return false;
        }
        faults->corrupt_readback = static_cast<int>(v);
        return true;
    }
    *error = "unknown fault '" + name +
             "' (loader-silent, erase-silent, nak-after=N, corrupt-readback=ADDR, modbus-silent, "
             "modbus-short, drop-byte=N, power-cut-after=N)";
    return false;
}

std::string faults_text(const Faults &f) {
    std::string out;
    auto add = [&out](const std::string &item) {
        if (!out.empty())
            out += ',';
        out += item;
    };
    if (f.loader_silent)
        add("loader-silent");
    if (f.erase_silent)
        add("erase-silent");
    if (f.nak_after > 0)
        add("nak-after=" + std::to_string(f.nak_after));
    if (f.corrupt_readback >= 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "corrupt-readback=0x%04X", f.corrupt_readback);
        add(buf);
    }
    if (f.modbus_silent)
        add("modbus-silent");
    if (f.modbus_short)
        add("modbus-short");
    if (f.drop_byte > 0)
        add("drop-byte=" + std::to_string(f.drop_byte));
    if (f.power_cut_after > 0)
        add("power-cut-after=" + std::to_string(f.power_cut_after));
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
