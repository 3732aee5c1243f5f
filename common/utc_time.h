// The time now, as the records and the history write it: ISO 8601 in UTC,
// "YYYY-MM-DDTHH:MM:SSZ" (20 characters and the NUL).
#pragma once

#include <cstddef>
#include <ctime>

constexpr std::size_t UTC_TIME_SIZE = 21;

inline void utc_now_iso8601(char *buf, std::size_t size) {
    std::time_t t = std::time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    std::strftime(buf, size, "%Y-%m-%dT%H:%M:%SZ", &tm);
}
