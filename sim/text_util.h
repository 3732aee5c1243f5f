// Small text helpers of the simulator's files and protocols.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

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

} // namespace sim
