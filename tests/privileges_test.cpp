// The tool installed set-user-id root and run by an ordinary user who
// controls everything it inherits.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

// Longer than the 1-block soft limit the caller sets.
const std::string table = "# serial lines\n" + std::string(1500, '#') + "\n" +
                          "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n"
                          "S1:2345:off:/sbin/getty -L ttyS1 9600 vt100\n";
const std::string enabled = "# serial lines\n" + std::string(1500, '#') + "\n" +
                            "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n"
                            "S1:2345:respawn:/sbin/getty -L ttyS1 9600 vt100\n";

// A set-user-id run by a caller who sets every variable that could steer
// the shell or the C library, leaves descriptor 9 open, closes those from
// `closed` to 2 and limits file sizes to one block, softly or also `hard`.
run_options hostile_caller(const sandbox& box, int closed, bool hard) {
  const std::string marker_script = box.root() + "/env.sh";
  run_options options;
  options.set_user_id = true;
  options.before_exec = [closed, hard] {
    const rlimit limit{512, hard ? 512 : RLIM_INFINITY};  // ulimit -f 1
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::dup2(::open("/dev/null", O_RDWR | O_CLOEXEC), 9);
    // Every other limit a run depends on, low; memory above a sanitized build's shadow.
    const rlim_t memory = static_cast<rlim_t>(std::min<unsigned long long>(1ULL << 46, RLIM_INFINITY - 1));  // 32 bits: compiled, not run
    for (rlimit lowered{}; const auto& [resource, soft] : {std::pair{RLIMIT_AS, memory}, {RLIMIT_DATA, memory},
                                                           {RLIMIT_STACK, rlim_t{1} << 20}, {RLIMIT_NOFILE, 16}, {RLIMIT_NPROC, 1}, {RLIMIT_CPU, 10}}) {
      ::getrlimit(resource, &lowered);
      lowered.rlim_cur = std::min(soft, lowered.rlim_max);
      ::setrlimit(resource, &lowered);
    }
    for (int fd = closed; fd <= 2; ++fd) ::close(fd);
  };
  options.environment = {
      "PATH=" + box.root() + "/fakebin:/usr/bin:/bin",
      "LD_PRELOAD=" + box.root() + "/bin/preload_marker.so",
      "MARKER_DIR=" + box.root() + "/markers",
      "IFS=/",
      "ENV=" + marker_script,
      "BASH_ENV=" + marker_script,
      "SHELLOPTS=xtrace",
      "PS4=$(: > " + box.root() + "/markers/ps4)",
      "CDPATH=/tmp",
      "GCONV_PATH=/tmp",
      "LANG=fr_FR.UTF-8",
      "LC_ALL=tr_TR.UTF-8",
      "BASH_FUNC_cp%%=() { : > " + box.root() + "/markers/function; }",
  };
  return options;
}

// The first child of `parent`, or 0.
pid_t first_child(pid_t parent) {
  return std::atoi(sandbox::read_host("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children").c_str());
}

// What each caller leaves reaches neither the commands nor the table: the
// line is enabled, unless a hard limit makes that impossible, and telinit
// runs once, with descriptors 0 to 2 only, in no supplementary group, the
// lock holding this run's pid.
TEST(set_user_id, nothing_of_the_caller_reaches_the_commands) {
  const std::vector<std::string> clean{"LC_ALL=C", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "PWD=/"};
  struct caller_case {
    const char* what;
    bool hostile;  // else root running it directly, with its environment kept
    int closed;  // descriptors from this one to 2 are closed; 3: none
    bool hard_limit;  // the table cannot be written: not enabled
    std::vector<std::string> environment;  // what telinit sees, sorted
    std::vector<gid_t> groups = {};         // the caller's supplementary groups
    bool suspends = false, links_guard = false;  // through its own terminal, root's next run following; a second name for the guard
  };
  const caller_case cases[] = {
      {"hostile", true, 3, false, clean},
      {"hostile, fds 0 to 2 closed", true, 0, false, clean},
      {"hostile, a hard file-size limit below the table", true, 3, true, clean},
      {"hostile, in supplementary groups", true, 3, false, clean, {4, 20, 65534}},
      {"hostile, suspending the run through its own terminal", true, 3, false, clean, {}, true},
      {"hostile, after a user linked the guard (fs.protected_hardlinks off)", true, 3, false, clean, {}, false, true},
      {"root, fds 0 to 2 closed", false, 0, false, {"ADMIN_NOTE=kept", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "PWD=/"}},
      {"root, fds 1 and 2 closed", false, 1, false, {"ADMIN_NOTE=kept", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "PWD=/"}},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_table(table).with_tty("ttyS1", 4, 65).with_file("env.sh", ": > " + box.root() + "/markers/env\n");
    box.with_file("bin/preload_marker.so", sandbox::read_host(PRELOAD_MARKER), 0755);
    box.with_file("who", "#!/bin/sh\nset -- $(od -An -tu4 /etc/LCK..inittab)\ngrep -h '^[UG]id:\\|^Groups:' /proc/$1/status /proc/self/status > " +
                             box.root() + "/ids\ngrep '^Max \\(cpu\\|file size\\|data\\|stack\\|processes\\|open files\\|address\\)' /proc/self/limits | "
                             "grep -v ' \\([0-9]\\+\\|unlimited\\) \\+\\1 ' > " + box.root() + "/low || :\n", 0755);  // the run's ids, then its who's; its low limits
    if (c.links_guard) box.with_file("run/ttyenable.lock", "", 0600);
    EXPECT_TRUE(!c.links_guard || ::link((box.root() + "/run/ttyenable.lock").c_str(), (box.root() + "/run/lock/pin").c_str()) == 0);
    run_options options = hostile_caller(box, c.closed, c.hard_limit);
    options.groups = c.groups;
    if (!c.hostile) {
      options = {};
      options.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "ADMIN_NOTE=kept"};
      options.before_exec = [closed = c.closed] { ::close_range(closed, 2, 0); };
    }
    const std::string pts = box.root() + "/pts";  // the caller's terminals: a devpts instance of the fixture's
    if (c.suspends && std::system(("mkdir " + pts + " && mount -t devpts -o ptmxmode=666 devpts " + pts).c_str()) == 0) {
      box.with_telinit_sleep(1);  // the edit lives on a while
      // The caller leads a session on its terminal and runs the tool in a group of its own. Once the edit has
      // started, it makes the edit's group (126 if it can), then the tool's, the foreground and types the
      // suspend key (echoed once sent); it ends as the tool does.
      options.before_exec = [pts, start_tool = options.before_exec] {
        const int master = ::open((pts + "/ptmx").c_str(), O_RDWR | O_NOCTTY);
        if (::unlockpt(master) != 0 || ::setpgid(0, ::getpgid(::getppid())) != 0 || ::setsid() < 0 ||
            ::open((pts + "/0").c_str(), O_RDWR) < 0 || ::signal(SIGTTOU, SIG_IGN) == SIG_ERR) ::_exit(126);
        const pid_t tool = ::fork();
        if (tool == 0 && ::setpgid(0, 0) == 0) return start_tool();
        pid_t edit = 0;
        for (int tries = 0; tries < 5000 && ::getpgid(edit) != edit; ++tries, ::usleep(1000)) edit = first_child(tool);
        for (char echo[2]; const pid_t group : {edit, tool}) {
          if ((::tcsetpgrp(master, group) == 0 && group == edit) || ::write(master, "\x1a", 1) != 1 || ::read(master, echo, sizeof echo) <= 0) ::_exit(126);
        }
        int status = 0;
        ::alarm(30);
        ::_exit(::waitpid(tool, &status, 0) == tool ? WEXITSTATUS(status) : 126);
      };
    }
    const running started = box.start({"ttyS1"}, options);
    const pid_t tool = c.suspends && box.wait_for("etc/LCK..inittab", 5) ? first_child(started.pid) : started.pid;
    if (c.suspends) {  // once the caller's run holds the lock, root's next run is not held
      EXPECT_EQ(std::system(("umount -l " + pts).c_str()) + box.run({"ttyS0"}).status, 0) << c.what;
    }
    const auto result = box.finish(started);
    EXPECT_EQ(result.output, c.hard_limit ? "/etc/inittab not modified\r\n" : "") << c.what;
    EXPECT_EQ(result.errors, c.hard_limit ? "File size limit exceeded\n" : "") << c.what;  // the shell's, on cp
    EXPECT_EQ(result.status, c.hard_limit ? 1 : 0) << c.what;
    EXPECT_EQ(box.read("etc/inittab"), c.hard_limit ? table : enabled) << c.what;
    EXPECT_EQ(box.read("etc/inittab.sav"), c.hard_limit ? std::nullopt : std::optional<std::string>(table)) << c.what;
    EXPECT_EQ(box.list("markers"), std::vector<std::string>{}) << c.what;
    EXPECT_EQ(c.hostile ? box.read("low") : "", std::string()) << c.what;
    const std::string root = "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t \n";
    EXPECT_EQ(box.read("ids"), root + root) << c.what;
    for (const std::string file : {"/etc/inittab", "/etc/inittab.sav"}) {  // root's, whoever ran it
      struct stat status {};
      status.st_uid = status.st_gid = 0;  // a file that is not there has no owner to check
      ::stat((box.root() + file).c_str(), &status);
      EXPECT_EQ(status.st_uid + status.st_gid, 0u) << c.what << file;
    }
    EXPECT_FALSE(box.exists("etc/LCK..inittab")) << c.what;
    const auto records = calls(box);
    ASSERT_EQ(records.size(), 1u) << c.what;
    EXPECT_EQ(field(records[0], "fds"), std::vector<std::string>{"0 1 2"}) << c.what;
    EXPECT_EQ(field(records[0], "groups"), std::vector<std::string>{"0"}) << c.what;
    // Closed, they were opened on /dev/null, never on the table or the lock
    // (the C library opens a set-user-id program's stdin on /dev/full).
    const char* null = c.closed > 2 ? "0" : c.hostile && c.closed == 0 ? "1 2" : "0 1 2";
    EXPECT_EQ(field(records[0], "null"), std::vector<std::string>{null}) << c.what;
    EXPECT_EQ(field(records[0], "lock"), std::vector<std::string>{std::to_string(tool)}) << c.what;
    auto environment = field(records[0], "env");
    std::sort(environment.begin(), environment.end());
    EXPECT_EQ(environment, c.environment) << c.what;
  }
}

}  // namespace
}  // namespace ttyenable::testing
