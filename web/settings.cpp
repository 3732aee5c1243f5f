#include "web/settings.h"

#include "common/platform.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

const char *settings_path() {
    static char path[512];
    return plat_path(SETTINGS_FILE, path, sizeof path);
}

// fsync of the directory, so that the rename itself survives a power loss.
void sync_directory(const char *path) {
    char dir[512];
    std::snprintf(dir, sizeof dir, "%s", path);
    char *slash = std::strrchr(dir, '/');
    if (!slash)
        std::snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
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
    // Written beside the old file and renamed over it: a reader sees either
    // the old or the new settings, and a failure leaves the old ones.
    char temp[600];
    if (std::snprintf(temp, sizeof temp, "%s.XXXXXX", path) >= static_cast<int>(sizeof temp))
        return false;
    int fd = mkstemp(temp);
    if (fd < 0)
        return false;
    // The mode a newly created file would get, not mkstemp's 0600.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *file = fdopen(fd, "w");
    if (!file) {
        close(fd);
        unlink(temp);
        return false;
    }
    settings_put(file, KEY_FIRMWARE1, settings->firmware1);
    settings_put(file, KEY_FIRMWARE2, settings->firmware2);
    bool ok = std::fflush(file) == 0 && !std::ferror(file) && fsync(fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    if (ok && std::rename(temp, path) != 0)
        ok = false;
    if (!ok) {
        unlink(temp);
        return false;
    }
    sync_directory(path);
    return true;
}

void settings_load(FirmwareSettings *settings) {
    settings_load_file(settings_path(), settings);
}

bool settings_save(const FirmwareSettings *settings) {
    return settings_save_file(settings_path(), settings);
}
