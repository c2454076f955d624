#include "init_control.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr char busybox_name[] = "busybox";

bool is_busybox_init() {
  struct stat init {};
  if (::stat(paths::init, &init) != 0 || !S_ISREG(init.st_mode)) return false;
  // `busybox --install` without -s makes /sbin/init a hard link.
  struct stat busybox {};
  if (::stat(paths::busybox, &busybox) == 0 && busybox.st_dev == init.st_dev && busybox.st_ino == init.st_ino) return true;
  char target[PATH_MAX];
  if (::realpath(paths::init, target) == nullptr) return false;
  const char* slash = std::strrchr(target, '/');
  return std::strcmp(slash == nullptr ? target : slash + 1, busybox_name) == 0;
}

}  // namespace

bool systemd_runs() {
  struct stat status {};
  return ::lstat(paths::systemd_running, &status) == 0 && S_ISDIR(status.st_mode);
}

init_kind host_init() {
  if (systemd_runs()) return init_kind::systemd;
  if (is_busybox_init()) return init_kind::busybox;
  return ::access(paths::telinit, F_OK) == 0 ? init_kind::telinit : init_kind::sysv;
}

const char* init_control_command(init_kind kind) {
  switch (kind) {
    case init_kind::telinit: return "/etc/telinit Q";
    case init_kind::sysv: return "/sbin/init q";
    case init_kind::systemd: return paths::systemctl;
    case init_kind::busybox: break;
  }
  return "kill -HUP 1";
}

const char* init_name(init_kind kind) {
  if (kind == init_kind::systemd) return "systemd";
  return kind == init_kind::busybox ? "busybox" : "sysv";
}

}  // namespace ttyenable
