// Form input: pair parsing and decoding, the field filter, POST bodies and
// multipart uploads.
#include "sim/world.h"
#include "tests/web/web_test_util.h"
#include "web/cgi_input.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using web_test::cgi_env;
using web_test::with_stdin;
using web_test::with_stdin_fd;

namespace {

std::string value_of(const char *name) {
    char *out = nullptr;
    EXPECT_TRUE(cgi_get_value(name, &out));
    std::string v = out;
    std::free(out);
    return v;
}

std::string field_of(const char *name, bool strip) {
    char *out = nullptr;
    EXPECT_TRUE(cgi_get_field(name, &out, strip));
    std::string v = out;
    std::free(out);
    return v;
}

// Reads a GET request with this query string.
void read_query(const std::string &query) {
    cgi_free_input();
    auto env = cgi_env("GET", query);
    cgi_read_input();
}

class CgiInput : public ::testing::Test {
  protected:
    void TearDown() override { cgi_free_input(); }
};

TEST_F(CgiInput, PairsAreSplitDecodedAndLookedUpByExactName) {
    const struct {
        const char *query;
        std::vector<std::pair<const char *, const char *>> values;
    } cases[] = {
        {"button=Apply&firmware1=V1a2a3b4b5b6b7o.hex",
         {{"button", "Apply"},
          {"firmware1", "V1a2a3b4b5b6b7o.hex"},
          {"firmware2", ""},
          {"Button", ""}}},
        {"v=a+b%2B&x=1&x=2&n%61me=%4a%4A", {{"v", "a b+"}, {"x", "1"}, {"name", "JJ"}}},
        // A pair without "=" runs into the next one: its name is "flag&x".
        {"flag&x=1", {{"x", ""}, {"flag&x", "1"}}},
        {"=empty&a=1&&b", {{"", "empty"}, {"a", "1"}, {"b", ""}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.query);
        read_query(c.query);
        EXPECT_TRUE(cgi_has_input());
        for (const auto &[name, value] : c.values)
            EXPECT_EQ(value_of(name), value) << name;
    }
}

TEST_F(CgiInput, PercentAtTheEndIsKeptAndNothingIsReadBeyond) {
    read_query("a=50%&b=%4&c=%41%");
    EXPECT_EQ(value_of("a"), "50%");
    EXPECT_EQ(value_of("b"), "%4");
    EXPECT_EQ(value_of("c"), "A%");

    char text[] = "%";
    cgi_url_decode(text);
    EXPECT_STREQ(text, "%");
    char two[] = "x%2";
    cgi_url_decode(two);
    EXPECT_STREQ(two, "x%2");
}

TEST_F(CgiInput, FieldFilterKeepsExactlyTheAllowedBytes) {
    const std::string forbidden_printable = "\"$&'();<>\\^`|";
    for (int c = 1; c < 256; ++c) {
        char query[32];
        std::snprintf(query, sizeof query, "f=x%%%02Xy", c);
        read_query(query);
        bool allowed = c >= 0x20 && c < 0x7F &&
                       forbidden_printable.find(static_cast<char>(c)) == std::string::npos;
        std::string expect = allowed ? std::string("x") + static_cast<char>(c) + "y" : "xy";
        EXPECT_EQ(field_of("f", false), expect) << "byte " << c;
        EXPECT_EQ(c < 128 && cgi_field_chars[c] == 1, allowed) << "byte " << c;
    }
    read_query("f=%3Cb%3E&g=a+b&h=V1a2a3b4b5b6b7o.hex%3B+rm+-rf+%2F&l=caf%E9");
    EXPECT_EQ(field_of("f", false), "b");
    EXPECT_EQ(field_of("g", false), "a b");
    EXPECT_EQ(field_of("g", true), "ab");
    EXPECT_EQ(field_of("h", true), "V1a2a3b4b5b6b7o.hexrm-rf/");
    EXPECT_EQ(field_of("l", false), "caf");
}

TEST_F(CgiInput, MethodsAndMissingVariablesGiveNoInput) {
    {
        auto env = cgi_env("get", "button=Apply");
        cgi_read_input();
        EXPECT_FALSE(cgi_has_input());
        EXPECT_EQ(value_of("button"), "");
    }
    {
        auto env = cgi_env(nullptr, "button=Apply");
        cgi_read_input();
        EXPECT_FALSE(cgi_has_input());
    }
    {
        auto env = cgi_env("PUT", "button=Apply", "3");
        with_stdin("a=b", [] { cgi_read_input(); });
        EXPECT_FALSE(cgi_has_input());
    }
    {
        auto env = cgi_env("GET");
        cgi_read_input();
        EXPECT_FALSE(cgi_has_input());
    }
    {
        auto env = cgi_env("GET", "");
        cgi_read_input();
        EXPECT_NE(cgi_form_data, nullptr);
        EXPECT_FALSE(cgi_has_input());
    }
}

TEST_F(CgiInput, ReadingTwiceKeepsTheFirstRequest) {
    read_query("a=1");
    auto env = cgi_env("GET", "a=2");
    cgi_read_input();
    EXPECT_EQ(value_of("a"), "1");
}

// The body read for a POST with this CONTENT_LENGTH, or nullopt for no input.
std::optional<std::string> post(const std::optional<std::string> &length, const std::string &body) {
    cgi_free_input();
    auto env = cgi_env("POST", std::nullopt, length);
    with_stdin(body, [] { cgi_read_input(); });
    if (!cgi_form_data)
        return std::nullopt;
    return std::string(cgi_form_data);
}

TEST_F(CgiInput, PostBodyIsReadWholeOrNotAtAll) {
    EXPECT_EQ(post("9", "button=Ax&rest"), "button=Ax");
    EXPECT_EQ(post("0", "a=1"), "");
    EXPECT_EQ(post("20", "button=Apply"), std::nullopt) << "short body";
    EXPECT_EQ(post(std::nullopt, "a=1"), std::nullopt);
    for (const char *bad : {"abc", "", "-1", "+3", "3 ", "1e3", "18446744073709551617"})
        EXPECT_EQ(post(bad, "a=1"), std::nullopt) << "CONTENT_LENGTH '" << bad << "'";

    std::string big(CGI_MAX_POST_BODY + 1, 'a');
    EXPECT_EQ(post(std::to_string(big.size()), big), std::nullopt);
    big.pop_back();
    EXPECT_EQ(post(std::to_string(big.size()), big)->size(), CGI_MAX_POST_BODY);
}

TEST_F(CgiInput, PostBodyArrivingInPiecesIsReadToItsLength) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string first = "button=Ap", second = "ply&firmware1=x";
    ASSERT_EQ(write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    // The second piece is written once the reader has taken the first one.
    std::thread writer([&] {
        int queued = 1;
        while (queued > 0) {
            ioctl(fds[1], FIONREAD, &queued);
            std::this_thread::yield();
        }
        ssize_t n = write(fds[1], second.data(), second.size());
        (void)n;
        close(fds[1]);
    });
    auto env = cgi_env("POST", std::nullopt, std::to_string(first.size() + second.size()));
    with_stdin_fd(fds[0], [] { cgi_read_input(); });
    close(fds[0]);
    writer.join();
    EXPECT_EQ(value_of("button"), "Apply");
    EXPECT_EQ(value_of("firmware1"), "x");
}

// Multipart requests store their file in a world of their own.
class Multipart : public CgiInput {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarvo-web-mp-XXXXXX";
        root_ = mkdtemp(tmpl);
        std::filesystem::create_directories(root_ + "/sim");
        std::filesystem::create_directories(root_ + "/tmp");
        std::ofstream(root_ + "/sim/world.conf") << "port1=tarvo\nport2=tarvo\n";
        std::string error;
        ASSERT_TRUE(sim::world_load(root_, &error)) << error;
    }
    void TearDown() override {
        cgi_free_input();
        std::filesystem::remove_all(root_);
    }
    std::string upload() const { return root_ + "/tmp/upload.bin"; }

    // Sends the body with CONTENT_LENGTH as its size (or `length`).
    void send(const std::string &body, std::optional<std::string> length = std::nullopt) {
        cgi_free_input();
        auto env = cgi_env("POST", std::nullopt, length ? *length : std::to_string(body.size()),
                           "multipart/form-data; boundary=----XyZ");
        with_stdin(body, [] { cgi_read_input(); });
    }
    static std::string file_part(const std::string &name, const std::string &data) {
        return "------XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + name +
               "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
    }
    static std::string field_part(const std::string &name, const std::string &data) {
        return "------XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + data +
               "\r\n";
    }
    static constexpr const char *END = "------XyZ--\r\n";
    std::string root_;
};

TEST_F(Multipart, FileContentIsStoredWithItsOwnLineEnds) {
    send(file_part("fw.hex", "abc\r\n") + END);
    EXPECT_EQ(web_test::slurp(upload()), "abc\r\n");
    EXPECT_EQ(std::string(cgi_form_data), "filename=" + upload() + "&name=fw.hex");
    EXPECT_EQ(value_of("name"), "fw.hex");

    send(file_part("fw.hex", "abc") + END);
    EXPECT_EQ(web_test::slurp(upload()), "abc");

    // The sent name is one value, whatever it holds.
    for (const char *name : {"a&button=Apply&firmware1=X", "%41+b=c", "x y&"}) {
        send(file_part(name, "abc") + END);
        EXPECT_EQ(value_of("name"), name);
        EXPECT_EQ(value_of("button"), "") << name;
        EXPECT_EQ(value_of("filename"), upload()) << name;
    }

    std::string binary;
    for (int i = 0; i < 10000; ++i)
        binary += static_cast<char>(i * 7 % 256);
    send(file_part("b.bin", binary) + END);
    EXPECT_EQ(web_test::slurp(upload()), binary);
}

TEST_F(Multipart, EmptyFileGivesAnEmptyUploadFile) {
    send(file_part("empty.hex", "") + END);
    ASSERT_TRUE(std::filesystem::exists(upload()));
    EXPECT_EQ(std::filesystem::file_size(upload()), 0u);
    EXPECT_TRUE(cgi_has_input());
}

TEST_F(Multipart, LastFilePartWinsAndOtherPartsAreDropped) {
    send(field_part("button", "Apply") + file_part("one.hex", "first") + file_part("", "nameless") +
         file_part("two.hex", "second\r\nline") + field_part("x", "y") + END);
    EXPECT_EQ(web_test::slurp(upload()), "second\r\nline");
    EXPECT_EQ(value_of("name"), "two.hex");
    EXPECT_EQ(value_of("button"), "");

    send(field_part("button", "Apply") + END);
    EXPECT_EQ(cgi_form_data, nullptr);
    EXPECT_FALSE(cgi_has_input());
}

TEST_F(Multipart, FreeingRemovesTheUploadFile) {
    send(file_part("fw.hex", "abc") + END);
    ASSERT_TRUE(std::filesystem::exists(upload()));
    cgi_free_input();
    EXPECT_FALSE(std::filesystem::exists(upload()));
    EXPECT_FALSE(cgi_has_input());
}

TEST_F(Multipart, UploadFileIsPrivateAndNoLinkIsFollowed) {
    send(file_part("fw.hex", "abc") + END);
    struct stat st;
    ASSERT_EQ(stat(upload().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    cgi_free_input();

    std::string victim = root_ + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(symlink(victim.c_str(), upload().c_str()), 0);
    send(file_part("fw.hex", "overwritten") + END);
    EXPECT_EQ(web_test::slurp(victim), "keep");
    EXPECT_TRUE(cgi_has_input()) << "the form data stays set";
}

// Whatever was planted at the upload path is never opened, written or
// truncated: the upload always goes to a new private file of this process.
TEST_F(Multipart, NothingPlantedAtTheUploadPathIsWrittenThrough) {
    const std::string victim = root_ + "/victim";
    // Each row plants something and returns a descriptor that shows what
    // the planted file holds afterwards.
    struct Row {
        const char *what;
        std::function<int()> plant;
        const char *kept;
    };
    const std::vector<Row> rows = {
        {"symbolic link",
         [&] {
             symlink(victim.c_str(), upload().c_str());
             return open(victim.c_str(), O_RDONLY);
         },
         "keep"},
        {"hard link",
         [&] {
             link(victim.c_str(), upload().c_str());
             return open(victim.c_str(), O_RDONLY);
         },
         "keep"},
        {"another user's file",
         [&] {
             std::filesystem::rename(victim, upload());
             chmod(upload().c_str(), 0666);
             if (chown(upload().c_str(), web_test::OTHER_ID, web_test::OTHER_ID) != 0)
                 return -1;
             return open(upload().c_str(), O_RDONLY);
         },
         "keep"},
        // The reader is there, so a writer would not hang but fill the FIFO.
        {"FIFO",
         [&] {
             mkfifo(upload().c_str(), 0666);
             return open(upload().c_str(), O_RDONLY | O_NONBLOCK);
         },
         ""},
    };
    for (const Row &row : rows) {
        cgi_free_input();
        std::filesystem::remove(upload());
        std::ofstream(victim, std::ios::trunc) << "keep";
        int fd = row.plant();
        if (fd < 0 && !web_test::can_switch_user())
            continue; // another user's file needs root
        ASSERT_GE(fd, 0) << row.what;
        send(file_part("fw.hex", "new") + END);
        char buf[64];
        ssize_t n = pread(fd, buf, sizeof buf, 0);
        if (n < 0)
            n = read(fd, buf, sizeof buf);
        close(fd);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), row.kept) << row.what;
        struct stat st;
        ASSERT_EQ(lstat(upload().c_str(), &st), 0) << row.what;
        ASSERT_TRUE(S_ISREG(st.st_mode)) << row.what;
        EXPECT_EQ(st.st_nlink, 1u) << row.what;
        EXPECT_EQ(st.st_uid, geteuid()) << row.what;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << row.what;
        EXPECT_EQ(web_test::slurp(upload()), "new") << row.what;
        EXPECT_EQ(cgi_upload_problem(), nullptr) << row.what;
    }
}

// Another user's file that this user cannot remove stays as it is, and the
// upload is refused.
TEST_F(Multipart, FileThatCannotBeRemovedRefusesTheUpload) {
    if (!web_test::can_switch_user())
        GTEST_SKIP() << "needs root to act as another user";
    chmod(root_.c_str(), 0755);
    std::ofstream(upload()) << "keep";
    chmod(upload().c_str(), 0666);
    ASSERT_EQ(chown(upload().c_str(), web_test::OTHER_ID + 1, web_test::OTHER_ID + 1), 0);
    std::string body = file_part("fw.hex", "new") + END;
    EXPECT_TRUE(web_test::as_other_user([&] {
        send(body);
        const char *problem = cgi_upload_problem();
        bool refused = problem && std::strstr(problem, "/tmp/upload.bin");
        cgi_free_input();
        return refused && web_test::slurp(upload()) == "keep";
    }));
    EXPECT_EQ(web_test::slurp(upload()), "keep");
}

TEST_F(Multipart, InputEndingEarlyKeepsWhatWasComplete) {
    // The data line before the missing boundary is not written.
    send(file_part("fw.hex", "line1\r\nline2"));
    EXPECT_EQ(web_test::slurp(upload()), "line1\r\n");
    // CONTENT_LENGTH ends the body even when more input follows.
    std::string body = file_part("fw.hex", "abc") + END;
    send(body + file_part("late.hex", "zzz") + END, std::to_string(body.size()));
    EXPECT_EQ(value_of("name"), "fw.hex");
    EXPECT_EQ(web_test::slurp(upload()), "abc");
}

TEST_F(Multipart, MissingLengthOrBoundaryGivesNoInput) {
    std::string body = file_part("fw.hex", "abc") + END;
    for (const char *length : {"", "x12"}) {
        send(body, std::string(length));
        EXPECT_EQ(cgi_form_data, nullptr) << length;
    }
    cgi_free_input();
    auto env = cgi_env("POST", std::nullopt, std::to_string(body.size()), "multipart/form-data");
    with_stdin(body, [] { cgi_read_input(); });
    EXPECT_EQ(cgi_form_data, nullptr);
}

TEST_F(Multipart, UploadAboveSixteenMebibytesIsDropped) {
    std::string data(CGI_MAX_UPLOAD, 'x');
    send(file_part("big.hex", data) + END);
    EXPECT_EQ(std::filesystem::file_size(upload()), CGI_MAX_UPLOAD);
    data += "y";
    send(file_part("big.hex", data) + END);
    EXPECT_FALSE(std::filesystem::exists(upload()));
    EXPECT_EQ(cgi_form_data, nullptr);
}

} // namespace
