#include "dialout_lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "line_names.hpp"
#include "system_calls.hpp"
#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr char lock_prefix[] = "LCK..";
constexpr char lock_name_format[] = "%s/%s%s";
constexpr std::size_t lock_path_size = 64;
constexpr long ascii_size = 11;  // "%10d\n"
// Bounds for a user's entry and group list; one beyond them is nobody's
// that could open the device.
constexpr std::size_t user_entry_limit = 1 << 20;
constexpr int group_list_limit = 65536;

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

// Whether `user` is a member of `group`, as its own group or one of the
// others that the group database gives it.
bool is_member(uid_t user, gid_t group) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> text(1024);
  for (int error; (error = ::getpwuid_r(user, &entry, text.data(), text.size(), &found)) != 0;) {
    if (error == ERANGE && text.size() < user_entry_limit) {
      text.resize(text.size() * 2);
    } else if (error != EINTR) {
      return false;
    }
  }
  if (found == nullptr) return false;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  while (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) == -1) {
    if (count <= static_cast<int>(groups.size()) || count > group_list_limit) return false;
    groups.resize(static_cast<std::size_t>(count));
  }
  return std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// Whether `user` could open /dev/`name`. Anyone may write a lock where all
// may create files; only one that the device lets in can be dialling out.
bool could_open_device(uid_t user, const char* name) {
  if (user == 0) return true;
  struct stat device {};
  if (device_status(name, device) != 0) return false;
  return user == device.st_uid || is_member(user, device.st_gid);
}

}  // namespace

long dialout_owner(const char* name) {
  char path[lock_path_size];
  const int written = std::snprintf(path, sizeof path, lock_name_format, paths::dialout_locks, lock_prefix, name);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) return 0;

  // The directory may be writable by all: a lock is a plain file, never a
  // link to one nor a FIFO that would block the read.
  const unique_fd lock(retry_on_eintr([&] { return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  struct stat status {};
  if (!lock || ::fstat(lock.get(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  if (!could_open_device(status.st_uid, name)) return 0;
  char contents[ascii_size + 1];
  const long size = retry_on_eintr([&] { return ::read(lock.get(), contents, sizeof contents); });
  const long owner = parse_dialout_lock(contents, size);
  return owner > 0 && process_exists(owner) ? owner : 0;
}

std::unordered_set<std::string> dialout_locked_lines() {
  std::unordered_set<std::string> lines;
  DIR* directory = ::opendir(paths::dialout_locks);  // close-on-exec
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
