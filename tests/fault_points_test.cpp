// Every fault point of a whole run: each call that can fail, made to fail
// by strace in every process of the run, and each call of the tool's own
// process as the moment it is killed. After each, the table is whole, the
// status and the messages are true, and the next run proceeds at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

const std::string old_table = "id:2:initdefault:\n#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";
const std::string new_table = "id:2:initdefault:\nT0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";

// The calls that can fail, by the error each is made to fail with.
const std::map<std::string, std::string> errors = {
    {"open", "EACCES"}, {"openat", "EACCES"}, {"creat", "EACCES"}, {"write", "ENOSPC"}, {"pwrite64", "ENOSPC"},
    {"writev", "ENOSPC"}, {"fsync", "ENOSPC"}, {"fdatasync", "ENOSPC"}, {"sync", "ENOSPC"}, {"syncfs", "ENOSPC"},
    {"read", "EIO"}, {"pread64", "EIO"}, {"readv", "EIO"}, {"rename", "EIO"}, {"renameat", "EIO"},
    {"renameat2", "EIO"}, {"link", "EIO"}, {"linkat", "EIO"}, {"unlink", "EIO"}, {"unlinkat", "EIO"},
    {"chmod", "EIO"}, {"fchmod", "EIO"}, {"fchmodat", "EIO"}, {"execve", "ENOMEM"}, {"fork", "ENOMEM"},
    {"vfork", "ENOMEM"}, {"clone", "ENOMEM"}, {"clone3", "ENOMEM"}, {"wait4", "EINTR"}, {"flock", "ENOLCK"},
    {"kill", "EPERM"}};

struct point {
  bool busybox;  // BusyBox's sh, cp, sed, mv, chmod and sync, else the host's
  bool kill;  // the tool's process killed at the call; else the call fails in every process
  std::string call;
  std::string inject;
  std::string processes;  // those that make this call as often
};

// For each kind of call, the processes that make it, by program, with how
// often each does.
using call_counts = std::map<std::string, std::vector<std::pair<std::string, int>>>;

run_options host(sandbox& box, bool busybox) {
  box.with_table(old_table).with_tty("ttyS0", 4, 64).with_file("etc/inittab.sav", "earlier\n");
  return busybox ? box.busybox_userland() : run_options{};
}

call_counts counted(const std::string& trace) {
  std::map<std::string, std::string> program;  // by pid; the last it executed
  std::map<std::pair<std::string, std::string>, int> per_process;
  const std::regex call(R"(^(\d+ +)?(\w+)\((\"[^"]*/([^/"]*)\")?)");
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::smatch found;
    if (!std::regex_search(line, found, call)) continue;
    if (found[2] == "execve") program[found[1]] = found[4];
    ++per_process[{found[1], found[2]}];
  }
  call_counts counts;
  for (const auto& [key, count] : per_process) {
    counts[key.second].emplace_back(program.count(key.first) ? program[key.first] : "a fork", count);
  }
  return counts;
}

call_counts recorded(const std::vector<std::string>& tracer, bool busybox) {
  sandbox box;
  run_options options = host(box, busybox);
  options.tracer = tracer;
  options.tracer.insert(options.tracer.end(), {"-qq", "-o", box.root() + "/trace"});
  EXPECT_EQ(box.run({"ttyS0"}, options).status, 0);
  return counted(box.read("trace").value_or(""));
}

// One point for each call number that some process reaches: strace
// counts each kind of call of each process apart.
void add_points(const call_counts& counts, bool busybox, bool kill, std::vector<point>& points) {
  for (const auto& [call, processes] : counts) {
    for (int k = 1;; ++k) {
      std::string reaching;
      for (const auto& [program, count] : processes) reaching += count >= k ? " " + program : "";
      if (reaching.empty()) break;
      const std::string fault = kill ? "signal=SIGKILL" : "error=" + errors.at(call);
      points.push_back({busybox, kill, call, "inject=" + call + ":" + fault + ":when=" + std::to_string(k), reaching});
    }
  }
}

// What does not hold after the run at `p`, or "".
std::string check(const point& p) {
  sandbox box;
  run_options options = host(box, p.busybox);
  const run_options plain = options;
  options.tracer = {"-qq", "-o", "/dev/null", "-e", p.inject};
  if (!p.kill) options.tracer.insert(options.tracer.begin(), {"-f", "-e", "trace=" + p.call});
  const auto run = box.run({"ttyS0"}, options);
  const bool killed = p.kill;
  std::string wrong;
  const auto table = box.read("etc/inittab");
  struct stat status {};
  ::stat((box.root() + "/etc/inittab").c_str(), &status);
  if ((table != old_table && table != new_table) || (status.st_mode & 07777) != 0644) wrong += " table;";
  const auto saved = box.read("etc/inittab.sav");
  if (saved && *saved != "earlier\n" && *saved != old_table) wrong += " .sav;";
  const bool told = !calls(box).empty();
  // The dynamic loader failing to load the C library ends the process with
  // 127 before the tool's first instruction: nothing ran, nothing changed.
  const bool never_started = run.status == 127 && run.output.empty() && table == old_table && !told;
  const std::regex messages(R"(((Can't (open /etc/inittab|fork|execute /bin/sh|set user id|create /etc/LCK..inittab))"
                            R"(|/etc/inittab not modified|/etc/telinit Q failed)\r\n)*)");
  if (!killed && !never_started && !(run.status == 0 ? table == new_table && told && run.output.empty()
                                   : run.status == 1 && std::regex_match(run.output, messages))) {
    wrong += " status " + std::to_string(run.status) + " with \"" + run.output + "\";";
  }
  if (run.output.find("not modified") != std::string::npos && table != old_table) wrong += " not modified;";
  for (const char* left : {"etc/LCK..inittab", "etc/inittab.tmp", "etc/inittab.sav.tmp"}) {
    if (!killed && box.exists(left)) wrong += std::string(" left ") + left + ";";
  }
  const auto start = std::chrono::steady_clock::now();
  const auto next = box.run({"ttyS0"}, plain);
  const bool next_ok = (next.status == 0 && (next.output.empty() ||
                                              next.output == "ttyS0 is currently set for callin\r\n/etc/inittab not modified\r\n"));
  if (!next_ok || box.read("etc/inittab") != new_table || std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) {
    wrong += " next run: " + std::to_string(next.status) + " \"" + next.output + "\";";
  }
  return wrong;
}

TEST(fault_points, every_failed_call_and_every_kill_leaves_the_table_whole) {
  std::string set;
  for (const auto& [name, error] : errors) set += (set.empty() ? "" : ",") + name;
  std::vector<point> points;
  for (const bool busybox : {false, true}) {
    add_points(recorded({"-f", "-e", "trace=" + set}, busybox), busybox, false, points);
    add_points(recorded({}, busybox), busybox, true, points);  // every call of the tool's own process
  }

  std::atomic<std::size_t> next{0};
  std::mutex failed_lock;
  std::vector<std::string> failed;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < points.size();) {
        const std::string wrong = check(points[i]);
        const std::lock_guard<std::mutex> guard(failed_lock);
        if (!wrong.empty()) {
          failed.push_back(points[i].inject + (points[i].busybox ? " (BusyBox)" : "") + " in" + points[i].processes + ":" + wrong);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::printf("fault points: %zu tried, %zu held\n", points.size(), points.size() - failed.size());
  for (const auto& f : failed) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace ttyenable::testing
