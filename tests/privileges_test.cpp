// The tool installed set-user-id root and run by an ordinary user who
// controls everything it inherits.
#include <gtest/gtest.h>

#include <algorithm>
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

sandbox& host(sandbox& box) {
  box.with_table(table).with_tty("ttyS1", 4, 65);
  box.with_file("env.sh", ": > " + box.root() + "/markers/env\n");
  box.with_file("bin/preload_marker.so", box.read_host(PRELOAD_MARKER), 0755);
  return box;
}

run_options hostile_caller(const sandbox& box) {
  const std::string marker_script = box.root() + "/env.sh";
  run_options options;
  options.set_user_id = true;
  options.stray_descriptor = true;
  options.file_size = rlimit{512, RLIM_INFINITY};  // ulimit -S -f 1
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

// The line was enabled, and telinit ran once, with descriptors 0 to 2
// only, while the lock held this run's pid. Returns telinit's record.
std::string expect_enabled_through_clean_descriptors(const sandbox& box, const run_result& result) {
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(box.read("etc/inittab"), enabled);
  const auto records = calls(box);
  EXPECT_EQ(records.size(), 1u);
  const std::string record = records.empty() ? "" : records[0];
  EXPECT_EQ(field(record, "fds"), std::vector<std::string>{"0 1 2"});
  EXPECT_EQ(field(record, "lock"), std::vector<std::string>{std::to_string(result.pid)});
  return record;
}

void expect_clean_privileged_run(const sandbox& box, const run_result& result) {
  const std::string record = expect_enabled_through_clean_descriptors(box, result);
  EXPECT_EQ(box.list("markers"), std::vector<std::string>{});
  EXPECT_EQ(box.read("etc/inittab.sav"), table);
  EXPECT_EQ(box.read("stray"), "");
  EXPECT_FALSE(box.exists("etc/LCK..inittab"));
  EXPECT_EQ(field(record, "env"),
            (std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", "PWD=/"}));
}

TEST(set_user_id, nothing_of_the_caller_reaches_the_commands) {
  sandbox box;
  host(box);
  const auto result = box.run({"ttyS1"}, hostile_caller(box));
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(result.status, 0);
  expect_clean_privileged_run(box, result);
}

TEST(set_user_id, closed_standard_descriptors_do_not_catch_the_table_or_lock) {
  sandbox box;
  host(box);
  auto options = hostile_caller(box);
  options.close_standard = true;
  expect_clean_privileged_run(box, box.run({"ttyS1"}, options));
}

TEST(standard_descriptors, are_reopened_for_root_too) {
  sandbox box;
  host(box);
  run_options options;
  options.close_standard = true;
  expect_enabled_through_clean_descriptors(box, box.run({"ttyS1"}, options));
}

TEST(set_user_id, a_hard_file_size_limit_below_the_table_leaves_it_whole) {
  sandbox box;
  host(box);
  auto options = hostile_caller(box);
  options.file_size = rlimit{1024, 1024};
  const auto result = box.run({"ttyS1"}, options);
  EXPECT_EQ(result.output, "/etc/inittab not modified\r\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(box.read("etc/inittab"), table);
  EXPECT_EQ(box.list("markers"), std::vector<std::string>{});
}

TEST(set_user_id, root_running_it_directly_keeps_its_environment) {
  sandbox box;
  box.with_table(table).with_tty("ttyS1", 4, 65);
  run_options options;
  options.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "ADMIN_NOTE=kept"};
  EXPECT_EQ(box.run({"ttyS1"}, options).status, 0);
  const auto records = calls(box);
  ASSERT_EQ(records.size(), 1u);
  auto environment = field(records[0], "env");
  std::sort(environment.begin(), environment.end());
  EXPECT_EQ(environment, (std::vector<std::string>{"ADMIN_NOTE=kept", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "PWD=/"}));
}

}  // namespace
}  // namespace ttyenable::testing
