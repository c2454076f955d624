// Every fault point of a whole run: each call that can fail, made to fail
// in exactly one process of the run, and each call of the tool's own
// process as the moment it is killed; with the host's tools and BusyBox's,
// and from a dead owner's lock. The test is the tracer (ptrace), so that it
// counts the calls of each process apart: the tool, its child before and
// after the shell, and every program the shell starts. After each point
// the table is whole, the status and messages are true, and the next run
// proceeds at once; with a login on the line, no failed call sets it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

#if defined(__x86_64__)
const std::string old_table = "id:2:initdefault:\n#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";
const std::string new_table = "id:2:initdefault:\nT0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";
constexpr std::size_t minimum_points = 1200;

// The calls that can fail, with an error each really gives.
const std::map<long, int> errors = {
    {SYS_open, EACCES}, {SYS_openat, EACCES}, {SYS_creat, EACCES}, {SYS_newfstatat, EACCES}, {SYS_statx, EACCES},
    {SYS_access, EACCES}, {SYS_faccessat, EACCES}, {SYS_faccessat2, EACCES}, {SYS_write, ENOSPC},
    {SYS_pwrite64, ENOSPC}, {SYS_writev, ENOSPC}, {SYS_copy_file_range, ENOSPC}, {SYS_sendfile, ENOSPC},
    {SYS_fsync, EIO}, {SYS_fdatasync, EIO}, {SYS_syncfs, EIO}, {SYS_read, EIO}, {SYS_pread64, EIO}, {SYS_readv, EIO},
    {SYS_getdents64, EIO}, {SYS_close, EIO}, {SYS_fstat, EIO}, {SYS_rename, EIO}, {SYS_renameat, EIO},
    {SYS_renameat2, EIO}, {SYS_link, EIO}, {SYS_linkat, EIO}, {SYS_unlink, EIO}, {SYS_unlinkat, EIO},
    {SYS_chmod, EIO}, {SYS_fchmod, EIO}, {SYS_fchmodat, EIO}, {SYS_execve, ENOMEM}, {SYS_fork, ENOMEM},
    {SYS_vfork, ENOMEM}, {SYS_clone, ENOMEM}, {SYS_clone3, ENOMEM}, {SYS_wait4, EINTR}, {SYS_flock, ENOLCK},
    {SYS_kill, EPERM}, {SYS_pipe2, EMFILE}, {SYS_dup2, EBUSY}, {SYS_setuid, EAGAIN}, {SYS_setresgid, EPERM},
    {SYS_setgroups, EPERM}, {SYS_setpgid, EPERM}};

// One fault: the `nth` call `call` of the process `key` fails with
// `error`, or, with no call, the process is killed at its `nth` call.
struct point {
  std::string variant;
  std::string key;  // program#n by exec, and >n for its n-th child before it execs
  long call = -1;
  int nth = 0;
  int error = 0;
};

// The calls of each process of a traced run, and the run's wait status.
struct trace {
  std::map<std::string, std::vector<long>> calls;
  int status = 0;
};

// Follows the run `main`, stopped before it execs the tool, and every
// process it starts until all have ended; makes `fault` happen once. A run
// that has not ended after a minute is killed, and says so in its status.
trace follow(pid_t main, const point& fault) {
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  std::vector<pid_t> seen{main};
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> guard(lock);
    if (ended.wait_for(guard, std::chrono::seconds(60), [&] { return done; })) return;
    for (const pid_t pid : seen) ::kill(pid, SIGKILL);
  });
  struct tracee {
    std::string key;
    bool started = false;  // resumed after its first stop
    bool failing = false;  // its call is being failed
    int forks = 0;
    std::map<long, int> seen;
  };
  // Only the process to fault stops at its calls, once the run is known.
  const auto resume = [&](pid_t pid, tracee& t, int signal) {
    t.started = true;
    ::ptrace(fault.nth == 0 || t.key == fault.key ? PTRACE_SYSCALL : PTRACE_CONT, pid, 0, signal);
  };
  std::map<pid_t, tracee> tracees{{main, {}}};
  std::map<std::string, int> execs;
  trace result;
  for (int status = 0;;) {
    const pid_t pid = ::waitpid(-1, &status, __WALL | __WNOTHREAD);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) break;
    tracee& t = tracees[pid];
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (pid == main) result.status = status;
      tracees.erase(pid);
      continue;
    }
    const int signal = WSTOPSIG(status);
    const int event = status >> 16;
    int deliver = 0;
    if (pid == main && !t.started) {
      ::ptrace(PTRACE_SETOPTIONS, pid, 0, PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                                              PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    } else if (!t.started && t.key.empty()) {
      // Named after the parent it has now, before the parent's event: a
      // parent killed before its event (the shell, by the tool's death)
      // never names it, and its child runs on.
      const std::string stat = sandbox::read_host("/proc/" + std::to_string(pid) + "/stat");
      tracee& parent = tracees[std::stoi(stat.substr(stat.rfind(')') + 4))];
      t.key = parent.key + ">" + std::to_string(++parent.forks);
    } else if (!t.started) {
    } else if (event == PTRACE_EVENT_EXEC) {
      const std::string name = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename();
      t = tracee{};
      t.key = name + "#" + std::to_string(++execs[name]);
    } else if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK || event == PTRACE_EVENT_CLONE) {
      unsigned long child = 0;
      ::ptrace(PTRACE_GETEVENTMSG, pid, 0, &child);
      tracee& c = tracees[static_cast<pid_t>(child)];
      {
        const std::lock_guard<std::mutex> guard(lock);
        seen.push_back(static_cast<pid_t>(child));
      }
      if (c.key.empty()) c.key = t.key + ">" + std::to_string(++t.forks);
    } else if (signal == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
      user_regs_struct regs{};
      if (info.op == PTRACE_SYSCALL_INFO_ENTRY && !t.key.empty()) {
        const long call = static_cast<long>(info.entry.nr);
        auto& calls = result.calls[t.key];
        calls.push_back(call);
        const bool here = t.key == fault.key && fault.nth > 0;
        if (here && fault.call < 0 && static_cast<int>(calls.size()) == fault.nth) {
          ::kill(pid, SIGKILL);
          continue;
        }
        if (here && call == fault.call && ++t.seen[call] == fault.nth) {
          // The kernel skips the call, but for close, which frees the
          // descriptor even when it reports an error.
          ::ptrace(PTRACE_GETREGS, pid, 0, &regs);
          if (call != SYS_close) regs.orig_rax = static_cast<unsigned long long>(-1);
          ::ptrace(PTRACE_SETREGS, pid, 0, &regs);
          t.failing = true;
        }
      } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && t.failing) {
        ::ptrace(PTRACE_GETREGS, pid, 0, &regs);
        regs.rax = static_cast<unsigned long long>(-fault.error);
        ::ptrace(PTRACE_SETREGS, pid, 0, &regs);
        t.failing = false;
      }
    } else if (event == 0 && signal != SIGTRAP) {
      deliver = signal;
    }
    resume(pid, t, deliver);
  }
  {
    const std::lock_guard<std::mutex> guard(lock);
    done = true;
  }
  ended.notify_one();
  watchdog.join();
  return result;
}

run_options host(sandbox& box, const std::string& variant) {
  box.with_table(old_table).with_tty("ttyS0", 4, 64).with_file("etc/inittab.sav", "earlier\n");
  if (variant == "lock") box.with_file("etc/LCK..inittab", pid_bytes(dead_pid()), 0444);
  if (variant == "login") box.with_utmp_login("ttyS0", ::getpid());  // the host's who reads it
  run_options options = variant == "busybox" ? box.busybox_userland() : run_options{};
  options.real_who = variant == "login";
  return options;
}

// One run of the variant, traced, with `fault`, by root with umask 000: a
// failed chmod must not leave the table writable by all.
run_result traced_run(sandbox& box, const run_options& plain, const point& fault, trace& traced) {
  run_options options = plain;
  options.before_exec = [] {
    ::umask(0);
    ::ptrace(PTRACE_TRACEME, 0, 0, 0);
    ::raise(SIGSTOP);
  };
  const running run = box.start({"ttyS0"}, options);
  traced = follow(run.pid, fault);
  return box.finish(run, traced.status);
}

// The points of a variant: every failing call of every process, and a kill
// at every call of the tool. The tool and telinit are the same programs
// with BusyBox's userland, so only its shell and applets are faulted there;
// from a dead owner's lock, only the tool, whose takeover is all that
// differs.
void add_points(const std::string& variant, std::vector<point>& points) {
  sandbox box;
  trace traced;
  EXPECT_EQ(traced_run(box, host(box, variant), {}, traced).status, 0) << variant;
  EXPECT_EQ(traced.calls.count("sed#1"), variant == "host" || variant == "lock" ? 1u : 0u) << "BusyBox's sed is an applet of its shell";
  for (const auto& [key, calls] : traced.calls) {
    const bool own = key.rfind("ttyenable#", 0) == 0 || key.rfind("telinit#", 0) == 0;
    // Of `who`, only its status and output: the host's takes a failed read of utmp for its end.
    if ((variant == "lock" && key != "ttyenable#1") || (variant == "busybox" && own) || key.rfind("who#", 0) == 0) continue;
    std::map<long, int> seen;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (key == "ttyenable#1" && variant != "login") points.push_back({variant, key, -1, static_cast<int>(i + 1), 0});
      if (errors.count(calls[i]) != 0) points.push_back({variant, key, calls[i], ++seen[calls[i]], errors.at(calls[i])});
    }
  }
}

// What does not hold after the run at `p`, or "".
std::string check(const point& p) {
  sandbox box;
  const run_options plain = host(box, p.variant);
  const auto seeded_lock = box.read("etc/LCK..inittab");  // a dead owner's, not taken over: no leftover
  trace traced;
  const auto run = traced_run(box, plain, p, traced);
  const bool killed = run.status == 128 + SIGKILL;
  const auto table = box.read("etc/inittab");
  const auto saved = box.read("etc/inittab.sav");
  const bool told = !calls(box).empty() || !calls(box, "sbin/init").empty();
  if (p.variant == "login") return table == old_table && !told ? "" : " set with a login on the line;";
  struct stat status {};
  ::stat((box.root() + "/etc/inittab").c_str(), &status);
  std::string wrong;
  if ((table != old_table && table != new_table) || (status.st_mode & 07777) != 0644) wrong += " table;";
  if (saved != "earlier\n" && saved != old_table) wrong += " .sav;";
  // 127: the dynamic loader could not load the C library, so nothing ran.
  const bool never_started = run.status == 127 && run.output.empty() && table == old_table && !told;
  // The tool's own messages end the output; a failing command may have
  // printed before them.
  const std::regex messages(R"(((Can't (open /etc/inittab|fork|execute /bin/sh|set user id|create /etc/LCK..inittab|create /(run|etc)/ttyenable.lock))"
                            R"(|/etc/inittab (not modified|changed during the run)|(/etc/telinit Q|/sbin/init q|who) failed)"
                            R"(|Non-expired lockfile: /etc/LCK..inittab)\r\n)+$)");
  const bool true_status = run.status == 0 ? table == new_table && told && saved == old_table && run.output.empty()
                                           : run.status == 1 && std::regex_search(run.output, messages) &&
                                                 !(table == new_table && told);
  if (!killed && !never_started && !true_status) wrong += " status " + std::to_string(run.status) + " with \"" + run.output + "\";";
  if (run.output.find("not modified") != std::string::npos && table != old_table) wrong += " not modified;";
  for (const char* left : {"etc/LCK..inittab", "etc/inittab.tmp", "etc/inittab.sav.tmp"}) {
    if (!killed && box.exists(left) && box.read(left) != seeded_lock) wrong += std::string(" left ") + left + ";";
  }
  if (run.status == 0) return wrong;  // the line is set, and nothing is left to clear
  const auto start = std::chrono::steady_clock::now();
  const auto next = box.run({"ttyS0"}, plain);
  if (next.status != 0 || box.read("etc/inittab") != new_table ||
      (!next.output.empty() && next.output != "ttyS0 is currently set for callin\r\n/etc/inittab not modified\r\n") ||
      std::chrono::steady_clock::now() - start > std::chrono::seconds(4)) {  // a lock left costs a 5 s retry
    wrong += " next run: " + std::to_string(next.status) + " \"" + next.output + "\";";
  }
  return wrong;
}

TEST(fault_points, every_failed_call_and_every_kill_leaves_the_table_whole) {
  std::vector<point> points;
  // Without BusyBox the other variants run, and then the case is skipped.
  const bool busybox = sandbox::exists_on_host("/bin/busybox");
  for (const char* variant : {"host", "busybox", "lock", "login"}) {
    if (busybox || std::string(variant) != "busybox") add_points(variant, points);
  }
  std::set<std::string> programs;
  for (const auto& p : points) programs.insert(p.variant + " " + p.key);
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::vector<std::string> failed;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < points.size();) {
        const point& p = points[i];
        const std::string wrong = check(p);
        const std::lock_guard<std::mutex> guard(lock);
        if (!wrong.empty()) {
          failed.push_back(p.variant + " " + p.key + (p.call < 0 ? " killed at call " : " call " + std::to_string(p.call) + " #") +
                           std::to_string(p.nth) + (p.call < 0 ? "" : " error " + std::to_string(p.error)) + ":" + wrong);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::printf("fault points: %zu tried, %zu held (%zu processes)\n", points.size(), points.size() - failed.size(),
              programs.size());
  EXPECT_GE(points.size(), minimum_points);
  for (const auto& f : failed) ADD_FAILURE() << f;
  REQUIRE_PEER("/bin/busybox", "apt-get install busybox-static");
}
#else
TEST(fault_points, every_failed_call_and_every_kill_leaves_the_table_whole) { GTEST_SKIP() << "the tracer knows x86-64's system calls and registers only"; }
#endif

}  // namespace
}  // namespace ttyenable::testing
