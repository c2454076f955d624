// ttylines: every line named in the table, with its device, login and
// dial-out lock, on the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

constexpr char table[] =
    "# Serial lines; S1:23:respawn:/sbin/getty ttyS1 is an old entry\n"
    "id:2:initdefault:\n"
    "si::sysinit:/etc/init.d/rcS\n"
    "ms::sysinit:/bin/stty -F /dev/ttyS1 9600\n"
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
       "LINE     ID   ACTION   DEVICE  LOGIN  CALLOUT  GETTY  HW\r\n"
       "tty1     1    respawn  4,1     -      -        -      -\r\n"
       "ttyS1    S1   respawn  4,65    alice  -        -      yes\r\n"
       "ttyS1    S1b  off      4,65    alice  -        -      yes\r\n"
       "ttyUSB0  M    off      188,0   -      " + dialer + std::string(8 - dialer.size(), ' ') + " -      no\r\n"
       "ttyUSB1  M    off      -       -      -        -      no\r\n",
       0},
      {{"-a", "/dev/ttyUSB1", "tty1", "ttyACM0"}, true, 0644,
       "LINE     ID  ACTION   DEVICE  LOGIN  CALLOUT  GETTY  HW\r\n"
       "tty1     1   respawn  4,1     -      -        -      -\r\n"
       "ttyUSB1  M   off      -       -      -        -      no\r\n"
       "ttyACM0  -   -        166,0   -      -        -      -\r\n",
       0},
      {{"tty1", "tty;1"}, false, 0644, "Arguments must be of form ttyNN\r\n", 1},
      // Set-user-id, it reads only what its caller may.
      {{}, true, 0600, "Can't open /etc/inittab\r\n", 1},
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_file("etc/inittab", table, c.table_mode).with_tty("tty1", 4, 1).with_tty("ttyS1", 4, 65);
    box.with_tty("ttyUSB0", 188, 0).with_login("alice    ttyS1        2026-12-08 10:00 (tty1.example.net)");
    box.with_tty("ttyACM0", 166, 0).with_port("ttyACM0", "").with_port("ttyS1", "4").with_port("ttyUSB0", "0");
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

// What python3 makes of `json`: the lines, and which are commented out.
std::string as_python_reads(const std::string& json) {
  const std::string script = "python3 -c 'import json, sys; d = json.load(sys.stdin); "
                             "print(ascii([(r[\"line\"], r[\"id\"], r[\"commented\"]) for r in d[\"lines\"]]))' > /tmp/parsed." + std::to_string(::getpid());
  std::FILE* python = ::popen(script.c_str(), "w");
  std::fwrite(json.data(), 1, json.size(), python);
  ::pclose(python);
  const std::string parsed = "/tmp/parsed." + std::to_string(::getpid());
  const std::string text = sandbox::read_host(parsed);
  std::remove(parsed.c_str());
  return text;
}

// JSON for programs: valid whatever bytes the table holds, on the stock
// Debian table too.
TEST(line_table, json_escapes_every_byte_and_parses) {
  run_options options;
  options.program = "ttylines";
  sandbox box;
  box.with_table("T\"\\\x01\xff:23:respawn:/sbin/getty ttyS0\n# #x\n#T1:23:off:/sbin/getty ttyS1\n");
  box.with_tty("ttyS0", 4, 64).with_login("alice ttyS1").with_tty("ttyS2", 4, 66).with_port("ttyS2", "0");
  box.with_port("ttyS0", "4");
  const auto result = box.run({"-xaJ"}, options);
  EXPECT_EQ(result.output,
            "Unknown option ignored: x\r\n{\"lines\": [{\"line\": \"ttyS0\", \"id\": \"T\\u0022\\u005c\\u0001\\u00ff\", "
            "\"action\": \"respawn\", \"commented\": false, \"device\": \"4,64\", \"login\": null, \"callout\": null, \"getty\": null, "
            "\"hardware\": true, \"logins\": true}, {\"line\": \"ttyS1\", \"id\": \"T1\", \"action\": \"off\", \"commented\": true, "
            "\"device\": null, \"login\": \"alice\", \"callout\": null, \"getty\": null, \"hardware\": false, \"logins\": false}, {\"line\": \"ttyS2\", "
            "\"id\": null, \"action\": null, \"commented\": false, \"device\": \"4,66\", \"login\": null, \"callout\": null, \"getty\": null, "
            "\"hardware\": false, \"logins\": null}], \"init\": \"sysv\"}\n");
  options.before_exec = [] { ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); };  // a listing lost is a failure
  EXPECT_EQ(box.run({"-J"}, options).status, 1);
  options.before_exec = nullptr;
  EXPECT_EQ(as_python_reads(result.output.substr(result.output.find('{'))),
            "[('ttyS0', 'T\"\\\\\\x01\\xff', False), ('ttyS1', 'T1', True), ('ttyS2', None, False)]\n");
  const std::string debian = std::string(PEERS_DIR) + "/sysvinit/usr/share/sysvinit/inittab";
  REQUIRE_PEER(debian, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
  box.with_table(sandbox::read_host(debian));
  EXPECT_EQ(as_python_reads(box.run({"-J", "ttyS0", "tty1"}, options).output), "[('tty1', '1', False), ('ttyS0', 'T0', True)]\n");
}

// The bash completion, called as bash calls it, reading the tool's table.
TEST(completion, offers_the_lines_that_each_name_can_change) {
  sandbox box;
  box.with_table("1:2345:respawn:/sbin/getty tty1\n#T0:23:respawn:/sbin/getty -L ttyS0\nT1:23:off:/sbin/getty ttyS1\n");
  box.with_port("ttyUSB0", "");
  box.with_link("bin/ttylines", TTYENABLE_BINARY);
  run_options options;
  options.executable = "/bin/bash";
  options.environment = {"PATH=" + box.root() + "/bin:/usr/bin:/bin"};
  const std::string cases[][3] = {{"ttyenable", "", "ttyS0 ttyS1"},
                                  {"ttyenable -va", "", "ttyS0 ttyS1 ttyUSB0"},
                                  {"ttydisable", "/dev/", "/dev/tty1"},
                                  {"ttylines", "ttyS", "ttyS0 ttyS1"}};
  for (const auto& [program, word, offered] : cases) {
    const auto result = box.run({"-c", std::string("source ") + COMPLETION + "; COMP_WORDS=(" + program + " '" + word +
                                           "'); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _ttyenable ${COMP_WORDS[0]}; "
                                           "echo \"${COMPREPLY[*]}\""},
                                options);
    EXPECT_EQ(result.output, offered + "\n") << program << ": " << result.errors;
  }
}

}  // namespace
}  // namespace ttyenable::testing
