#include "sim/board/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim::board {
namespace {

// A time setting: its name, its unit, its range and the field it sets.
struct Timing {
    const char *name;
    Nanos unit;
    Nanos min, max;
    Nanos Settings::*field;
};

constexpr Timing TIMINGS[] = {
    {"flash-byte-us", NS_PER_US, FLASH_BYTE_TIME_MIN, FLASH_BYTE_TIME_MAX, &Settings::flash_byte},
    {"erase-cycle-us", NS_PER_US, ERASE_TIME_MIN, ERASE_TIME_MAX, &Settings::erase_cycle},
    {"firmware-start-ms", NS_PER_MS, 0, PROGRAM_STARTUP_MAX, &Settings::firmware_start},
};

// A time in its unit with at most three decimals, trailing zeros dropped.
std::string in_unit(Nanos t, Nanos unit) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(t) / static_cast<double>(unit));
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string loader_text(std::uint16_t version) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%X.%02X", version >> 8, version & 0xFF);
    return buf;
}

bool parse_time(const Timing &t, const std::string &value, Nanos *out) {
    if (value.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(value.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    auto ns = static_cast<Nanos>(std::llround(v * static_cast<double>(t.unit)));
    if (ns < t.min || ns > t.max)
        return false;
    *out = ns;
    return true;
}

} // namespace

std::string setting_names() {
    std::string out = "loader=" + loader_text(LOADER_1_10) + "|" + loader_text(LOADER_1_61);
    for (const Timing &t : TIMINGS)
        out += std::string(", ") + t.name + "=" + in_unit(t.min, t.unit) + ".." +
               in_unit(t.max, t.unit);
    return out + ", cumulative-erase=yes|no";
}

bool setting_set(Settings *settings, const std::string &item, std::string *error) {
    auto eq = item.find('=');
    std::string name = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (name == "loader") {
        for (std::uint16_t v : {LOADER_1_10, LOADER_1_61}) {
            if (value == loader_text(v)) {
                settings->loader = v;
                return true;
            }
        }
        *error = "setting 'loader' is " + loader_text(LOADER_1_10) + " or " +
                 loader_text(LOADER_1_61) + ", not '" + value + "'";
        return false;
    }
    if (name == "cumulative-erase") {
        if (value == "yes" || value == "no") {
            settings->cumulative_erase = value == "yes";
            return true;
        }
        *error = "setting 'cumulative-erase' is yes or no, not '" + value + "'";
        return false;
    }
    for (const Timing &t : TIMINGS) {
        if (name != t.name)
            continue;
        if (parse_time(t, value, &(settings->*t.field)))
            return true;
        *error = "setting '" + name + "' is from " + in_unit(t.min, t.unit) + " to " +
                 in_unit(t.max, t.unit) + " (the data sheet's range), not '" + value + "'";
        return false;
    }
    *error = "unknown setting '" + name + "' (" + setting_names() + ")";
    return false;
}

std::string settings_text(const Settings &s) {
    std::string out = "loader=" + loader_text(s.loader);
    for (const Timing &t : TIMINGS)
        out += std::string(",") + t.name + "=" + in_unit(s.*t.field, t.unit);
    return out + ",cumulative-erase=" + (s.cumulative_erase ? "yes" : "no");
}

bool settings_parse(const std::string &text, Settings *settings, std::string *error) {
    Settings parsed;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        if (!setting_set(&parsed, text.substr(pos, comma - pos), error))
            return false;
        pos = comma + 1;
    }
    *settings = parsed;
    return true;
}

} // namespace sim::board
