// Options and the choice of line, on the real binary in the sandbox.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

constexpr char table[] =
    "id:2:initdefault:\n"
    "1:2345:respawn:/sbin/getty 38400 tty1\n"
    "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n"
    "S1:2345:off:/sbin/getty -L ttyS1 9600 vt100\n";

constexpr char bad_form[] = "Arguments must be of form ttyNN\r\n";

sandbox& serial_host(sandbox& box) {
  return box.with_table(table).with_tty("tty1", 4, 1).with_tty("ttyS0", 4, 64).with_tty("ttyS1", 4, 65);
}

struct option_case {
  std::vector<std::string> args;
  std::string unknown;  // the messages before the command
  long line;            // the table line that the shown command edits
  std::string program = "ttyenable";
};

TEST(command_line, options_come_first_and_name_the_line) {
  const std::string unknown_x = "Unknown option ignored: x\r\n";
  const option_case cases[] = {
      {{"-v", "ttyS1"}, "", 4},
      {{"-vx", "ttyS1"}, unknown_x, 4},
      {{"-x", "-v", "ttyS1"}, unknown_x, 4},
      {{"-m", "-", "-v", "/dev/ttyS1"}, "", 4},
      {{"-v-", "ttyS1"}, "Unknown option ignored: -\r\n", 4},
      {{"-v", "ttyS1", "ttyS0", "-x"}, "", 4},  // later arguments are not read
      {{"-vf", "/dev/ttyS0"}, "", 3},
      {{"-vaw", "tty1"}, "Unknown option ignored: a\r\n", 2, "ttydisable"},  // a is ttyenable's alone
  };
  for (const auto& c : cases) {
    sandbox box;
    const auto before = serial_host(box).list("etc");
    run_options options;
    options.program = c.program;
    const auto result = box.run(c.args, options);
    EXPECT_EQ(result.output.substr(0, c.unknown.size()), c.unknown) << c.args[0];
    EXPECT_TRUE(shows_edit_of(result.output.substr(c.unknown.size()), c.line)) << result.output;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(box.list("etc"), before);  // show-only: no lock, no copy left
    EXPECT_EQ(box.read("etc/inittab"), table);
    EXPECT_TRUE(calls(box).empty());
  }
}

TEST(command_line, an_option_after_the_name_is_not_read) {
  sandbox box;
  const auto result = serial_host(box).run({"ttyS1", "-v"});
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(box.read("etc/inittab"), table);  // really enabled, not shown
}

TEST(command_line, names_outside_the_rule_are_refused_before_any_lock) {
  // The rule itself is tabled with is_line_name; these show where it acts.
  const std::string refused[] = {"tty';: > /run/x;'", "tty" + std::string(24, '1')};
  for (const auto& name : refused) {
    sandbox box;
    serial_host(box);
    const auto before = box.list("etc");
    run_options options;  // commands the tool must not run, first on PATH
    options.environment = {"PATH=" + box.root() + "/fakebin:/usr/sbin:/usr/bin:/sbin:/bin"};
    const auto result = box.run({name}, options);
    EXPECT_EQ(result.output, bad_form) << name;
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(box.list("etc"), before) << name;
    EXPECT_EQ(box.read("etc/inittab"), table);
    EXPECT_EQ(box.list("markers"), std::vector<std::string>{});
    EXPECT_TRUE(calls(box).empty());  // nothing ran
  }
}

TEST(command_line, no_name_takes_the_first_tty_in_dev_with_the_device_of_term) {
  sandbox box;
  serial_host(box).with_term("ttyS1");
  // Same device under another name: directory order, as `ls -U` lists it,
  // decides.
  box.with_tty("ttyAlias", 4, 65);
  box.with_table(std::string(table) + "SA:2345:off:/sbin/getty ttyAlias\n");
  const auto first_of = [&](const std::string& names) {
    std::FILE* ls = ::popen(("ls -U " + box.root() + "/dev | grep -m1 -x " + names).c_str(), "r");
    char first[16] = "";
    if (std::fgets(first, sizeof first, ls) == nullptr) first[0] = '\0';
    ::pclose(ls);
    return std::string(first);
  };
  // Names no line may have, with the same device, until one comes first:
  // the scan must pass over it.
  for (int i = 0; i < 1000 && first_of("-e ttyS1 -e ttyAlias -e 'tty[.].*'").rfind("tty.", 0) != 0; i += 50) {
    for (int j = i; j < i + 50; ++j) box.with_tty("tty." + std::to_string(j), 4, 65);
  }
  ASSERT_EQ(first_of("-e ttyS1 -e ttyAlias -e 'tty[.].*'").rfind("tty.", 0), 0u);
  const std::string first = first_of("-e ttyS1 -e ttyAlias");
  const auto result = box.run({"-v"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(shows_edit_of(result.output, first == "ttyS1\n" ? 4 : 5)) << result.output;
}

TEST(command_line, term_selects_by_the_full_device_number) {
  // Same low 16 bits (major 4, minor 65), different full numbers.
  sandbox box;
  box.with_table(table).with_tty("ttyS0", 4, 65 + (1 << 16)).with_tty("ttyS1", 4, 65).with_term("ttyS1");
  EXPECT_TRUE(shows_edit_of(box.run({"-v"}).output, 4));
}

TEST(command_line, a_term_that_leads_nowhere_ends_with_status_1) {
  struct term_case {
    const char* term;  // nullptr: no /dev/term at all
    std::string output;
  };
  const term_case cases[] = {
      {nullptr, "Can't find /dev/term\r\n"},
      {"missing", "Can't find /dev/term\r\n"},
      {"null", "Can't find /dev/ttyNN link to /dev/term\r\n"},
      // The only node with its device has a name no line may have.
      {"tty.bad", "Can't find /dev/ttyNN link to /dev/term\r\n"},
  };
  for (const auto& c : cases) {
    sandbox box;
    serial_host(box).with_tty("tty.bad", 5, 9);
    if (c.term != nullptr) box.with_term(c.term);
    const auto result = box.run({"-v"});
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(box.exists("etc/LCK..inittab"));
  }
}

}  // namespace
}  // namespace ttyenable::testing
