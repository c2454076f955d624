// The edit of the table and the child that makes it, on the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

constexpr char table[] =
    "# Console gettys; ttyS1 is the modem line\n"
    "1:2345:respawn:/sbin/getty 38400 tty1\n"
    "10:2345:off:/sbin/getty 38400 tty10\n"
    "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n"
    "S1:2345:off:/sbin/getty -L ttyS1 9600 vt100\n"
    "S10:2345:off:/sbin/getty -L ttyS10 9600 vt100\n";

sandbox& host(sandbox& box) {
  return box.with_table(table).with_tty("tty1", 4, 1).with_tty("tty10", 4, 10).with_tty("ttyS1", 4, 65);
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

void expect_no_leftovers(const sandbox& box) {
  for (const auto& name : box.list("etc")) {
    EXPECT_TRUE(name != "LCK..inittab" && name != "inittab.tmp" && name.rfind("LTMP.", 0) != 0) << name;
  }
}

TEST(enable_line, switches_exactly_the_entry_of_the_line_and_tells_init) {
  struct enable_case {
    const char* line;
    std::string changed;  // the entry's line before, which becomes ...
    std::string now;      // ... this
  };
  const enable_case cases[] = {
      {"ttyS1", "S1:2345:off:", "S1:2345:respawn:"},  // ttyS10 and the comment keep their words
      {"tty10", "10:2345:off:", "10:2345:respawn:"},
  };
  for (const auto& c : cases) {
    sandbox box;
    const auto result = host(box).run({c.line});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(box.read("etc/inittab"), replace(table, c.changed, c.now)) << c.line;
    EXPECT_EQ(box.read("etc/inittab.sav"), table);
    struct stat status {};
    ASSERT_EQ(::stat((box.root() + "/etc/inittab").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    const auto records = calls(box);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(field(records[0], "args"), std::vector<std::string>{"Q"});
    EXPECT_EQ(field(records[0], "lock"), std::vector<std::string>{std::to_string(result.pid)});
    expect_no_leftovers(box);
  }
}

TEST(enable_line, without_telinit_init_itself_is_told) {
  sandbox box;
  host(box).without_telinit();
  const std::string shown = box.run({"-v", "ttyS1"}).output;
  EXPECT_TRUE(shows_edit_of(shown, 5) && shown.find("; (exec 3<&- 4>&- 5<&-; /sbin/init q); exit $(($? != 0)); }; (exec 3<&- 4>&- 5<&-; /sbin/init q); exit $((4 + ($? != 0)))\r\n") != std::string::npos) << shown;
  EXPECT_EQ(box.run({"ttyS1"}).status, 0);
  const auto records = calls(box, "sbin/init");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(field(records[0], "args"), std::vector<std::string>{"q"});
  EXPECT_EQ(box.read("etc/inittab"), replace(table, "S1:2345:off:", "S1:2345:respawn:"));
}

TEST(enable_line, an_init_command_that_fails_is_reported_and_the_table_stays_set) {
  sandbox box;
  host(box).with_file("etc/telinit", "#!/bin/sh\nexit 3\n", 0755);
  const auto result = box.run({"ttyS1"});
  EXPECT_EQ(result.output, "/etc/telinit Q failed\r\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(box.read("etc/inittab"), replace(table, "S1:2345:off:", "S1:2345:respawn:"));
}

// Failures, each with its own message: the table and the earlier .sav stay
// as they were, no lock is left and init is not told.
TEST(enable_line, a_failed_edit_or_child_says_why_and_keeps_the_table) {
  const std::string kept = "/etc/inittab not modified\r\n";
  struct failure_case {
    std::string output;
    std::function<void(sandbox&, run_options&)> arrange;
  };
  const failure_case cases[] = {
      // As nobody with a limit of one process, the tool is the only one it
      // may have: `who` cannot start (the check fails closed) and no
      // child can be made. The sanitized build's leak check needs a thread
      // at exit, which the limit forbids too.
      {"who failed\r\n" + kept, [](sandbox& box, run_options& options) {
         for (const char* directory : {"/etc", "/run"}) ASSERT_EQ(::chmod((box.root() + directory).c_str(), 0777), 0);
         options.as_nobody = true;
         options.before_exec = [] {
           const rlimit limit{1, 1};
           ::setrlimit(RLIMIT_NPROC, &limit);
         };
         options.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
       }},
      {"Can't set user id\r\n" + kept, [](sandbox&, run_options& options) { options.before_exec = deny_setuid; }},
      // Without a shell `who` cannot start either, so the check fails.
      {"who failed\r\n" + kept,
       [](sandbox& box, run_options& options) { options.before_exec = [&box] { break_shell(box); }; }},
      // A guard that cannot be had, said before the lock is taken: a link, a
      // mode that others may open, the one in /etc first.
      {"Can't create /run/ttyenable.lock\r\n" + kept, [](sandbox& box, run_options&) { box.with_link("run/ttyenable.lock", "x"); }},
      {"Can't create /etc/ttyenable.lock\r\n" + kept, [](sandbox& box, run_options&) { box.with_file("etc/ttyenable.lock", "", 0644); }},
      // A trimmed host: every program of the edit but sed (and cat, for the who stand-in).
      {"Can't find sed\r\n" + kept, [](sandbox& box, run_options& options) {
         for (const char* tool : {"cp", "mv", "chmod", "sync", "who", "cat"}) box.with_link(std::string("trimmed/") + tool, std::string("/usr/bin/") + tool);
         options.environment = {"PATH=" + box.root() + "/trimmed"};
       }},
  };
  for (const auto& c : cases) {
    sandbox box;
    host(box).with_file("etc/inittab.sav", "earlier\n");
    run_options options;
    c.arrange(box, options);
    const auto start = std::chrono::steady_clock::now();
    const auto result = box.run({"ttyS1"}, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << c.output;  // said at once
    EXPECT_EQ(result.output, c.output) << result.errors;
    EXPECT_EQ(result.status, 1) << c.output;
    EXPECT_EQ(box.read("etc/inittab"), table) << c.output;
    EXPECT_EQ(box.read("etc/inittab.sav"), "earlier\n") << c.output;
    EXPECT_FALSE(box.exists("etc/LCK..inittab")) << c.output;
    EXPECT_TRUE(calls(box).empty()) << c.output;
  }
}

// A sed that writes 8 bytes, stalls `seconds` and writes the rest: once,
// for the first run that starts it. It says when it stalls and resumes.
run_options with_stalling_sed(sandbox& box, int seconds) {
  const std::string& root = box.root();
  box.with_file("stall.once", "");
  box.with_file("stall/sed",
                "#!/bin/sh\n[ -e " + root + "/stall.once ] || exec /bin/sed \"$@\"\nrm " + root + "/stall.once\n: > " +
                    root + "/markers/stalled\n/bin/sed \"$@\" | { dd bs=8 count=1 2>/dev/null; sleep " +
                    std::to_string(seconds) + "; : > " + root + "/markers/resumed; cat; }\n",
                0755);
  run_options options;
  options.environment = {"PATH=" + root + "/stall:/usr/sbin:/usr/bin:/sbin:/bin"};
  return options;
}

// Stalls, crashes and hostile callers: each leaves the table whole, and
// the next run free to proceed.
TEST(enable_line, faults_leave_the_table_whole_and_the_next_run_free) {
  REQUIRE_PEER(faketime, "apt-get install libfaketime");
  const std::string s1_enabled = replace(table, "S1:2345:off:", "S1:2345:respawn:");
  const std::string tty10_enabled = replace(table, "10:2345:off:", "10:2345:respawn:");
  // Lines 4 and 6, of one length, swapped by hand, then ttyS0 enabled.
  const std::string s0 = "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n";
  const std::string s10 = "S10:2345:off:/sbin/getty -L ttyS10 9600 vt100\n";
  const std::string swapped_s0_enabled = replace(replace(replace(table, s0, "@"), s10, replace(s0, "off", "respawn")), "@", s10);
  struct fault_case {
    const char* what;
    std::function<run_result(sandbox&)> act;  // gives the last run
    std::string table;                        // the table at the end
    std::string output;
  };
  const fault_case cases[] = {
      {"set-user-id, started with umask 000", [](sandbox& box) {
         run_options options;
         options.set_user_id = true;
         options.before_exec = [] { ::umask(0); };
         const auto result = box.run({"ttyS1"}, options);
         EXPECT_EQ(field(calls(box).at(0), "umask"), std::vector<std::string>{std::to_string(022)});
         return result;
       }, s1_enabled, ""},
      {"a caller's run blocked on a full pipe, then root's with its clock 400 s ahead", [](sandbox& box) {
         run_options caller;
         caller.set_user_id = true;
         caller.before_exec = [] {
           if (::fcntl(1, F_SETPIPE_SZ, 4096) != 4096 || ::write(1, std::string(4096, 'x').data(), 4096) != 4096) ::_exit(125);
         };
         const auto blocked = box.start({"-z", "ttyS1"}, caller);  // has a message to flush
         const std::string wchan = "/proc/" + std::to_string(blocked.pid) + "/wchan";
         for (int tries = 0; tries < 500 && sandbox::read_host(wchan).find("pipe_write") == std::string::npos; ++tries) ::usleep(10000);
         const auto result = box.run({"ttyS1"}, clock_ahead(400));
         char filler[4096];
         EXPECT_EQ(::read(blocked.output, filler, sizeof filler), 4096);
         EXPECT_EQ(box.finish(blocked).output, "Unknown option ignored: z\r\n/etc/inittab not modified\r\n");
         return result;
       }, s1_enabled, ""},
      {"a caller that closed its output, then a run on another line", [](sandbox& box) {
         run_options closed;
         closed.before_exec = [] {
           int ends[2];
           if (::pipe(ends) != 0 || ::close(ends[0]) != 0 || ::dup2(ends[1], 1) != 1 || ::signal(SIGPIPE, SIG_DFL) == SIG_ERR) ::_exit(125);
         };
         EXPECT_EQ(box.run({"-z", "ttyS1"}, closed).status, 1);  // its message is flushed under the lock: lost, not fatal
         return box.run({"tty10"});
       }, replace(s1_enabled, "10:2345:off:", "10:2345:respawn:"), ""},
      {"a sed stalled across the time limit, then a run on another line", [](sandbox& box) {
         const auto first = box.run({"ttyS1"}, with_stalling_sed(box, 25));
         EXPECT_EQ(first.output, "Timeout on /etc/telinit Q\r\n/etc/inittab not modified\r\n");
         EXPECT_EQ(first.status, 1);
         const auto second = box.run({"tty10"});
         std::this_thread::sleep_for(std::chrono::seconds(7));  // past the stall's end
         EXPECT_FALSE(box.exists("markers/resumed")) << "the timed-out edit went on";
         return second;
       }, tty10_enabled, ""},
      {"the tool killed mid-edit, then a run, which waits for the orphaned sed", [](sandbox& box) {
         const auto first = box.start({"ttyS1"}, with_stalling_sed(box, 3));
         EXPECT_TRUE(box.wait_for("markers/stalled", 10));
         ::kill(first.pid, SIGKILL);
         ::waitpid(first.pid, nullptr, 0);  // reaped, not drained: the orphaned sed still holds its output
         const auto second = box.run({"tty10"});
         box.finish(first);
         struct stat resumed {};
         EXPECT_EQ(::stat((box.root() + "/markers/resumed").c_str(), &resumed), 0);
         EXPECT_GT(std::stoll(field(calls(box).at(0), "start").at(0)),
                   resumed.st_mtim.tv_sec * 1000000000LL + resumed.st_mtim.tv_nsec);
         return second;
       }, tty10_enabled, ""},
      {"an init command that leaves a job in a session of its own", [](sandbox& box) {
         box.with_file("etc/telinit", "#!/bin/sh\n(sleep 0.5; exec setsid sleep 15) >/dev/null 2>&1 &\n", 0755);
         const auto start = std::chrono::steady_clock::now();
         const auto result = box.run({"ttyS1"});
         EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // the job lives 15.5 s
         return result;
       }, s1_enabled, ""},
      {"a read-only /run, and two runs at once", [](sandbox& box) {
         box.with_file("etc/telinit", "#!/bin/sh\n", 0755);  // the stand-in records into /run
         run_options options;
         options.before_exec = [] { if (::mount("tmpfs", "/run", "tmpfs", MS_RDONLY, nullptr) != 0) ::_exit(126); };
         const auto first = box.start({"ttyS1"}, options);
         const auto second = box.run({"tty10"}, options);
         EXPECT_EQ(box.finish(first).status, 0);
         return second;
       }, replace(s1_enabled, "10:2345:off:", "10:2345:respawn:"), ""},
      {"an empty file system over /proc: -w cannot tell, nor ttylines", [](sandbox& box) {
         run_options options;
         options.before_exec = [] { if (::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) ::_exit(126); };
         const auto waited = box.with_file("etc/telinit", "#!/bin/sh\n", 0755).run({"-w", "ttyS1"}, options);  // the stand-in reads /proc
         EXPECT_EQ(waited.output + std::to_string(waited.status), "Can't open /proc\r\n1");
         options.program = "ttylines";  // its output: the sanitized tool's leak check, which needs /proc, sets its status
         EXPECT_EQ(box.run({"ttyS1"}, options).output,
                   "LINE   ID  ACTION   DEVICE  LOGIN  CALLOUT  GETTY  HW\r\nttyS1  S1  respawn  4,65    -      -        ?      -\r\n");
         return box.run({"ttyS1"});
       }, s1_enabled, "ttyS1 is currently set for callin\r\n/etc/inittab not modified\r\n"},
      {"a leftover inittab.tmp with a second name", [](sandbox& box) {
         box.with_file("etc/inittab.tmp", "stale\n");
         EXPECT_EQ(::link((box.root() + "/etc/inittab.tmp").c_str(), (box.root() + "/etc/kept").c_str()), 0);
         const auto result = box.run({"ttyS1"});
         EXPECT_EQ(box.read("etc/kept"), "stale\n");
         return result;
       }, s1_enabled, ""},
      {"the new table is flushed before it replaces the old one", [](sandbox& box) {
         run_options options;
         options.tracer = {"-f", "-q", "-y", "-o", box.root() + "/trace", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"};
         const auto result = box.run({"ttyS1"}, options);
         std::string trace;
         for (int tries = 0; tries < 100; ++tries, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
           trace = box.read("trace").value_or("");
           if (trace.find(std::to_string(result.pid) + " +++ exited with ") != std::string::npos) break;
         }
         const auto file = trace.find("</etc/inittab.tmp>)");  // only fsync and rename are traced
         const auto rename = trace.find("\"/etc/inittab.tmp\", ", file);
         const auto directory = trace.find("</etc>)", rename);
         EXPECT_TRUE(file != std::string::npos && rename != std::string::npos && directory != std::string::npos) << trace;
         return result;
       }, s1_enabled, ""},
      {"a same-size hand edit during the check, then a run", [](sandbox& box) {
         const std::string once = box.root() + "/markers/swapped";  // by the first run's `who`
         box.with_tty("ttyS0", 4, 64).with_file("who", "#!/bin/sh\n[ -e " + once + " ] || sed -i -e '4{h;d}' -e '5{x;H;d}' -e 6G "
                                                       "/etc/inittab\n: > " + once + "\n", 0755);
         const auto first = box.run({"ttyS0"});
         EXPECT_EQ(first.output, "/etc/inittab changed during the run\r\n/etc/inittab not modified\r\n");
         EXPECT_TRUE(first.status == 1 && calls(box).empty() && !box.exists("etc/inittab.sav")) << first.status;
         return box.run({"ttyS0"});
       }, swapped_s0_enabled, ""},
  };
  for (const auto& c : cases) {
    sandbox box;
    host(box);
    const auto result = c.act(box);
    EXPECT_EQ(result.output, c.output) << c.what;
    EXPECT_EQ(result.status, 0) << c.what << ": " << result.errors;
    EXPECT_EQ(box.read("etc/inittab"), c.table) << c.what;
    expect_no_leftovers(box);
  }
}

// ttydisable: the same sequence, the other way, and no regard for a
// dial-out lock, which is what the line is being freed for.
TEST(disable_line, sets_a_respawning_entry_off_unless_the_line_is_in_use) {
  const std::string not_modified = "/etc/inittab not modified\r\n";
  const std::string tty1_off = replace(table, "1:2345:respawn:", "1:2345:off:");
  struct disable_case {
    std::vector<std::string> args;
    std::string login;  // a `who` line
    std::string output;
    std::string table;  // the table at the end
  };
  const disable_case cases[] = {
      {{"/dev/tty1"}, "", "", tty1_off},  // tty10 stays off, the dial-out lock changes nothing
      {{"-v", "tty1"}, "", "show 2", table},
      {{"ttyS1"}, "", "ttyS1 is currently set for callout\r\n" + not_modified, table},
      {{"tty1"}, "root tty1 2026-12-08 10:00", "tty1 is logged in\r\n" + not_modified, table},
      {{"ttyS7"}, "", "/dev/ttyS7: no such device\r\n", table},
      {{"tty"}, "", "Arguments must be of form ttyNN\r\n", table},
  };
  for (const auto& c : cases) {
    sandbox box;
    host(box).with_dialout_lock("tty1", pid_text(::getpid())).with_port("tty1", "0");  // a dead line
    if (!c.login.empty()) box.with_login(c.login);
    run_options options;
    options.program = "ttydisable";
    const auto result = box.run(c.args, options);
    EXPECT_TRUE(c.output == "show 2" ? shows_edit_of(result.output, 2) : result.output == c.output) << result.output;
    EXPECT_EQ(result.status, c.args.back() == "tty" ? 1 : 0) << c.args.back();
    EXPECT_EQ(box.read("etc/inittab"), c.table) << c.args.back();
    EXPECT_EQ(calls(box).size(), c.table == table ? 0u : 1u) << c.args.back();
    expect_no_leftovers(box);
  }
}

TEST(enable_line, a_hanging_init_is_left_after_20_seconds) {
  // /sbin/init hangs; the message still names /etc/telinit Q, as it
  // always has, which callers may look for.
  sandbox box;
  host(box).without_telinit().with_file("sbin/init.sleep", "40");
  const auto start = std::chrono::steady_clock::now();
  const auto result = box.run({"ttyS1"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.output, "Timeout on /etc/telinit Q\r\n");  // the table is set: no "not modified"
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(box.exists("etc/LCK..inittab"));
  EXPECT_GE(waited, std::chrono::seconds(19));
  EXPECT_LT(waited, std::chrono::seconds(35));
}

}  // namespace
}  // namespace ttyenable::testing
