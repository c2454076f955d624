#include "dialout_lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "system_calls.hpp"

namespace ttyenable {
namespace {

constexpr char lock_prefix[] = "LCK..";
constexpr char lock_name_format[] = "%s/%s%s";
constexpr std::size_t lock_path_size = 64;
constexpr long ascii_size = 11;  // "%10d\n"

// The process id that a lock's contents name, or 0.
long parse_dialout_lock(const char* contents, long size) {
  if (size == sizeof(std::int32_t)) {
    std::int32_t owner = 0;
    std::memcpy(&owner, contents, sizeof owner);
    return owner > 0 ? owner : 0;
  }
  if (size != ascii_size || contents[ascii_size - 1] != '\n') return 0;
  long owner = 0;
  long at = 0;
  while (at < ascii_size - 1 && contents[at] == ' ') ++at;
  if (at == ascii_size - 1) return 0;
  for (; at < ascii_size - 1; ++at) {
    if (contents[at] < '0' || contents[at] > '9') return 0;
    owner = owner * 10 + (contents[at] - '0');
  }
  return owner;
}

}  // namespace

long dialout_owner(const char* name) {
  char path[lock_path_size];
  const int written = std::snprintf(path, sizeof path, lock_name_format, dialout_lock_directory, lock_prefix, name);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) return 0;

  // The directory may be writable by all: a lock is a plain file, never a
  // link to one nor a FIFO that would block the read.
  const unique_fd lock(retry_on_eintr([&] { return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  struct stat status {};
  if (!lock || ::fstat(lock.get(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  char contents[ascii_size + 1];
  const long size = retry_on_eintr([&] { return ::read(lock.get(), contents, sizeof contents); });
  const long owner = parse_dialout_lock(contents, size);
  return owner > 0 && process_exists(owner) ? owner : 0;
}

std::unordered_set<std::string> dialout_locked_lines() {
  std::unordered_set<std::string> lines;
  DIR* directory = ::opendir(dialout_lock_directory);  // close-on-exec
  if (directory == nullptr) return lines;
  while (const dirent* entry = ::readdir(directory)) {
    if (std::strncmp(entry->d_name, lock_prefix, sizeof lock_prefix - 1) == 0) {
      lines.emplace(entry->d_name + sizeof lock_prefix - 1);
    }
  }
  ::closedir(directory);
  return lines;
}

}  // namespace ttyenable
