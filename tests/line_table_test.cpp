// ttylines: every line named in the table, with its device, login and
// dial-out lock, on the real binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

constexpr char table[] =
    "# Serial lines; S1:23:respawn:/sbin/getty ttyS1 is an old entry\n"
    "id:2:initdefault:\n"
    "si::sysinit:/etc/init.d/rcS\n"
    "1:2345:respawn:/sbin/getty 38400 tty1\n"
    "S1:23:respawn:/sbin/agetty -L ttyS1 9600 vt100\n"
    "S1b:45:off:/sbin/agetty -L /dev/ttyS1 9600 vt100\n"
    "M:2345:off:/usr/sbin/mgetty ttyUSB0 -- ttyUSB1 ttyUSB0\n";

TEST(line_table, shows_every_named_line_in_table_order) {
  const std::string dialer = std::to_string(::getpid());
  struct lines_case {
    std::vector<std::string> args;
    bool set_user_id;
    mode_t table_mode;
    std::string output;
    int status;
  };
  const lines_case cases[] = {
      {{}, false, 0644,
       "LINE     ID   ACTION   DEVICE  LOGIN  CALLOUT\r\n"
       "tty1     1    respawn  4,1     -      -\r\n"
       "ttyS1    S1   respawn  4,65    alice  -\r\n"
       "ttyS1    S1b  off      4,65    alice  -\r\n"
       "ttyUSB0  M    off      188,0   -      " + dialer + "\r\n"
       "ttyUSB1  M    off      -       -      -\r\n",
       0},
      {{"/dev/ttyUSB1", "tty1"}, true, 0644,
       "LINE     ID  ACTION   DEVICE  LOGIN  CALLOUT\r\n"
       "tty1     1   respawn  4,1     -      -\r\n"
       "ttyUSB1  M   off      -       -      -\r\n",
       0},
      {{"tty1", "tty;1"}, false, 0644, "Arguments must be of form ttyNN\r\n", 1},
      // Set-user-id, it reads only what its caller may.
      {{}, true, 0600, "Can't open /etc/inittab\r\n", 1},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_file("etc/inittab", table, c.table_mode).with_tty("tty1", 4, 1).with_tty("ttyS1", 4, 65);
    box.with_tty("ttyUSB0", 188, 0).with_login("alice    ttyS1        2026-12-08 10:00");
    box.with_dialout_lock("ttyUSB0", pid_text(::getpid())).with_dialout_lock("ttyUSB1", pid_text(dead_pid()));
    const auto before = box.list("etc");
    run_options options;
    options.program = "ttylines";
    options.set_user_id = c.set_user_id;
    const auto result = box.run(c.args, options);
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(box.list("etc"), before);  // no lock, nothing changed
    EXPECT_EQ(box.read("etc/inittab"), table);
  }
}

}  // namespace
}  // namespace ttyenable::testing
