#include "command_output.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "system_calls.hpp"

namespace ttyenable {

bool command_output::succeeded() const { return started && read && exited_with(0); }

bool command_output::exited_with(int code) const {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

command_output run_command(const char* command) {
  command_output result;
  std::FILE* pipe = ::popen(command, "re");
  if (pipe == nullptr) return result;
  result.started = true;
  line_reader lines;
  while (const char* text = lines.next(pipe)) result.lines.emplace_back(text, std::strcspn(text, "\n"));
  // Part of the output proves nothing: a command killed half-way says
  // nothing of what it did not print.
  result.read = std::ferror(pipe) == 0 && !lines.failed();
  result.status = ::pclose(pipe);
  return result;
}

}  // namespace ttyenable
