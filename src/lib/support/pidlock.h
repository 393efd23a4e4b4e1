// pidlock.h - one process per state file or process-id file: an exclusive flock on a
// file that then holds the locking process's id, so that a second instance can name
// the holder. The lock lasts as long as the process: its descriptor is kept open (and
// closed at exec). No shared state of its own; call it from the main thread at start-up.
#pragma once

enum PidlockResult {
  PIDLOCK_TAKEN = 0,   // locked, and the file holds this process's id
  PIDLOCK_HELD = -1,   // another process holds the lock; its id is in *holder when known
  PIDLOCK_NOFILE = -2  // the file cannot be opened or written (logged)
};

// Locks `path` (made with mode 0664 when missing) without waiting and writes this
// process's decimal id into it, without a newline. PIDLOCK_HELD sets *holder to the
// holder's id read from the file (0 when it cannot be read). Messages begin with
// "pidlock_take".
PidlockResult pidlock_take(const char *path, long *holder);

// Start-up of a program: pidlock_take, and when another process holds the lock, the end
// of the process through elog_die: "<who>: <what> <path> is locked by process <pid>:
// another <program> runs on it; not starting." A file that cannot be opened is complained
// about and start-up goes on. 1 when this process holds the lock, else 0.
int pidlock_or_die(const char *who, const char *program, const char *what, const char *path);

// The lock file that guards a state file: "<statefile>.lock". The state file itself
// cannot carry the lock: it is replaced by renaming a new copy over it.
const char *pidlock_state_suffix(void);
