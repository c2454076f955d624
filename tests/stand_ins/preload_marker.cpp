// A library that leaves a marker in $MARKER_DIR in every process that
// loads it: it must never be loaded by what the tool starts.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

__attribute__((constructor)) static void leave_marker() {
  const char* directory = std::getenv("MARKER_DIR");
  if (directory == nullptr) return;
  const std::string path = std::string(directory) + "/preload";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) close(fd);
}
