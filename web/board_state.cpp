#include "web/board_state.h"

#include "common/history.h"
#include "common/paths.h"
#include "web/exec.h"
#include "web/html.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Copies the JSON string that starts at `p` (at its opening quote) into out,
// undoing the escapes the query writes; a character it cannot show becomes
// "?".  False when p is not a string.
bool json_string_at(const char *p, char *out, std::size_t size) {
    if (*p != '"' || size == 0)
        return false;
    std::size_t used = 0;
    for (++p; *p && *p != '"'; ++p) {
        char c = *p;
        if (c == '\\') {
            ++p;
            if (!*p)
                break;
            if (*p == 'u') {
                unsigned value = 0;
                int digits = 0;
                for (; digits < 4 && p[1] && std::strchr("0123456789abcdefABCDEF", p[1]);
                     ++digits, ++p)
                    value = value * 16 + static_cast<unsigned>(
                                             p[1] <= '9' ? p[1] - '0' : (p[1] | 0x20) - 'a' + 10);
                c = digits == 4 && value >= 0x20 && value < 0x7F ? static_cast<char>(value) : '?';
            } else {
                c = *p == 'n' || *p == 't' || *p == 'r' ? '?' : *p;
            }
        }
        if (used + 1 < size)
            out[used++] = c;
    }
    out[used] = '\0';
    return true;
}

// Where the value of a member "key" of the object begins, or null.  A key
// counts only at the start of a member, so that text inside a string value
// is never taken for one.
const char *json_value(const char *json, const char *key) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "\"%s\":", key);
    for (const char *p = std::strstr(json, pattern); p; p = std::strstr(p + 1, pattern)) {
        if (p > json && (p[-1] == '{' || p[-1] == ','))
            return p + std::strlen(pattern);
    }
    return nullptr;
}

bool json_string(const char *json, const char *key, char *out, std::size_t size) {
    const char *value = json_value(json, key);
    if (!value || !json_string_at(value, out, size)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

} // namespace

void board_state_parse(const char *json, BoardState *state) {
    *state = BoardState{};
    state->query = BOARD_UNKNOWN;
    char status[32];
    json_string(json, "status", status, sizeof status);
    json_string(json, "version", state->version, sizeof state->version);
    json_string(json, "config", state->config, sizeof state->config);
    json_string(json, "image", state->pending, sizeof state->pending);
    json_string(json, "since", state->since, sizeof state->since);
    json_string(json, "error", state->error, sizeof state->error);
    if (const char *pid = json_value(json, "update_pid"))
        state->update_pid = std::atoi(pid);
    if (const char *port = json_value(json, "update_port"))
        state->update_port = std::atoi(port);
    if (const char *gave_up = json_value(json, "recovery_gave_up"))
        state->gave_up = std::strncmp(gave_up, "true", 4) == 0;
    if (std::strcmp(status, "read") == 0)
        state->query = BOARD_READ;
    else if (std::strcmp(status, "no-board") == 0)
        state->query = BOARD_NO_BOARD;
    else if (std::strcmp(status, "busy") == 0)
        state->query = BOARD_BUSY;
    else if (std::strcmp(status, "no-answer") == 0)
        state->query = BOARD_NO_ANSWER;
    else if (!state->error[0])
        std::snprintf(state->error, sizeof state->error, "the board query gave no answer");
}

int board_state_query(const PortInfo &port, BoardState *state) {
    LocalPath program(PATH_INFO);
    char port_arg[12], json_arg[] = "json";
    std::snprintf(port_arg, sizeof port_arg, "%d", port.number);
    char *argv[] = {program.path, port_arg, json_arg, nullptr};
    static char out[4096];
    int status = 0;
    // A query never turns another away: busy means an update holds the board.
    status = exec_capture(argv, out, sizeof out, BOARD_QUERY_TIMEOUT_MS);
    board_state_parse(out, state);
    if (status == EXEC_TIMED_OUT)
        std::snprintf(state->error, sizeof state->error, "the board query took longer than %d s",
                      BOARD_QUERY_TIMEOUT_MS / 1000);
    else if (status == EXEC_NOT_STARTED || (WIFEXITED(status) && WEXITSTATUS(status) == 127))
        std::snprintf(state->error, sizeof state->error, "%s could not be started", PATH_INFO);
    if (status == EXEC_TIMED_OUT || status == EXEC_NOT_STARTED)
        state->query = BOARD_UNKNOWN;
    return state->query;
}

int updating_port(int pid) {
    return history_update_port(pid);
}

const char *offered_image(const char *config) {
    if (!config[0])
        return nullptr;
    for (const FirmwareOption *o = firmware_options; o->label; ++o) {
        // "V" + configuration + ".hex"
        std::size_t len = std::strlen(o->file);
        if (len == std::strlen(config) + 5 && std::strncmp(o->file + 1, config, len - 5) == 0 &&
            std::strcmp(o->file + len - 4, ".hex") == 0)
            return o->file;
    }
    return nullptr;
}
