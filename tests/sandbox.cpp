#include "sandbox.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <utmpx.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ttyenable::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
  fs::create_directories(fs::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    require(out.good(), "write " + path);
  }
  require(::chmod(path.c_str(), mode) == 0, "chmod " + path);
}

void copy_file(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  write_file(to, text.str(), mode);
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return text;
}

// In the forked child: reports what failed on fd 2 and ends.
[[noreturn]] void fail(const char* what) {
  const std::string message = std::string("sandbox: ") + what + ": " + std::strerror(errno) + "\n";
  if (::write(STDERR_FILENO, message.data(), message.size()) < 0) {
  }
  ::_exit(126);
}

void bind_mount(const std::string& from, const char* to) {
  if (::mount(from.c_str(), to, nullptr, MS_BIND, nullptr) != 0) fail(to);
}

}  // namespace

void deny_setuid() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_setuid, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) fail("seccomp");
}

void break_shell(const sandbox& box) { bind_mount(box.root() + "/who.txt", "/bin/sh"); }

sandbox::sandbox() {
  char pattern[] = "/tmp/ttyenable-test.XXXXXX";
  require(::mkdtemp(pattern) != nullptr, "mkdtemp");
  root_ = pattern;
  require(::chmod(root_.c_str(), 0755) == 0, "chmod root");
  for (const char* directory : {"etc", "dev", "sbin", "bin", "fakebin", "run/lock", "sys/class/tty"}) {
    fs::create_directories(root_ + "/" + directory);
  }
  fs::create_directories(root_ + "/markers");
  require(::chmod((root_ + "/markers").c_str(), 0777) == 0, "chmod markers");

  // The C library's start-up checks of a set-user-id program open these.
  for (const auto& [name, minor] : {std::pair{"null", 3u}, {"zero", 5u}, {"full", 7u}}) {
    const std::string path = root_ + "/dev/" + name;
    require(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0, "mknod " + path);
  }
  copy_file(RECORD_CALL, root_ + "/etc/telinit", 0755);
  copy_file(RECORD_CALL, root_ + "/sbin/init", 0755);
  write_file(root_ + "/who.txt", "", 0644);
  write_file(root_ + "/who", "#!/bin/sh\nexec cat " + root_ + "/who.txt\n", 0755);
  // What a caller's PATH might offer first: each leaves a marker if run.
  for (const char* tool : {"cp", "sed", "mv", "chmod", "who", "sh", "telinit"}) {
    write_file(root_ + "/fakebin/" + tool, "#!/bin/sh\n: > " + root_ + "/markers/" + tool + "\n", 0755);
  }
}

sandbox::~sandbox() {
  if (syslogd_ > 0 && ::kill(syslogd_, SIGTERM) == 0) ::waitpid(syslogd_, nullptr, 0);
  if (init_ > 0) ::kill(init_, SIGKILL);  // the namespace ends with its init
  if (init_parent_ > 0) ::waitpid(init_parent_, nullptr, 0);
  if (image_mounted_) ::umount2((root_ + "/etc").c_str(), MNT_DETACH);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

sandbox& sandbox::with_table(const std::string& text) { return with_file("etc/inittab", text); }

sandbox& sandbox::with_tty(const std::string& name, unsigned major, unsigned minor) {
  const std::string path = root_ + "/dev/" + name;
  require(::mknod(path.c_str(), S_IFCHR | 0620, makedev(major, minor)) == 0, "mknod " + path);
  return *this;
}

sandbox& sandbox::with_port(const std::string& name, const std::string& type) {
  fs::create_directories(root_ + "/sys/class/tty/" + name + "/device");
  return type.empty() ? *this : with_file("sys/class/tty/" + name + "/type", type + "\n");
}

sandbox& sandbox::with_term(const std::string& target) { return with_link("dev/term", target); }

sandbox& sandbox::with_login(const std::string& who_line) {
  std::ofstream(root_ + "/who.txt", std::ios::app) << who_line << "\n";
  return *this;
}

sandbox& sandbox::with_dialout_lock(const std::string& line, const std::string& contents) {
  return with_file("run/lock/LCK.." + line, contents);
}

sandbox& sandbox::with_link(const std::string& relative, const std::string& target) {
  const std::string path = root_ + "/" + relative;
  fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
  require(::symlink(target.c_str(), path.c_str()) == 0, "symlink " + path);
  return *this;
}

sandbox& sandbox::without_telinit() {
  fs::remove(root_ + "/etc/telinit");
  return *this;
}

sandbox& sandbox::with_telinit_sleep(double seconds) {
  return with_file("etc/telinit.sleep", std::to_string(seconds));
}

sandbox& sandbox::with_file(const std::string& relative, const std::string& text, mode_t mode) {
  write_file(root_ + "/" + relative, text, mode);
  return *this;
}

sandbox& sandbox::with_etc_on_image(const std::vector<std::string>& aged, long seconds) {
  const std::string image = root_ + "/etc.img";
  std::string script = "set -e; truncate -s 8M " + image + "; mkfs.ext4 -q -d " + root_ + "/etc " + image + ";";
  for (const auto& name : aged) {
    script += " debugfs -w -R 'set_inode_field /" + name + " ctime @" + std::to_string(::time(nullptr) - seconds) +
              "' " + image + " >/dev/null 2>&1;";
  }
  script += " mount -o loop " + image + " " + root_ + "/etc";
  require(std::system(script.c_str()) == 0, "ext4 image for etc");
  image_mounted_ = true;
  return *this;
}

run_options sandbox::busybox_userland() {
  for (const char* tool : {"cp", "sed", "mv", "chmod", "sync"}) with_link(std::string("busybox/") + tool, "/bin/busybox");
  run_options options;
  options.busybox = true;
  options.environment = {"PATH=" + root_ + "/busybox:/usr/sbin:/usr/bin:/sbin:/bin"};
  return options;
}

sandbox& sandbox::with_syslogd() {
  const std::string script = "mount --bind " + root_ + "/dev /dev && exec busybox syslogd -n -O " + root_ + "/syslog";
  syslogd_ = ::fork();
  require(syslogd_ >= 0, "fork");
  if (syslogd_ == 0) {
    ::execl("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  require(wait_for("dev/log", 5), "syslogd did not come up");
  return *this;
}

std::vector<std::string> sandbox::syslog_records() const {
  const std::string marker = "marker-" + std::to_string(::getpid());
  require(std::system(("logger -u " + root_ + "/dev/log " + marker).c_str()) == 0, "logger");
  for (int tries = 0; tries < 100 && read("syslog").value_or("").find(marker) == std::string::npos; ++tries) {
    ::usleep(50000);
  }
  std::vector<std::string> records;
  std::istringstream lines(read("syslog").value_or(""));
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" syslogd started: ") == std::string::npos && line.find(marker) == std::string::npos) {
      records.push_back(line);
    }
  }
  return records;
}

sandbox& sandbox::with_utmp_login(const std::string& line, pid_t pid) {
  fs::create_directories(root_ + "/run");
  const std::string path = root_ + "/run/utmp";
  std::ofstream(path, std::ios::app).flush();
  require(::utmpxname(path.c_str()) == 0, "utmpxname");
  utmpx record{};
  record.ut_type = USER_PROCESS;
  record.ut_pid = pid;
  line.copy(record.ut_line, sizeof record.ut_line - 1);
  line.copy(record.ut_id, sizeof record.ut_id);
  std::string("alice").copy(record.ut_user, sizeof record.ut_user - 1);
  record.ut_tv.tv_sec = static_cast<std::int32_t>(::time(nullptr));
  ::setutxent();
  require(::pututxline(&record) != nullptr, "pututxline");
  ::endutxent();
  return *this;
}

pid_t sandbox::boot_init(const std::string& init, const std::string& first) {
  copy_file(init, root_ + "/sbin/init", 0755);
  return boot("exec /usr/sbin/init", first, "run/initctl");
}

pid_t sandbox::boot(const std::string& command, const std::string& first, const std::string& ready) {
  const std::string script = first + " && mount --bind " + root_ + "/etc /etc && mount --rbind " + root_ +
                             "/dev /dev && mount --bind " + root_ + "/sbin /usr/sbin && mount --bind " + root_ +
                             "/sys/class/tty /sys/class/tty && " +
                             "mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log && " + command;
  init_parent_ = ::fork();
  require(init_parent_ >= 0, "fork");
  if (init_parent_ == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execl("/usr/bin/unshare", "unshare", "--pid", "--fork", "--kill-child", "--mount", "--mount-proc",
            "--propagation", "private", "/bin/sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Process 1 of the namespace is unshare's only child.
  const std::string children = "/proc/" + std::to_string(init_parent_) + "/task/" + std::to_string(init_parent_) + "/children";
  for (int tries = 0; tries < 100; ++tries) {
    if (init_ == 0) {
      std::ifstream in(children);
      in >> init_;
    }
    if (init_ > 0 && exists_on_host("/proc/" + std::to_string(init_) + "/root/" + ready)) return init_;
    ::usleep(50000);
  }
  throw std::runtime_error("init did not come up");
}

run_result sandbox::run(const std::vector<std::string>& args, const run_options& options) const {
  return finish(start(args, options));
}

running sandbox::start(const std::vector<std::string>& args, const run_options& options) const {
  // The tool tells BusyBox init with "kill -HUP 1": only ever a namespace's.
  std::error_code no_link;
  struct stat init {};
  if (options.inside == 0 && (fs::read_symlink(root_ + "/sbin/init", no_link).filename() == "busybox" ||
                              (::stat((root_ + "/sbin/init").c_str(), &init) == 0 && init.st_nlink > 1))) {
    throw std::runtime_error("a BusyBox host runs only inside a booted PID namespace");
  }
  std::string binary = TTYENABLE_BINARY;
  if (options.set_user_id || options.as_nobody) {
    // A copy where nobody may reach it: the build tree may lie in a private
    // directory.
    binary = root_ + "/bin/ttyenable";
    copy_file(TTYENABLE_BINARY, binary, 0755);
    require(::chown(binary.c_str(), 0, 0) == 0 && ::chmod(binary.c_str(), options.set_user_id ? 04755 : 0755) == 0,
            "copy of the tool");
  }
  if (options.program != "ttyenable") {  // as installed: a link by that name
    const std::string link = root_ + "/bin/" + options.program;
    fs::remove(link);
    fs::create_symlink(binary, link);
    binary = link;
  }
  std::vector<std::string> words{options.program};
  if (!options.executable.empty()) binary = options.executable;
  if (!options.tracer.empty()) {
    // The tracer apart, in a group of its own: the tool stays this process,
    // and its status is its own.
    words = {"strace", "-DD"};
    words.insert(words.end(), options.tracer.begin(), options.tracer.end());
    words.push_back(binary);
    binary = "/usr/bin/strace";
  }
  if (options.inside > 0) {
    words = {"nsenter", "-t", std::to_string(options.inside), "-m", "-p", "--", binary};
    // Only root may enter: the caller becomes nobody inside.
    if (options.set_user_id || options.as_nobody) words.insert(words.begin() + 5, {"-S", std::to_string(nobody), "-G", std::to_string(nobody)});
    binary = "/usr/bin/nsenter";
  }
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = options.environment;
  if (!options.tracer.empty()) environment.push_back("ASAN_OPTIONS=detect_leaks=0");  // the leak check cannot run traced
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  require(::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0, "pipe");
  const pid_t pid = ::fork();
  require(pid >= 0, "fork");
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(err[1], STDERR_FILENO);
    if (options.inside == 0) {
      if (::unshare(CLONE_NEWNS) != 0) fail("unshare");
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private /");
      bind_mount(root_ + "/etc", "/etc");
      bind_mount(root_ + "/dev", "/dev");
      bind_mount(root_ + "/sbin", "/usr/sbin");
      bind_mount(root_ + "/run", "/run");
      bind_mount(root_ + "/sys/class/tty", "/sys/class/tty");
      if (!options.real_who) bind_mount(root_ + "/who", "/usr/bin/who");
      bind_mount(root_ + "/run/lock", "/var/lock");  // after /run: the host's may be a link into it
      if (options.busybox) bind_mount("/bin/busybox", "/bin/sh");
      // Never the host's /etc, whatever went wrong above.
      struct stat fixture {};
      struct stat mounted {};
      if (::stat((root_ + "/etc").c_str(), &fixture) != 0 || ::stat("/etc", &mounted) != 0 ||
          fixture.st_dev != mounted.st_dev || fixture.st_ino != mounted.st_ino) {
        fail("the fixture /etc is not in place");
      }
    }
    if (::chdir("/") != 0) fail("chdir");
    const int null = ::open(options.inside == 0 ? "/dev/null" : (root_ + "/dev/null").c_str(), O_RDONLY);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(out[1], STDOUT_FILENO) < 0) fail("standard fds");
    ::close(null);
    // Only what the test asks for is inherited, not the test runner's own.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    if (options.set_user_id || options.as_nobody) {
      // As in containers that withhold it: the tool cannot lift a hard limit.
      if (::prctl(PR_CAPBSET_DROP, CAP_SYS_RESOURCE, 0, 0, 0) != 0) fail("drop CAP_SYS_RESOURCE");
      if (options.inside == 0 && (::setgroups(options.groups.size(), options.groups.data()) != 0 ||
                                  ::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0)) {
        fail("become nobody");
      }
    }
    if (options.before_exec) options.before_exec();
    ::execve(binary.c_str(), argv.data(), envp.data());
    fail("execve");
  }
  ::close(out[1]);
  ::close(err[1]);
  return {pid, out[0], err[0]};
}

run_result sandbox::finish(running run, std::optional<int> reaped) const {
  int raw = reaped.value_or(0);
  while (!reaped && ::waitpid(run.pid, &raw, 0) == -1 && errno == EINTR) {
  }
  // Whatever the run left behind (a child still running its command after
  // a timeout) goes with it.
  ::kill(-run.pid, SIGKILL);
  run_result result;
  result.output = drain(run.output);
  result.errors = drain(run.errors);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  result.pid = run.pid;
  return result;
}

std::optional<std::string> sandbox::read(const std::string& relative) const {
  std::ifstream in(root_ + "/" + relative, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string sandbox::read_host(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool sandbox::exists_on_host(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool sandbox::exists(const std::string& relative) const {
  struct stat status {};
  return ::lstat((root_ + "/" + relative).c_str(), &status) == 0;
}

bool sandbox::wait_for(const std::string& relative, double seconds) const {
  for (double waited = 0; !exists(relative); waited += 0.05) {
    if (waited > seconds) return false;
    ::usleep(50000);
  }
  return true;
}

std::vector<std::string> sandbox::list(const std::string& relative) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root_ + "/" + relative)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool shows_edit_of(const std::string& output, long line) {
  return output.rfind("/bin/sh -c for p in cp sed mv chmod sync ", 0) == 0 && output.size() > 2 &&
         output.compare(output.size() - 2, 2, "\r\n") == 0 && output.find("sed -e '" + std::to_string(line) + "s/") != std::string::npos;
}

std::string pid_bytes(std::int32_t pid) { return std::string(reinterpret_cast<const char*>(&pid), sizeof pid); }

std::string pid_text(pid_t pid) {
  const std::string digits = std::to_string(pid);
  return std::string(10 - digits.size(), ' ') + digits + "\n";
}

pid_t dead_pid() {
  const pid_t pid = ::fork();
  require(pid >= 0, "fork");
  if (pid == 0) ::_exit(0);
  require(::waitpid(pid, nullptr, 0) == pid, "waitpid");
  return pid;
}

run_options clock_ahead(int seconds) {
  run_options options;
  options.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LD_PRELOAD=" + faketime, "FAKETIME=+" + std::to_string(seconds),
                         "FAKETIME_DONT_FAKE_MONOTONIC=1", "NO_FAKE_STAT=1", "ASAN_OPTIONS=verify_asan_link_order=0"};
  return options;
}

std::vector<std::string> calls(const sandbox& box, const std::string& stand_in) {
  std::vector<std::string> records;
  const std::string text = box.read("run/" + stand_in.substr(stand_in.rfind('/') + 1) + ".called").value_or("");
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find("\nstart ", begin);
    end = end == std::string::npos ? text.size() : end + 1;
    records.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return records;
}

std::vector<std::string> field(const std::string& record, const std::string& key) {
  std::vector<std::string> values;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + " ", 0) == 0) values.push_back(line.substr(key.size() + 1));
  }
  return values;
}

}  // namespace ttyenable::testing
