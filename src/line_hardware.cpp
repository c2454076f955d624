#include "line_hardware.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "line_names.hpp"
#include "system_calls.hpp"
#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr std::size_t sysfs_path_size = 64;
constexpr char no_port[] = "0";

// The path of `file` in the sysfs directory of line `name`; false when it
// does not fit.
bool sysfs_path(const char* name, const char* file, char (&path)[sysfs_path_size]) {
  const int written = std::snprintf(path, sizeof path, "%s/%s/%s", paths::sysfs_ttys, name, file);
  return written > 0 && static_cast<std::size_t>(written) < sizeof path;
}

}  // namespace

hardware line_hardware(const char* name) {
  // A node that cannot be examined for another reason than its absence
  // proves nothing either way.
  const int device = is_character_device(name);
  if (device == 0) return hardware::no_node;
  if (device < 0) return hardware::unknown;
  char path[sysfs_path_size];
  if (!sysfs_path(name, "type", path)) return hardware::unknown;
  // The serial core's port type: 0 is PORT_UNKNOWN, no UART found.
  char text[16];
  if (read_small_file(path, text) <= 0) return hardware::unknown;
  text[std::strcspn(text, "\n")] = '\0';
  return std::strcmp(text, no_port) == 0 ? hardware::absent : hardware::present;
}

bool shows_port(const char* name) {
  char path[sysfs_path_size];
  struct stat status {};
  return sysfs_path(name, "device", path) && ::stat(path, &status) == 0;
}

std::vector<std::string> lines_with_hardware() {
  std::vector<std::string> lines;
  DIR* directory = ::opendir(paths::sysfs_ttys);  // close-on-exec
  if (directory == nullptr) return lines;
  while (const dirent* entry = ::readdir(directory)) {
    if (is_line_name(entry->d_name) && shows_port(entry->d_name)) lines.emplace_back(entry->d_name);
  }
  ::closedir(directory);
  return lines;
}

}  // namespace ttyenable
