// Helpers for testing the web program's parts in the test process: captured
// standard output, a chosen standard input and CGI environment variables.
#pragma once

#include "tests/support/capture.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace web_test {

using testing_support::capture_stdout;
using testing_support::with_stdin;
using testing_support::with_stdin_fd;

// Sets (value) or removes (nullopt) environment variables for its lifetime.
class Env {
  public:
    Env(std::initializer_list<std::pair<const char *, std::optional<std::string>>> vars);
    ~Env();
    Env(const Env &) = delete;
    Env &operator=(const Env &) = delete;

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A CGI environment with every request variable the form input looks at
// removed except the given ones.
Env cgi_env(const char *method, std::optional<std::string> query = std::nullopt,
            std::optional<std::string> length = std::nullopt,
            std::optional<std::string> type = std::nullopt);

std::string slurp(const std::string &path);

// A user and group id that no file of the test belongs to unless it is given.
constexpr unsigned OTHER_ID = 65534;
// True when the tests may switch users (they run as root, as in CI).
bool can_switch_user();
// Runs fn in a child process as user and group OTHER_ID and returns its result
// (false when the child did not end normally).
bool as_other_user(const std::function<bool()> &fn);

} // namespace web_test
