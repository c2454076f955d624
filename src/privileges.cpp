#include "privileges.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "system_calls.hpp"
#include "paths.hpp"

extern char** environ;

namespace ttyenable {
namespace {

// Read before main, so before any id changes.
const uid_t started_by = ::getuid();

// Filled in when used: nothing is allocated before main, where the caller's
// limits still hold.
char safe_path[sizeof "PATH=" + sizeof paths::search_path - 1];
char safe_locale[] = "LC_ALL=C";
char* safe_environment[] = {safe_path, safe_locale, nullptr};

// Opens /dev/null only where a descriptor is missing: a host without it
// still runs the tool when 0 to 2 are open.
void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, since those below are open.
    const int opened = retry_on_eintr([] { return ::open(paths::null_device, O_RDWR); });
    if (opened != fd) std::_Exit(1);
  }
}

void close_inherited_descriptors() {
  if (::close_range(STDERR_FILENO + 1, ~0U, 0) == 0) return;
  // Kernels before 5.9: close up to the hard limit, which the caller
  // cannot have lowered below a descriptor it already held open.
  rlimit files{};
  const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max != RLIM_INFINITY
                          ? files.rlim_max
                          : static_cast<rlim_t>(1) << 20;
  for (rlim_t fd = STDERR_FILENO + 1; fd < last; ++fd) ::close(static_cast<int>(fd));
}

void reset_signals() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (const int signal : {SIGALRM, SIGCHLD}) set_signal_action(signal, SIG_DFL);
  // A closed output ends no run that holds the lock.
  set_signal_action(SIGPIPE, SIG_IGN);
}

// The limits that a run and what it starts (who, the shell, init's
// command) depend on, any of which a caller may lower, and the level below
// which each hard limit is raised where the run may.
struct working_limit {
  decltype(RLIMIT_AS) resource;  // an enum in glibc, an int elsewhere
  rlim_t level;
};
constexpr working_limit working_limits[] = {
    {RLIMIT_AS, RLIM_INFINITY},    {RLIMIT_DATA, RLIM_INFINITY}, {RLIMIT_STACK, rlim_t{8} << 20},
    {RLIMIT_NOFILE, 1024},         {RLIMIT_NPROC, RLIM_INFINITY}, {RLIMIT_CPU, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY}};

// Each soft limit goes up to its hard limit, which any process may do; a
// hard limit below the working level goes up to it too, which needs
// CAP_SYS_RESOURCE (a host may withhold it). A hard limit that stays low
// is met like any failure: the edit keeps the table unless its copy
// succeeded, a failed allocation ends the run with its message.
void secure_limits() {
  for (const auto& [resource, level] : working_limits) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0) continue;
    const rlim_t hard = std::max(limit.rlim_max, level);
    const rlimit raised{hard, hard};
    const rlimit lifted{limit.rlim_max, limit.rlim_max};
    if (::setrlimit(resource, &raised) != 0) static_cast<void>(::setrlimit(resource, &lifted));  // cannot fail
  }
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0 || ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) std::_Exit(1);
}

// Whether the real, effective and saved ids are `user` and `group`, and
// nothing else: a set-user-id start must not keep a saved id to return to.
bool has_only_ids(uid_t user, gid_t group) {
  uid_t u[3] = {};
  gid_t g[3] = {};
  return ::getresuid(&u[0], &u[1], &u[2]) == 0 && ::getresgid(&g[0], &g[1], &g[2]) == 0 && u[0] == user &&
         u[1] == user && u[2] == user && g[0] == group && g[1] == group && g[2] == group;
}

}  // namespace

int is_privileged_start() {
  return ::getauxval(AT_SECURE) != 0 || ::getuid() != ::geteuid() || ::getgid() != ::getegid() ? 1 : 0;
}

int drop_privileges() {
  const uid_t user = ::getuid();
  const gid_t group = ::getgid();
  if (::setresgid(group, group, group) != 0 || ::setresuid(user, user, user) != 0) return -1;
  return has_only_ids(user, group) ? 0 : -1;
}

uid_t caller_uid() { return started_by; }

int become_root() {
  if (!is_privileged_start() || ::geteuid() != 0) return 0;
  if (::setgroups(0, nullptr) != 0 || ::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) return -1;
  return has_only_ids(0, 0) && ::getgroups(0, nullptr) == 0 ? 0 : -1;
}

void secure_process() {
  const bool privileged = is_privileged_start() != 0;
  // First, so that no limit of the caller's makes anything below fail.
  if (privileged) secure_limits();
  open_standard_descriptors();
  reset_signals();
  // Whatever the caller's mask, nothing the run creates is writable by
  // others: the shell's new table is live before its chmod.
  ::umask(022);
  if (!privileged) return;
  close_inherited_descriptors();
  std::snprintf(safe_path, sizeof safe_path, "PATH=%s", paths::search_path);  // fits: sized for it
  environ = safe_environment;
}

}  // namespace ttyenable
