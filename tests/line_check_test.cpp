// The line check's decisions and messages, on the real binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

struct check_case {
  const char* what;
  std::string table;        // empty: no /etc/inittab at all
  std::string who;          // lines that `who` prints, or a script in its place
  bool device = true;       // /dev/ttyS1 exists
  std::string output;       // what the run prints
  std::string dialout;      // the contents of /var/lock/LCK..ttyS1, if any
  std::string port = "";    // its port type in sysfs, if any
  bool add = false;         // ttyenable -a
  bool member = false;      // the lock is a user's of the device's group, not root's
};

// Every case refuses, so the table must stay as it was and no copy be made.
TEST(line_check, refusals_explain_themselves_and_leave_the_table) {
  const std::string off = "S1:2345:off:/sbin/getty -L ttyS1 9600 vt100\n";
  const std::string not_modified = "/etc/inittab not modified\r\n";
  const std::string in_use = "ttyS1 is in use for callout by process " + std::to_string(::getpid()) + "\r\n";
  const check_case cases[] = {
      {"no table", "", "", true, "Can't open /etc/inittab\r\n", ""},
      {"already respawns", "S1:2345:respawn:/sbin/getty -L ttyS1 9600\n", "", true,
       "ttyS1 is currently set for callin\r\n" + not_modified, ""},
      {"logged in, name then space", off, "root     ttyS1        2026-12-08 10:00", true,
       "ttyS1 is logged in\r\n" + not_modified, ""},
      {"logged in on a later who line", off, "alice pts/0 x\nbob ttyS1\n", true,
       "ttyS1 is logged in\r\n" + not_modified, ""},
      {"no entry, no device", "S0:2345:off:/sbin/getty ttyS0\n", "", false,
       "/dev/ttyS1: no such device\r\n", ""},
      {"no entry, device present", "S0:2345:off:/sbin/getty ttyS0\n", "", true,
       "No entry in /etc/inittab for ttyS1\r\n", ""},
      {"only the longer name ttyS10", "SA:2345:off:/sbin/getty ttyS10\n", "", true,
       "No entry in /etc/inittab for ttyS1\r\n", ""},
      {"an active entry beats comments first", "#S1:2345:off:/sbin/getty ttyS1\n# ttyS1 was off:x:off: once\nS1:2345:respawn:/sbin/getty ttyS1\n", "", true,
       "ttyS1 is currently set for callin\r\n" + not_modified, ""},
      {"respawn across 255 bytes", "S1:2345" + std::string(243, 'x') + ":respawn:/sbin/getty ttyS1\n", "", true,
       "ttyS1 is currently set for callin\r\n" + not_modified, ""},
      {"a live dialer's text lock", off, "", true, in_use + not_modified, pid_text(::getpid())},
      {"a live dialer's binary lock", off, "", true, in_use + not_modified, pid_bytes(::getpid())},
      {"a live dialer of the device's group", off, "", true, in_use + not_modified, pid_text(::getpid()), "", false, true},
      {"an entry but no device node", off, "", false, "/dev/ttyS1: no such device\r\n" + not_modified, ""},
      {"a port that sysfs says is missing", off, "", true, "ttyS1 has no hardware behind it\r\n" + not_modified, "", "0"},
      {"the device of a sysinit line", "ms::sysinit:/bin/stty -F /dev/ttyS1 9600\n", "", true,
       "No entry in /etc/inittab for ttyS1\r\n", ""},
      {"documentation", "#         ttyS1::askfirst:/bin/sh\n", "", true, "No entry in /etc/inittab for ttyS1\r\n", ""},
      {"commented out twice", "##S1:2345:respawn:/sbin/getty ttyS1\n", "", true, "No entry in /etc/inittab for ttyS1\r\n", ""},
      {"-a, a live dialer", "S0:2345:off:/sbin/getty ttyS0\n", "", true, in_use + not_modified, pid_text(::getpid()), "4", true},
      {"-a, no port that the kernel shows, as for tty0", "S0:2345:off:/sbin/getty ttyS0\n", "", true,
       "ttyS1 has no port in /sys/class/tty\r\n" + not_modified, "", "", true},
      {"-a, no device node", "S0:2345:off:/sbin/getty ttyS0\n", "", false, "/dev/ttyS1: no such device\r\n" + not_modified, "", "", true},
      {"a who that kills itself", off, "#!/bin/sh\nkill -9 $$\n", true, "who failed\r\n" + not_modified, ""},
  };
  for (const auto& c : cases) {
    sandbox box;
    if (!c.table.empty()) box.with_table(c.table);
    if (c.device) box.with_tty("ttyS1", 4, 65);
    if (!c.who.empty()) c.who.rfind("#!", 0) == 0 ? box.with_file("who", c.who, 0755) : box.with_login(c.who);
    if (!c.dialout.empty()) box.with_dialout_lock("ttyS1", c.dialout);
    if (!c.port.empty()) box.with_port("ttyS1", c.port);
    if (c.member) {
      box.with_file("etc/passwd", "uucp:x:10:10::/:/bin/sh\n").with_file("etc/group", "dialout:x:20:uucp\n");
      EXPECT_EQ(::chown((box.root() + "/dev/ttyS1").c_str(), 0, 20) + ::chown((box.root() + "/run/lock/LCK..ttyS1").c_str(), 10, 10), 0);
    }
    const auto result = box.run(c.add ? std::vector<std::string>{"-a", "ttyS1"} : std::vector<std::string>{"ttyS1"});
    EXPECT_EQ(result.output, c.output) << c.what;
    // An unreadable table or a failed `who` is no refusal: the check could not be made.
    EXPECT_EQ(result.status, c.table.empty() || c.output.rfind("who failed", 0) == 0 ? 1 : 0) << c.what;
    EXPECT_EQ(box.read("etc/inittab").value_or(""), c.table) << c.what;
    EXPECT_FALSE(box.exists("etc/inittab.sav")) << c.what;
    EXPECT_FALSE(box.exists("etc/LCK..inittab")) << c.what;
    EXPECT_TRUE(calls(box).empty()) << c.what;
  }
}

TEST(line_check, passes_when_only_other_lines_are_in_use) {
  const pid_t dead = dead_pid();
  const std::string passing[][5] = {
      // table, who, dial-out lock, port type ("0": forced with -f), the lock's owner
      {"S1:2345:off:/sbin/getty -L ttyS1 9600\n", "", "", "4"},
      {"S1:2345:off:/sbin/getty -L ttyS1 9600\n", "carol ttyS10 2026-12-08\nroot tty1\ndave pts/3 10:00 (ttyS1)\n"},
      {"S1:2345:off:/sbin/getty ttyS1\nSA:2345:respawn:/sbin/getty ttyS10\n", "", "", "0"},
      // A 400-byte line that names the line past byte 255.
      {"S1:2345:off:/sbin/getty -L" + std::string(360, ' ') + "ttyS1 9600\n", ""},
      // Dial-out locks whose owner is gone, or that name nobody.
      {"S1:2345:off:/sbin/getty ttyS1\n", "", pid_text(dead)},
      {"S1:2345:off:/sbin/getty ttyS1\n", "", pid_bytes(dead)},
      {"S1:2345:off:/sbin/getty ttyS1\n", "", "uucp 1234\n"},
      {"S1:2345:off:/sbin/getty ttyS1\n", "", "9999999999\n"},  // beyond any pid
      // A live pid in a lock whose owner may not open the device.
      {"S1:2345:off:/sbin/getty ttyS1\n", "", pid_text(::getpid()), "", "65534"},
  };
  for (const auto& [table, who, dialout, port, owner] : passing) {
    sandbox box;
    box.with_table(table).with_tty("ttyS1", 4, 65);
    if (!who.empty()) box.with_login(who);
    if (!dialout.empty()) box.with_dialout_lock("ttyS1", dialout);
    EXPECT_TRUE(owner.empty() || ::chown((box.root() + "/run/lock/LCK..ttyS1").c_str(), std::stoi(owner), 0) == 0);
    if (!port.empty()) box.with_port("ttyS1", port);
    const auto result = box.run({port == "0" ? "-vf" : "-v", "ttyS1"});
    EXPECT_TRUE(shows_edit_of(result.output, 1)) << table << result.output;
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace ttyenable::testing
