// One update at a time: an exclusive lock on the pid file, held for the whole
// run, by the updater and by anything else that talks to a board.
#pragma once

enum PidLockResult {
    PID_LOCK_TAKEN = 0,   // this process holds the lock; its pid is in the file
    PID_LOCK_BUSY = 1,    // another process holds it
    PID_LOCK_FAILED = -1, // the lock could not be taken (logged at LOG_ERR)
};

// Takes the lock, for an update, on "/var/tarvo_update/tarvo_update.pid" (creating the
// directory and the file when missing) and writes this process's id into the
// file.  PID_LOCK_BUSY leaves the holder's pid in *holder (0 when it could not be
// read); PID_LOCK_FAILED leaves the error's text in `reason` (of `size` bytes).
// `who` names the caller in log lines.  Held by a query, the lock is waited
// for (a query lasts a moment; 10 s at most in all, or PID_LOCK_BUSY).
int pid_lock_take(const char *who, int *holder, char *reason, unsigned size);

// The same for a query of a board, which never waits: it writes "PID query"
// into the file, so that an update that finds the lock taken waits for it.
int pid_lock_take_query(const char *who, int *holder, char *reason, unsigned size);

// Empties and removes the pid file and releases the lock.  Does nothing when
// the lock is not held.
void pid_lock_release(void);
