// Small helpers for calling the operating system: a retry loop for calls
// that a signal may interrupt, a descriptor that closes itself, whole lines
// from a stream, and the liveness test that lock files have always used.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace ttyenable {

/// Runs `fn` again while it fails with EINTR.
template <typename Fn>
auto retry_on_eintr(Fn fn) {
  decltype(fn()) result;
  do {
    result = fn();
  } while (result == -1 && errno == EINTR);
  return result;
}

/// A descriptor that closes itself; move-only.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  /// Closes now and reports the result, for writes whose success matters.
  int close() noexcept { return ::close(std::exchange(fd_, -1)); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

/// Whole lines from a stream, however long, into one buffer reused from
/// line to line.
class line_reader {
 public:
  line_reader() = default;
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;
  ~line_reader() { std::free(line_); }

  /// The next line, its newline kept; nullptr at the end of the stream, and
  /// from a failure on: a read error, or a line that found no memory, which
  /// some C libraries do not count as an error of the stream, and after
  /// which they would go on from the middle of that line.
  char* next(std::FILE* stream) {
    length_ = failed_ ? -1 : ::getline(&line_, &capacity_, stream);
    failed_ = failed_ || (length_ == -1 && (std::ferror(stream) != 0 || std::feof(stream) == 0));
    return length_ != -1 ? line_ : nullptr;
  }
  /// The bytes of the last line read, its newline and any NUL included.
  long length() const { return static_cast<long>(length_); }
  /// Whether `next` gave nullptr for a failure, not for the end.
  bool failed() const { return failed_; }

 private:
  char* line_ = nullptr;
  std::size_t capacity_ = 0;
  ssize_t length_ = 0;
  bool failed_ = false;
};

/// The text of a small file at `path`, never followed as a link nor waited
/// on as a FIFO, NUL-terminated in `text`: its size, or -1 when it cannot be
/// read or fills `text`.
template <std::size_t size>
long read_small_file(const char* path, char (&text)[size]) {
  const unique_fd file(retry_on_eintr([&] { return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  const long got = file ? static_cast<long>(retry_on_eintr([&] { return ::read(file.get(), text, size - 1); })) : -1;
  if (got < 0 || static_cast<std::size_t>(got) >= size - 1) return -1;
  text[got] = '\0';
  return got;
}

/// The time on `clock` in seconds, 0 when it cannot be read. Waits go by
/// CLOCK_MONOTONIC, which no step of the wall clock moves.
inline double seconds_on(clockid_t clock) {
  timespec now{};
  return ::clock_gettime(clock, &now) == 0 ? static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 : 0;
}

/// `status`, or 1 when standard output could not be written whole: a
/// listing or a message that was lost makes the run a failure.
inline int checked_output(int status) { return std::fflush(stdout) != 0 || std::ferror(stdout) != 0 ? 1 : status; }

/// Sleeps `seconds`, however a signal cuts it short.
inline void sleep_for(double seconds) {
  const auto whole = static_cast<time_t>(seconds);
  const timespec pause{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
  ::nanosleep(&pause, nullptr);
}

/// Gives `signal` the action `handler`, with `flags` and no signal blocked
/// while it runs; what it had goes to `previous` when given.
inline void set_signal_action(int signal, decltype(SIG_DFL) handler, int flags = 0, struct sigaction* previous = nullptr) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, previous);
}

/// Removes the name `path`; a failure other than its absence is tried
/// again, twice, since a name left behind (a lock, a half-written table)
/// costs the next run more than a retry costs this one. 0 when the name is
/// gone.
inline int remove_name(const char* path) {
  for (int tries = 0; tries < 3; ++tries) {
    if (::unlink(path) == 0 || errno == ENOENT) return 0;
  }
  return -1;
}

/// 1 unless process `pid` is known to be gone: kill(pid, 0) failing with
/// ESRCH. Any other answer, EPERM included, means somebody has that pid. A
/// pid that names no single process (0 or less) counts as alive, so that
/// such a lock keeps its other rules; one beyond any pid the kernel gives
/// is gone.
inline int process_exists(long pid) {
  if (pid <= 0) return 1;
  if (pid > 0x7fffffff) return 0;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH ? 1 : 0;
}

}  // namespace ttyenable
