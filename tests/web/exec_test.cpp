// The command runner: the child's standard descriptors, nothing else
// inherited, the argument limit, and the page block around the output.
#include "tests/web/web_test_util.h"
#include "web/exec.h"
#include "web/html.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using web_test::capture_stdout;

namespace {

class Runner : public ::testing::Test {
  protected:
    void SetUp() override {
        html_kit = {false, 0, 2, false};
        exec_reset_redirect();
        char tmpl[] = "/tmp/tarvo-web-exec-XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        out_path_ = tmpl;
    }
    void TearDown() override { unlink(out_path_.c_str()); }

    // Runs a shell command with its standard output into the output file.
    int sh(const std::string &command) {
        exec_set_stdout(open(out_path_.c_str(), O_WRONLY | O_TRUNC));
        return exec_command("/bin/sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    }
    std::string output() const { return web_test::slurp(out_path_); }
    std::string out_path_;
};

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST_F(Runner, SetStdoutIgnoresZeroAndTwo) {
    exec_set_stdout(0);
    EXPECT_EQ(exec_redirect.stdout_fd, -1);
    exec_set_stdout(2);
    EXPECT_EQ(exec_redirect.stdout_fd, -1);
    exec_set_stdout(1);
    EXPECT_EQ(exec_redirect.stdout_fd, 1);
    exec_reset_redirect();
    EXPECT_EQ(exec_redirect.stdout_fd, -1);
}

TEST_F(Runner, RedirectedDescriptorIsTheChildsAndClosedInTheParent) {
    int fd = open(out_path_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GT(fd, 2);
    exec_set_stdout(fd);
    int status = exec_command("/bin/sh", "-c", "echo hello; exit 3", static_cast<char *>(nullptr));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(output(), "hello\n");
    EXPECT_EQ(exec_redirect.stdin_fd, -1);
    EXPECT_EQ(exec_redirect.stdout_fd, -1);
    EXPECT_EQ(exec_redirect.stderr_fd, -1);
}

TEST_F(Runner, UnsetStreamsAreConnectedToDevNull) {
    sh("readlink /proc/$$/fd/0; readlink /proc/$$/fd/2; echo x >&2");
    EXPECT_EQ(output(), "/dev/null\n/dev/null\n");
    // A second run without new settings writes nothing to the page.
    std::string page = capture_stdout(
        [] { exec_command("/bin/sh", "-c", "echo leaked", static_cast<char *>(nullptr)); });
    EXPECT_EQ(page, "");
}

TEST_F(Runner, NoDescriptorAboveTwoReachesTheChild) {
    std::vector<int> held;
    for (int i = 0; i < 40; ++i)
        held.push_back(open("/dev/null", O_RDONLY));
    held.push_back(dup2(held[0], 200));
    sh("n=0; while [ $n -lt 256 ]; do [ -e /proc/$$/fd/$n ] && echo $n; n=$((n + 1)); done");
    EXPECT_EQ(output(), "0\n1\n2\n");
    for (int fd : held)
        close(fd);
}

TEST_F(Runner, SeventyArgumentsPassTheFirstSixtyTwo) {
    std::string command = "echo $#; echo $0; eval echo \\${$#}";
    exec_set_stdout(open(out_path_.c_str(), O_WRONLY | O_TRUNC));
    std::vector<std::string> words;
    // Appended, not "a" + string: GCC 12 at -O3 warns (-Wrestrict) about the
    // insert at the front that operator+ inlines.
    for (int i = 0; i < 67; ++i)
        words.push_back(std::string("a").append(std::to_string(i)));
    std::vector<const char *> a;
    for (auto &w : words)
        a.push_back(w.c_str());
    // "-c", the command and 68 more: 70 arguments.
    exec_command("/bin/sh", "-c", command.c_str(), "zero", a[0], a[1], a[2], a[3], a[4], a[5], a[6],
                 a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[17], a[18],
                 a[19], a[20], a[21], a[22], a[23], a[24], a[25], a[26], a[27], a[28], a[29], a[30],
                 a[31], a[32], a[33], a[34], a[35], a[36], a[37], a[38], a[39], a[40], a[41], a[42],
                 a[43], a[44], a[45], a[46], a[47], a[48], a[49], a[50], a[51], a[52], a[53], a[54],
                 a[55], a[56], a[57], a[58], a[59], a[60], a[61], a[62], a[63], a[64], a[65], a[66],
                 static_cast<char *>(nullptr));
    // 62 arguments: "-c", the command, $0 and 59 positional ones.
    EXPECT_EQ(output(), "59\nzero\na58\n");
}

TEST_F(Runner, MissingProgramEndsTheChildWithOne) {
    int status = exec_command("/no/such/program", static_cast<char *>(nullptr));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A captured child's output is cut to the buffer, and one that does not end
// in time is killed rather than holding the page.
TEST_F(Runner, CaptureKeepsTheBufferAndBoundsTheTime) {
    char out[6];
    char *echo[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                    const_cast<char *>("echo 1234567890; exit 3"), nullptr};
    int status = exec_capture(echo, out, sizeof out, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_STREQ(out, "12345");
    char *hang[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                    const_cast<char *>("echo started; exec sleep 60"), nullptr};
    EXPECT_EQ(exec_capture(hang, out, sizeof out, 200), EXEC_TIMED_OUT);
    EXPECT_STREQ(out, "start");
}

TEST_F(Runner, CommandOutputBlock) {
    EXPECT_EQ(capture_stdout([] { html_command_output("true"); }),
              "<table width=\"100%\"><tr><td nowrap><pre>\n</pre></td></tr>");
    html_kit = {false, 0, 2, false};
    EXPECT_EQ(capture_stdout([] { html_command_output("printf 'a<b>&\\n'"); }),
              "<table width=\"100%\"><tr><td nowrap><pre>\na<b>&\n</pre></td></tr>");
}

TEST_F(Runner, EscapedCommandOutputBlock) {
    EXPECT_EQ(capture_stdout([] { html_command_output_escaped("printf 'a<b>&\\n'; echo e >&2"); }),
              "<table width=\"100%\"><tr><td nowrap><pre>\na&lt;b&gt;&amp;\n</pre></td></tr>");
    // More output than a pipe holds arrives whole.
    html_kit = {false, 0, 2, false};
    std::string page = capture_stdout(
        [] { html_command_output_escaped("head -c 300000 /dev/zero | tr '\\0' '<'"); });
    std::string expect = "<table width=\"100%\"><tr><td nowrap><pre>\n";
    for (int i = 0; i < 300000; ++i)
        expect += "&lt;";
    EXPECT_EQ(page, expect + "</pre></td></tr>");
}

} // namespace
