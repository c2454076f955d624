// End to end against the real programs the tool works with: SysV init,
// the host's `who` reading utmp, and a BusyBox userland.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

const std::string sysvinit = std::string(PEERS_DIR) + "/sysvinit/sbin/init";
const std::string busybox = "/bin/busybox";

// Says why a peer is missing; under CI that is a failure, not a skip.
#define REQUIRE_PEER(path, how)                                                                 \
  do {                                                                                          \
    if (!sandbox::exists_on_host(path)) {                                                       \
      if (std::getenv("CI") != nullptr) FAIL() << (path) << " is missing: " << (how);           \
      GTEST_SKIP() << (path) << " is missing: " << (how);                                       \
    }                                                                                           \
  } while (false)

TEST(real_init, starts_the_enabled_line_and_no_other) {
  REQUIRE_PEER(sysvinit, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
  for (const bool with_telinit : {true, false}) {
    sandbox box;
    // Stands in for a getty: leaves a marker, then waits like one.
    box.with_file("line.sh", "#!/bin/sh\n: > " + box.root() + "/markers/$1\nexec sleep 600\n", 0755);
    const std::string line = box.root() + "/line.sh";
    const std::string table = "id:2:initdefault:\nS1:2345:off:" + line + " ttyS1\nS2:2345:off:" + line + " ttyS2\n";
    box.with_table(table).with_tty("ttyS1", 4, 65).with_tty("ttyS2", 4, 66).without_telinit();
    if (with_telinit) box.with_link("etc/telinit", "/usr/sbin/init");

    run_options options;
    options.inside = box.boot_init(sysvinit);
    const auto result = box.run({"ttyS1"}, options);
    EXPECT_EQ(result.output, "") << with_telinit;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(box.wait_for("markers/ttyS1", 5)) << "telinit: " << with_telinit;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(box.exists("markers/ttyS2"));
    EXPECT_EQ(box.read("etc/inittab"), "id:2:initdefault:\nS1:2345:respawn:" + line + " ttyS1\nS2:2345:off:" + line + " ttyS2\n");
    EXPECT_EQ(box.read("etc/inittab.sav"), table);
  }
}

// The pids of init's children that run `program`.
std::vector<std::string> children_running(pid_t init, const std::string& program) {
  std::vector<std::string> found;
  std::istringstream children(sandbox::read_host("/proc/" + std::to_string(init) + "/task/" + std::to_string(init) + "/children"));
  for (std::string pid; children >> pid;) {
    if (sandbox::read_host("/proc/" + pid + "/comm") == program + "\n") found.push_back(pid);
  }
  return found;
}

// Reads the master side of a pseudo-terminal until `text` has come, at most
// `seconds`.
bool line_shows(int master, const std::string& text, int seconds) {
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (seen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{master, POLLIN, 0};
    char buffer[256];
    ssize_t n = 0;
    if (::poll(&ready, 1, 100) == 1 && (n = ::read(master, buffer, sizeof buffer)) > 0) {
      seen.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no getty on the line yet
    }
  }
  return true;
}

// util-linux agetty on a pseudo-terminal that stands in for the serial line.
TEST(real_init, a_real_getty_comes_with_ttyenable_and_goes_with_ttydisable) {
  REQUIRE_PEER(sysvinit, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
  REQUIRE_PEER("/sbin/agetty", "apt-get install util-linux");
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  sandbox box;
  const std::string table = "id:2:initdefault:\nS1:2345:off:/sbin/agetty -L ttyS1 9600 vt100\n";
  box.with_table(table).with_tty("ttyS1", 4, 65).without_telinit();
  box.with_file("sbin/agetty", sandbox::read_host("/sbin/agetty"), 0755);
  run_options options;
  const pid_t init = box.boot_init(sysvinit, "mount --bind " + std::string(::ptsname(master)) + " " + box.root() + "/dev/ttyS1");
  options.inside = init;

  EXPECT_EQ(box.run({"ttyS1"}, options).status, 0);
  EXPECT_TRUE(line_shows(master, "login: ", 10)) << "no login prompt on the line";
  EXPECT_EQ(children_running(init, "agetty").size(), 1u);

  options.program = "ttydisable";
  const auto result = box.run({"ttyS1"}, options);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(box.read("etc/inittab"), table);
  for (int tries = 0; tries < 150 && !children_running(init, "agetty").empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(children_running(init, "agetty").empty()) << "init left the getty running";
  ::close(master);
}

TEST(real_who, a_login_recorded_in_utmp_refuses_the_line) {
  struct login_case {
    const char* line;
    std::string output;
  };
  const login_case cases[] = {
      {"ttyS1", "ttyS1 is logged in\r\n/etc/inittab not modified\r\n"},
      {"ttyS10", shown_command(1)},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_table("S1:2345:off:/sbin/getty ttyS1\nSA:2345:respawn:/sbin/getty ttyS10\n").with_tty("ttyS1", 4, 65);
    box.with_utmp_login(c.line, ::getpid());  // a process that is alive
    run_options options;
    options.real_who = true;
    const auto result = box.run({"-v", "ttyS1"}, options);
    EXPECT_EQ(result.output, c.output) << c.line;
    EXPECT_EQ(result.status, 0);
  }
}

TEST(busybox_userland, edits_the_table_as_the_host_tools_do) {
  REQUIRE_PEER(busybox, "apt-get install busybox-static");
  const std::string table =
      "# tty1 and tty10 are consoles; off for now\n"
      "1:2345:off:/sbin/getty 38400 tty1\n"
      "10:2345:off:/sbin/getty 38400 tty10\n"
      "# the modem on ttyS1\n"
      "S1:23:off:/sbin/getty -L ttyS1 9600 vt100\n";
  const std::string expected =
      "# tty1 and tty10 are consoles; off for now\n"  // a comment is never the entry
      "1:2345:respawn:/sbin/getty 38400 tty1\n"
      "10:2345:off:/sbin/getty 38400 tty10\n"
      "# the modem on ttyS1\n"
      "S1:23:off:/sbin/getty -L ttyS1 9600 vt100\n";
  std::string tables[2];
  for (const bool with_busybox : {false, true}) {
    sandbox box;
    box.with_table(table).with_tty("tty1", 4, 1);
    run_options options;
    if (with_busybox) {
      for (const char* tool : {"cp", "sed", "mv", "chmod", "sync"}) box.with_link(std::string("busybox/") + tool, busybox);
      options.busybox = true;
      options.environment = {"PATH=" + box.root() + "/busybox:/usr/sbin:/usr/bin:/sbin:/bin"};
    }
    const auto result = box.run({"tty1"}, options);
    EXPECT_EQ(result.status, 0);
    tables[with_busybox] = box.read("etc/inittab").value_or("");
    const auto records = calls(box);
    ASSERT_EQ(records.size(), 1u);
    const auto environment = field(records[0], "env");
    // BusyBox's sh, unlike dash, exports SHLVL: proof of which shell ran.
    EXPECT_EQ(std::find(environment.begin(), environment.end(), "SHLVL=1") != environment.end(), with_busybox);
  }
  EXPECT_EQ(tables[0], expected);
  EXPECT_EQ(tables[1], expected);
}

}  // namespace
}  // namespace ttyenable::testing
