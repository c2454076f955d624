#include "init_control.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace ttyenable {
namespace {

constexpr char busybox_name[] = "busybox";
constexpr char busybox_path[] = "/bin/busybox";

}  // namespace

int is_busybox_init() {
  struct stat init {};
  if (::stat(init_path, &init) != 0 || !S_ISREG(init.st_mode)) return 0;
  // `busybox --install` without -s makes /sbin/init a hard link.
  struct stat busybox {};
  if (::stat(busybox_path, &busybox) == 0 && busybox.st_dev == init.st_dev && busybox.st_ino == init.st_ino) return 1;
  char target[PATH_MAX];
  if (::realpath(init_path, target) == nullptr) return 0;
  const char* slash = std::strrchr(target, '/');
  return std::strcmp(slash == nullptr ? target : slash + 1, busybox_name) == 0 ? 1 : 0;
}

const char* init_control_command() {
  if (is_busybox_init()) return busybox_init_command;
  return ::access(telinit_path, F_OK) == 0 ? telinit_command : init_command;
}

}  // namespace ttyenable
