// The inittab lock: the file /etc/LCK..inittab that makes runs take turns
// at reading and rewriting /etc/inittab.
//
// A run creates a private temporary file beside the lock (LTMP.<pid>),
// holding its process id as 4 native bytes, with mode 0444, and hard-links
// it to the lock name; the link fails while the name exists. A lock is
// taken to be left behind by a dead run, and is taken over, when its inode
// has not changed for the maximum age, or when its 4 bytes name a process
// that no longer exists, or it was made before the host last booted.
//
// Rules:
//  1. The lock name is only ever created by link(2), never by open(2), so
//     at most one run creates it at a time.
//  2. The temporary name is removed again on every path.
//  3. Removing an existing lock name, whether a takeover or a release,
//     happens only while holding an exclusive flock(2) on the lock's
//     directory, so a run never removes a lock that another run has just
//     taken (see `make_lock`); a release removes only the file that this
//     process linked and that still names this process.
//  4. The commands of an edit hold a shared flock(2) on the lock file while
//     they live, and a takeover waits for it: a command that outlived its
//     killed run (the shell dies with the tool, the command it was running
//     does not) can never act beside the next run.
//  5. SIGHUP, SIGQUIT and SIGTERM are ignored from the first attempt to the
//     end of the run; SIGINT only until the first failed attempt, so that a
//     waiting user can give up.
#pragma once

#include <sys/types.h>

// Process-wide, as the lock is: the path of the lock, the process id that
// this run writes into it, and the temporary file's path.
extern char inittab_lock_path[18];
extern int lock_owner_pid;
extern char lock_temp_path[64];

namespace ttyenable {

inline constexpr int lock_attempts = 4;
inline constexpr unsigned lock_retry_seconds = 5;
inline constexpr int lock_max_age = 300;
/// What a failed attempt gives: the lock is held by another run, or it
/// cannot be created at all (a read-only or full file system, no right to
/// write the directory), which no waiting mends.
inline constexpr int lock_held = -1;
inline constexpr int lock_not_created = -2;

/// 0 when this run now holds the inittab lock; `lock_held` after 4 failed
/// attempts, or `lock_not_created` at once, each after its message naming
/// the lock. Leaves the signal dispositions changed.
int lock_inittab();

/// Releases the inittab lock; harmless when it is already gone or was
/// taken over by another run.
void unlock_inittab();

/// Removes the lock named `lock_path` when it is still the file that this
/// process linked there and holds this process's id (rule 3); anything else
/// is left alone.
void remove_lock(const char* lock_path);

/// One attempt at the lock `lock_path`: 0 when taken, `lock_held` when it
/// is held (younger than `max_age` seconds and its owner alive; 0: never
/// expires), `lock_not_created` when the file system refuses.
int make_lock(const char* lock_path, int max_age);

/// In the edit's child: opens the inittab lock on descriptor `fd` with a
/// shared flock, open across exec, so that every command of the edit holds
/// it (rule 4). 0, or -1 when it could not.
int hold_lock_for_edit(int fd);

/// Creates `temp_path` holding `pid`, links it to `lock_path` and removes
/// `temp_path` again: 0 when the lock name was created, `lock_held` when
/// the name exists, else `lock_not_created`.
int link_lock(int pid, const char* temp_path, const char* lock_path);

}  // namespace ttyenable
