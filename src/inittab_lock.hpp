// The inittab lock: the file /etc/LCK..inittab that makes runs take turns
// at reading and rewriting /etc/inittab.
//
// A run creates a private temporary file beside the lock (LTMP.<pid>),
// holding its process id as 4 native bytes, with mode 0444, and hard-links
// it to the lock name; the link fails while the name exists. A lock is
// taken to be left behind, and is taken over, when its inode has not
// changed for the maximum age, or when its 4 bytes name a process that no
// longer exists, or it was made before the host last booted (a clock that
// steps forward makes a live run's lock look so too: rule 4 covers that).
//
// Beside it lies the guard, /run/ttyenable.lock: a file that only root can
// open, holding no data, on which runs take an exclusive flock(2). Other
// users can flock anything they can open, so nothing they can open ever
// decides who holds the lock. Where /run cannot hold it (missing,
// read-only or full) the guard is /etc/ttyenable.lock, and once that
// exists it is the guard for every run from then on.
//
// The guard is any regular file of root's (of the run's own user) that
// nobody else may open (mode 0600 or less), whatever its link count. The
// flock is on the file, not on a name: a second name that another user
// made for it (the kernel lets any user hard-link a file it cannot read
// unless fs.protected_hardlinks is set, and hosts without systemd leave it
// off) opens nothing for its maker and holds nothing, while a rule of one
// name would let that name stop every run for as long as it lasts, across
// reboots for a guard in /etc. Only root can make or rename a name in /run
// or /etc, so the guard's own name is root's choice.
//
// Rules, each with the step of the model (model/inittab_lock.pml, checked
// by scripts/check-lock-model) that stands for it:
//  1. The lock name is only ever created by link(2), never by open(2), so
//     at most one run creates it at a time. [link_lock]
//  2. The temporary name is removed again on every path. [link_lock, one
//     step: the model has no temporary name]
//  3. A lock name is removed only under the guard: a takeover removes
//     the very file it has just judged left behind, and links again when
//     the name is already gone; a release removes only the file that this
//     process linked and that still names this process. [judge, same_file,
//     unlink_lock; unlock_inittab]
//  4. Right before its edit, under the guard, a run checks that the lock
//     is still its own; the guard's descriptor then passes to the edit's
//     commands (descriptor 3), so that no takeover, and no other run's
//     edit, can happen while any of them lives, even one that outlived
//     its killed run; the shell keeps it until its last command has
//     ended. A run whose lock was taken over while it was stopped or slow
//     edits nothing; once its edit has ended, it removes leftovers and
//     reads the table again only under the guard and while the lock is
//     still its own, else its edit's status tells what it made.
//     [is_ours, fork_edit, edit, report]
//  5. Every wait for the guard is bounded, and counts against the 5
//     seconds between attempts. [take_guard's bound; a stop is any
//     interleaving]
//  6. Two runs never hold two different guards: a run that took /run's
//     goes on only if none exists in /etc, and one that took /etc's also
//     waits until nobody holds /run's. Only "no such file" says that a
//     guard is absent; any other failure to look fails closed.
//     [find_guard, flock_guard, is_sole_guard]
//  7. A guard that cannot be opened or made is said before the lock is
//     taken, so that no run is left holding a lock it cannot release.
//     [find_guard at the start of ttyenable]
//  8. SIGHUP, SIGQUIT and SIGTERM are ignored from the first attempt to the
//     end of the run; SIGINT only until the first failed attempt, so that a
//     waiting user can give up. [killer: only SIGKILL ends a run early] So are the terminal's stop signals
//     (SIGTSTP, SIGTTIN, SIGTTOU), whether the run holds the guard or not:
//     a run stopped while it holds the lock holds up every other run for
//     as long as its caller likes. What the run starts inherits all that.
#pragma once

#include <sys/types.h>

#include <string>

#include "paths.hpp"
#include "system_calls.hpp"

namespace ttyenable {

inline constexpr int lock_attempts = 4;
inline constexpr unsigned lock_retry_seconds = 5;
inline constexpr int lock_max_age = 300;
/// A run that holds the lock waits longer for the guard, to edit or to
/// release under it: only other runs' brief looks at the lock stand in its
/// way, and they may be slow on a loaded host.
inline constexpr int holder_guard_seconds = 5;
/// What a failed attempt gives: the lock is held by another run, or it
/// cannot be created at all (a read-only or full file system, no right to
/// write the directory, a path that does not fit), which no waiting mends;
/// nor does it mend a guard that cannot be opened or made.
inline constexpr int lock_held = -1;
inline constexpr int lock_not_created = -2;
inline constexpr int guard_not_created = -3;

/// Where a lock and its guards lie: the tool's are fixed; a test gives
/// places of its own.
struct lock_places {
  const char* lock = paths::inittab_lock;
  const char* guard = paths::guard;
  const char* fallback_guard = paths::fallback_guard;  // where `guard`'s directory cannot hold it
};

/// Rule 8: SIGHUP, SIGQUIT and SIGTERM, and the terminal's stop signals
/// SIGTSTP, SIGTTIN and SIGTTOU, ignored.
void ignore_caller_signals();

/// An exclusive flock on the guard while it lives.
class inittab_guard {
 public:
  /// Waits at most `seconds` for the guard; `held` says whether it came.
  /// Other runs hold it for a moment at a time, and an edit's commands for
  /// as long as they live.
  explicit inittab_guard(const lock_places& places, int seconds = 1);
  inittab_guard(const inittab_guard&) = delete;
  inittab_guard& operator=(const inittab_guard&) = delete;
  ~inittab_guard();

  bool held() const { return static_cast<bool>(guard_); }
  int fd() const { return guard_.get(); }

 private:
  unique_fd guard_;
};

/// The file that a run linked to a lock name, so that a release removes
/// its own lock and never one that another run has since taken.
struct lock_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool held = false;
};

/// One run's inittab lock: where it lies, the temporary name beside it,
/// the process id it holds and the file this run linked.
class inittab_lock {
 public:
  explicit inittab_lock(const lock_places& places = {}) : places_(places) {}

  const lock_places& places() const { return places_; }
  const std::string& temp_path() const { return temp_path_; }

  /// 0 when this run now holds the lock; `lock_held` after 4 failed
  /// attempts, or `lock_not_created` at once, each after its message
  /// naming the lock; `guard_not_created` at once, after the message naming
  /// the guard. Leaves the signal dispositions changed.
  int lock_inittab();

  /// Releases the lock when it is still the file that this run linked and
  /// holds this process's id (rule 3); harmless when it is already gone or
  /// was taken over by another run.
  void unlock_inittab();

  /// Whether the lock is still the one this run linked and names this
  /// process. Meant for a caller that holds the guard (rule 4).
  bool is_ours() const;

  /// One attempt: 0 when taken, `lock_held` when the lock is held (younger
  /// than `max_age` seconds and its owner alive; 0: never expires),
  /// `lock_not_created` when the file system refuses.
  int make_lock(int max_age);

 private:
  lock_places places_;
  std::string temp_path_;
  int pid_ = 0;
  lock_identity linked_;
};

/// Creates `temp_path` holding `pid`, links it to `lock_path` and removes
/// `temp_path` again: 0 with `linked` set when the lock name was created,
/// `lock_held` when the name exists, else `lock_not_created`.
int link_lock(int pid, const char* temp_path, const char* lock_path, lock_identity& linked);

}  // namespace ttyenable
