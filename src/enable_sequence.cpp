#include "enable_sequence.hpp"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "audit_log.hpp"
#include "command_line.hpp"
#include "inittab_lock.hpp"
#include "line_check.hpp"
#include "privileges.hpp"

namespace ttyenable {
namespace {

constexpr char shell_path[] = "/bin/sh";

// The sed address matches the name as a word, by the rule of
// contains_word: followed by a byte that is not an ASCII letter or digit,
// or by the end of the line. It is plain POSIX BRE, for GNU and BusyBox
// sed alike, and LC_ALL=C makes it match bytes as contains_word does. The
// "&&" chain keeps the table in place unless both the copy and the edit
// succeeded, and flushes the new table before it replaces the old one and
// the directory after, so that a power cut leaves one table or the other,
// never an empty one. init is told in every case, as a re-read changes
// nothing when the table did not change.
constexpr char edit_command_format[] =
    "cp %1$s %1$s.sav && "
    "LC_ALL=C sed -e '/%2$s\\([^A-Za-z0-9].*\\)\\{0,1\\}$/{' -e '%5$s' -e '}' < %1$s > %1$s.tmp && "
    "sync %1$s.tmp && mv %1$s.tmp %1$s && chmod 644 %1$s && sync %3$s;%4$s";
constexpr char table_directory[] = "/etc";
constexpr char edit_temp_path[] = "/etc/inittab.tmp";

constexpr char msg_show_command[] = "/bin/sh -c %s\r\n";
constexpr char msg_cannot_execute[] = "Can't execute /bin/sh\r\n";
constexpr char msg_cannot_fork[] = "Can't fork\r\n";
constexpr char msg_timeout[] = "Timeout on %s\r\n";

// Formatted before the alarm is armed; the handler only writes it.
char timeout_message[64];
std::size_t timeout_length = 0;
volatile std::sig_atomic_t timed_out = 0;

// The run's one audit record; a show-only run changes nothing and leaves
// none.
void record(const line_setting& wanted, int priority, const char* name, const std::string& outcome) {
  if (!show_only) audit(wanted.program, priority, name, outcome.c_str());
}

// Once the edit has ended, or been ended: whether it took.
void record_edit(const line_setting& wanted, const char* name) {
  const bool set = entry_is_set(name, wanted) != 0;
  const std::string done = std::string("set for ") + wanted.word;
  if (timed_out) {
    record(wanted, LOG_WARNING, name, set ? done + ", then timed out" : "not modified: timed out");
  } else {
    record(wanted, set ? LOG_NOTICE : LOG_WARNING, name, set ? done : "not modified: edit failed");
  }
}

[[noreturn]] void end_run(int status) {
  unlock_inittab();
  std::exit(status);
}

void sleep_briefly() {
  timespec pause{0, 10 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

[[noreturn]] void run_child(const char* name, const line_setting& wanted, pid_t parent) {
  // A group of its own, so that at the time limit the shell and all that it
  // started can be ended together.
  if (::setpgid(0, 0) != 0) end_run(1);
  if (::setuid(::geteuid()) != 0) {
    std::fputs(msg_cannot_set_uid, stdout);
    end_run(1);
  }
  // After setuid, which may clear it: the shell ends when the tool does, so
  // no edit goes on unsupervised. A parent already gone has no lock left.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) end_run(1);
  const char* init = ::access(telinit_path, F_OK) == 0 ? telinit_command : init_command;
  char command[edit_command_size];
  if (compose_edit_command(command, sizeof command, name, init, wanted) != 0) {
    std::fputs(msg_cannot_execute, stdout);
  } else if (show_only) {
    std::printf(msg_show_command, command);
  } else {
    // An earlier run's stalled command may still hold the old temporary
    // file open: the shell must write a new one, never into that. A name
    // that cannot be removed is a directory or on a read-only file system,
    // where the shell's own redirection fails and the table stays.
    static_cast<void>(::unlink(edit_temp_path));
    ::execl(shell_path, "sh", "-c", command, static_cast<char*>(nullptr));
    std::fputs(msg_cannot_execute, stdout);
  }
  // The parent's status is the program's; this one is never seen.
  end_run(1);
}

// The edit outlived the time limit: ends it, the shell and everything it
// started, and reaps them, so that no stalled command can write after the
// lock is released. The tool is their reaper (see set_line), so none
// escapes by being orphaned; one that left the group is waited for only as
// long as the limit again.
void end_edit(pid_t group) {
  ::kill(-group, SIGKILL);
  for (unsigned tries = 0; tries < child_time_limit * 100; ++tries) {
    const pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    if (reaped == -1 && errno == ECHILD) return;
    if (reaped <= 0) sleep_briefly();
  }
}

// Waits for the child until none is left or the time limit has passed; the
// interruption by the alarm is the point, so EINTR ends the wait then.
void wait_for_child(pid_t child) {
  const int length = std::snprintf(timeout_message, sizeof timeout_message, msg_timeout, telinit_command);
  timeout_length = length > 0 ? static_cast<std::size_t>(length) : 0;

  struct sigaction alarm_action {};
  alarm_action.sa_handler = report_timeout;
  alarm_action.sa_flags = SA_RESETHAND;  // one delivery, and no SA_RESTART
  sigemptyset(&alarm_action.sa_mask);
  ::sigaction(SIGALRM, &alarm_action, nullptr);
  ::alarm(child_time_limit);

  for (;;) {
    if (::waitpid(-1, nullptr, 0) != -1) continue;
    if (errno == EINTR && !timed_out) continue;
    break;
  }
  ::alarm(0);
  if (timed_out) end_edit(child);
}

}  // namespace

int compose_edit_command(char* buffer, std::size_t size, const char* name, const char* init,
                         const line_setting& wanted) {
  const int written =
      std::snprintf(buffer, size, edit_command_format, inittab_path, name, table_directory, init, wanted.edit);
  return written >= 0 && static_cast<std::size_t>(written) < size ? 0 : -1;
}

void enable_line(const char* name) { set_line(name, callin); }

void set_line(const char* name, const line_setting& wanted) {
  if (lock_inittab() != 0) {
    record(wanted, LOG_WARNING, name, "not modified: lock held");
    std::exit(1);
  }
  const refusal reason = check_entry(name, wanted);
  if (reason != refusal::none) {
    record(wanted, LOG_INFO, name, "not modified: " + refusal_text(reason, wanted));
    end_run(0);
  }

  std::fflush(stdout);
  // Commands orphaned by the shell's end become ours to wait for, and to
  // end at the time limit. Kernels without it leave them to init.
  static_cast<void>(::prctl(PR_SET_CHILD_SUBREAPER, 1));
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) run_child(name, wanted, parent);
  if (child < 0) {
    std::fputs(msg_cannot_fork, stdout);
    record(wanted, LOG_WARNING, name, "not modified: cannot fork");
    end_run(1);
  }
  // Also here, whichever of the two runs first; it fails only once the
  // child has run the shell, by which time the child has done it.
  static_cast<void>(::setpgid(child, child));
  wait_for_child(child);
  if (!show_only) record_edit(wanted, name);
  end_run(0);
}

}  // namespace ttyenable

extern "C" void report_timeout(int) {
  const int saved_errno = errno;
  ttyenable::timed_out = 1;
  if (::write(STDOUT_FILENO, ttyenable::timeout_message, ttyenable::timeout_length) < 0) {
    // Nothing more can be done from a handler.
  }
  errno = saved_errno;
}
