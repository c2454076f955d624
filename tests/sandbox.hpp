// Runs the real ttyenable binary in a private mount namespace in which
// /etc, /dev, /usr/sbin (so /sbin/init), /run, /var/lock, /sys/class/tty
// and the `who` command are replaced by a per-test fixture directory.
// Nothing of the host's is written.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Says why a program the test needs is missing; under CI that is a
// failure, not a skip.
#define REQUIRE_PEER(path, how)                                                       \
  do {                                                                                \
    if (!::ttyenable::testing::sandbox::exists_on_host(path)) {                       \
      if (std::getenv("CI") != nullptr) FAIL() << (path) << " is missing: " << (how); \
      GTEST_SKIP() << (path) << " is missing: " << (how);                             \
    }                                                                                 \
  } while (false)

namespace ttyenable::testing {

struct run_result {
  std::string output;  // standard output, byte for byte
  std::string errors;  // standard error, which the tool never writes to
  int status = -1;     // exit status, or 128 + signal
  pid_t pid = 0;       // the tool's process id
};

struct run_options {
  std::string program = "ttyenable";  // the name it is started by
  std::vector<std::string> environment{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  bool set_user_id = false;           // a root-owned 4755 copy, run as nobody
  bool as_nobody = false;             // the plain binary, run as nobody
  std::vector<gid_t> groups;          // nobody's supplementary groups in either
  bool real_who = false;              // the host's who, reading the fixture run/utmp
  bool busybox = false;               // BusyBox's sh as /bin/sh
  pid_t inside = 0;                   // run in the namespaces of this booted init
  std::function<void()> before_exec;  // in the child, last: limits, descriptors, mounts
  std::vector<std::string> tracer;    // under strace with these options, the tracer apart (-DD)
  std::string executable;             // run this, not the tool
};

/// A run that has been started and not yet waited for.
struct running {
  pid_t pid = 0;
  int output = -1;
  int errors = -1;
};

class sandbox {
 public:
  sandbox();
  ~sandbox();
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  sandbox& with_table(const std::string& text);
  sandbox& with_tty(const std::string& name, unsigned major, unsigned minor);
  /// The line's port as sysfs shows it: a device, and its serial port
  /// type unless `type` is empty ("0": no UART found).
  sandbox& with_port(const std::string& name, const std::string& type);
  sandbox& with_term(const std::string& target);  // dev/term, a symbolic link
  sandbox& with_login(const std::string& who_line);
  /// A dial-out lock, /var/lock/LCK..`line`, holding `contents`.
  sandbox& with_dialout_lock(const std::string& line, const std::string& contents);
  sandbox& without_telinit();
  sandbox& with_link(const std::string& relative, const std::string& target);
  sandbox& with_telinit_sleep(double seconds);
  sandbox& with_file(const std::string& relative, const std::string& text, mode_t mode = 0644);

  /// Puts the fixture /etc on a small ext4 image mounted in its place, with
  /// the inode change time of each of `aged` set `seconds` into the past:
  /// the only honest way to make a file old.
  sandbox& with_etc_on_image(const std::vector<std::string>& aged, long seconds);

  /// Options for a run whose /bin/sh, cp, sed, mv, chmod and
  /// sync are BusyBox's.
  run_options busybox_userland();

  /// Starts BusyBox's syslogd with its socket on the fixture's dev/log and
  /// its log in the fixture file "syslog"; it ends with the sandbox.
  sandbox& with_syslogd();
  /// The records in the fixture syslog, without syslogd's own: all that
  /// were sent before the call, since it waits for a marker sent after them.
  std::vector<std::string> syslog_records() const;

  /// Adds a login record on `line` to the fixture run/utmp.
  sandbox& with_utmp_login(const std::string& line, pid_t pid);

  /// Boots `init` as process 1 of new PID and mount namespaces with the
  /// fixture /etc, /dev and /usr/sbin and a fresh /run; returns its pid as
  /// seen from here once it listens on /run/initctl. It and everything it
  /// started end with the sandbox. `first` runs in those namespaces before
  /// the fixture takes the place of the host's directories.
  pid_t boot_init(const std::string& init, const std::string& first = "true");
  /// Boots the shell `command` as process 1 in the same way; ready once the
  /// file `ready` exists in its file system.
  pid_t boot(const std::string& command, const std::string& first, const std::string& ready);

  run_result run(const std::vector<std::string>& args, const run_options& options = {}) const;
  /// Starts a run without waiting for it, so that several can overlap.
  running start(const std::vector<std::string>& args, const run_options& options = {}) const;
  /// Waits for the run, or takes its wait status as `reaped` by a tracer.
  run_result finish(running run, std::optional<int> reaped = std::nullopt) const;

  /// The fixture directory, as the host sees it.
  const std::string& root() const { return root_; }
  std::optional<std::string> read(const std::string& relative) const;
  /// A file of the host's, outside the fixture (a built helper).
  static std::string read_host(const std::string& path);
  static bool exists_on_host(const std::string& path);
  bool exists(const std::string& relative) const;
  /// Waits until a fixture file exists, at most `seconds`; whether it does.
  bool wait_for(const std::string& relative, double seconds) const;
  /// Names in a fixture directory, sorted.
  std::vector<std::string> list(const std::string& relative) const;

 private:
  std::string root_;
  bool image_mounted_ = false;
  pid_t init_ = 0;
  pid_t init_parent_ = 0;
  pid_t syslogd_ = 0;
};

/// Whether `output` is all that show-only mode prints for an edit of line
/// `line` of the table.
bool shows_edit_of(const std::string& output, long line);

/// Makes setuid(2) fail with EPERM in the calling process and what it runs.
void deny_setuid();
/// Makes /bin/sh a file that cannot be run, in the run's mount namespace.
void break_shell(const sandbox& box);

/// A lock's 4 bytes naming `pid`.
std::string pid_bytes(std::int32_t pid);
/// A dial-out lock's text naming `pid`: 10 digits, space-padded, newline.
std::string pid_text(pid_t pid);
/// The pid of a process that has ended.
pid_t dead_pid();

inline const std::string faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
/// A run whose wall clock is `seconds` ahead; the monotonic clock and the
/// times of files stay true.
run_options clock_ahead(int seconds);

/// The records that the telinit or init stand-in left in the fixture /run,
/// one string each.
std::vector<std::string> calls(const sandbox& box, const std::string& stand_in = "etc/telinit");

/// The value of "key value" lines in a record.
std::vector<std::string> field(const std::string& record, const std::string& key);

}  // namespace ttyenable::testing
