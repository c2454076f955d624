#include "inittab_lock.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "sandbox.hpp"

namespace ttyenable {
namespace {

namespace fs = std::filesystem;

// In-process locks take guards of their own, never the host's; the
// fallback is never made, since /tmp holds the other.
const std::string guard = "/tmp/ttyenable-guard." + std::to_string(::getpid());
const std::string fallback_guard = guard + ".etc";
const bool guard_removed = std::atexit([] { std::remove(guard.c_str()); }) == 0;

inittab_lock lock_at(const std::string& path) { return inittab_lock({path.c_str(), guard.c_str(), fallback_guard.c_str()}); }

// A directory of its own for locks, and a lock there.
class lock_directory : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(directory_); }
  void TearDown() override { lock_.unlock_inittab(); }

  std::string contents(const std::string& path) const { return testing::sandbox::read_host(path); }
  ino_t inode(const std::string& path) const {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()));
  }

  testing::sandbox box_;
  std::string directory_ = box_.root() + "/locks";
  std::string path_ = directory_ + "/LCK..inittab";
  inittab_lock lock_ = lock_at(path_);
};

TEST_F(lock_directory, a_free_lock_is_taken_with_the_pid_in_four_bytes) {
  const mode_t mask = ::umask(022);
  ASSERT_EQ(lock_.make_lock(lock_max_age), 0);
  ::umask(mask);
  const pid_t pid = ::getpid();
  EXPECT_EQ(contents(path_), testing::pid_bytes(pid));
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  EXPECT_EQ(entries(), 1u);  // no LTMP.<pid> left
  EXPECT_EQ(lock_.temp_path(), directory_ + "/LTMP." + std::to_string(pid));
}

// A fresh lock of 4 bytes is left behind when they name no live process;
// any other lock goes by its age alone, and with a maximum age of 0 a lock
// never expires. A lock that is not taken is left as it was, also by a
// release, since it is not ours.
TEST_F(lock_directory, a_fresh_lock_whose_owner_is_gone_is_taken_over_at_once) {
  const pid_t dead = testing::dead_pid();
  const std::tuple<std::string, int, int> cases[] = {
      {testing::pid_bytes(dead), lock_max_age, 0},
      {testing::pid_bytes(dead), 0, -1},
      {testing::pid_bytes(::getpid()), lock_max_age, -1},
      {testing::pid_bytes(0), lock_max_age, -1},  // names no single process
      {"dead!", lock_max_age, -1},
      {testing::pid_text(dead), lock_max_age, -1},
  };
  for (const auto& [lock, max_age, expected] : cases) {
    std::ofstream(path_, std::ios::trunc) << lock;
    const ino_t before = inode(path_);
    EXPECT_EQ(lock_.make_lock(max_age), expected) << lock;
    if (expected != 0) {
      lock_.unlock_inittab();
      EXPECT_EQ(inode(path_), before);
      EXPECT_EQ(contents(path_), lock);
      EXPECT_EQ(entries(), 1u);
    }
    lock_.unlock_inittab();
    fs::remove(path_);
  }
}

TEST(inittab_lock, a_lock_made_before_the_host_booted_is_taken_over_whatever_its_age) {
  testing::sandbox box;
  box.with_file("etc/LCK..inittab", testing::pid_bytes(::getpid()), 0444).with_etc_on_image({"LCK..inittab"}, 220000000);
  const std::string lock = box.root() + "/etc/LCK..inittab";
  inittab_lock taken = lock_at(lock);
  EXPECT_EQ(taken.make_lock(std::numeric_limits<int>::max()), 0);
  taken.unlock_inittab();
}

// Our lock, taken over and its inode reused by a third run's: a release
// that went by the inode alone would free the third run's lock.
TEST_F(lock_directory, a_release_leaves_a_lock_with_our_inode_that_names_another_run) {
  ASSERT_EQ(lock_.make_lock(lock_max_age), 0);
  const ino_t ours = inode(path_);
  std::ofstream(path_, std::ios::trunc) << testing::pid_bytes(::getpid() + 1);
  ASSERT_EQ(inode(path_), ours);
  lock_.unlock_inittab();
  EXPECT_EQ(contents(path_), testing::pid_bytes(::getpid() + 1));
}

TEST_F(lock_directory, link_lock_fails_on_an_existing_name_and_cleans_up) {
  const std::string temp = directory_ + "/LTMP.42";
  std::ofstream(temp) << "stale";  // left by a dead run with our pid
  lock_identity linked;
  ASSERT_EQ(link_lock(42, temp.c_str(), path_.c_str(), linked), 0);
  EXPECT_EQ(contents(path_), testing::pid_bytes(42));
  EXPECT_EQ(link_lock(43, temp.c_str(), path_.c_str(), linked), lock_held);
  EXPECT_EQ(contents(path_), testing::pid_bytes(42));
  EXPECT_FALSE(fs::exists(temp));
}

// Many runs that judge the same old lock expired at the same moment: one
// takes it, the others find its fresh lock.
TEST_F(lock_directory, only_one_of_eight_racers_takes_over_an_expired_lock) {
  constexpr int rounds = 150;
  constexpr int racers = 8;
  for (int round = 0; round < rounds; ++round) {
    fs::create_directory(directory_ + "/" + std::to_string(round));
    std::ofstream(directory_ + "/" + std::to_string(round) + "/LCK") << "old";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // all older than 2 s
  for (int round = 0; round < rounds; ++round) {
    const std::string lock = directory_ + "/" + std::to_string(round) + "/LCK";
    // The racers spin on a shared flag, so that they start as one, and stay
    // alive until all have tried: a lock whose owner is gone is free.
    auto* gate = static_cast<std::atomic<int>*>(
        ::mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(gate, MAP_FAILED);
    gate[0].store(0);
    gate[1].store(0);
    pid_t pids[racers];
    for (pid_t& pid : pids) {
      pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        while (gate[0].load() == 0) ::sched_yield();
        const int taken = lock_at(lock).make_lock(2);
        gate[1].fetch_add(1);
        while (gate[1].load() < racers) ::sched_yield();
        ::_exit(taken == 0 ? 0 : 1);
      }
    }
    gate[0].store(1);
    int winners = 0;
    for (const pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      winners += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    ::munmap(gate, 2 * sizeof(std::atomic<int>));
    ASSERT_EQ(winners, 1) << "round " << round;
    EXPECT_EQ(contents(lock).size(), 4u);
  }
}

TEST(inittab_lock, a_lock_that_cannot_be_created_is_said_at_once) {
  testing::sandbox box;
  box.with_table("S1:2345:off:/sbin/getty ttyS1\n").with_tty("ttyS1", 4, 65);
  testing::run_options options;
  options.as_nobody = true;  // may not write /etc, only make a guard of its own
  ASSERT_EQ(::chmod((box.root() + "/run").c_str(), 0777), 0);
  const auto start = std::chrono::steady_clock::now();
  const auto result = box.run({"ttyS1"}, options);
  EXPECT_EQ(result.output, "Can't create /etc/LCK..inittab\r\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // no waits: four would take 20 s
  EXPECT_EQ(box.list("etc"), (std::vector<std::string>{"inittab", "telinit"}));
}

TEST(inittab_lock, a_held_lock_makes_the_run_give_up_after_four_waits) {
  REQUIRE_PEER("/bin/busybox", "apt-get install busybox-static");
  testing::sandbox box;
  box.with_table("S1:2345:off:/sbin/getty ttyS1\n").with_tty("ttyS1", 4, 65).with_file("etc/LCK..inittab", testing::pid_bytes(::getpid()), 0444);
  box.with_syslogd();
  const auto start = std::chrono::steady_clock::now();
  const auto result = box.run({"ttyS1"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.output, "Non-expired lockfile: /etc/LCK..inittab\r\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(box.read("etc/LCK..inittab"), testing::pid_bytes(::getpid()));
  EXPECT_EQ(box.read("etc/inittab"), "S1:2345:off:/sbin/getty ttyS1\n");
  EXPECT_GE(waited, std::chrono::seconds(19));  // 4 attempts, each followed by 5 s
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_EQ(box.list("etc"), (std::vector<std::string>{"LCK..inittab", "inittab", "telinit"}));
  const auto records = box.syslog_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find(" authpriv.warn ttyenable[" + std::to_string(result.pid) + "]: uid 0 on -: ttyS1 not modified: lock held"),
            std::string::npos) << records[0];
}

}  // namespace
}  // namespace ttyenable

namespace ttyenable::testing {
namespace {

constexpr int lines = 8;
constexpr char lock_message[] = "Non-expired lockfile: /etc/LCK..inittab\r\n";

std::string serial_table(const std::vector<bool>& enabled) {
  std::string table = "# eight modem lines\nid:2:initdefault:\n";
  for (int i = 0; i < lines; ++i) {
    const std::string n = std::to_string(i + 1);
    table += "S" + n + ":2345:" + (enabled[i] ? "respawn" : "off") + ":/sbin/getty -L ttyS" + n + " 9600\n";
  }
  return table;
}

sandbox& eight_lines(sandbox& box) {
  box.with_table(serial_table(std::vector<bool>(lines, false))).with_telinit_sleep(0.3);
  for (int i = 0; i < lines; ++i) box.with_tty("ttyS" + std::to_string(i + 1), 4, 65 + i);
  return box;
}

// Starts one run per line at once and checks that they took turns: no two
// ran init at the same time, every run that ended with 0 has its line
// enabled, every other one reports the lock, and no change was lost. With
// `adversary`, every way through the lock at once: a user holds flocks on
// /etc and on the lock; the first run is stopped for 6 s while it holds the
// lock, in a check made slow by `who`; the others start then, the even
// ones with clocks 400 s ahead, to whom that lock looks expired. The
// stopped run, its lock taken over, edits nothing and says so.
void expect_runs_take_turns(sandbox& box, bool adversary = false) {
  running user;
  if (adversary) {
    run_options nobody;
    nobody.as_nobody = true;
    nobody.executable = "/bin/sh";
    user = box.start({"-c", "flock -s /etc sleep 60 & while :; do flock -sn /etc/LCK..inittab sleep 60 & sleep 0.02; done"}, nobody);
    box.with_file("who", "#!/bin/sh\nsleep 0.3\nexec cat " + box.root() + "/who.txt\n", 0755);
  }
  // No thread of ours runs while a run is started: a forked child of a
  // threaded process may find the allocator locked.
  using clock = std::chrono::steady_clock;
  std::vector<running> started(lines);
  std::vector<clock::time_point> began(lines);
  clock::time_point stopped{};
  for (int j = 0; j < lines; ++j) {
    const int i = adversary && j < 2 ? 1 - j : j;  // the run to stop first
    const run_options options = adversary && i % 2 == 0 ? clock_ahead(400) : run_options{};
    began[i] = clock::now();
    started[i] = box.start({"ttyS" + std::to_string(i + 1)}, options);
    for (int tries = 0; adversary && i == 1 && tries < 400 && stopped == clock::time_point{}; ++tries) {
      if (box.read("etc/LCK..inittab") == pid_bytes(started[i].pid) && ::kill(started[i].pid, SIGSTOP) == 0) {
        stopped = clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  EXPECT_TRUE(!adversary || stopped != clock::time_point{}) << "the first run never held the lock";
  // Reaps the runs as they end, with the time each took; the stopped one
  // goes on after 6 s.
  std::vector<run_result> results(lines);
  std::vector<clock::duration> took(lines);
  for (int left = lines; left > 0; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (stopped != clock::time_point{} && clock::now() - stopped > std::chrono::seconds(6)) {
      ::kill(started[1].pid, SIGCONT);
      stopped = {};
    }
    for (int i = 0; i < lines; ++i) {
      int raw = 0;
      if (started[i].pid == 0 || ::waitpid(started[i].pid, &raw, WNOHANG) != started[i].pid) continue;
      took[i] = clock::now() - began[i];
      results[i] = box.finish(started[i], raw);
      started[i].pid = 0;
      --left;
    }
  }
  std::vector<bool> enabled;
  for (int i = 0; i < lines; ++i) {
    const auto& result = results[i];
    EXPECT_LT(took[i], std::chrono::seconds(adversary && i == 1 ? 31 : 25)) << i;  // 20 s of waits, and a slow start
    enabled.push_back(result.status == 0);
    if (result.status == 0) {
      EXPECT_EQ(result.output, "");
    } else {
      // To a clock ahead every lock looks expired: a run in its check may
      // lose its lock to it, and then edits nothing.
      const bool taken_over = adversary && result.output == "/etc/inittab not modified\r\n";
      EXPECT_TRUE(taken_over || (result.output == lock_message && !(adversary && i == 1))) << i << result.output;
      EXPECT_EQ(result.status, 1);
    }
  }
  EXPECT_TRUE(!adversary || !enabled[1]);
  if (adversary) {
    ::kill(-user.pid, SIGKILL);
    box.finish(user);
  }
  EXPECT_EQ(box.read("etc/inittab"), serial_table(enabled));

  std::vector<std::pair<long long, long long>> intervals;
  for (const auto& record : calls(box)) {
    intervals.emplace_back(std::stoll(field(record, "start").at(0)), std::stoll(field(record, "end").at(0)));
  }
  EXPECT_EQ(intervals.size(), static_cast<std::size_t>(std::count(enabled.begin(), enabled.end(), true)));
  EXPECT_GE(intervals.size(), 1u);
  std::sort(intervals.begin(), intervals.end());
  for (std::size_t i = 1; i < intervals.size(); ++i) {
    EXPECT_LE(intervals[i - 1].second, intervals[i].first) << "two runs held the lock at once";
  }
  for (const auto& name : box.list("etc")) {
    EXPECT_TRUE(name.rfind("LTMP.", 0) != 0 && name != "LCK..inittab") << name;
  }
}

// A live owner's lock, 400 seconds old and made after the last boot: only
// its age lets the runs take it over.
TEST(lock_contention, eight_runs_at_once_take_turns_over_an_expired_lock) {
  sandbox box;
  eight_lines(box).with_file("etc/LCK..inittab", pid_bytes(::getpid()), 0444).with_etc_on_image({"LCK..inittab"}, 400);
  expect_runs_take_turns(box);
}

TEST(lock_contention, stopped_runs_clocks_ahead_and_a_users_flocks_never_make_two_editors) {
  REQUIRE_PEER(faketime, "apt-get install libfaketime");
  sandbox box;
  expect_runs_take_turns(eight_lines(box), true);
}

TEST(lock_contention, a_lock_296_seconds_old_is_taken_over_at_the_second_attempt) {
  REQUIRE_PEER(faketime, "apt-get install libfaketime");
  sandbox box;
  box.with_table("S1:2345:off:/sbin/getty ttyS1\n").with_tty("ttyS1", 4, 65).with_file("etc/LCK..inittab", pid_bytes(::getpid()), 0444);
  // The tool's clock runs 296 s ahead of the lock's inode change time, and
  // keeps moving: the first attempt finds the lock fresh, the second, 5 s
  // later, finds it expired, even where a busy host takes 4 s to start it.
  const run_options options = clock_ahead(296);
  const auto start = std::chrono::steady_clock::now();
  const auto result = box.run({"ttyS1"}, options);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(box.read("etc/inittab"), "S1:2345:respawn:/sbin/getty ttyS1\n");
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_FALSE(box.exists("etc/LCK..inittab"));
}

// A run stopped in its edit goes on, its lock taken over, while the next
// run's edit files exist (sync, first in PATH, is slow): it touches none.
TEST(lock_contention, a_run_taken_over_after_its_edit_reports_its_change_and_removes_nothing) {
  REQUIRE_PEER(faketime, "apt-get install libfaketime");
  sandbox box;
  box.with_table("S1:2345:off:/sbin/getty ttyS1\nS2:2345:off:/sbin/getty ttyS2\n").with_tty("ttyS1", 4, 65).with_tty("ttyS2", 4, 66);
  box.with_telinit_sleep(0.5).with_file("sbin/sync", "#!/bin/sh\nsleep 0.5; exec /bin/sync \"$@\"\n", 0755);
  const running first = box.start({"ttyS1"});
  ASSERT_TRUE(box.wait_for("etc/inittab.sav", 10) && ::kill(first.pid, SIGSTOP) == 0 && box.wait_for("run/telinit.called", 10));
  const running second = box.start({"ttyS2"}, clock_ahead(400));
  EXPECT_TRUE(box.wait_for("etc/inittab.tmp", 10));
  ::kill(first.pid, SIGCONT);
  for (const running& run : {first, second}) {
    const run_result result = box.finish(run);
    EXPECT_EQ(result.output + std::to_string(result.status), "0") << result.pid;
  }
  EXPECT_EQ(box.read("etc/inittab"), "S1:2345:respawn:/sbin/getty ttyS1\nS2:2345:respawn:/sbin/getty ttyS2\n");
  EXPECT_EQ(box.list("etc"), (std::vector<std::string>{"inittab", "inittab.sav", "telinit", "telinit.sleep"}));
}

}  // namespace
}  // namespace ttyenable::testing
