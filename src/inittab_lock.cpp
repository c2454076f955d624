#include "inittab_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "messages.hpp"
#include "system_calls.hpp"

namespace ttyenable {
namespace {

constexpr char temp_name[] = "LTMP.";
// How often a wait for the guard looks again.
constexpr int guard_polls_per_second = 100;

// The temporary name beside `lock_path` for process `pid`: LTMP.<pid> in
// the lock's directory.
std::string temp_name_beside(const char* lock_path, int pid) {
  const char* slash = std::strrchr(lock_path, '/');
  const std::size_t directory = slash == nullptr ? 0 : static_cast<std::size_t>(slash - lock_path) + 1;
  return std::string(lock_path, directory) + temp_name + std::to_string(pid);
}

// The guard at `path`, opened, or made when `make`: a regular file of this
// user's alone, so that no other user can open it, let alone flock it,
// however many names it has. Reading is all a flock needs, and opens a
// guard on a read-only file system too. With errno set when there is none.
unique_fd open_guard(const char* path, bool make) {
  unique_fd guard(retry_on_eintr(
      [&] { return ::open(path, O_RDONLY | (make ? O_CREAT : 0) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600); }));
  struct stat status {};
  if (guard && (::fstat(guard.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
                (status.st_mode & 077) != 0)) {
    guard.reset();
    errno = EPERM;  // never taken for a missing file: a bad guard is no reason to use another
  }
  return guard;
}

// /run missing, read-only or full.
bool cannot_hold_guard(int error) {
  return error == ENOENT || error == ENOTDIR || error == EROFS || error == ENOSPC || error == EDQUOT;
}

// The guard, and in `path` where it lies: the fallback's once it exists,
// whatever /run does later; else /run's, made there when need be; else,
// where /run cannot hold it, the fallback, made now.
unique_fd find_guard(const lock_places& places, const char*& path) {
  path = places.fallback_guard;
  unique_fd guard = open_guard(path, false);
  if (guard || errno != ENOENT) return guard;
  path = places.guard;
  guard = open_guard(path, true);
  if (guard || !cannot_hold_guard(errno)) return guard;
  path = places.fallback_guard;
  return open_guard(path, true);
}

// Whether the guard just taken at `path` is the only one in use (rule 6).
// Beside /run's, none may exist in /etc, since every run takes that one
// from then on; beside /etc's, nobody may hold /run's any longer, as a run
// that took it before /etc's was made may still. Only "no such file" says
// that the other is absent: any other failure (no descriptor left, no
// memory) fails closed, as a guard held elsewhere would.
bool is_sole_guard(const lock_places& places, const char* path) {
  if (path != places.fallback_guard) {
    struct stat status {};
    return ::lstat(places.fallback_guard, &status) != 0 && errno == ENOENT;
  }
  const unique_fd other(retry_on_eintr(
      [&] { return ::open(places.guard, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  return other ? ::flock(other.get(), LOCK_EX | LOCK_NB) == 0 : errno == ENOENT;
}

// Whether `made` lies before the host last booted, on the wall clock; not
// when a clock cannot be read.
bool is_before_boot(const timespec& made) {
  const double now = seconds_on(CLOCK_REALTIME);
  const double since_boot = seconds_on(CLOCK_BOOTTIME);
  return now > 0 && since_boot > 0 && static_cast<double>(made.tv_sec) + static_cast<double>(made.tv_nsec) / 1e9 < now - since_boot;
}

// The lock file at `lock_path`, opened without following a link or
// blocking on a FIFO, and its status.
unique_fd open_lock(const char* lock_path, struct stat& status) {
  unique_fd lock(retry_on_eintr([&] { return ::open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (lock && ::fstat(lock.get(), &status) != 0) lock.reset();
  return lock;
}

// The owner that an opened lock names: 1 with `owner` set when it is a
// regular file of 4 bytes, 0 when it names nobody, -1 when it could not be
// read.
int read_owner(const unique_fd& lock, const struct stat& status, std::int32_t& owner) {
  if (!S_ISREG(status.st_mode) || status.st_size != sizeof owner) return 0;
  return retry_on_eintr([&] { return ::pread(lock.get(), &owner, sizeof owner, 0); }) == sizeof owner ? 1 : -1;
}

// Whether an opened lock is left behind: older than `max_age` (0: never),
// or naming a process that is gone, or made before the host last booted
// (so its pid may now be somebody else's).
bool is_left_behind(const unique_fd& lock, const struct stat& status, int max_age) {
  if (max_age == 0) return false;
  if (std::time(nullptr) - status.st_ctime >= max_age) return true;
  std::int32_t owner = 0;
  if (read_owner(lock, status, owner) != 1) return false;
  return !process_exists(owner) || is_before_boot(status.st_ctim);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Sleeps until `seconds` after `since` on the monotonic clock.
void sleep_until(double since, unsigned seconds) {
  for (double left; (left = since + seconds - seconds_on(CLOCK_MONOTONIC)) > 0;) sleep_for(left);
}

}  // namespace

inittab_guard::inittab_guard(const lock_places& places, int seconds) {
  // Any failure is waited out like another holder: a guard that never
  // comes only costs this attempt. It is looked for again each time, since
  // another run may have made /etc's meanwhile.
  for (int polls = 0;; ++polls) {
    const char* path = nullptr;
    guard_ = find_guard(places, path);
    if (guard_ && ::flock(guard_.get(), LOCK_EX | LOCK_NB) == 0 && is_sole_guard(places, path)) return;
    guard_.reset();
    if (polls >= seconds * guard_polls_per_second) break;
    sleep_for(1.0 / guard_polls_per_second);
  }
}

inittab_guard::~inittab_guard() {
  guard_.reset();  // closing it releases the flock, unless a child holds it on
}

void ignore_caller_signals() {
  // Ignored, not blocked: a blocked stop would wait, pending, for the
  // moment it is unblocked, and a background write to a terminal goes on.
  for (const int signal : {SIGHUP, SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU}) set_signal_action(signal, SIG_IGN);
}

int inittab_lock::lock_inittab() {
  struct sigaction previous_interrupt {};
  set_signal_action(SIGINT, SIG_IGN, 0, &previous_interrupt);
  ignore_caller_signals();

  // Every takeover and release needs the guard: one that cannot be had is
  // said now, before this run holds a lock that it could not release.
  const char* guard_path = nullptr;
  if (!find_guard(places_, guard_path)) {
    std::printf(msg_cannot_create, guard_path);
    return guard_not_created;
  }
  for (int attempt = 0; attempt < lock_attempts; ++attempt) {
    const double started = seconds_on(CLOCK_MONOTONIC);
    const int made = make_lock(lock_max_age);
    if (made == 0) return 0;
    if (made == lock_not_created) {
      std::printf(msg_cannot_create, places_.lock);
      return lock_not_created;
    }
    // From the first wait on, the user may give up with an interrupt.
    ::sigaction(SIGINT, &previous_interrupt, nullptr);
    sleep_until(started, lock_retry_seconds);
  }
  std::printf(msg_lock_not_obtained, places_.lock);
  return lock_held;
}

bool inittab_lock::is_ours() const {
  if (!linked_.held) return false;
  // A lock that cannot be read is tried again: a lock wrongly left costs
  // the next run, a wrongly refused edit costs this one.
  for (int tries = 0; tries < 3; ++tries) {
    struct stat status {};
    const unique_fd lock = open_lock(places_.lock, status);
    if (!lock && errno == ENOENT) return false;
    if (!lock) continue;
    if (status.st_dev != linked_.device || status.st_ino != linked_.inode) return false;
    std::int32_t owner = 0;
    const int read = read_owner(lock, status, owner);
    if (read >= 0) return read == 1 && owner == pid_;
  }
  return false;
}

void inittab_lock::unlock_inittab() {
  if (!linked_.held) return;
  // Without the guard the lock stays: a lock whose owner is gone is taken
  // over by the next run that gets it.
  const inittab_guard guard(places_, holder_guard_seconds);
  if (guard.held() && is_ours()) remove_name(places_.lock);
  linked_.held = false;
}

int inittab_lock::make_lock(int max_age) {
  pid_ = static_cast<int>(::getpid());
  temp_path_ = temp_name_beside(places_.lock, pid_);
  const int linked = link_lock(pid_, temp_path_.c_str(), places_.lock, linked_);
  if (linked != lock_held) return linked;

  // Takeover, under the guard (rule 3). A run of ours removes a lock name
  // only under it, and its edit holds it throughout, so from here to our
  // unlink the file we judge can be neither released, nor taken over, nor
  // edited beside. A name that is gone was released a moment ago: we link
  // again and never unlink, since a third run may already have linked its
  // own. Locks made by runs that know no guard are still honoured and
  // still expire.
  const inittab_guard guard(places_);
  if (!guard.held()) return lock_held;
  struct stat status {};
  const unique_fd lock = open_lock(places_.lock, status);
  if (!lock) return errno == ENOENT ? link_lock(pid_, temp_path_.c_str(), places_.lock, linked_) : lock_held;
  if (!is_left_behind(lock, status, max_age)) return lock_held;
  struct stat named {};
  if (::lstat(places_.lock, &named) != 0 || !same_file(named, status) || remove_name(places_.lock) != 0) return lock_held;
  return link_lock(pid_, temp_path_.c_str(), places_.lock, linked_);
}

int link_lock(int pid, const char* temp_path, const char* lock_path, lock_identity& linked) {
  // A temporary file left by a dead run with our pid may be a second name
  // of a lock: remove it rather than write into that inode.
  remove_name(temp_path);
  unique_fd temp(retry_on_eintr(
      [&] { return ::open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444); }));
  if (!temp) return lock_not_created;

  const std::int32_t owner = pid;
  struct stat status {};
  const bool written =
      retry_on_eintr([&] { return ::write(temp.get(), &owner, sizeof owner); }) == sizeof owner &&
      ::fstat(temp.get(), &status) == 0 && temp.close() == 0;
  const int made = written ? ::link(temp_path, lock_path) : -1;
  const int link_error = errno;
  remove_name(temp_path);
  if (made == 0) {
    linked = {status.st_dev, status.st_ino, true};
    return 0;
  }
  return written && link_error == EEXIST ? lock_held : lock_not_created;
}

}  // namespace ttyenable
