// What one run of ttyenable costs, against the floor of the processes that
// any run must start, and how that grows with the table and with /dev.
// Run by bench/run, as root: it enters a private mount namespace of its
// own in which /etc, /dev and `who` are fixtures.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr int repetitions = 21;

void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

struct measured {
  double median_ms = 0;
  double low_ms = 0;   // 10th percentile
  double high_ms = 0;  // 90th percentile
  long max_rss_kb = 0;
};

// Runs `argv` with standard output and error on /dev/null; returns its peak
// resident size.
long spawn_and_wait(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  require(pid >= 0, "fork");
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  require(wait4(pid, &status, 0, &usage) == pid, "wait4");
  return usage.ru_maxrss;
}

measured measure(const std::function<long()>& once, const std::function<void()>& before = [] {}) {
  std::vector<double> times;
  long rss = 0;
  for (int i = 0; i < repetitions; ++i) {
    before();
    const auto start = clock_type::now();
    rss = std::max(rss, once());
    times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[times.size() / 10], times[times.size() * 9 / 10], rss};
}

// The processes every run starts: `who` through a pipe, and a child that
// runs the shell.
long floor_once() {
  FILE* who = popen("/bin/sh -c who", "r");
  require(who != nullptr, "popen");
  char buffer[256];
  while (fgets(buffer, sizeof buffer, who) != nullptr) {
  }
  pclose(who);
  return spawn_and_wait({"/bin/sh", "-c", ":"});
}

// Instructions executed by the tool itself (parent and child, not the
// programs they start), as counted by callgrind.
long long instructions(const std::vector<std::string>& argv) {
  std::string command = "valgrind --tool=callgrind --callgrind-out-file=/dev/null";
  for (const auto& word : argv) command += " '" + word + "'";
  command += " 2>&1 >/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return -1;
  long long total = 0;
  char line[512];
  while (fgets(line, sizeof line, out) != nullptr) {
    const char* at = std::strstr(line, "Collected : ");
    if (at != nullptr) total += std::atoll(at + 12);
  }
  return pclose(out) == 0 && total > 0 ? total : -1;
}

std::string table_with(int lines, const std::string& entry) {
  std::string table;
  for (int i = 1; i < lines; ++i) {
    const std::string n = std::to_string(i);
    table.append("a").append(n).append(":2345:off:/sbin/getty 38400 ttyA").append(n).append("\n");
  }
  return table + entry;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  require(out.good(), "write " + path);
}

struct row {
  std::string name;
  measured m;
  long long instructions = -1;
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::cerr << "usage: ttyenable_bench PATH_TO_TTYENABLE\n";
    return 2;
  }
  const std::string tool = fs::absolute(argv[1]);
  const bool count = std::system("command -v valgrind >/dev/null 2>&1") == 0;

  char pattern[] = "/tmp/ttyenable-bench.XXXXXX";
  require(mkdtemp(pattern) != nullptr, "mkdtemp");
  const std::string root = pattern;
  for (const char* d : {"/etc", "/dev", "/sys"}) fs::create_directories(root + d);
  require(mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0, "mknod null");
  write_file(root + "/etc/telinit", "#!/bin/sh\n:\n");
  fs::permissions(root + "/etc/telinit", fs::perms(0755));

  require(unshare(CLONE_NEWNS) == 0, "unshare (run as root)");
  require(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "private /");
  require(mount((root + "/etc").c_str(), "/etc", nullptr, MS_BIND, nullptr) == 0, "bind /etc");
  require(mount((root + "/dev").c_str(), "/dev", nullptr, MS_BIND, nullptr) == 0, "bind /dev");
  // The lock's guard in a /run of its own, and no sysfs word on any port.
  require(mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0, "tmpfs /run");
  require(mount((root + "/sys").c_str(), "/sys/class/tty", nullptr, MS_BIND, nullptr) == 0, "bind /sys/class/tty");
  // `who` prints nothing, for the floor and the tool alike.
  require(mount("/bin/true", "/usr/bin/who", nullptr, MS_BIND, nullptr) == 0, "bind who");

  std::vector<row> rows;
  rows.push_back({"floor: sh -c who | read, fork + sh -c :", measure(floor_once)});
  const double floor_ms = rows[0].m.median_ms;

  const std::string entry = "S1:2345:off:/sbin/getty -L ttyS1 9600 vt100\n";
  require(mknod("/dev/ttyS1", S_IFCHR | 0620, makedev(4, 65)) == 0, "mknod ttyS1");
  for (const int lines : {100, 10000, 100000}) {
    write_file("/etc/inittab", table_with(lines, entry));
    const std::vector<std::string> run{tool, "-v", "ttyS1"};
    rows.push_back({"-v ttyS1, table of " + std::to_string(lines) + " lines",
                    measure([&] { return spawn_and_wait(run); }), count ? instructions(run) : -1});
  }

  // /dev crowded with tty nodes; /dev/term is the last one in directory order.
  int made = 0;
  for (const int nodes : {10, 1000, 10000}) {
    for (; made < nodes; ++made) {
      const std::string name = "/dev/ttyB" + std::to_string(made);
      require(mknod(name.c_str(), S_IFCHR | 0620, makedev(200, static_cast<unsigned>(made))) == 0, "mknod");
    }
    std::string last;
    DIR* dev = opendir("/dev");
    while (const dirent* e = readdir(dev)) {
      if (std::string(e->d_name).rfind("ttyB", 0) == 0) last = e->d_name;
    }
    closedir(dev);
    fs::remove("/dev/term");
    fs::create_symlink(last, "/dev/term");
    write_file("/etc/inittab", table_with(100, "B:2345:off:/sbin/getty " + last + "\n"));
    const std::vector<std::string> run{tool, "-v"};
    rows.push_back({"-v via /dev/term, " + std::to_string(nodes) + " tty nodes",
                    measure([&] { return spawn_and_wait(run); }), count ? instructions(run) : -1});
  }

  // ttylines: one row for every entry, each with a stat, a dial-out lock
  // lookup and a search of `who`'s output, run once.
  const std::string lines_tool = root + "/ttylines";
  fs::create_symlink(tool, lines_tool);
  for (const int lines : {100, 10000}) {
    write_file("/etc/inittab", table_with(lines, entry));
    const std::vector<std::string> run{lines_tool};
    rows.push_back({"ttylines, table of " + std::to_string(lines) + " lines",
                    measure([&] { return spawn_and_wait(run); }), count ? instructions(run) : -1});
  }

  const std::vector<std::string> json{lines_tool, "-J"};
  rows.push_back({"ttylines -J, table of 10000 lines", measure([&] { return spawn_and_wait(json); }),
                  count ? instructions(json) : -1});

  // The bash completion of `ttyenable <Tab>` on 300 lines, each of its own,
  // as bash calls it: it runs the sibling ttylines and picks the rows.
  std::string lines300;
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    lines300.append("S").append(n).append(i % 2 ? ":2345:off:" : ":2345:respawn:");
    lines300.append("/sbin/getty -L ttyS").append(n).append(" 9600 vt100\n");
  }
  write_file("/etc/inittab", lines300);
  fs::create_symlink(tool, root + "/ttyenable");
  std::string script = fs::absolute("completions/ttyenable").string();
  script.insert(0, "source ");
  script += "; COMP_WORDS=(" + root + "/ttyenable ''); COMP_CWORD=1; _ttyenable " + root + "/ttyenable";
  const std::vector<std::string> complete{"/bin/bash", "-c", script};
  rows.push_back({"bash completion, table of 300 lines", measure([&] { return spawn_and_wait(complete); })});
  const std::vector<std::string> bash_only{"/bin/bash", "-c", ":"};
  rows.push_back({"(bash -c : alone)", measure([&] { return spawn_and_wait(bash_only); })});

  const std::string big = table_with(10000, entry);
  const std::vector<std::string> full{tool, "ttyS1"};
  rows.push_back({"full run: edit + telinit, 10000 lines",
                  measure([&] { return spawn_and_wait(full); }, [&] { write_file("/etc/inittab", big); })});

  std::printf("%-44s %10s %19s %9s %9s %14s\n", "case", "median ms", "p10-p90 ms", "x floor", "max RSS", "instructions");
  for (const auto& r : rows) {
    char spread[32];
    std::snprintf(spread, sizeof spread, "%.2f-%.2f", r.m.low_ms, r.m.high_ms);
    std::printf("%-44s %10.2f %19s %9.2f %6ld kB %14s\n", r.name.c_str(), r.m.median_ms, spread,
                r.m.median_ms / floor_ms, r.m.max_rss_kb, r.instructions < 0 ? "-" : std::to_string(r.instructions).c_str());
  }
  std::printf("(%d repetitions each; max RSS is the largest process the case waited for directly)\n", repetitions);

  for (const char* mounted : {"/etc", "/dev", "/run", "/sys/class/tty"}) umount2(mounted, MNT_DETACH);
  fs::remove_all(root);
  return 0;
}
