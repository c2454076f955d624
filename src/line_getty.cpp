#include "line_getty.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "system_calls.hpp"
#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr std::size_t proc_path_size = 48;
constexpr pid_t init_pid = 1;
// /proc/PID/stat after the command's closing parenthesis: state, then
// fields 4 (ppid) to 22 (start time); 7 is the controlling terminal.
constexpr char stat_fields_format[] =
    " %*c %d %*d %*d %lld %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu";
constexpr std::size_t stat_size = 1024;
constexpr double poll_seconds = 0.1;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void note_interrupt(int) { interrupted = 1; }

bool is_pid(const char* name) { return *name != '\0' && name[std::strspn(name, "0123456789")] == '\0'; }

// The child of init with pid `name`, when it is one and runs on a terminal.
bool read_child(const char* name, double now, init_child& child) {
  char path[proc_path_size];
  char text[stat_size];
  const int written = std::snprintf(path, sizeof path, "%s/%s/stat", paths::processes, name);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path || read_small_file(path, text) <= 0) return false;
  // The command may hold any byte, a parenthesis too: the fields follow
  // the last one.
  const char* fields = std::strrchr(text, ')');
  int parent = 0;
  long long terminal = 0;
  unsigned long long started = 0;
  if (fields == nullptr || std::sscanf(fields + 1, stat_fields_format, &parent, &terminal, &started) != 3) return false;
  if (parent != init_pid) return false;
  child.pid = static_cast<pid_t>(std::atol(name));
  child.terminal = terminal > 0 ? static_cast<device_id>(terminal) : no_device;
  // As long as the stat path above, so it fits. Another user's descriptors
  // are not ours to see; the terminal says as much.
  std::snprintf(path, sizeof path, "%s/%s/fd/0", paths::processes, name);
  struct stat input {};
  child.input = ::stat(path, &input) == 0 && S_ISCHR(input.st_mode) ? static_cast<device_id>(input.st_rdev) : no_device;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  child.age = ticks > 0 ? now - static_cast<double>(started) / static_cast<double>(ticks) : 0;
  return child.terminal != no_device || child.input != no_device;
}

}  // namespace

std::optional<std::vector<init_child>> init_children() {
  std::vector<init_child> children;
  if (::access(paths::own_process, F_OK) != 0) return std::nullopt;
  DIR* processes = ::opendir(paths::processes);  // close-on-exec
  if (processes == nullptr) return std::nullopt;
  const double now = seconds_on(CLOCK_BOOTTIME);
  while (const dirent* entry = ::readdir(processes)) {
    init_child child;
    if (is_pid(entry->d_name) && read_child(entry->d_name, now, child)) children.push_back(child);
  }
  ::closedir(processes);
  std::sort(children.begin(), children.end(), [](const init_child& a, const init_child& b) { return a.pid < b.pid; });
  return children;
}

pid_t getty_on(device_id device, const std::vector<init_child>& children, double min_age) {
  if (device == no_device) return 0;
  for (const auto& child : children) {
    if ((child.terminal == device || child.input == device) && child.age >= min_age) return child.pid;
  }
  return 0;
}

getty_wait await_getty(device_id device, bool running) {
  // The lock is released by now: the user may give up at any moment.
  set_signal_action(SIGINT, note_interrupt);
  const double deadline = seconds_on(CLOCK_MONOTONIC) + getty_wait_seconds;
  for (;;) {
    const auto children = init_children();
    if (!children) return getty_wait::unreadable;
    const bool found = getty_on(device, *children, running ? getty_min_age : 0) != 0;
    if (found == running) return getty_wait::done;
    if (interrupted) return getty_wait::interrupted;
    if (seconds_on(CLOCK_MONOTONIC) >= deadline) return getty_wait::timed_out;
    sleep_for(poll_seconds);
    if (interrupted) return getty_wait::interrupted;
  }
}

}  // namespace ttyenable
