#include "tests/web/web_test_util.h"

#include <cstdio>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace web_test {

Env::Env(std::initializer_list<std::pair<const char *, std::optional<std::string>>> vars) {
    for (const auto &[name, value] : vars) {
        const char *old = std::getenv(name);
        saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
}

Env::~Env() {
    for (const auto &[name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool can_switch_user() {
    return geteuid() == 0;
}

bool as_other_user(const std::function<bool()> &fn) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        bool switched =
            setgroups(0, nullptr) == 0 && setgid(OTHER_ID) == 0 && setuid(OTHER_ID) == 0;
        _exit(switched && fn() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace web_test

namespace web_test {

Env cgi_env(const char *method, std::optional<std::string> query, std::optional<std::string> length,
            std::optional<std::string> type) {
    return Env{{"REQUEST_METHOD", method ? std::optional<std::string>(method) : std::nullopt},
               {"QUERY_STRING", query},
               {"CONTENT_LENGTH", length},
               {"CONTENT_TYPE", type},
               {"HTTP_ORIGIN", std::nullopt},
               {"HTTP_REFERER", std::nullopt},
               {"HTTP_HOST", std::nullopt}};
}

} // namespace web_test
