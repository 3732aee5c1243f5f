#include "web/settings.h"

#include "common/paths.h"
#include "common/safe_file.h"
#include "web/cgi_input.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char line_buffer[SETTINGS_LINE_SIZE];

bool equal_ignoring_case(const char *a, const char *b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// Longest path of the settings file, or of a link's target, that a save handles.
constexpr std::size_t SETTINGS_PATH_SIZE = 1024;

const char *settings_path() {
    static const LocalPath settings(PATH_SETTINGS);
    return settings.path;
}

bool owned_by_us(const struct stat &st) {
    return st.st_uid == 0 || st.st_uid == geteuid();
}

// A directory whose names only root and this user can change.
bool directory_is_ours(const struct stat &st) {
    return owned_by_us(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Follows symbolic links from path to the name they end at, which need not
// exist yet: a save writes the link's target, wherever it lies, and leaves the
// link in place.  A link is followed only where nobody but root and this user
// could have made it or could move what it leads to: the link and the
// directories that hold a link or the final name must be ours (owned by root
// or this user, not writable for group or others), and every directory passed
// on the way must be ours or sticky with the name in it ours.  False for a
// link that does not meet this, a loop, a missing directory or a name too
// long.  A path without links is taken as it is.
bool resolve_links(const char *path, char *out, std::size_t size) {
    // `done`: the directories walked so far, free of links ("" is the root);
    // `rest`: the names still to walk.
    char done[SETTINGS_PATH_SIZE] = "", rest[SETTINGS_PATH_SIZE];
    if (path[0] != '/') {
        if (!getcwd(done, sizeof done))
            return false;
        if (std::strcmp(done, "/") == 0)
            done[0] = '\0';
    }
    if (std::snprintf(rest, sizeof rest, "%s", path) >= static_cast<int>(sizeof rest))
        return false;
    bool followed = false, trusted = true;
    for (int hops = 0;;) {
        const char *name = rest + std::strspn(rest, "/");
        std::size_t len = std::strcspn(name, "/");
        const char *after = name + len;
        bool last = after[std::strspn(after, "/")] == '\0';
        if (len == 0)
            break;
        if (len == 1 && name[0] == '.') {
            std::memmove(rest, after, std::strlen(after) + 1);
            continue;
        }
        if (len == 2 && name[0] == '.' && name[1] == '.') {
            if (char *slash = std::strrchr(done, '/'))
                *slash = '\0';
            std::memmove(rest, after, std::strlen(after) + 1);
            continue;
        }
        struct stat dir;
        char next[SETTINGS_PATH_SIZE];
        if (stat(done[0] ? done : "/", &dir) != 0 ||
            std::snprintf(next, sizeof next, "%s/%.*s", done, static_cast<int>(len), name) >=
                static_cast<int>(sizeof next))
            return false;
        struct stat st;
        bool exists = lstat(next, &st) == 0;
        if (exists && S_ISLNK(st.st_mode)) {
            followed = true;
            trusted = trusted && owned_by_us(st) && directory_is_ours(dir);
            char target[SETTINGS_PATH_SIZE], joined[SETTINGS_PATH_SIZE];
            ssize_t n = readlink(next, target, sizeof target);
            if (++hops > 40 || n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
                return false;
            target[n] = '\0';
            if (std::snprintf(joined, sizeof joined, "%s/%s", target, after) >=
                static_cast<int>(sizeof joined))
                return false;
            std::memcpy(rest, joined, sizeof rest);
            // An absolute target starts again at the root.
            if (target[0] == '/')
                done[0] = '\0';
            continue;
        }
        if (last) {
            trusted = trusted && directory_is_ours(dir);
        } else {
            if (!exists)
                return false;
            trusted = trusted &&
                      (directory_is_ours(dir) || ((dir.st_mode & S_ISVTX) != 0 && owned_by_us(st)));
        }
        std::memcpy(done, next, sizeof done);
        std::memmove(rest, after, std::strlen(after) + 1);
    }
    if (followed && !trusted)
        return false;
    return std::snprintf(out, size, "%s", done[0] ? done : "/") < static_cast<int>(size);
}

// Rewrites the file in place, for where only the file is writable (not its
// directory) or it cannot be replaced (a file mounted on its own).
bool rewrite_in_place(const char *target, const char *text, std::size_t size) {
    int fd = open(target, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && write_fully(fd, text, size) &&
              ftruncate(fd, static_cast<off_t>(size)) == 0 && fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

// Writes the text to a new file beside the old one and renames it over it:
// a reader sees either the old or the new settings.  The new file gets the
// old one's mode and owner, a new one the mode a created file would get.
// `fallback` is set when the directory does not allow this but rewriting the
// old file in place may.
bool replace_file(const char *target, const struct stat *old, const char *text, std::size_t size,
                  bool *fallback) {
    SafeFileOwner owner = {0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    if (old) {
        owner = {old->st_mode, old->st_uid, old->st_gid};
    } else {
        mode_t mask = umask(0);
        umask(mask);
        owner.mode = 0666 & ~mask;
    }
    char reason[160];
    int result = safe_file_replace(target, text, size, owner, reason, sizeof reason);
    // A failure of the data's own would only be made worse by rewriting in place.
    *fallback = old != nullptr && (result == SAFE_FILE_NO_TEMP || result == SAFE_FILE_NO_RENAME);
    return result == SAFE_FILE_WRITTEN;
}
} // namespace

const char *settings_find(FILE *file, const char *key) {
    if (!file)
        return nullptr;
    std::rewind(file);
    while (std::fgets(line_buffer, sizeof line_buffer, file)) {
        line_buffer[std::strcspn(line_buffer, "\r")] = '\0';
        line_buffer[std::strcspn(line_buffer, "\n")] = '\0';
        if (char *quote = std::strrchr(line_buffer, '"'))
            *quote = '\0';
        char *eq = std::strchr(line_buffer, '=');
        if (!eq)
            continue;
        *eq = '\0';
        if (!equal_ignoring_case(line_buffer, key))
            continue;
        char *value = eq + 1;
        if (*value == '"')
            ++value;
        return value;
    }
    return nullptr;
}

char *settings_get(FILE *file, const char *key) {
    const char *value = settings_find(file, key);
    return value ? strdup(value) : static_cast<char *>(std::calloc(1, 1));
}

void settings_put(FILE *file, const char *key, const char *value) {
    if (!file)
        return;
    if (std::strchr(value, ' '))
        std::fprintf(file, "%s=\"%.*s\"\n", key, SETTINGS_MAX_VALUE, value);
    else
        std::fprintf(file, "%s=%.*s\n", key, SETTINGS_MAX_VALUE, value);
}

void settings_load_file(const char *path, FirmwareSettings *settings) {
    FILE *file = std::fopen(path, "r");
    settings->firmware1 = settings_get(file, KEY_FIRMWARE1);
    settings->firmware2 = settings_get(file, KEY_FIRMWARE2);
    if (file)
        std::fclose(file);
}

bool settings_save_file(const char *path, const FirmwareSettings *settings) {
    static char text[2 * (SETTINGS_MAX_VALUE + 64)];
    FILE *out = fmemopen(text, sizeof text, "w");
    if (!out)
        return false;
    settings_put(out, KEY_FIRMWARE1, settings->firmware1);
    settings_put(out, KEY_FIRMWARE2, settings->firmware2);
    long size = std::ftell(out);
    bool complete = std::fflush(out) == 0 && !std::ferror(out) && size >= 0;
    std::fclose(out);
    if (!complete)
        return false;

    char target[SETTINGS_PATH_SIZE];
    if (!resolve_links(path, target, sizeof target))
        return false;
    struct stat old;
    bool exists = lstat(target, &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return false;
    bool fallback = false;
    if (replace_file(target, exists ? &old : nullptr, text, static_cast<std::size_t>(size),
                     &fallback))
        return true;
    return fallback && rewrite_in_place(target, text, static_cast<std::size_t>(size));
}

void settings_load(FirmwareSettings *settings) {
    settings_load_file(settings_path(), settings);
}

bool settings_save(const FirmwareSettings *settings) {
    return settings_save_file(settings_path(), settings);
}
