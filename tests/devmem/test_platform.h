// The platform seen by the register access tests: the log is kept in memory
// with its levels, and sleeps only add up their time.
#pragma once

#include <string>
#include <vector>

namespace devmem_test {

struct Logged {
    int level;
    std::string text;
};

const std::vector<Logged> &logged();
std::vector<std::string> logged_texts();
// Microseconds the code under test asked to sleep since the last reset().
unsigned long long slept_us();
void reset();

} // namespace devmem_test
