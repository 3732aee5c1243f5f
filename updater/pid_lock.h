// One update at a time, and no query of a board while an update talks to it.
// The lock is the file PATH_LOCK_FILE in the private
// lock directory, made once and never removed, renamed or replaced.  Two of
// its bytes are locked (POSIX record locks, which end with their process):
//
//   - the update byte: held exclusively by the update that runs, for its whole
//     run; only updates lock it, so a query can never keep an update out;
//   - the board byte: exclusively by that update, shared by queries.  An
//     update that holds the update byte waits for the queries that are under
//     way; a query that finds the update byte held does not begin, so queries
//     in loops cannot starve an update.
//
// The pid file PATH_PID_FILE says which update runs:
// written once the lock is taken, removed before it is let go.  Nothing reads
// it to decide anything.
#pragma once

enum PidLockResult {
    PID_LOCK_TAKEN = 0,   // this process holds the lock
    PID_LOCK_BUSY = 1,    // an update holds it
    PID_LOCK_FAILED = -1, // the lock could not be taken (logged at LOG_ERR)
};

// Takes the lock for an update and writes the pid file.  PID_LOCK_BUSY leaves
// the running update's pid in *holder (0 when it could not be learnt);
// PID_LOCK_FAILED leaves the error's text in `reason` (of `size` bytes).
// `who` names the caller in log lines.  Queries under way are waited for,
// 10 s at most in all (then PID_LOCK_BUSY with the query's pid).
int pid_lock_take(const char *who, int *holder, char *reason, unsigned size);

// The same for a query of a board, which never waits and writes no pid file.
int pid_lock_take_query(const char *who, int *holder, char *reason, unsigned size);

// Removes the pid file (an update's) and releases the lock.  Does nothing
// when the lock is not held.
void pid_lock_release(void);
