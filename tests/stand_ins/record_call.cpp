// Stands in for /etc/telinit and /sbin/init in the sandbox. Appends one
// record to "/run/<its own name>.called", outside /etc, which may be full:
// when it started and ended, its arguments, environment, open descriptors
// (and which of 0 to 2 are /dev/null), supplementary groups (their count
// first) and umask, and the lock's contents.
// Sleeps as many seconds as "<its own path>.sleep" says, if it exists.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

extern char** environ;

namespace {

std::string now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return std::to_string(static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec);
}

std::string open_descriptors() {
  std::string list;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return "?";
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(fds)) continue;
    list += std::string(list.empty() ? "" : " ") + entry->d_name;
  }
  closedir(fds);
  return list;
}

std::string read_file(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

}  // namespace

int main(int argc, char* argv[]) {
  const mode_t mask = umask(0);
  std::string record = "start " + now() + "\nfds " + open_descriptors() + "\nnull";
  for (int fd = 0; fd <= 2; ++fd) {
    char target[16] = "";
    if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1) > 0 &&
        std::string(target) == "/dev/null") {
      record += " " + std::to_string(fd);
    }
  }
  gid_t groups[64];
  const int count = getgroups(64, groups);
  record += "\ngroups " + std::to_string(count);
  for (int i = 0; i < count; ++i) record += " " + std::to_string(groups[i]);
  record += "\numask " + std::to_string(mask) + "\nargs";
  for (int i = 1; i < argc; ++i) record += std::string(" ") + argv[i];
  record += "\n";
  for (char** entry = environ; *entry != nullptr; ++entry) record += std::string("env ") + *entry + "\n";

  const std::string lock = read_file("/etc/LCK..inittab");
  std::int32_t owner = 0;
  if (lock.size() == sizeof owner) lock.copy(reinterpret_cast<char*>(&owner), sizeof owner);
  record += "lock " + (lock.size() == sizeof owner ? std::to_string(owner) : "bytes:" + std::to_string(lock.size())) + "\n";

  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 2;
  const std::string path(self, static_cast<std::size_t>(length));
  const std::string pause = read_file(path + ".sleep");
  if (!pause.empty()) {
    const double seconds = std::atof(pause.c_str());
    timespec t{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
    nanosleep(&t, nullptr);
  }
  record += "end " + now() + "\n";

  const int out = open(("/run/" + path.substr(path.rfind('/') + 1) + ".called").c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0 || write(out, record.data(), record.size()) != static_cast<ssize_t>(record.size())) return 2;
  close(out);
  return 0;
}
