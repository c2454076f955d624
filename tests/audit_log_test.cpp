// The audit record, as a real syslog daemon (BusyBox's syslogd) receives
// it: one for each run that reaches the line check (a run that gives up on
// the lock: see inittab_lock_test), none for show-only runs or ttylines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

TEST(audit_log, one_record_for_each_run_that_could_change_the_table) {
  REQUIRE_PEER("/bin/busybox", "apt-get install busybox-static");
  struct audit_case {
    std::string program;
    std::vector<std::string> args;
    bool set_user_id;  // as nobody; otherwise as root, whose name holds a BEL
    std::string record;  // what follows the host name; empty: no record
  };
  const audit_case cases[] = {
      {"ttyenable", {"ttyS1"}, true, "authpriv.notice ttyenable[PID]: nobody on -: ttyS1 set for callin"},
      {"ttydisable", {"/dev/ttyS1"}, false,
       "authpriv.info ttydisable[PID]: ro\\007ot on -: ttyS1 not modified: already set for callout"},
      {"ttyenable", {"-a", "ttyS2"}, false, "authpriv.notice ttyenable[PID]: ro\\007ot on -: ttyS2 added, set for callin"},
      {"ttyenable", {"-f", "-a", "ttyS4"}, true, "authpriv.info ttyenable[PID]: nobody on -: ttyS4 not modified: no port"},
      {"ttyenable", {"ttyS3"}, false, "authpriv.notice ttyenable[PID]: ro\\007ot on -: ttyS3 set for callin, new id S3"},
      {"ttyenable", {"-v", "ttyS1"}, true, ""},
      {"ttylines", {}, true, ""},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_table("S1:2345:off:/sbin/getty -L ttyS1 9600\n#S1:2345:off:/sbin/getty -L ttyS3 9600\n").with_tty("ttyS1", 4, 65);
    box.with_tty("ttyS2", 4, 66).with_port("ttyS2", "").with_tty("ttyS3", 4, 67).with_syslogd();
    box.with_file("etc/passwd", "ro\aot:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534::/nonexistent:/bin/false\n");
    box.with_file("etc/nsswitch.conf", "passwd: files\ngroup: files\n");
    run_options options;
    options.program = c.program;
    options.set_user_id = c.set_user_id;
    const auto result = box.run(c.args, options);
    const auto records = box.syslog_records();
    if (c.record.empty()) {
      EXPECT_TRUE(records.empty()) << c.program << ": " << records.size();
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
