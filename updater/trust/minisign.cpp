// minisign's text forms and the check of a signature.  The files are small and
// come from anywhere, so every field is checked for its exact size and form
// before anything in it is used; the cryptography is libsodium's.
#include "updater/trust/minisign.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sodium.h>

namespace {

constexpr const char *UNTRUSTED_PREFIX = "untrusted comment: ";
constexpr const char *TRUSTED_PREFIX = "trusted comment: ";
constexpr std::size_t ALGORITHM_BYTES = 2;
constexpr std::size_t KEY_LINE_BYTES = ALGORITHM_BYTES + MINISIGN_ID_BYTES + MINISIGN_KEY_BYTES;
constexpr std::size_t SIG_LINE_BYTES = ALGORITHM_BYTES + MINISIGN_ID_BYTES + MINISIGN_SIG_BYTES;
constexpr std::size_t HASH_BYTES = 64;
constexpr int MAX_LINES = 4;

// libsodium's random numbers, replaced before it starts: its own start would
// seed them from the kernel's pool (getrandom), and wait, SIGTERM or not, for
// as long as the pool is not ready; early at boot, when the recovery runs,
// that may be for ever.  Checking a signature needs no random numbers.  The
// library's start fills the canary of its guarded allocations, which nothing
// here uses, through buf; anything else that asks gets no number at all.
const char *no_random_name() {
    return "none";
}
std::uint32_t no_random() {
    sodium_misuse();
}
void no_random_stir() {}
std::uint32_t no_random_uniform(const std::uint32_t) {
    sodium_misuse();
}
void no_random_buf(void *const buf, const std::size_t size) {
    std::memset(buf, 0, size);
}
randombytes_implementation no_random_numbers = {no_random_name,    no_random,     no_random_stir,
                                                no_random_uniform, no_random_buf, nullptr};

int start_library() {
    static int started = [] {
        randombytes_set_implementation(&no_random_numbers);
        return sodium_init();
    }();
    return started;
}

struct Line {
    const char *text;
    std::size_t length; // without its LF
};

// Splits text into exactly `count` lines, each ended by LF but the last, which
// may end the text without one.  No NUL and no CR anywhere: a file that went
// through a CRLF conversion says so rather than failing its signature.
bool split_lines(const char *text, std::size_t length, int count, Line *lines, const char *what,
                 char *reason, std::size_t size) {
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\0') {
            std::snprintf(reason, size, "malformed %s: a NUL byte", what);
            return false;
        }
        if (text[i] == '\r') {
            std::snprintf(reason, size, "malformed %s: a carriage return (CRLF line ends)", what);
            return false;
        }
    }
    std::size_t at = 0;
    for (int n = 0; n < count; ++n) {
        if (at >= length) {
            std::snprintf(reason, size, "malformed %s: %d line%s, not %d", what, n,
                          n == 1 ? "" : "s", count);
            return false;
        }
        const char *start = text + at;
        const void *lf = std::memchr(start, '\n', length - at);
        std::size_t end =
            lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - text) : length;
        lines[n] = {start, end - at};
        at = lf ? end + 1 : length;
    }
    if (at < length) {
        std::snprintf(reason, size, "malformed %s: more than %d lines", what, count);
        return false;
    }
    return true;
}

bool has_prefix(const Line &line, const char *prefix) {
    std::size_t n = std::strlen(prefix);
    return line.length >= n && std::memcmp(line.text, prefix, n) == 0;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 of exactly `bytes` bytes, with its padding and nothing
// else; the bits that the last character holds beyond the data must be zero,
// so that one text stands for one value.
bool base64_decode(const Line &line, std::uint8_t *out, std::size_t bytes) {
    std::size_t groups = (bytes + 2) / 3;
    if (line.length != groups * 4)
        return false;
    std::size_t padding = groups * 3 - bytes;
    std::size_t digits = line.length - padding;
    for (std::size_t i = digits; i < line.length; ++i)
        if (line.text[i] != '=')
            return false;
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t got = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int v = base64_value(line.text[i]);
        if (v < 0)
            return false;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (got < bytes)
                out[got++] = static_cast<std::uint8_t>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    return got == bytes && acc == 0;
}

bool algorithm_is(const std::uint8_t *bytes, const char *name) {
    return bytes[0] == static_cast<std::uint8_t>(name[0]) &&
           bytes[1] == static_cast<std::uint8_t>(name[1]);
}

// Two bytes of an algorithm name for a message: printable or as hex.
void algorithm_text(const std::uint8_t *bytes, char *out, std::size_t size) {
    if (bytes[0] > 0x20 && bytes[0] < 0x7F && bytes[1] > 0x20 && bytes[1] < 0x7F)
        std::snprintf(out, size, "\"%c%c\"", bytes[0], bytes[1]);
    else
        std::snprintf(out, size, "0x%02X%02X", bytes[0], bytes[1]);
}

// Splits a key or signature file into its `count` lines and decodes the
// first two: the untrusted comment, and the base64 line of `bytes` bytes.
bool read_head(const char *text, std::size_t length, int count, Line *lines, std::uint8_t *out,
               std::size_t bytes, const char *what, char *reason, std::size_t size) {
    if (!split_lines(text, length, count, lines, what, reason, size))
        return false;
    if (!has_prefix(lines[0], UNTRUSTED_PREFIX)) {
        std::snprintf(reason, size, "malformed %s: line 1 does not begin \"%s\"", what,
                      UNTRUSTED_PREFIX);
        return false;
    }
    if (!base64_decode(lines[1], out, bytes)) {
        std::snprintf(reason, size, "malformed %s: line 2 is not the base64 of %zu bytes", what,
                      bytes);
        return false;
    }
    return true;
}

} // namespace

void minisign_id_text(const std::uint8_t *id, char *out) {
    for (std::size_t i = 0; i < MINISIGN_ID_BYTES; ++i)
        std::snprintf(out + 2 * i, 3, "%02X", id[MINISIGN_ID_BYTES - 1 - i]);
}

bool minisign_parse_key(const char *text, std::size_t length, MinisignKey *key, char *reason,
                        std::size_t size) {
    const char *what = "key file";
    Line lines[2];
    std::uint8_t bytes[KEY_LINE_BYTES];
    if (!read_head(text, length, 2, lines, bytes, sizeof bytes, what, reason, size))
        return false;
    if (!algorithm_is(bytes, "Ed")) {
        char alg[8];
        algorithm_text(bytes, alg, sizeof alg);
        std::snprintf(reason, size, "malformed %s: algorithm %s, not \"Ed\"", what, alg);
        return false;
    }
    std::memcpy(key->id, bytes + ALGORITHM_BYTES, MINISIGN_ID_BYTES);
    std::memcpy(key->key, bytes + ALGORITHM_BYTES + MINISIGN_ID_BYTES, MINISIGN_KEY_BYTES);
    return true;
}

bool minisign_parse_signature(const char *text, std::size_t length, MinisignSignature *sig,
                              char *reason, std::size_t size) {
    const char *what = "signature";
    Line lines[MAX_LINES];
    std::uint8_t bytes[SIG_LINE_BYTES];
    if (!read_head(text, length, MAX_LINES, lines, bytes, sizeof bytes, what, reason, size))
        return false;
    if (algorithm_is(bytes, "ED")) {
        sig->prehashed = true;
    } else if (algorithm_is(bytes, "Ed")) {
        sig->prehashed = false;
    } else {
        char alg[8];
        algorithm_text(bytes, alg, sizeof alg);
        std::snprintf(reason, size, "malformed %s: algorithm %s, neither \"ED\" nor \"Ed\"", what,
                      alg);
        return false;
    }
    std::memcpy(sig->id, bytes + ALGORITHM_BYTES, MINISIGN_ID_BYTES);
    std::memcpy(sig->sig, bytes + ALGORITHM_BYTES + MINISIGN_ID_BYTES, MINISIGN_SIG_BYTES);

    if (!has_prefix(lines[2], TRUSTED_PREFIX)) {
        std::snprintf(reason, size, "malformed %s: line 3 does not begin \"%s\"", what,
                      TRUSTED_PREFIX);
        return false;
    }
    std::size_t skip = std::strlen(TRUSTED_PREFIX);
    Line comment{lines[2].text + skip, lines[2].length - skip};
    if (comment.length > MINISIGN_COMMENT_MAX) {
        std::snprintf(reason, size, "malformed %s: trusted comment longer than %zu bytes", what,
                      MINISIGN_COMMENT_MAX);
        return false;
    }
    // The comment goes into the log: no control characters but the tab that
    // minisign's own comment holds.
    for (std::size_t i = 0; i < comment.length; ++i) {
        auto c = static_cast<unsigned char>(comment.text[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            std::snprintf(reason, size, "malformed %s: a control character in the trusted comment",
                          what);
            return false;
        }
    }
    std::memcpy(sig->comment, comment.text, comment.length);
    sig->comment[comment.length] = '\0';
    sig->comment_length = comment.length;

    if (!base64_decode(lines[3], sig->global, sizeof sig->global)) {
        std::snprintf(reason, size, "malformed %s: line 4 is not the base64 of %zu bytes", what,
                      sizeof sig->global);
        return false;
    }
    return true;
}

int minisign_check(const MinisignKey &key, const MinisignSignature &sig, const std::uint8_t *data,
                   std::size_t length) {
    if (std::memcmp(key.id, sig.id, MINISIGN_ID_BYTES) != 0)
        return MINISIGN_OTHER_KEY;
    // Picks the library's implementations.
    if (start_library() < 0)
        return MINISIGN_NO_LIBRARY;
    int rc = 0;
    if (sig.prehashed) {
        std::uint8_t hash[HASH_BYTES];
        if (crypto_generichash(hash, sizeof hash, data, length, nullptr, 0) != 0)
            return MINISIGN_NO_LIBRARY;
        rc = crypto_sign_verify_detached(sig.sig, hash, sizeof hash, key.key);
    } else {
        rc = crypto_sign_verify_detached(sig.sig, data, length, key.key);
    }
    if (rc != 0)
        return MINISIGN_BAD_FILE;
    std::uint8_t signed_comment[MINISIGN_SIG_BYTES + MINISIGN_COMMENT_MAX];
    std::memcpy(signed_comment, sig.sig, MINISIGN_SIG_BYTES);
    std::memcpy(signed_comment + MINISIGN_SIG_BYTES, sig.comment, sig.comment_length);
    if (crypto_sign_verify_detached(sig.global, signed_comment,
                                    MINISIGN_SIG_BYTES + sig.comment_length, key.key) != 0)
        return MINISIGN_BAD_COMMENT;
    return MINISIGN_GOOD;
}
