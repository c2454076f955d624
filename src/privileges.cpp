#include "privileges.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "system_calls.hpp"
#include "paths.hpp"

extern char** environ;

namespace ttyenable {
namespace {

// Read before main, so before any id changes.
const uid_t started_by = ::getuid();

char safe_path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
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

void secure_limits() {
  // Unlimited needs CAP_SYS_RESOURCE; failing that, the soft limit can
  // always go up to the hard one. A hard limit that stays low is met by
  // the edit command, which keeps the table unless its copy succeeded.
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  rlimit file_size{};
  if (::setrlimit(RLIMIT_FSIZE, &unlimited) != 0 && ::getrlimit(RLIMIT_FSIZE, &file_size) == 0) {
    file_size.rlim_cur = file_size.rlim_max;
    ::setrlimit(RLIMIT_FSIZE, &file_size);
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
  open_standard_descriptors();
  reset_signals();
  // Whatever the caller's mask, nothing the run creates is writable by
  // others: the shell's new table is live before its chmod.
  ::umask(022);
  if (!is_privileged_start()) return;
  close_inherited_descriptors();
  environ = safe_environment;
  secure_limits();
}

}  // namespace ttyenable
