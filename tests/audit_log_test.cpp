// The audit record, as a real syslog daemon (BusyBox's syslogd) receives
// it: one for each run that reaches the line check or gives up on the
// lock, none for show-only runs or ttylines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

TEST(audit_log, one_record_for_each_run_that_could_change_the_table) {
  if (!sandbox::exists_on_host("/bin/busybox")) {
    if (std::getenv("CI") != nullptr) FAIL() << "/bin/busybox is missing";
    GTEST_SKIP() << "/bin/busybox is missing: apt-get install busybox-static";
  }
  struct audit_case {
    std::string program;
    std::vector<std::string> args;
    bool set_user_id;  // as nobody; otherwise as root, whose name holds a BEL
    bool lock_held;
    std::string record;  // what follows the host name; empty: no record
  };
  const audit_case cases[] = {
      {"ttyenable", {"ttyS1"}, true, false, "authpriv.notice ttyenable[PID]: nobody on -: ttyS1 set for callin"},
      {"ttydisable", {"/dev/ttyS1"}, false, false,
       "authpriv.info ttydisable[PID]: ro\\007ot on -: ttyS1 not modified: already set for callout"},
      {"ttyenable", {"ttyS1"}, true, true, "authpriv.warn ttyenable[PID]: nobody on -: ttyS1 not modified: lock held"},
      {"ttyenable", {"-v", "ttyS1"}, true, false, ""},
      {"ttylines", {}, true, false, ""},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_table("S1:2345:off:/sbin/getty -L ttyS1 9600\n").with_tty("ttyS1", 4, 65).with_syslogd();
    box.with_file("etc/passwd", "ro\aot:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534::/nonexistent:/bin/false\n");
    box.with_file("etc/nsswitch.conf", "passwd: files\ngroup: files\n");
    if (c.lock_held) box.with_file("etc/LCK..inittab", pid_bytes(::getpid()), 0444);
    run_options options;
    options.program = c.program;
    options.set_user_id = c.set_user_id;
    const auto result = box.run(c.args, options);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // syslogd writes what it has
    const auto records = box.syslog_records();
    if (c.record.empty()) {
      EXPECT_TRUE(records.empty()) << c.program << " " << c.args[0] << ": " << records.size();
      continue;
    }
    ASSERT_EQ(records.size(), 1u) << c.record;
    std::string expected = c.record;
    expected.replace(expected.find("PID"), 3, std::to_string(result.pid));
    EXPECT_NE(records[0].find(" " + expected), std::string::npos) << records[0];
  }
}

}  // namespace
}  // namespace ttyenable::testing
