// The history's record as text: its fields told from the running process
// (who started it, the time), its one line of JSON written and read back, and
// its line for a person.
#include "common/history.h"

#include "common/outcome.h"
#include "common/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// Text added to a line that cannot overflow it: once full, the line is
// marked unusable.
struct Line {
    char *buf;
    std::size_t size;
    std::size_t used = 0;
    bool full = false;

    void raw(const char *text, std::size_t n) {
        if (full || used + n >= size) {
            full = true;
            return;
        }
        std::memcpy(buf + used, text, n);
        used += n;
        buf[used] = '\0';
    }
    void put(const char *text) { raw(text, std::strlen(text)); }
    __attribute__((format(printf, 2, 3))) void putf(const char *format, ...) {
        char piece[64];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        raw(piece, n < 0 ? 0 : static_cast<std::size_t>(n));
    }
    void string(const char *text) {
        put("\"");
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
            if (*p == '"' || *p == '\\') {
                char e[2] = {'\\', static_cast<char>(*p)};
                raw(e, 2);
            } else if (*p < 0x20 || *p == 0x7F) {
                putf("\\u%04x", *p);
            } else {
                raw(reinterpret_cast<const char *>(p), 1);
            }
        }
        put("\"");
    }
    void string_or_null(const char *text) {
        if (text[0])
            string(text);
        else
            put("null");
    }
    void reading(const BoardReading &r) {
        put("{\"version\":");
        if (r.has_version)
            putf("\"0x%08X\"", r.version);
        else
            put("null");
        put(",\"config\":");
        if (r.has_config)
            string(r.config);
        else
            put("null");
        put("}");
    }
};

// A reader of one stored line: the members of an object, their values
// copied out.
struct Scan {
    const char *p;
    const char *end;

    void blanks() {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
    }
    bool take(char c) {
        blanks();
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    // A string into out (cut to its size); \uXXXX of the ASCII range kept,
    // others become "?".
    bool string(char *out, std::size_t size) {
        if (!take('"'))
            return false;
        std::size_t used = 0;
        while (p < end && *p != '"') {
            char c = *p++;
            if (c == '\\') {
                if (p >= end)
                    return false;
                char e = *p++;
                if (e == 'u') {
                    unsigned v = 0;
                    for (int i = 0; i < 4; ++i, ++p) {
                        if (p >= end)
                            return false;
                        char h = *p;
                        int d = h >= '0' && h <= '9'   ? h - '0'
                                : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                       : -1;
                        if (d < 0)
                            return false;
                        v = v * 16 + static_cast<unsigned>(d);
                    }
                    c = v < 0x80 ? static_cast<char>(v) : '?';
                } else {
                    c = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            }
            if (used + 1 < size)
                out[used++] = c;
        }
        if (size > 0)
            out[used] = '\0';
        return take('"');
    }
    bool null() {
        blanks();
        if (end - p >= 4 && std::strncmp(p, "null", 4) == 0) {
            p += 4;
            return true;
        }
        return false;
    }
    // A string, or null (then out is "" and *present false).
    bool string_or_null(char *out, std::size_t size, bool *present = nullptr) {
        bool is_null = null();
        if (is_null)
            out[0] = '\0';
        if (present)
            *present = !is_null;
        return is_null || string(out, size);
    }
    bool number(double *value) {
        blanks();
        char digits[40];
        std::size_t n = 0;
        while (p < end && n + 1 < sizeof digits && std::strchr("+-0123456789.eE", *p))
            digits[n++] = *p++;
        digits[n] = '\0';
        char *stop = nullptr;
        *value = std::strtod(digits, &stop);
        return n > 0 && *stop == '\0';
    }
    bool integer(int *value) {
        double v = 0;
        if (!number(&v) || v < -2147483648.0 || v > 2147483647.0)
            return false;
        *value = static_cast<int>(v);
        return *value == v;
    }
    // Skips a value of a member this reader does not know.
    bool skip() {
        blanks();
        if (p < end && *p == '"') {
            char ignored[1];
            return string(ignored, 0);
        }
        if (p < end && (*p == '{' || *p == '[')) {
            int depth = 0;
            while (p < end) {
                if (*p == '"') {
                    char ignored[1];
                    if (!string(ignored, 0))
                        return false;
                    continue;
                }
                if (*p == '{' || *p == '[')
                    ++depth;
                else if ((*p == '}' || *p == ']') && --depth == 0) {
                    ++p;
                    return true;
                }
                ++p;
            }
            return false;
        }
        while (p < end && *p != ',' && *p != '}')
            ++p;
        return true;
    }
    bool reading(BoardReading *r) {
        *r = BoardReading{};
        if (null())
            return true;
        if (!take('{'))
            return false;
        if (take('}'))
            return true;
        do {
            char key[16];
            if (!string(key, sizeof key) || !take(':'))
                return false;
            bool ok;
            if (std::strcmp(key, "version") == 0) {
                char text[16];
                ok = string_or_null(text, sizeof text, &r->has_version);
                if (ok && r->has_version) {
                    char *stop = nullptr;
                    r->version = static_cast<std::uint32_t>(std::strtoul(text, &stop, 16));
                }
            } else if (std::strcmp(key, "config") == 0) {
                ok = string_or_null(r->config, sizeof r->config, &r->has_config);
            } else {
                ok = skip();
            }
            if (!ok)
                return false;
        } while (take(','));
        return take('}');
    }
};

} // namespace

const char *history_started_by(void) {
    char path[64], name[32] = "";
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(getppid()));
    if (FILE *f = std::fopen(path, "re")) {
        if (std::fgets(name, sizeof name, f))
            name[std::strcspn(name, "\n")] = '\0';
        std::fclose(f);
    }
    if (std::strcmp(name, "index.cgi") == 0 || std::strcmp(name, "set.cgi") == 0)
        return BY_WEB_PAGE;
    if (std::strcmp(name, "tarvo_recover") == 0)
        return BY_BOOT_RECOVERY;
    if (std::strcmp(name, "tarvo_fleet") == 0)
        return BY_FLEET;
    return BY_COMMAND_LINE;
}

std::size_t history_format(const OutcomeRecord &r, char *buf, std::size_t size) {
    Line line{buf, size};
    line.putf("{\"port\":%d,\"image\":", r.port);
    line.string(r.image);
    line.put(",\"signer\":");
    line.string_or_null(r.signer);
    line.put(",\"start\":");
    line.string_or_null(r.start);
    line.put(",\"end\":");
    line.string_or_null(r.end);
    line.putf(",\"duration\":%.3f,\"status\":%d,\"cause\":", r.duration, r.status);
    line.string(r.cause);
    line.put(",\"stage\":");
    line.string_or_null(r.stage);
    line.put(",\"reason\":");
    line.string(r.reason);
    line.put(",\"outcome\":");
    line.string(r.outcome);
    line.put(",\"action\":");
    line.string(r.action);
    line.put(",\"before\":");
    line.reading(r.before);
    line.put(",\"after\":");
    line.reading(r.after);
    line.put(",\"by\":");
    line.string(r.by);
    line.putf(",\"pid\":%d}\n", r.pid);
    return line.full ? 0 : line.used;
}

bool history_parse(const char *text, std::size_t length, OutcomeRecord *r) {
    *r = OutcomeRecord{};
    Scan s{text, text + length};
    if (!s.take('{'))
        return false;
    bool port = false, status = false, cause = false, pid = false;
    do {
        char key[16];
        if (!s.string(key, sizeof key) || !s.take(':'))
            return false;
        bool ok;
        if (std::strcmp(key, "port") == 0)
            ok = port = s.integer(&r->port);
        else if (std::strcmp(key, "image") == 0)
            ok = s.string_or_null(r->image, sizeof r->image);
        else if (std::strcmp(key, "signer") == 0)
            ok = s.string_or_null(r->signer, sizeof r->signer);
        else if (std::strcmp(key, "start") == 0)
            ok = s.string_or_null(r->start, sizeof r->start);
        else if (std::strcmp(key, "end") == 0)
            ok = s.string_or_null(r->end, sizeof r->end);
        else if (std::strcmp(key, "duration") == 0)
            ok = s.null() || s.number(&r->duration);
        else if (std::strcmp(key, "status") == 0)
            ok = status = s.integer(&r->status);
        else if (std::strcmp(key, "cause") == 0)
            ok = cause = s.string(r->cause, sizeof r->cause);
        else if (std::strcmp(key, "stage") == 0)
            ok = s.string_or_null(r->stage, sizeof r->stage);
        else if (std::strcmp(key, "reason") == 0)
            ok = s.string_or_null(r->reason, sizeof r->reason);
        else if (std::strcmp(key, "outcome") == 0)
            ok = s.string_or_null(r->outcome, sizeof r->outcome);
        else if (std::strcmp(key, "action") == 0)
            ok = s.string_or_null(r->action, sizeof r->action);
        else if (std::strcmp(key, "before") == 0)
            ok = s.reading(&r->before);
        else if (std::strcmp(key, "after") == 0)
            ok = s.reading(&r->after);
        else if (std::strcmp(key, "by") == 0)
            ok = s.string_or_null(r->by, sizeof r->by);
        else if (std::strcmp(key, "pid") == 0)
            ok = pid = s.integer(&r->pid);
        else
            ok = s.skip();
        if (!ok)
            return false;
    } while (s.take(','));
    if (!s.take('}'))
        return false;
    s.blanks();
    return s.p == s.end && port && status && cause && pid;
}

void history_text(const OutcomeRecord &r, char *line, std::size_t size) {
    char failure[700] = "";
    if (r.reason[0])
        std::snprintf(failure, sizeof failure, " %s%s%s%s.", r.stage[0] ? "At " : "",
                      r.stage[0] ? stage_words(r.stage) : "", r.stage[0] ? ": " : "", r.reason);
    std::snprintf(line, size, "%s PORT%d %s: %s%s (exit %d %s, %.0f s, by %s, pid %d)",
                  r.start[0] ? r.start : "-", r.port, r.image, r.outcome, failure, r.status,
                  r.cause, r.duration, r.by[0] ? r.by : "-", r.pid);
}
