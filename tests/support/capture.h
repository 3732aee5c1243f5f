// Standard output and input of the test process redirected for a while: what
// a part under test prints, and what it reads.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace testing_support {

// Standard output goes to a temporary file from construction until text(),
// which returns what was printed in between.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    std::string text();

  private:
    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

// Runs fn with standard output going to a file and returns what it printed.
std::string capture_stdout(const std::function<void()> &fn);

// Runs fn with standard input reading `input` from a file.
void with_stdin(const std::string &input, const std::function<void()> &fn);

// Runs fn with standard input reading from the descriptor fd.
void with_stdin_fd(int fd, const std::function<void()> &fn);

} // namespace testing_support
