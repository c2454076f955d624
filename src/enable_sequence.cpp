#include "enable_sequence.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "audit_log.hpp"
#include "inittab_lock.hpp"
#include "line_getty.hpp"
#include "line_names.hpp"
#include "messages.hpp"
#include "paths.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"
#include "systemd_units.hpp"

namespace ttyenable {
namespace {

// The edit (rules 2 and 7 in the header), with no program that BusyBox
// may leave out: each is looked up first by the shell, which finds applets
// without a file too, and the first missing one is named to the tool.
// LC_ALL=C makes sed match bytes, whatever they are. The directory is
// flushed after the renames, so that a power cut leaves one table or the
// other. Before the first mv the shell waits for the tool's word
// (`edit_talk`): BusyBox's cp and sed take a read error for the end of
// the file and succeed with a short one, and a hand edit since the check
// (root's editor takes no lock) would make the line number the wrong
// line. Without a yes init is not told; else it is, as a re-read changes
// nothing when the table did not change. Its command alone holds neither
// the guard nor the pipes (see run_child): it ends nothing of ours and
// may leave a daemon. The chain ends in `exit`, never in init's command,
// which a shell may run in its own place (BusyBox's does with the last
// command of -c): the shell, holding the guard, lives until that command
// has ended. The command runs in a subshell that has closed those
// descriptors for good, so the shell has none to restore afterwards,
// which could fail. The shell's status says what the edit made, for a run
// that may no longer read the table.
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
// The descriptor on which every command of the edit holds the guard; the
// two after it are the shell's ends of the pipes to the tool.
constexpr int edit_lock_fd = 3;
constexpr int ready_fd = 4;
constexpr int word_fd = 5;
// The programs the edit runs, init's command's besides.
constexpr char edit_programs[] = "cp sed mv chmod sync";
// What the tool answers on `word_fd` when the table may be replaced.
constexpr char go_word[] = "y\n";
// The edit's exit statuses besides 0 (the table replaced and init told):
// init's command failed, added to the table not being replaced; or the
// shell stopped before the swap (a program missing, or no yes), and init
// was not told.
constexpr int edit_init_failed = 1;
constexpr int edit_not_made = 4;
constexpr int edit_stopped = 3;
// The show-only child's status when its command could not be written.
constexpr int shown_lost = 2;
// The edit's new files; whatever a failed or ended edit left of them goes.
constexpr const char* edit_temp_paths[] = {paths::inittab_tmp, paths::inittab_sav_tmp};

// The whole command around `sed_command`, which goes between single quotes
// and makes the table `new_size` bytes long.
std::optional<edit_command> compose_command(const std::string& sed_command, init_kind init, long long new_size) {
  const std::string table = paths::inittab;
  const std::string copy = paths::inittab_sav_tmp;
  const std::string edited = paths::inittab_tmp;
  const std::string init_command = init_control_command(init);
  const std::string ready = std::to_string(ready_fd);
  const std::string stop = std::to_string(edit_stopped);
  const std::string tell = "(exec " + std::to_string(edit_lock_fd) + "<&- " + ready + ">&- " + std::to_string(word_fd) +
                           "<&-; " + init_command + "); exit $((";
  std::string command = std::string("for p in ") + edit_programs + " " + init_command.substr(0, init_command.find(' ')) +
                        "; do command -v $p >/dev/null || { echo $p >&" + ready + "; exit " + stop + "; }; done; cp " +
                        table + " " + copy + " && LC_ALL=C sed -e '" + sed_command + "' < " + table + " > " + edited +
                        " && sync " + copy + " " + edited + " && echo >&" + ready + " && { read w <&" +
                        std::to_string(word_fd) + " && [ \"$w\" = y ] || exit " + stop + "; } && mv " + copy + " " +
                        paths::inittab_sav + " && mv " + edited + " " + table + " && { chmod 644 " + table + " && sync " +
                        paths::table_directory + "; " + tell + "$? != 0)); }; " + tell + std::to_string(edit_not_made) +
                        " + ($? != 0)))";
  if (command.size() >= edit_command_size) return std::nullopt;
  return edit_command{command, new_size};
}

// The time limit came: set by the alarm handler, read once the wait ends.
volatile std::sig_atomic_t timed_out = 0;

// How the wait for the edit ended.
struct edit_outcome {
  bool timed_out = false;
  int status = -1;       // the child's wait status, or -1 when it was not seen to end
  bool changed = false;  // the table was not the check's at the swap, and stayed
  std::string missing;   // the program the host lacks, which stopped the edit
};

// What a run sets aside for its record should it run out of memory: the
// caller's name, from the user database, and syslog's buffers.
constexpr std::size_t memory_reserve = 16 * 1024;

// How often the wait for the edit's group looks again.
constexpr double poll_seconds = 0.01;

// The bytes of the table at `path`, or none when it cannot be read to its
// end.
std::optional<std::string> table_bytes(const char* path, init_kind init) {
  inittab_reader table(path, init);
  std::string bytes = table.is_open() ? table.contents() : std::string();
  return table.is_open() && !table.failed() ? std::optional(std::move(bytes)) : std::nullopt;
}

// The tool's side of the edit's two pipes: it hears the shell say that its
// new files are written, or name a program the host lacks, and says yes
// only while the table and the copy are the bytes the check read and the
// edit has its size. One word each way; then, as on any failure, the
// tool's ends close (close-on-exec, so no command holds them), and a
// shell still waiting reads no yes.
class edit_talk {
 public:
  edit_talk(const std::string& table, long long edited_size, init_kind init)
      : table_(table), edited_size_(edited_size), init_(init) {}

  /// Makes the pipes; whether that worked.
  bool open() { return make_pipe(ready_read_, ready_write_) && make_pipe(word_read_, word_write_); }

  /// In the child: the guard `guard` on descriptor 3 and the shell's ends
  /// on 4 and 5, open across exec, whichever descriptors they were.
  bool pass(int guard) const {
    int moved[] = {guard, ready_write_.get(), word_read_.get()};
    for (int& fd : moved) {
      if ((fd = ::fcntl(fd, F_DUPFD_CLOEXEC, word_fd + 1)) < 0) return false;
    }
    for (const int to : {edit_lock_fd, ready_fd, word_fd}) {
      if (::dup2(moved[to - edit_lock_fd], to) != to) return false;
    }
    return true;
  }

  /// In the parent, once the child is made: the shell's ends are its own.
  void started() {
    ready_write_.reset();
    word_read_.reset();
  }

  /// Until the shell says its word or ends, or the time limit comes:
  /// answers the word, and notes in `outcome` what it heard. Only the
  /// shell and what it starts before the swap hold the shell's end.
  void hear(edit_outcome& outcome) {
    pollfd ready{ready_read_.get(), POLLIN, 0};
    int polled = 0;
    while ((polled = ::poll(&ready, 1, -1)) < 0 && errno == EINTR && !timed_out) {
    }
    char said[64];
    const ssize_t got = polled > 0 ? retry_on_eintr([&] { return ::read(ready_read_.get(), said, sizeof said); }) : -1;
    ready_read_.reset();
    if (got > 1 && said[got - 1] == '\n') outcome.missing.assign(said, static_cast<std::size_t>(got - 1));
    if (got == 1 && said[0] == '\n') {
      const auto now = table_bytes(paths::inittab, init_);
      outcome.changed = now && *now != table_;
      const auto copy = table_bytes(paths::inittab_sav_tmp, init_);
      const auto edited = table_bytes(paths::inittab_tmp, init_);
      if (now == table_ && copy == table_ && edited && std::ssize(*edited) == edited_size_) {
        static_cast<void>(retry_on_eintr([&] { return ::write(word_write_.get(), go_word, sizeof go_word - 1); }));
      }
    }
    word_write_.reset();
  }

 private:
  static bool make_pipe(unique_fd& read_end, unique_fd& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
  }

  const std::string& table_;
  const long long edited_size_;
  const init_kind init_;
  unique_fd ready_read_, ready_write_, word_read_, word_write_;
};

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
  std::printf(message, paths::shell);
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

[[noreturn]] void run_child(const std::string& command, bool show_only, pid_t parent, const inittab_guard& guard,
                           const edit_talk& talk) {
  // Nothing of the child's may reach the parent's ends, which release the
  // lock: it allocates nothing, and would die of it.
  std::set_new_handler(nullptr);
  // A session of its own, and so a group whose id is its pid: at the time
  // limit the shell and all that it started can be ended together, and no
  // caller's terminal can make that group its foreground, to stop it with
  // the guard held.
  if (::setsid() == -1) end_child();
  if (take_effective_ids() != 0) fail_child(msg_cannot_set_uid, guard);
  // After setuid, which may clear it: the shell ends when the tool does, so
  // no edit goes on unsupervised. A parent already gone has no lock left.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) end_child();
  if (show_only) {
    close_guard(guard);
    std::printf(msg_show_command, paths::shell, command.c_str());
    ::_exit(checked_output(0) == 0 ? 0 : shown_lost);
  }
  // An earlier run's stalled command may still hold an old temporary file
  // open: the shell must write new ones, never into those. A name that
  // cannot be removed is a directory or on a read-only file system, where
  // the shell's own redirection fails and the table stays.
  remove_edit_files();
  // Every command of the edit holds the guard, open across exec, so that
  // no run takes the lock over while one of them lives.
  if (!talk.pass(guard.fd())) end_child();
  set_signal_action(SIGPIPE, SIG_DFL);
  ::execl(paths::shell, "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
  fail_child(msg_cannot_execute, guard);
}

// The edit outlived the time limit: ends it, the shell and everything it
// started, and reaps them, so that no stalled command can write after the
// lock is released. The tool is their reaper (see start_edit), so none
// escapes by being orphaned.
void end_edit(pid_t group) {
  ::kill(-group, SIGKILL);
  for (unsigned tries = 0; tries < child_time_limit * 100; ++tries) {
    const pid_t reaped = ::waitpid(-group, nullptr, WNOHANG);
    if (reaped == -1 && errno == ECHILD) return;
    if (reaped <= 0) sleep_for(poll_seconds);
  }
}

// Waits until no process of the edit's group is left or the time limit has
// passed. Other children (a helper of `who` that lingers) are no part of the
// edit and are not waited for, nor is a process that leaves the group, as
// a daemon that the init command starts in a session of its own does: it
// has closed descriptor 3 and cannot edit. The shell's word comes first:
// it waits for the answer. Leaving a group wakes no wait, so the group is
// looked at again every moment rather than waited on. The interruption by
// the alarm is the point, so EINTR ends the wait then; any other failure is
// no proof that the edit has ended, and the wait goes on. A timeout names
// `timed_out_on`.
edit_outcome wait_for_child(pid_t child, edit_talk& talk, const char* timed_out_on) {
  set_signal_action(SIGALRM, note_timeout, SA_RESETHAND);  // one delivery, and no SA_RESTART
  ::alarm(child_time_limit);

  edit_outcome outcome;
  talk.hear(outcome);
  bool child_ended = false;
  while (!timed_out) {
    // The child first: until it has made its group, the group may not
    // exist yet. Then whatever of the group it left behind.
    int status = 0;
    const pid_t reaped = ::waitpid(child_ended ? -child : child, &status, WNOHANG);
    if (reaped == child) {
      outcome.status = status;
      child_ended = true;
    }
    if (reaped > 0 || (reaped == -1 && errno == EINTR)) continue;
    if (reaped == -1 && errno == ECHILD) break;
    sleep_for(poll_seconds);
  }
  ::alarm(0);
  if (timed_out) {
    // A child not yet reaped keeps its pid: ended by it, should it not
    // have made its session yet.
    if (!child_ended) ::kill(child, SIGKILL);
    end_edit(child);
    std::printf(msg_timeout, timed_out_on);
    return {true, -1, false, {}};
  }
  return outcome;
}

// What the audit record of a change says when it takes.
std::string change_text(const line_setting& wanted, bool added, const std::string& new_id) {
  return std::string(added ? "added, set for " : "set for ") + wanted.word + (new_id.empty() ? "" : ", new id " + new_id);
}

// The getty of an entry made from nothing: one that the host has, or none.
const char* host_getty() {
  for (const char* path : {paths::getty, paths::agetty}) {
    if (::access(path, F_OK) == 0) return path;
  }
  return nullptr;
}

// The change a run is to make, once the check passed: line `entry.number`
// set as wanted, or, when `add`, the new entry after line `added.after`.
struct change {
  bool add = false;
  inittab_entry entry;
  new_entry added;
  std::string new_id;  // the id an uncommented entry takes instead of its own
  edit_command command;
};

// How long a run on systemd waits for the guard, which another such run
// holds across its check and its systemctl: as long as a run waits for
// the inittab lock.
constexpr int unit_guard_seconds = lock_attempts * static_cast<int>(lock_retry_seconds);

// One run of ttyenable or ttydisable: the line, what it is to be set to,
// the options and the lock, from the lock to the end of the process.
class line_run {
 public:
  line_run(const char* name, const line_setting& wanted, const options& chosen)
      : name_(name), wanted_(wanted), chosen_(chosen) {}

  [[noreturn]] void set() {
    holder_ = this;
    std::set_new_handler(end_for_memory);
    reserve_ = std::make_unique<char[]>(memory_reserve);
    take_root_ids();
    if (systemd_runs()) set_unit();
    take_lock();
    init_ = host_init();  // with root's ids, as the edit will run
    check_result checked = check_entry(name_, wanted_, {init_, !chosen_.force, chosen_.add, !chosen_.force || caller_uid() != 0});
    if (checked.refused) {
      const refusal reason = *checked.refused;
      record(LOG_INFO, "not modified: " + refusal_audit(reason, wanted_.word));
      end(row_of(reason).status, reason == refusal::already_set);
    }
    const change planned = plan_change(checked);
    // On record before the edit's commands start, so that a run killed
    // during the edit leaves its trail; and all that was printed is written
    // before the guard is taken, since a caller's full pipe blocks a write
    // for as long as it likes.
    record(LOG_NOTICE, change_text(wanted_, planned.add, planned.new_id));
    std::fflush(stdout);
    edit_talk talk(planned.entry.table_bytes, planned.command.edited_size, init_);
    const edit_outcome outcome = wait_for_child(start_edit(planned.command.text, talk), talk, init_control_command(init_kind::telinit));
    if (chosen_.show_only) end(outcome.status != -1 && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == shown_lost, false);
    end(report(planned, outcome), true);
  }

 private:
  // On systemd: the line's unit, under the guard from its check to the end
  // of its change. systemd reads no table, so no inittab lock is taken: the
  // guard alone keeps two runs' checks and changes from interleaving.
  [[noreturn]] void set_unit() {
    init_ = init_kind::systemd;
    ignore_caller_signals();
    const std::string unit = getty_unit(name_);
    guard_.emplace(lock_.places(), unit_guard_seconds);
    if (!guard_->held()) {
      std::printf(msg_lock_not_obtained, paths::guard);
      give_up(nullptr, LOG_WARNING, "not modified: lock held", 1);
    }
    const auto before = unit_states({unit});
    if (!before) give_up_on_unit(msg_failed, paths::systemctl, "not modified: systemctl failed");
    const unit_state& state = before->front();
    // Only masking stops a generator's unit, and that is its owner's call.
    if (!wanted_.respawns && state.generated) give_up_on_unit(msg_unit_generated, unit, "not modified: started by a generator");
    const check_options checks{init_, !chosen_.force, false, false};
    if (const auto reason = check_unit_line(name_, wanted_, checks, state.is_set_for(wanted_.respawns), unit.c_str())) {
      record(LOG_INFO, "not modified: " + refusal_audit(*reason, wanted_.word));
      end(row_of(*reason).status, *reason == refusal::already_set);
    }
    record(LOG_NOTICE, change_text(wanted_, false, ""));
    std::fflush(stdout);
    const edit_outcome outcome = run_unit_command(unit_command(unit, wanted_.respawns));
    if (chosen_.show_only) end(outcome.status != -1 && WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == shown_lost, false);
    end(report_unit(unit, state, outcome), true);
  }

  // systemctl, as the edit's shell runs it: no table to check, so the
  // shell's ends of the talk only close with it.
  edit_outcome run_unit_command(const std::string& command) {
    const std::string no_table;
    edit_talk talk(no_table, 0, init_);
    return wait_for_child(start_edit(command, talk), talk, paths::systemctl);
  }

  // A run on systemd stops here, after `message` about `subject`.
  [[noreturn]] void give_up_on_unit(const char* message, const std::string& subject, const std::string& outcome) {
    std::printf(message, subject.c_str());
    give_up(nullptr, LOG_WARNING, outcome, 1);
  }

  // Once systemctl has ended, or been ended: whether the unit now serves
  // the line as wanted. A unit that systemd did not start is left as it
  // was found: disabled again when this run enabled it.
  int report_unit(const std::string& unit, const unit_state& before, const edit_outcome& outcome) {
    const auto now = unit_states({unit});
    if (now && now->front().is_set_for(wanted_.respawns) && !outcome.timed_out && outcome.status == 0) return 0;
    if (wanted_.respawns) {
      if (!before.enabled()) run_unit_command(unit_command(unit, false));
      std::printf(msg_unit_not_started, unit.c_str());
    } else {
      std::printf(msg_failed, unit_command(unit, false).c_str());
    }
    record(LOG_WARNING, "not modified: systemctl failed");
    return 1;
  }

  // An allocation failed, wherever in the run: it ends as any failure does,
  // from the allocator's handler, since an exception would need memory
  // too: the lock released, "not modified" said unless the edit has run
  // (it may have replaced the table), and on record, in the memory set
  // aside for it (or, should that not do, without).
  static void end_for_memory() { holder_->out_of_memory(); }
  [[noreturn]] void out_of_memory() {
    if (!out_of_memory_) {
      out_of_memory_ = true;
      reserve_.reset();
      std::fputs(msg_out_of_memory, stdout);
      if (!edit_started_) std::printf(msg_not_modified, paths::inittab);
      record(LOG_WARNING, edit_started_ ? "out of memory after the edit" : "not modified: out of memory");
    }
    end(1, false);
  }


  // Every end of the run: the lock or guard released, and, with -w, for a
  // line that is set as wanted, the wait until init serves it so, without
  // either; a lost message makes the status 1.
  [[noreturn]] void end(int status, bool served) {
    lock_.unlock_inittab();
    guard_.reset();
    if (served && status == 0 && chosen_.wait && !chosen_.show_only) status = serve();
    std::exit(checked_output(status));
  }

  // The run stops here: `message` (formatted with the table's path) when
  // there is one, and the record of why.
  [[noreturn]] void give_up(const char* message, int priority, const std::string& outcome, int status) {
    if (message != nullptr) std::printf(message, paths::inittab);
    record(priority, outcome);
    end(status, false);
  }

  // The run's audit record; a show-only run changes nothing and leaves none.
  void record(int priority, const std::string& outcome) const {
    if (!chosen_.show_only) audit(wanted_.program, priority, name_, outcome.c_str());
  }

  void take_root_ids() {
    if (become_root() != 0) {
      std::fputs(msg_cannot_set_uid, stdout);
      give_up(msg_not_modified, LOG_WARNING, "not modified: cannot set user id", 1);
    }
  }

  void take_lock() {
    const int locked = lock_.lock_inittab();
    if (locked == lock_held) give_up(nullptr, LOG_WARNING, "not modified: lock held", 1);
    if (locked == lock_not_created) give_up(nullptr, LOG_WARNING, "not modified: lock not created", 1);
    if (locked != 0) give_up(msg_not_modified, LOG_WARNING, "not modified: guard unusable", 1);
  }

  // The change and its command. A command that does not fit is never cut
  // and run.
  change plan_change(const check_result& checked) {
    const bool busybox = init_ == init_kind::busybox;
    change planned{checked.add, checked.entry, {}, {}, {}};
    std::optional<edit_command> command;
    if (planned.add) {
      const plan made = plan_new_entry(paths::inittab, init_, name_, host_getty(), planned.added);
      if (made == plan::unreadable) give_up(msg_cannot_open, LOG_WARNING, "not modified: table unreadable", 1);
      if (made == plan::no_getty) {
        say_refusal(refusal::no_getty, name_, std::string(paths::getty) + " nor " + paths::agetty);
        give_up(nullptr, LOG_INFO, "not modified: " + refusal_audit(refusal::no_getty, ""), row_of(refusal::no_getty).status);
      }
      planned.entry.number = planned.added.after + 1;  // where the re-read finds it
      command = compose_add_command(planned.added, init_);
    } else {
      // SysV init drops one of two active entries with the same id: often
      // the board's console.
      if (planned.entry.commented && wanted_.respawns && !busybox &&
          uncommented_id(paths::inittab, init_, planned.entry, name_, planned.new_id) != 0) {
        give_up(msg_cannot_open, LOG_WARNING, "not modified: table unreadable", 1);
      }
      command = compose_edit_command(planned.entry, wanted_, init_, planned.new_id);
    }
    if (!command) give_up(msg_not_modified, LOG_WARNING, "not modified: entry too long", 1);
    planned.command = *command;
    return planned;
  }

  // Splits the process under the guard, if the lock is still this run's:
  // the child runs the edit; gives the child's pid.
  pid_t start_edit(const std::string& command, edit_talk& talk) {
    if (!talk.open()) give_up(msg_not_modified, LOG_WARNING, "not modified: cannot make a pipe", 1);
    pid_t child = 0;
    bool ours = false;
    {
      // The lock may have been taken over while this run was stopped or
      // slow; it edits only if the lock is still its own, and the guard that
      // says so passes to the edit's commands. A run on systemd holds the
      // guard already, and no lock.
      std::optional<inittab_guard> taken;
      const inittab_guard& guard = guard_ ? *guard_ : taken.emplace(lock_.places(), holder_guard_seconds);
      ours = guard.held() && (guard_ || lock_.is_ours());
      if (ours) {
        // Commands orphaned by the shell's end become ours to wait for, and
        // to end at the time limit. Kernels without it leave them to init.
        static_cast<void>(::prctl(PR_SET_CHILD_SUBREAPER, 1));
        const pid_t parent = ::getpid();
        child = ::fork();
        if (child == 0) run_child(command, chosen_.show_only, parent, guard, talk);
        talk.started();
      }
    }
    if (!ours) give_up(msg_not_modified, LOG_WARNING, "not modified: lock taken over", 1);  // releases only our own lock
    if (child < 0) give_up(msg_cannot_fork, LOG_WARNING, "not modified: cannot fork", 1);
    edit_started_ = true;
    return child;
  }

  // What the run can know of its edit once it has ended: whether the entry
  // is now set (-1: unknown), whether the table changed under the edit, and
  // whether the lock was still this run's. Under the guard and while the
  // lock is ours, the table is read again and the edit's leftovers go;
  // once another run holds the lock, the files may be its edit's, and the
  // edit's own status says what it made. Nothing is printed here.
  struct edit_result {
    int set = -1;
    bool ours = false;
  };

  edit_result look_at_edit(const change& planned, const edit_outcome& outcome) const {
    const inittab_guard guard(lock_.places(), holder_guard_seconds);
    if (guard.held() && lock_.is_ours()) {
      remove_edit_files();
      return {entry_is_set(init_, planned.entry, name_, wanted_), true};
    }
    if (outcome.timed_out || !WIFEXITED(outcome.status)) return {};
    const int code = WEXITSTATUS(outcome.status);
    return {code == 0 || code == edit_init_failed ? 1 : 0, false};
  }

  // Once the edit has ended, or been ended: tells whether it took, records
  // an outcome other than the change already on record, and gives the
  // run's status.
  int report(const change& planned, const edit_outcome& outcome) const {
    const edit_result result = look_at_edit(planned, outcome);
    const int set = result.set;
    const std::string done = change_text(wanted_, planned.add, planned.new_id);
    if (set < 0 && !result.ours) {
      record(LOG_WARNING, "lock taken over after the edit, outcome unknown");  // the time limit was said
      return 1;
    }
    if (set < 0) {
      std::printf(msg_cannot_open, paths::inittab);
      record(LOG_WARNING, "table unreadable after the edit");
      return 1;
    }
    if (set == 0) {
      const bool missing = !outcome.missing.empty();
      if (missing) std::printf(msg_cannot_find, outcome.missing.c_str());
      if (outcome.changed) std::printf(msg_table_changed, paths::inittab);
      std::printf(msg_not_modified, paths::inittab);
      record(LOG_WARNING, missing            ? "not modified: cannot find " + outcome.missing
                          : outcome.changed  ? "not modified: table changed during the run"
                          : outcome.timed_out ? "not modified: timed out" : "not modified: edit failed");
      return 1;
    }
    if (outcome.timed_out) {
      record(LOG_WARNING, done + ", then timed out");
      return 1;
    }
    const int code = WIFEXITED(outcome.status) ? WEXITSTATUS(outcome.status) : -1;
    if (code != 0 && code != edit_not_made) {
      std::printf(msg_failed, init_control_command(init_));
      record(LOG_WARNING, done + ", init not told");
      return 1;
    }
    return 0;
  }

  // -w: waits until init serves the line as it is now set: a getty that has
  // lived a second on it, or none left there.
  int serve() const {
    const getty_wait waited = await_getty(device_number(name_), wanted_.respawns);
    if (waited == getty_wait::unreadable) {
      std::printf(msg_cannot_open, paths::processes);
      record(LOG_WARNING, std::string("set for ") + wanted_.word + ", " + paths::processes + " unreadable");
    }
    if (waited == getty_wait::timed_out) {
      std::printf(wanted_.respawns ? msg_no_getty : msg_getty_runs, name_);
      record(LOG_WARNING, std::string("set for ") + wanted_.word + (wanted_.respawns ? ", no getty" : ", getty still runs"));
    }
    return waited == getty_wait::done ? 0 : 1;
  }

  const char* name_;
  const line_setting& wanted_;
  const options chosen_;
  init_kind init_ = init_kind::telinit;
  inittab_lock lock_;
  std::optional<inittab_guard> guard_;  // held from check to end on systemd
  bool edit_started_ = false;
  bool out_of_memory_ = false;
  std::unique_ptr<char[]> reserve_;
  static inline line_run* holder_ = nullptr;  // the one run of the process
};

}  // namespace

std::optional<edit_command> compose_edit_command(const inittab_entry& entry, const line_setting& wanted, init_kind init,
                                                 const std::string& new_id) {
  char sed_command[sed_command_size];
  int written = 0;
  long long new_size = std::ssize(entry.table_bytes);
  const bool busybox = init == init_kind::busybox;
  // The new id enters sed and the shell unquoted: only bytes of a line name.
  for (const char c : new_id) {
    if (!is_line_name_byte(static_cast<unsigned char>(c))) return std::nullopt;
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
    new_size += std::ssize(std::string_view(action)) - std::ssize(entry.action) - (entry.commented ? entry.prefix : 0) +
                (renamed ? std::ssize(new_id) - std::ssize(entry.id) : 0);
  }
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof sed_command) return std::nullopt;
  return compose_command(sed_command, init, new_size);
}

std::optional<edit_command> compose_add_command(const new_entry& entry, init_kind init) {
  char line_number[sed_command_size];
  const int written = std::snprintf(line_number, sizeof line_number, append_format, entry.after);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof line_number) return std::nullopt;
  std::string sed_command = line_number;
  // Inside the shell's single quotes only a quote ends the text, and sed's
  // text takes a backslash as an escape: both are written out.
  for (const char c : entry.text) {
    if (c == '\n') return std::nullopt;
    sed_command += c == '\\' ? "\\\\" : c == '\'' ? "'\\''" : std::string(1, c);
  }
  return compose_command(sed_command, init, entry.table_size + entry.grows);
}

void set_line(const char* name, const line_setting& wanted, const options& chosen) {
  line_run(name, wanted, chosen).set();
}

}  // namespace ttyenable

extern "C" void note_timeout(int) { ttyenable::timed_out = 1; }
