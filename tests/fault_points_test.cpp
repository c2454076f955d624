// Every fault point of a whole run: each call that can fail, made to fail
// by strace in every process of the run, and each call of the tool's own
// process as the moment it is killed; with the host's tools and BusyBox's.
// After each, the table is whole, the status and messages are true, and the
// next run proceeds at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

const std::string old_table = "id:2:initdefault:\n#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";
const std::string new_table = "id:2:initdefault:\nT0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";

// The calls that can fail, and the error each is made to fail with.
const std::map<std::string, std::string> errors = [] {
  std::map<std::string, std::string> by_call;
  for (const auto& [calls, error] : std::map<std::string, std::string>{
           {"open openat creat", "EACCES"}, {"write pwrite64 writev fsync fdatasync sync syncfs", "ENOSPC"},
           {"read pread64 readv rename renameat renameat2 link linkat unlink unlinkat chmod fchmod fchmodat", "EIO"},
           {"execve fork vfork clone clone3", "ENOMEM"}, {"wait4", "EINTR"}, {"flock", "ENOLCK"}, {"kill", "EPERM"}}) {
    std::istringstream names(calls);
    for (std::string name; names >> name;) by_call[name] = error;
  }
  return by_call;
}();

struct point {
  bool busybox;                     // BusyBox's sh, cp, sed, mv, chmod and sync
  std::vector<std::string> tracer;  // the injection
  std::string name;                 // the call, its number, the fault and the processes it reaches
};

run_options host(sandbox& box, bool busybox) {
  box.with_table(old_table).with_tty("ttyS0", 4, 64).with_file("etc/inittab.sav", "earlier\n");
  return busybox ? box.busybox_userland() : run_options{};
}

// Traces one run and adds a point for each call number that some process
// reaches: strace counts each kind of call of each process apart. Without
// `set`, the tool's own process alone, killed at each call.
void add_points(bool busybox, const std::string& set, std::vector<point>& points) {
  sandbox box;
  run_options options = host(box, busybox);
  options.tracer = {"-qq", "-o", box.root() + "/trace"};
  if (!set.empty()) options.tracer.insert(options.tracer.end(), {"-f", "-e", "trace=" + set});
  EXPECT_EQ(box.run({"ttyS0"}, options).status, 0);
  std::map<std::string, std::string> program;  // by pid, the last it executed
  std::map<std::string, std::map<std::string, int>> counts;  // by call and pid
  std::istringstream lines(box.read("trace").value_or(""));
  const std::regex call(R"re(^(\d+ +)?(\w+)\(("[^"]*/([^/"]*)")?)re");
  std::smatch found;
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_search(line, found, call)) continue;
    if (found[2] == "execve") program[found[1]] = found[4];
    ++counts[found[2]][found[1]];
  }
  for (const auto& [name, pids] : counts) {
    const std::string fault = set.empty() ? "signal=SIGKILL" : "error=" + errors.at(name);
    for (int k = 1;; ++k) {
      std::string reached;
      for (const auto& [pid, count] : pids) reached += count >= k ? " " + program[pid] : "";
      if (reached.empty()) break;
      const std::string inject = "inject=" + name + ":" + fault + ":when=" + std::to_string(k);
      points.push_back({busybox, {"-qq", "-o", "/dev/null", "-e", inject}, inject + " in" + reached});
      if (!set.empty()) points.back().tracer.insert(points.back().tracer.end(), {"-f", "-e", "trace=" + name});
    }
  }
}

// What does not hold after the run at `p`, or "".
std::string check(const point& p) {
  sandbox box;
  run_options options = host(box, p.busybox);
  const run_options plain = options;
  options.tracer = p.tracer;
  const auto run = box.run({"ttyS0"}, options);
  const bool killed = run.status == 128 + SIGKILL;
  const auto table = box.read("etc/inittab");
  const auto saved = box.read("etc/inittab.sav");
  const bool told = !calls(box).empty();
  struct stat status {};
  ::stat((box.root() + "/etc/inittab").c_str(), &status);
  std::string wrong;
  if ((table != old_table && table != new_table) || (status.st_mode & 07777) != 0644) wrong += " table;";
  if (saved && *saved != "earlier\n" && *saved != old_table) wrong += " .sav;";
  // 127: the dynamic loader could not load the C library, so nothing ran.
  const bool never_started = run.status == 127 && run.output.empty() && table == old_table && !told;
  const std::regex messages(R"(((Can't (open /etc/inittab|fork|execute /bin/sh|set user id|create /etc/LCK..inittab))"
                            R"(|/etc/inittab not modified|/etc/telinit Q failed)\r\n)*)");
  if (!killed && !never_started &&
      !(run.status == 0 ? table == new_table && told && run.output.empty()
                        : run.status == 1 && std::regex_match(run.output, messages))) {
    wrong += " status " + std::to_string(run.status) + " with \"" + run.output + "\";";
  }
  if (run.output.find("not modified") != std::string::npos && table != old_table) wrong += " not modified;";
  for (const char* left : {"etc/LCK..inittab", "etc/inittab.tmp", "etc/inittab.sav.tmp"}) {
    if (!killed && box.exists(left)) wrong += std::string(" left ") + left + ";";
  }
  const auto start = std::chrono::steady_clock::now();
  const auto next = box.run({"ttyS0"}, plain);
  if (next.status != 0 || box.read("etc/inittab") != new_table ||
      (!next.output.empty() && next.output != "ttyS0 is currently set for callin\r\n/etc/inittab not modified\r\n") ||
      std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) {
    wrong += " next run: " + std::to_string(next.status) + " \"" + next.output + "\";";
  }
  return wrong;
}

TEST(fault_points, every_failed_call_and_every_kill_leaves_the_table_whole) {
  std::string set;
  for (const auto& [name, error] : errors) set += (set.empty() ? "" : ",") + name;
  std::vector<point> points;
  for (const bool busybox : {false, true}) {
    add_points(busybox, set, points);
    add_points(busybox, "", points);
  }
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::vector<std::string> failed;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < points.size();) {
        const std::string wrong = check(points[i]);
        const std::lock_guard<std::mutex> guard(lock);
        if (!wrong.empty()) failed.push_back(points[i].name + (points[i].busybox ? " (BusyBox):" : ":") + wrong);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::printf("fault points: %zu tried, %zu held\n", points.size(), points.size() - failed.size());
  for (const auto& f : failed) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace ttyenable::testing
