// The settings file: lookups, the written format and the atomic save.
#include "tests/web/web_test_util.h"
#include "web/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarvo-web-settings-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/settings";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string &content) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
    }
    // The value settings_get finds for key in a file of this content.
    std::string lookup(const std::string &content, const char *key) const {
        write(content);
        FILE *f = std::fopen(path_.c_str(), "r");
        char *v = settings_get(f, key);
        std::string result = v;
        std::free(v);
        std::fclose(f);
        return result;
    }
    std::size_t entries() const { return names(dir_).size(); }
    static std::set<std::string> names(const std::string &dir) {
        std::set<std::string> n;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            n.insert(e.path().filename().string());
        return n;
    }
    std::string dir_, path_;
};

TEST_F(Settings, LookupRules) {
    const char *K = KEY_FIRMWARE1;
    EXPECT_EQ(lookup("mod_tarvoupdate_firmware1=abc\n", K), "abc");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1=\"a b\"\n", K), "a b");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1=abc\"def\n", K), "abc");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1=first\nMOD_TARVOUPDATE_FIRMWARE1=second\n", K),
              "first");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1 =abc\n", K), "");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1\nMOD_TARVOUPDATE_FIRMWARE1=x\n", K), "x");
    EXPECT_EQ(lookup("A=1\r\nMOD_TARVOUPDATE_FIRMWARE1=abc\r\nB=2\r\n", K), "abc");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE2=two\nMOD_TARVOUPDATE_FIRMWARE1=one", K), "one");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1=\n", K), "");
    EXPECT_EQ(lookup("MOD_TARVOUPDATE_FIRMWARE1=a=b\n", K), "a=b");
    EXPECT_EQ(lookup("", K), "");
    EXPECT_EQ(settings_find(nullptr, K), nullptr);
    char *v = settings_get(nullptr, K);
    EXPECT_STREQ(v, "");
    std::free(v);
}

TEST_F(Settings, LongLinesAreReadInPieces) {
    std::string key = KEY_FIRMWARE1;
    std::string value(20000, 'v');
    // The first piece holds the key and the start of the value.
    EXPECT_EQ(lookup(key + "=" + value + "\n", KEY_FIRMWARE1),
              value.substr(0, SETTINGS_LINE_SIZE - 1 - key.size() - 1));
    // A piece of a long line can itself look like a setting.
    std::string filler(SETTINGS_LINE_SIZE - 1, 'f');
    EXPECT_EQ(lookup(filler + key + "=hidden\n", KEY_FIRMWARE1), "hidden");
}

TEST_F(Settings, PutQuotesOnlyValuesWithBlanksAndCutsLongOnes) {
    FILE *f = std::fopen(path_.c_str(), "w");
    settings_put(f, "K", "a b");
    settings_put(f, "K", "a\tb");
    settings_put(f, "K", "a\"b");
    settings_put(f, "K", "");
    settings_put(f, "K", std::string(16001, 'x').c_str());
    settings_put(f, "K", (std::string(16000, 'y') + " z").c_str());
    std::fclose(f);
    settings_put(nullptr, "K", "v");
    EXPECT_EQ(web_test::slurp(path_),
              "K=\"a b\"\nK=a\tb\nK=a\"b\nK=\nK=" + std::string(16000, 'x') + "\nK=\"" +
                  std::string(16000, 'y') + "\"\n");
}

TEST_F(Settings, SaveWritesBothLinesAndLoadReadsThemBack) {
    write("OTHER=1\nMOD_TARVOUPDATE_FIRMWARE2=old\n");
    char a[] = "a b", b[] = "";
    FirmwareSettings s{a, b};
    ASSERT_TRUE(settings_save_file(path_.c_str(), &s));
    EXPECT_EQ(web_test::slurp(path_),
              "MOD_TARVOUPDATE_FIRMWARE1=\"a b\"\nMOD_TARVOUPDATE_FIRMWARE2=\n");
    EXPECT_EQ(entries(), 1u) << "no temporary file is left";
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::owner_read,
              std::filesystem::perms::owner_read);

    FirmwareSettings loaded;
    settings_load_file(path_.c_str(), &loaded);
    EXPECT_STREQ(loaded.firmware1, "a b");
    EXPECT_STREQ(loaded.firmware2, "");
    std::free(loaded.firmware1);
    std::free(loaded.firmware2);

    settings_load_file((dir_ + "/missing").c_str(), &loaded);
    EXPECT_STREQ(loaded.firmware1, "");
    EXPECT_STREQ(loaded.firmware2, "");
    std::free(loaded.firmware1);
    std::free(loaded.firmware2);
}

TEST_F(Settings, SaveReplacesTheFileSoReadersSeeOldOrNew) {
    write("MOD_TARVOUPDATE_FIRMWARE1=old1\nMOD_TARVOUPDATE_FIRMWARE2=old2\n");
    FILE *reader = std::fopen(path_.c_str(), "r");
    char a[] = "new1", b[] = "new2";
    FirmwareSettings s{a, b};
    ASSERT_TRUE(settings_save_file(path_.c_str(), &s));
    // A reader that opened the old file still reads it whole.
    char *v = settings_get(reader, KEY_FIRMWARE2);
    EXPECT_STREQ(v, "old2");
    std::free(v);
    std::fclose(reader);
    EXPECT_EQ(web_test::slurp(path_),
              "MOD_TARVOUPDATE_FIRMWARE1=new1\nMOD_TARVOUPDATE_FIRMWARE2=new2\n");
}

TEST_F(Settings, FailedSaveLeavesNothingBehindAndReportsIt) {
    char a[] = "x", b[] = "y";
    FirmwareSettings s{a, b};
    EXPECT_FALSE(settings_save_file((dir_ + "/no/such/dir/settings").c_str(), &s));
    // The target cannot be replaced: the temporary file is removed again.
    std::filesystem::create_directories(path_ + "/busy");
    EXPECT_FALSE(settings_save_file(path_.c_str(), &s));
    EXPECT_EQ(entries(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(path_ + "/busy"));
}

TEST_F(Settings, SaveWritesThroughSymbolicLinksAndKeepsOwnerAndMode) {
    const std::string saved = "MOD_TARVOUPDATE_FIRMWARE1=new1\nMOD_TARVOUPDATE_FIRMWARE2=new2\n";
    char a[] = "new1", b[] = "new2";
    FirmwareSettings s{a, b};
    // A link to a file on another partition: the link stays, its target changes.
    std::filesystem::create_directories(dir_ + "/data");
    std::filesystem::create_directory_symlink("data", dir_ + "/data-link");
    std::ofstream(dir_ + "/data/settings") << "old\n";
    chmod((dir_ + "/data/settings").c_str(), 0640);
    bool foreign = web_test::can_switch_user();
    if (foreign) {
        ASSERT_EQ(chown((dir_ + "/data/settings").c_str(), web_test::OTHER_ID, web_test::OTHER_ID),
                  0);
    }
    std::filesystem::create_symlink("data-link/settings", path_);
    ASSERT_TRUE(settings_save_file(path_.c_str(), &s));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(web_test::slurp(dir_ + "/data/settings"), saved);
    EXPECT_EQ(names(dir_ + "/data"), std::set<std::string>{"settings"});
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (foreign) {
        EXPECT_EQ(st.st_uid, web_test::OTHER_ID);
        EXPECT_EQ(st.st_gid, web_test::OTHER_ID);
    }
    // A link whose target does not exist yet creates it.
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(dir_ + "/data/new", path_);
    ASSERT_TRUE(settings_save_file(path_.c_str(), &s));
    EXPECT_EQ(web_test::slurp(dir_ + "/data/new"), saved);
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    // A loop of links is no file at all.
    std::filesystem::remove(path_);
    std::filesystem::create_symlink("settings", path_);
    EXPECT_FALSE(settings_save_file(path_.c_str(), &s));
}

// Where another user could have made a link at the settings path, or could
// move what it leads to, the save follows no link and writes nothing: with the
// program as root, that user would otherwise choose which file is replaced.
// A plain file saves wherever it is.
TEST_F(Settings, LinksThatOthersCouldChangeAreNotFollowed) {
    namespace fs = std::filesystem;
    const bool other = web_test::can_switch_user();
    const std::string etc = dir_ + "/etc", victim = dir_ + "/secret";
    struct Row {
        const char *what;
        bool needs_other_user;
        std::function<void()> plant; // sets etc/settings up
        bool saved;
    };
    auto link = [&](const std::string &to) { fs::create_symlink(to, etc + "/settings"); };
    const Row rows[] = {
        {"link in a directory writable for all", false,
         [&] {
             link(victim);
             chmod(etc.c_str(), 0777);
         },
         false},
        {"link in a group-writable directory", false,
         [&] {
             link(victim);
             chmod(etc.c_str(), 0775);
         },
         false},
        {"link in another user's directory", true,
         [&] {
             link(victim);
             ASSERT_EQ(chown(etc.c_str(), web_test::OTHER_ID, web_test::OTHER_ID), 0);
         },
         false},
        {"link of another user", true,
         [&] {
             link(victim);
             ASSERT_EQ(lchown((etc + "/settings").c_str(), web_test::OTHER_ID, 0), 0);
         },
         false},
        {"link into a directory writable for all", false,
         [&] {
             fs::create_directory(dir_ + "/drop");
             chmod((dir_ + "/drop").c_str(), 0777);
             fs::create_symlink(victim, dir_ + "/drop/settings");
             link(dir_ + "/drop/settings");
         },
         false},
        {"link through a directory writable for all", false,
         [&] {
             fs::create_directories(dir_ + "/drop/sub");
             chmod((dir_ + "/drop").c_str(), 0777);
             link(dir_ + "/drop/sub/settings");
         },
         false},
        {"plain file in a directory writable for all", false,
         [&] {
             std::ofstream(etc + "/settings") << "old\n";
             chmod(etc.c_str(), 0777);
         },
         true},
    };
    char a[] = "new1", b[] = "new2";
    FirmwareSettings s{a, b};
    for (const Row &row : rows) {
        if (row.needs_other_user && !other)
            continue;
        fs::remove_all(etc);
        fs::remove_all(dir_ + "/drop");
        fs::create_directory(etc);
        chmod(etc.c_str(), 0755);
        std::ofstream(victim) << "secret\n";
        chmod(victim.c_str(), 0600);
        row.plant();
        EXPECT_EQ(settings_save_file((etc + "/settings").c_str(), &s), row.saved) << row.what;
        EXPECT_EQ(web_test::slurp(victim), "secret\n") << row.what;
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << row.what;
        if (!row.saved) {
            EXPECT_TRUE(fs::is_symlink(etc + "/settings")) << row.what;
            EXPECT_FALSE(fs::exists(dir_ + "/drop/sub/settings")) << row.what;
        }
    }
}

// Only the file is writable, not its directory (as root, the directory's rights
// are ignored: the save runs as another user then).
TEST_F(Settings, SaveRewritesInPlaceWhenTheDirectoryIsReadOnly) {
    write("MOD_TARVOUPDATE_FIRMWARE1=a much longer old value\nOTHER=1\n");
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    bool other = web_test::can_switch_user();
    if (other) {
        ASSERT_EQ(chown(path_.c_str(), web_test::OTHER_ID, web_test::OTHER_ID), 0);
    }
    chmod(dir_.c_str(), 0555);
    auto save = [this] {
        char a[] = "new1", b[] = "";
        FirmwareSettings s{a, b};
        return settings_save_file(path_.c_str(), &s);
    };
    bool saved = other ? web_test::as_other_user(save) : save();
    chmod(dir_.c_str(), 0700);
    EXPECT_TRUE(saved);
    EXPECT_EQ(web_test::slurp(path_),
              "MOD_TARVOUPDATE_FIRMWARE1=new1\nMOD_TARVOUPDATE_FIRMWARE2=\n");
    struct stat after;
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(entries(), 1u);
}

// Saves killed half-way left their temporary files; the next save removes
// them, but not the file of a save still running, nor files of others.
TEST_F(Settings, SaveRemovesTemporaryFilesOfKilledSaves) {
    write("MOD_TARVOUPDATE_FIRMWARE1=old\n");
    for (const char *name :
         {"settings.new-a1B2c3", "settings.new-ZZZZZZ", "settings.new-running", "settings.bak",
          "settings.new-a-b_c1", "other.new-a1B2c3", "settings.new-Xy9876"})
        std::ofstream(dir_ + "/" + name) << "partial";
    int running = open((dir_ + "/settings.new-running").c_str(), O_RDONLY);
    std::filesystem::rename(dir_ + "/settings.new-running", dir_ + "/settings.new-R1nnng");
    ASSERT_EQ(flock(running, LOCK_EX), 0);
    bool foreign = web_test::can_switch_user() &&
                   chown((dir_ + "/settings.new-Xy9876").c_str(), web_test::OTHER_ID, 0) == 0;
    char a[] = "x", b[] = "y";
    FirmwareSettings s{a, b};
    ASSERT_TRUE(settings_save_file(path_.c_str(), &s));
    close(running);
    std::set<std::string> left{"settings", "settings.new-R1nnng", "settings.bak",
                               "settings.new-a-b_c1", "other.new-a1B2c3"};
    if (foreign)
        left.insert("settings.new-Xy9876");
    EXPECT_EQ(names(dir_), left);
}

} // namespace
