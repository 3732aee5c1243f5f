// The settings file: the firmware image chosen last for each port, as lines of
// KEY=value (the value may be in double quotes).
#pragma once

#include "common/ports.h"

#include <cstddef>
#include <cstdio>

// The keys of PORT1's and PORT2's names, in the order of the record below.
constexpr const char *KEY_FIRMWARE1 = PORT_TABLE[0].settings_key;
constexpr const char *KEY_FIRMWARE2 = PORT_TABLE[1].settings_key;
// One read of a lookup takes at most SETTINGS_LINE_SIZE - 1 characters.
constexpr std::size_t SETTINGS_LINE_SIZE = 16384;
// Written values are cut to this many characters.
constexpr int SETTINGS_MAX_VALUE = 16000;

// The file names chosen for PORT1 and PORT2; heap strings, never null after
// loading.
static_assert(PORT_COUNT == 2, "the record holds one name per port");
struct FirmwareSettings {
    char *firmware1;
    char *firmware2;
};

// Loads both names; empty strings when the file cannot be read.
void settings_load(FirmwareSettings *settings);
// Replaces the file with both names: through a symbolic link its target,
// keeping the file's owner and mode.  A link is followed only through links
// and directories that nobody but root and this user can change (otherwise
// nothing is written and the save fails).  Where the file cannot be replaced (its
// directory is not writable) it is rewritten in place.  False when it could
// not be written; apart from a failing in-place rewrite, the old file is then
// left as it was.
bool settings_save(const FirmwareSettings *settings);

// The same on a file given by its path.
void settings_load_file(const char *path, FirmwareSettings *settings);
bool settings_save_file(const char *path, const FirmwareSettings *settings);

// The value of `key` (case ignored) inside the line buffer, valid until the
// next lookup; null when the file is null or holds no such line.
const char *settings_find(FILE *file, const char *key);
// A heap copy of settings_find's value, or a new empty string.
char *settings_get(FILE *file, const char *key);
// Writes one KEY=value line; the value is quoted when it holds a blank.
void settings_put(FILE *file, const char *key, const char *value);
