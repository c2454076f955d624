#include "enable_sequence.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "command_line.hpp"
#include "inittab_lock.hpp"
#include "line_check.hpp"

namespace ttyenable {
namespace {

constexpr char shell_path[] = "/bin/sh";

// The sed address matches the name as a word, by the rule of
// contains_word: followed by a byte that is not an ASCII letter or digit,
// or by the end of the line. It is plain POSIX BRE, for GNU and BusyBox
// sed alike, and LC_ALL=C makes it match bytes as contains_word does. The
// "&&" chain keeps the table in place unless both the copy and the edit
// succeeded; init is told in every case, as a re-read changes nothing when
// the table did not change.
constexpr char edit_command_format[] =
    "cp %s %s.sav && "
    "LC_ALL=C sed -e '/%s\\([^A-Za-z0-9].*\\)\\{0,1\\}$/{' -e 's/off/respawn/' -e '}' < %s > %s.tmp && "
    "mv %s.tmp %s && chmod 644 %s;%s";

constexpr char msg_show_command[] = "/bin/sh -c %s\r\n";
constexpr char msg_cannot_execute[] = "Can't execute /bin/sh\r\n";
constexpr char msg_cannot_set_uid[] = "Can't set user id\r\n";
constexpr char msg_cannot_fork[] = "Can't fork\r\n";
constexpr char msg_timeout[] = "Timeout on %s\r\n";

// Formatted before the alarm is armed; the handler only writes it.
char timeout_message[64];
std::size_t timeout_length = 0;
volatile std::sig_atomic_t timed_out = 0;

[[noreturn]] void end_run(int status) {
  unlock_inittab();
  std::exit(status);
}

[[noreturn]] void run_child(const char* name) {
  if (::setuid(::geteuid()) != 0) {
    std::fputs(msg_cannot_set_uid, stdout);
    end_run(1);
  }
  const char* init = ::access(telinit_path, F_OK) == 0 ? telinit_command : init_command;
  char command[edit_command_size];
  if (compose_edit_command(command, sizeof command, name, init) != 0) {
    std::fputs(msg_cannot_execute, stdout);
  } else if (show_only) {
    std::printf(msg_show_command, command);
  } else {
    ::execl(shell_path, "sh", "-c", command, static_cast<char*>(nullptr));
    std::fputs(msg_cannot_execute, stdout);
  }
  // The parent's status is the program's; this one is never seen.
  end_run(1);
}

// Waits for the child until none is left or the time limit has passed; the
// interruption by the alarm is the point, so EINTR ends the wait then.
void wait_for_child() {
  const int length = std::snprintf(timeout_message, sizeof timeout_message, msg_timeout, telinit_command);
  timeout_length = length > 0 ? static_cast<std::size_t>(length) : 0;

  struct sigaction alarm_action {};
  alarm_action.sa_handler = report_timeout;
  alarm_action.sa_flags = SA_RESETHAND;  // one delivery, and no SA_RESTART
  sigemptyset(&alarm_action.sa_mask);
  ::sigaction(SIGALRM, &alarm_action, nullptr);
  ::alarm(child_time_limit);

  for (;;) {
    if (::wait(nullptr) != -1) continue;
    if (errno == EINTR && !timed_out) continue;
    break;
  }
  ::alarm(0);
}

}  // namespace

int compose_edit_command(char* buffer, std::size_t size, const char* name, const char* init) {
  const char* table = inittab_path;
  const int written =
      std::snprintf(buffer, size, edit_command_format, table, table, name, table, table, table, table, table, init);
  return written >= 0 && static_cast<std::size_t>(written) < size ? 0 : -1;
}

void enable_line(const char* name) {
  if (lock_inittab() != 0) std::exit(1);
  if (!check_line(name)) end_run(0);

  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) run_child(name);
  if (child < 0) {
    std::fputs(msg_cannot_fork, stdout);
    end_run(1);
  }
  wait_for_child();
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
