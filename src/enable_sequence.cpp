#include "enable_sequence.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "audit_log.hpp"
#include "command_line.hpp"
#include "inittab_lock.hpp"
#include "line_getty.hpp"
#include "line_check.hpp"
#include "line_names.hpp"
#include "new_entry.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"

namespace ttyenable {
namespace {

constexpr char shell_path[] = "/bin/sh";
constexpr char getty_path[] = "/sbin/getty";
constexpr char agetty_path[] = "/sbin/agetty";

// LC_ALL=C makes sed match bytes, whatever they are. The "&&" chain keeps
// the table and the earlier .sav in place unless both the copy and the
// edit succeeded, and flushes the new files before they replace the old
// ones and the directory after, so that a power cut leaves one table or
// the other, never an empty one. init is told in every case but one (see
// below), as a re-read changes nothing when the table did not change; it
// alone does not hold the lock's guard (see run_child), as it ends nothing
// of ours and may leave a daemon behind.
//
// A cp or sed that takes a read or write error for the end of its file
// (BusyBox's do) would still succeed, with a short file: so the copy and
// the edit must have the sizes they can only have when whole.
//
// The edit addresses a line by its number, which means the line the check
// saw only while the table is still the one it read: a hand edit since
// (root's editor takes no lock) would have the wrong line changed. So right
// before the first mv the table's digest must be the one of the bytes the
// check read; when it is not, the shell ends there, and init is not told.
// The tool then finds the table changed by comparing it itself: no exit
// status of the shell is one that init's command could not give too.
constexpr char edit_command_format[] =
    "cp %1$s %1$s.sav.tmp && [ $(wc -c < %1$s.sav.tmp) -eq %6$lld ] && "
    "LC_ALL=C sed -e '%2$s' < %1$s > %1$s.tmp && [ $(wc -c < %1$s.tmp) -eq %7$lld ] && sync %1$s.sav.tmp %1$s.tmp && "
    "h=$(sha256sum < %1$s) && { [ \"${h%%%% *}\" = %8$s ] || exit 3; } && "
    "mv %1$s.sav.tmp %1$s.sav && mv %1$s.tmp %1$s && chmod 644 %1$s && sync %3$s;%4$s %5$d<&-";
// The sed commands, for the entry's line: set the action field, the third,
// uncommenting the entry first when it is commented out; or comment it out.
constexpr char set_action_format[] = "%lds/^\\([^:]*:[^:]*:\\)[^:]*:/\\1%s:/";
constexpr char uncomment_format[] = "%lds/^[[:blank:]]*#[[:blank:]]*\\([^:]*:[^:]*:\\)[^:]*:/\\1%s:/";
constexpr char comment_out_format[] = "%lds/^/#/";
// Uncommenting with a new id, or with the action kept (BusyBox's askfirst).
constexpr char uncomment_as_format[] = "%lds/^[[:blank:]]*#[[:blank:]]*[^:]*:\\([^:]*:\\)[^:]*:/%s:\\1%s:/";
constexpr char uncomment_only_format[] = "%lds/^[[:blank:]]*#//";
constexpr std::size_t sed_command_size = 128;
// A new entry goes after line N: sed's one-line append, whose text never
// begins with a blank (it begins with the id or a colon).
constexpr char append_format[] = "%lda ";
constexpr std::size_t add_command_size = edit_command_size;
constexpr char table_directory[] = "/etc";
// The descriptor on which every command of the edit holds the guard.
constexpr int edit_lock_fd = 3;
// The edit's new files; whatever a failed or ended edit left of them goes.
constexpr const char* edit_temp_paths[] = {"/etc/inittab.tmp", "/etc/inittab.sav.tmp"};

constexpr char msg_show_command[] = "/bin/sh -c %s\r\n";
constexpr char msg_cannot_execute[] = "Can't execute /bin/sh\r\n";
constexpr char msg_cannot_fork[] = "Can't fork\r\n";
constexpr char msg_timeout[] = "Timeout on %s\r\n";
constexpr char msg_no_getty[] = "No getty on %s\r\n";
constexpr char msg_getty_runs[] = "Getty on %s still runs\r\n";
constexpr char msg_no_host_getty[] = "No getty for %s: no entry to follow, and neither %s nor %s exists\r\n";
constexpr char msg_table_changed[] = "%s changed during the run\r\n";

// The whole command around `sed_command`, which goes between single quotes
// and changes the table's size from `old_size` to `new_size`, for the table
// whose bytes have `digest`.
int compose_command(char* buffer, std::size_t size, const char* sed_command, const char* init, long long old_size,
                    long long new_size, const std::string& digest) {
  const int written = std::snprintf(buffer, size, edit_command_format, inittab_path, sed_command, table_directory, init,
                                    edit_lock_fd, old_size, new_size, digest.c_str());
  return written >= 0 && static_cast<std::size_t>(written) < size ? 0 : -1;
}

// Formatted before the alarm is armed; the handler only writes it.
char timeout_message[64];
std::size_t timeout_length = 0;
volatile std::sig_atomic_t timed_out = 0;

// The run's one audit record; a show-only run changes nothing and leaves
// none.
void record(const line_setting& wanted, int priority, const char* name, const std::string& outcome) {
  if (!show_only) audit(wanted.program, priority, name, outcome.c_str());
}

[[noreturn]] void end_run(int status) {
  unlock_inittab();
  std::exit(status);
}

// With -w, a run whose line is set as wanted ends only once init serves it
// so, waiting without the lock: a getty that has lived a second on the
// line, or none left there.
[[noreturn]] void end_served(int status, const char* name, const line_setting& wanted) {
  unlock_inittab();
  if (status == 0 && wait_for_getty && !show_only) {
    const getty_wait waited = await_getty(device_number(name), wanted.respawns);
    if (waited == getty_wait::timed_out) {
      std::printf(wanted.respawns ? msg_no_getty : msg_getty_runs, name);
      record(wanted, LOG_WARNING, name, std::string("set for ") + wanted.word + (wanted.respawns ? ", no getty" : ", getty still runs"));
    }
    status = waited == getty_wait::done ? 0 : 1;
  }
  std::exit(status);
}

void sleep_briefly() {
  timespec pause{0, 10 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

// The child never releases the lock: the parent holds it until the edit has
// ended and the entry has been read again.
[[noreturn]] void end_child() {
  std::fflush(stdout);
  ::_exit(1);
}

// The child writes only once its copies of the guard are closed: a
// caller's full pipe must not hold the guard. Linux releases a descriptor
// even when close reports an error.
void close_guard(const inittab_guard& guard) {
  static_cast<void>(::close(guard.fd()));
  static_cast<void>(::close(edit_lock_fd));
}

[[noreturn]] void fail_child(const char* message, const inittab_guard& guard) {
  close_guard(guard);
  std::fputs(message, stdout);
  end_child();
}

void remove_edit_files() {
  for (const char* path : edit_temp_paths) remove_name(path);
}

// Root's table stays root's: the shell runs with root's group and none of
// the caller's, as with root's user id. A run that is not root's keeps its
// own group, as it keeps its own user.
int take_effective_ids() {
  if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(0, 0, 0) != 0)) return -1;
  return ::setuid(::geteuid());
}

[[noreturn]] void run_child(const char* command, pid_t parent, const inittab_guard& guard) {
  // A group of its own, so that at the time limit the shell and all that it
  // started can be ended together.
  if (::setpgid(0, 0) != 0) end_child();
  if (take_effective_ids() != 0) fail_child(msg_cannot_set_uid, guard);
  // After setuid, which may clear it: the shell ends when the tool does, so
  // no edit goes on unsupervised. A parent already gone has no lock left.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) end_child();
  if (show_only) {
    close_guard(guard);
    std::printf(msg_show_command, command);
  } else {
    // An earlier run's stalled command may still hold an old temporary file
    // open: the shell must write new ones, never into those. A name that
    // cannot be removed is a directory or on a read-only file system, where
    // the shell's own redirection fails and the table stays.
    remove_edit_files();
    // Every command of the edit holds the guard, open across exec, so that
    // no run takes the lock over while one of them lives.
    const bool passed = guard.fd() == edit_lock_fd ? ::fcntl(edit_lock_fd, F_SETFD, 0) == 0
                                                   : ::dup2(guard.fd(), edit_lock_fd) == edit_lock_fd;
    if (!passed) end_child();
    ::sigprocmask(SIG_SETMASK, &guard.previous_mask(), nullptr);
    ::execl(shell_path, "sh", "-c", command, static_cast<char*>(nullptr));
    fail_child(msg_cannot_execute, guard);
  }
  end_child();
}

// The edit outlived the time limit: ends it, the shell and everything it
// started, and reaps them, so that no stalled command can write after the
// lock is released. The tool is their reaper (see set_line), so none
// escapes by being orphaned.
void end_edit(pid_t group) {
  ::kill(-group, SIGKILL);
  for (unsigned tries = 0; tries < child_time_limit * 100; ++tries) {
    const pid_t reaped = ::waitpid(-group, nullptr, WNOHANG);
    if (reaped == -1 && errno == ECHILD) return;
    if (reaped <= 0) sleep_briefly();
  }
}

// Waits until no process of the edit's group is left or the time limit has
// passed, and gives the child's wait status, or -1 when it was not seen to
// end. Other children (a helper of `who` that lingers) are no part of the
// edit and are not waited for, nor is a process that leaves the group, as
// a daemon that the init command starts in a session of its own does: it
// has closed descriptor 3 and cannot edit. Leaving a group wakes no wait,
// so the group is looked at again every moment rather than waited on. The
// interruption by the alarm is the point, so EINTR ends the wait then; any
// other failure is no proof that the edit has ended, and the wait goes on.
int wait_for_child(pid_t child) {
  const int length = std::snprintf(timeout_message, sizeof timeout_message, msg_timeout, telinit_command);
  timeout_length = length > 0 ? static_cast<std::size_t>(length) : 0;

  struct sigaction alarm_action {};
  alarm_action.sa_handler = report_timeout;
  alarm_action.sa_flags = SA_RESETHAND;  // one delivery, and no SA_RESTART
  sigemptyset(&alarm_action.sa_mask);
  ::sigaction(SIGALRM, &alarm_action, nullptr);
  ::alarm(child_time_limit);

  int child_status = -1;
  bool child_ended = false;
  for (;;) {
    // The child first: until it has made its group, the group may not
    // exist yet. Then whatever of the group it left behind.
    int status = 0;
    const pid_t reaped = ::waitpid(child_ended ? -child : child, &status, child_ended ? WNOHANG : 0);
    if (reaped == child) {
      child_status = status;
      child_ended = true;
    }
    if (reaped > 0 || (reaped == -1 && errno == EINTR && !timed_out)) continue;
    if (timed_out || (reaped == -1 && errno == ECHILD)) break;
    sleep_briefly();
  }
  ::alarm(0);
  if (timed_out) end_edit(child);
  return timed_out ? -1 : child_status;
}

// What the audit record of a change says when it takes.
std::string change_text(const line_setting& wanted, bool added, const std::string& new_id) {
  return std::string(added ? "added, set for " : "set for ") + wanted.word + (new_id.empty() ? "" : ", new id " + new_id);
}

// The getty of an entry made from nothing: one that the host has, or none.
const char* host_getty() {
  for (const char* path : {getty_path, agetty_path}) {
    if (::access(path, F_OK) == 0) return path;
  }
  return nullptr;
}

[[noreturn]] void end_unreadable(const line_setting& wanted, const char* name) {
  std::printf(msg_cannot_open, inittab_path);
  record(wanted, LOG_WARNING, name, "not modified: table unreadable");
  end_run(1);
}

// Whether the table is no longer the bytes whose digest is `digest`; not
// when it cannot be read to the end.
bool table_differs(const std::string& digest) {
  inittab_reader table(inittab_path);
  if (!table.is_open()) return false;
  const std::string now = table.digest();
  return !table.failed() && now != digest;
}

// Once the edit has ended, or been ended: tells whether it took, records
// an outcome other than the change already on record, and gives the run's
// status.
int report_edit(const char* name, const inittab_entry& entry, const line_setting& wanted, const char* init,
                int child_status, bool added, const std::string& new_id) {
  remove_edit_files();
  const int set = entry_is_set(entry, name, wanted);
  const std::string done = change_text(wanted, added, new_id);
  if (set < 0) {
    std::printf(msg_cannot_open, inittab_path);
    record(wanted, LOG_WARNING, name, "table unreadable after the edit");
    return 1;
  }
  if (set == 0 && !timed_out && table_differs(entry.table_digest)) {
    std::printf(msg_table_changed, inittab_path);
    std::printf(msg_not_modified, inittab_path);
    record(wanted, LOG_WARNING, name, "not modified: table changed during the run");
    return 1;
  }
  if (set == 0) std::printf(msg_not_modified, inittab_path);
  if (timed_out) {
    record(wanted, LOG_WARNING, name, set ? done + ", then timed out" : "not modified: timed out");
    return 1;
  }
  if (set == 0) {
    record(wanted, LOG_WARNING, name, "not modified: edit failed");
    return 1;
  }
  if (child_status != 0) {
    std::printf(msg_failed, init);
    record(wanted, LOG_WARNING, name, done + ", init not told");
    return 1;
  }
  return 0;
}

}  // namespace

int compose_edit_command(char* buffer, std::size_t size, const inittab_entry& entry, const line_setting& wanted,
                         const char* init, const std::string& new_id) {
  char sed_command[sed_command_size];
  int written = 0;
  long long new_size = entry.table_size;
  const bool busybox = std::strcmp(init, busybox_init_command) == 0;
  // The new id enters sed and the shell unquoted: only bytes of a line name.
  for (const char c : new_id) {
    if (!is_line_name_byte(static_cast<unsigned char>(c))) return -1;
  }
  if (!wanted.respawns && busybox) {
    written = std::snprintf(sed_command, sizeof sed_command, comment_out_format, entry.number);
    new_size += 1;
  } else if (busybox && entry.commented && is_login_action(entry.action)) {
    // Its action already starts a login: only the '#' goes, so that what
    // ttydisable commented out comes back byte for byte.
    written = std::snprintf(sed_command, sizeof sed_command, uncomment_only_format, entry.number);
    new_size -= entry.prefix;
  } else {
    const char* action = wanted.respawns ? "respawn" : "off";
    const bool renamed = entry.commented && !new_id.empty();
    if (renamed) {
      written = std::snprintf(sed_command, sizeof sed_command, uncomment_as_format, entry.number, new_id.c_str(), action);
    } else {
      written = std::snprintf(sed_command, sizeof sed_command, entry.commented ? uncomment_format : set_action_format,
                              entry.number, action);
    }
    new_size += static_cast<long long>(std::strlen(action)) - static_cast<long long>(entry.action.size()) -
                (entry.commented ? entry.prefix : 0) +
                (renamed ? static_cast<long long>(new_id.size()) - static_cast<long long>(entry.id.size()) : 0);
  }
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof sed_command) return -1;
  return compose_command(buffer, size, sed_command, init, entry.table_size, new_size, entry.table_digest);
}

int compose_add_command(char* buffer, std::size_t size, const new_entry& entry, const char* init) {
  char sed_command[add_command_size];
  int written = std::snprintf(sed_command, sizeof sed_command, append_format, entry.after);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof sed_command) return -1;
  std::size_t length = static_cast<std::size_t>(written);
  // Inside the shell's single quotes only a quote ends the text, and sed's
  // text takes a backslash as an escape: both are written out.
  for (const char c : entry.text) {
    const char* bytes = c == '\\' ? "\\\\" : c == '\'' ? "'\\''" : nullptr;
    const std::size_t count = bytes != nullptr ? std::strlen(bytes) : 1;
    if (c == '\n' || length + count >= sizeof sed_command) return -1;
    std::memcpy(sed_command + length, bytes != nullptr ? bytes : &c, count);
    length += count;
  }
  sed_command[length] = '\0';
  return compose_command(buffer, size, sed_command, init, entry.table_size, entry.table_size + entry.grows,
                         entry.table_digest);
}

void enable_line(const char* name) { set_line(name, callin); }

void set_line(const char* name, const line_setting& wanted) {
  if (become_root() != 0) {
    std::fputs(msg_cannot_set_uid, stdout);
    std::printf(msg_not_modified, inittab_path);
    std::exit(1);
  }
  if (const int locked = lock_inittab(); locked != 0) {
    if (locked == guard_not_created) std::printf(msg_not_modified, inittab_path);
    record(wanted, LOG_WARNING, name,
           locked == lock_held          ? "not modified: lock held"
           : locked == lock_not_created ? "not modified: lock not created"
                                        : "not modified: guard unusable");
    std::exit(1);
  }
  inittab_entry entry;
  const refusal reason = check_entry(name, wanted, entry,
                                     {force_hardware == 0, add_entry != 0, force_hardware == 0 || caller_uid() != 0});
  if (reason != refusal::none) {
    record(wanted, LOG_INFO, name, "not modified: " + refusal_text(reason, wanted));
    if (reason == refusal::already_set) end_served(0, name, wanted);
    end_run(refusal_status(reason));
  }
  const char* init = init_control_command();
  const bool busybox = std::strcmp(init, busybox_init_command) == 0;
  char command[edit_command_size];
  const bool added = entry.number == 0;
  std::string new_id;
  if (added) {
    new_entry line;
    const plan planned = plan_new_entry(inittab_path, name, busybox, host_getty(), line);
    if (planned == plan::unreadable) end_unreadable(wanted, name);
    if (planned == plan::no_getty) {
      std::printf(msg_no_host_getty, name, getty_path, agetty_path);
      std::printf(msg_not_modified, inittab_path);
      record(wanted, LOG_INFO, name, "not modified: no getty");
      end_run(0);
    }
    entry.number = line.after + 1;  // where the re-read finds it
    line.table_digest = entry.table_digest;
    if (compose_add_command(command, sizeof command, line, init) != 0) entry.number = 0;
  } else {
    // SysV init drops one of two active entries with the same id: often
    // the board's console.
    if (entry.commented && wanted.respawns && !busybox && uncommented_id(inittab_path, entry, name, new_id) != 0) {
      end_unreadable(wanted, name);
    }
    if (compose_edit_command(command, sizeof command, entry, wanted, init, new_id) != 0) entry.number = 0;
  }
  if (entry.number == 0) {  // a command that does not fit is never cut and run
    std::printf(msg_not_modified, inittab_path);
    record(wanted, LOG_WARNING, name, "not modified: entry too long");
    end_run(1);
  }

  // On record before the edit's commands start, so that a run killed
  // during the edit leaves its trail; and all that was printed is written
  // before the guard is taken, since a caller's full pipe blocks a write
  // for as long as it likes.
  record(wanted, LOG_NOTICE, name, change_text(wanted, added, new_id));
  std::fflush(stdout);
  pid_t child = 0;
  bool ours = false;
  {
    // The lock may have been taken over while this run was stopped or
    // slow; it edits only if the lock is still its own, and the guard that
    // says so passes to the edit's commands.
    const inittab_guard guard(holder_guard_seconds);
    ours = guard.held() && lock_is_ours(inittab_lock_path);
    if (ours) {
      // Commands orphaned by the shell's end become ours to wait for, and
      // to end at the time limit. Kernels without it leave them to init.
      static_cast<void>(::prctl(PR_SET_CHILD_SUBREAPER, 1));
      const pid_t parent = ::getpid();
      child = ::fork();
      if (child == 0) run_child(command, parent, guard);
    }
  }
  if (!ours) {
    std::printf(msg_not_modified, inittab_path);
    record(wanted, LOG_WARNING, name, "not modified: lock taken over");
    end_run(1);  // releases the lock only if it is still ours
  }
  if (child < 0) {
    std::fputs(msg_cannot_fork, stdout);
    record(wanted, LOG_WARNING, name, "not modified: cannot fork");
    end_run(1);
  }
  // Also here, whichever of the two runs first; it fails only once the
  // child has run the shell, by which time the child has done it.
  static_cast<void>(::setpgid(child, child));
  const int child_status = wait_for_child(child);
  if (show_only) end_run(0);
  end_served(report_edit(name, entry, wanted, init, child_status, added, new_id), name, wanted);
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
