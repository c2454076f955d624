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

#include "system_calls.hpp"

char inittab_lock_path[18] = "/etc/LCK..inittab";
int lock_owner_pid = 0;
char lock_temp_path[64] = "";

namespace ttyenable {
namespace {

constexpr char msg_lock_not_obtained[] = "Non-expired lockfile: %s\r\n";
constexpr char msg_lock_not_created[] = "Can't create %s\r\n";
constexpr char temp_name_format[] = "%sLTMP.%d";
constexpr std::size_t work_buffer_size = 64;

// The directory part of `lock_path`, up to and including its last "/", or
// "" when it has none. -1 when it does not fit.
int lock_directory(const char* lock_path, char (&directory)[work_buffer_size]) {
  const char* slash = std::strrchr(lock_path, '/');
  const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - lock_path) + 1;
  if (length >= sizeof directory) return -1;
  std::memcpy(directory, lock_path, length);
  directory[length] = '\0';
  return 0;
}

// An exclusive flock(2) on the lock's directory, held while it lives. Every
// run that removes a lock name holds it, which is what makes a takeover safe.
class directory_guard {
 public:
  explicit directory_guard(const char* lock_path) {
    char directory[work_buffer_size];
    if (lock_directory(lock_path, directory) != 0) return;
    fd_ = unique_fd(retry_on_eintr(
        [&] { return ::open(directory[0] != '\0' ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (fd_ && retry_on_eintr([&] { return ::flock(fd_.get(), LOCK_EX); }) != 0) fd_.reset();
  }
  bool held() const { return static_cast<bool>(fd_); }

 private:
  unique_fd fd_;  // closing it releases the flock
};

// The file that this process linked to a lock name, so that a release
// removes our own lock and never one that another run has since taken.
struct lock_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool held = false;
} our_lock;

// The moment the host last booted, on the wall clock.
timespec boot_time() {
  timespec now{};
  timespec since_boot{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || ::clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0) return {};
  timespec boot{now.tv_sec - since_boot.tv_sec, now.tv_nsec - since_boot.tv_nsec};
  if (boot.tv_nsec < 0) {
    boot.tv_nsec += 1000000000L;
    --boot.tv_sec;
  }
  return boot;
}

bool is_before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The owner that the lock file at `lock_path` names, when it is the file
// `status` describes and holds 4 bytes: 1 with `owner` and `opened` set, 0
// when it names nobody, -1 when it could not be read.
int read_owner(const char* lock_path, const struct stat& status, std::int32_t& owner, struct stat& opened) {
  unique_fd lock(retry_on_eintr([&] { return ::open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!lock || ::fstat(lock.get(), &opened) != 0) return -1;
  if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino || !S_ISREG(opened.st_mode) ||
      opened.st_size != sizeof owner) {
    return 0;
  }
  return retry_on_eintr([&] { return ::read(lock.get(), &owner, sizeof owner); }) == sizeof owner ? 1 : -1;
}

// A lock of 4 bytes names its owner: it is left behind when that process is
// gone or the lock was made before the host last booted (so the pid may
// now be somebody else's). Any other lock has only its age to go by.
bool owner_is_gone(const char* lock_path, const struct stat& status) {
  std::int32_t owner = 0;
  struct stat opened {};
  if (read_owner(lock_path, status, owner, opened) != 1) return false;
  return !process_exists(owner) || is_before(opened.st_ctim, boot_time());
}

// Whether a command of the run that made the lock at `lock_path` still
// holds it (rule 4). Such commands are short: a copy, a rename, a flush. So
// this waits for them a moment before it says yes.
bool edit_still_running(const char* lock_path) {
  unique_fd lock(retry_on_eintr([&] { return ::open(lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!lock) return false;
  for (int tries = 0; tries < 100; ++tries) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return false;
    const timespec pause{0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  return true;
}

void sleep_seconds(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

int lock_inittab() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous_interrupt {};
  ::sigaction(SIGINT, &ignore, &previous_interrupt);
  for (const int signal : {SIGHUP, SIGQUIT, SIGTERM}) ::sigaction(signal, &ignore, nullptr);

  for (int attempt = 0; attempt < lock_attempts; ++attempt) {
    const int made = make_lock(inittab_lock_path, lock_max_age);
    if (made == 0) return 0;
    if (made == lock_not_created) {
      std::printf(msg_lock_not_created, inittab_lock_path);
      return lock_not_created;
    }
    // From the first wait on, the user may give up with an interrupt.
    ::sigaction(SIGINT, &previous_interrupt, nullptr);
    sleep_seconds(lock_retry_seconds);
  }
  std::printf(msg_lock_not_obtained, inittab_lock_path);
  return lock_held;
}

void unlock_inittab() { remove_lock(inittab_lock_path); }

void remove_lock(const char* lock_path) {
  if (!our_lock.held) return;
  const directory_guard guard(lock_path);
  // The inode number alone is not enough: after a takeover of our lock its
  // inode may be reused by the next run's. An unreadable lock is tried
  // again, as one left behind costs the next run a wait.
  for (int tries = 0; tries < 3; ++tries) {
    struct stat status {};
    if (::stat(lock_path, &status) != 0) {
      if (errno == ENOENT) break;
      continue;
    }
    std::int32_t owner = 0;
    struct stat opened {};
    if (status.st_dev != our_lock.device || status.st_ino != our_lock.inode) break;
    const int read = read_owner(lock_path, status, owner, opened);
    if (read == 0 || (read == 1 && owner != lock_owner_pid)) break;
    if (read == 1) {
      remove_name(lock_path);
      break;
    }
  }
  our_lock.held = false;
}

int make_lock(const char* lock_path, int max_age) {
  char directory[work_buffer_size];
  if (lock_directory(lock_path, directory) != 0) return -1;
  lock_owner_pid = static_cast<int>(::getpid());
  const int written = std::snprintf(lock_temp_path, sizeof lock_temp_path, temp_name_format, directory, lock_owner_pid);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof lock_temp_path) return -1;

  const int linked = link_lock(lock_owner_pid, lock_temp_path, lock_path);
  if (linked != lock_held) return linked;

  // Takeover. Every removal of a lock name, here and in remove_lock, holds
  // the directory's flock, and a name is only created by link(2), which
  // fails while the name exists. So from our stat to our unlink the name
  // cannot be removed and re-created by anyone else: what we unlink is the
  // very file we judged expired (or nothing, when stat found none). A
  // second run that judged the same old lock expired waits for the flock,
  // then stats again and finds our fresh lock. Locks made by runs that do
  // not take the flock are still honoured and still expire.
  const directory_guard guard(lock_path);
  if (!guard.held()) return lock_held;
  struct stat status {};
  if (::stat(lock_path, &status) == 0) {
    const std::time_t now = std::time(nullptr);
    if (max_age == 0) return lock_held;
    if (now - status.st_ctime < max_age && !owner_is_gone(lock_path, status)) return lock_held;
  }
  if (edit_still_running(lock_path)) return lock_held;
  remove_name(lock_path);
  return link_lock(lock_owner_pid, lock_temp_path, lock_path);
}

int hold_lock_for_edit(int fd) {
  const int lock = retry_on_eintr([] { return ::open(inittab_lock_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK); });
  if (lock < 0) return -1;
  if (retry_on_eintr([&] { return ::flock(lock, LOCK_SH); }) != 0 || (lock != fd && ::dup2(lock, fd) != fd)) {
    ::close(lock);
    return -1;
  }
  if (lock != fd) ::close(lock);
  return 0;
}

int link_lock(int pid, const char* temp_path, const char* lock_path) {
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
  const int linked = written ? ::link(temp_path, lock_path) : -1;
  const int link_error = errno;
  remove_name(temp_path);
  if (linked == 0) {
    our_lock = {status.st_dev, status.st_ino, true};
    return 0;
  }
  return written && link_error == EEXIST ? lock_held : lock_not_created;
}

}  // namespace ttyenable
