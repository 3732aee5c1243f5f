// Small text helpers of the simulator's files, protocols and log; header only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

// Value of one hexadecimal digit of either case, -1 for any other character.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of the hex pairs in text[from, to); false at a character that is
// not a hex digit (or an odd count).
inline bool hex_bytes(const std::string &text, std::size_t from, std::size_t to,
                      std::vector<std::uint8_t> *bytes) {
    if (to < from || (to - from) % 2 != 0)
        return false;
    bytes->clear();
    for (std::size_t i = from; i < to; i += 2) {
        int h = hex_digit(text[i]), l = hex_digit(text[i + 1]);
        if (h < 0 || l < 0)
            return false;
        bytes->push_back(static_cast<std::uint8_t>(h << 4 | l));
    }
    return true;
}

// Upper-case hex pairs of the bytes, then the pair of the two's complement of
// their sum: an Intel HEX record's checksum and a MODBUS ASCII message's LRC.
inline std::string hex_with_sum(const std::vector<std::uint8_t> &bytes) {
    std::string out;
    unsigned sum = 0;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return out + buf;
}

// The whole content of a file; false when it cannot be opened.
inline bool read_whole_file(const std::string &path, std::string *text) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    text->clear();
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text->append(buf, n);
    std::fclose(f);
    return true;
}

// The format with %m replaced by the text of the error `err` (its own "%"
// doubled), as syslog(3) does; "%%" is left for the printf that follows.
inline std::string expand_errno(const char *fmt, int err) {
    std::string out;
    for (const char *p = fmt; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            out += "%%";
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char *s = std::strerror(err); *s; ++s) {
                out += *s;
                if (*s == '%')
                    out += '%';
            }
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace sim
