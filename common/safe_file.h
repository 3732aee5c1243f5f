// Replacing a file in its directory so that a reader, or a power loss, sees
// either the old content or the new one whole: the new content goes to a
// temporary file beside the target ("NAME.new-XXXXXX", created exclusively),
// is synced, renamed over the target, and the directory is synced.  The
// temporary file is held locked until it has its new name, so that the
// clean-up of leftovers (temporary files that a killed writer left) never
// takes one that is still being written.  Every writer of a file in place
// (records, the update history, the settings) goes through here.
#pragma once

#include <cstddef>
#include <sys/types.h>

enum SafeFileResult {
    SAFE_FILE_WRITTEN = 0,
    SAFE_FILE_NO_TEMP = -1,   // no temporary file could be made beside the target, or given
                              // its mode and owner: nothing was written, the target is as it was
    SAFE_FILE_NOT_SAVED = -2, // the content could not be written or synced: the target is as
                              // it was
    SAFE_FILE_NO_RENAME = -3, // written, but it could not be put in place: the target is as
                              // it was
};

// What the new file gets: its mode, and its owner and group ((uid_t)-1 and
// (gid_t)-1 leave them to whoever writes).
struct SafeFileOwner {
    mode_t mode;
    uid_t uid;
    gid_t gid;
};

// Replaces `target` with the `size` bytes at `data`.  Leftovers beside it are
// removed first where this user may.  On failure `reason` says why, in a few
// words with errno's text ("cannot create PATH.new-XXXXXX: Permission denied").
int safe_file_replace(const char *target, const void *data, std::size_t size,
                      const SafeFileOwner &owner, char *reason, std::size_t reason_size);

// Removes the temporary files of this user beside `target` that no writer
// holds any more.
void safe_file_remove_leftovers(const char *target);

// Syncs the directory that holds `path`, so that a rename or an unlink in it
// survives a power loss.
void safe_file_sync_directory(const char *path);

// Writes all `size` bytes to `fd`, going on after signals; false on an error.
bool write_fully(int fd, const void *data, std::size_t size);
