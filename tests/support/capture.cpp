#include "tests/support/capture.h"

#include <unistd.h>

namespace testing_support {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    file_ = std::tmpfile();
    dup2(fileno(file_), 1);
}

StdoutCapture::~StdoutCapture() {
    if (file_)
        text();
}

std::string StdoutCapture::text() {
    std::string out;
    if (!file_)
        return out;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::rewind(file_);
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
        out.append(buf, n);
    std::fclose(file_);
    file_ = nullptr;
    return out;
}

std::string capture_stdout(const std::function<void()> &fn) {
    StdoutCapture capture;
    fn();
    return capture.text();
}

void with_stdin_fd(int fd, const std::function<void()> &fn) {
    int saved = dup(0);
    dup2(fd, 0);
    fn();
    dup2(saved, 0);
    close(saved);
}

void with_stdin(const std::string &input, const std::function<void()> &fn) {
    FILE *file = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), file);
    std::fflush(file);
    std::rewind(file);
    with_stdin_fd(fileno(file), fn);
    std::fclose(file);
}

} // namespace testing_support
