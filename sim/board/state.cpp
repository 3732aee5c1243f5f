#include "sim/board/state.h"
#include "sim/text_util.h"

#include "sim/board/sample_images.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace sim::board {
namespace {

constexpr const char *HEADER = "# simulated TARVO board";

// Appends the bytes in hex.  Written through a plain pointer: the state is
// written after every loader command, so this is on a simulated update's path.
template <std::size_t N>
void append_hex(std::string *out, const std::array<std::uint8_t, N> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::size_t at = out->size();
    out->resize(at + 2 * N);
    char *p = out->data() + at;
    for (std::uint8_t b : bytes) {
        *p++ = digits[b >> 4];
        *p++ = digits[b & 15];
    }
}

template <std::size_t N>
bool from_hex(const std::string &text, std::array<std::uint8_t, N> *bytes) {
    if (text.size() != 2 * N)
        return false;
    for (std::size_t i = 0; i < N; ++i) {
        int h = sim::hex_digit(text[2 * i]), l = sim::hex_digit(text[2 * i + 1]);
        if (h < 0 || l < 0)
            return false;
        (*bytes)[i] = static_cast<std::uint8_t>(h << 4 | l);
    }
    return true;
}

} // namespace

std::string state_path(const std::string &root, int port) {
    return root + "/sim/board" + std::to_string(port) + ".state";
}

std::string serialize(const BoardState &s) {
    std::string out;
    out.reserve(2 * (MAIN_SIZE + INFO_SIZE + RAM_SIZE) + 256);
    out = HEADER;
    out += "\nmode=";
    out += mode_name(s.mode);
    out += "\nauthenticated=";
    out += s.authenticated ? "1" : "0";
    out += "\nfaults=" + faults_text(s.faults);
    out += "\nsettings=" + settings_text(s.settings);
    out += "\nmain=";
    append_hex(&out, s.main);
    out += "\ninfo=";
    append_hex(&out, s.info);
    out += "\nram=";
    append_hex(&out, s.ram);
    out += "\n";
    return out;
}

bool parse_state(const std::string &text, BoardState *state, std::string *error) {
    BoardState s = erased_state();
    std::istringstream in(text);
    std::string line;
    bool have_main = false, have_mode = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        std::string key = line.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        bool ok = true;
        if (key == "mode")
            ok = have_mode = parse_mode(value, &s.mode);
        else if (key == "authenticated")
            s.authenticated = value == "1";
        else if (key == "faults")
            ok = faults_parse(value, &s.faults, error);
        else if (key == "settings")
            ok = settings_parse(value, &s.settings, error);
        else if (key == "main")
            ok = have_main = from_hex(value, &s.main);
        else if (key == "info")
            ok = from_hex(value, &s.info);
        else if (key == "ram")
            ok = from_hex(value, &s.ram);
        if (!ok) {
            if (error->empty() || (key != "faults" && key != "settings"))
                *error = "bad '" + key + "' entry";
            return false;
        }
    }
    if (!have_main || !have_mode) {
        *error = "no mode or main flash in the board state";
        return false;
    }
    *state = s;
    return true;
}

bool load_state(const std::string &path, BoardState *state, std::string *error) {
    std::string text;
    if (!sim::read_whole_file(path, &text)) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    if (!parse_state(text, state, &why)) {
        *error = path + ": " + why;
        return false;
    }
    return true;
}

bool save_state(const std::string &path, const BoardState &state, std::string *error) {
    return write_state(path, serialize(state), true, error);
}

bool write_state(const std::string &path, const std::string &text, bool sync, std::string *error) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        *error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<std::size_t>(w);
    }
    bool ok = done == text.size() && (!sync || fsync(fd) == 0);
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

BoardState factory_board() {
    return factory_state(make_sample_image(sample_images()[0]));
}

} // namespace sim::board
