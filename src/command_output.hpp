// What a shell command prints: run through popen(3) with the process's own
// ids and environment, its standard output read to the end, line by line.
// Standard error is left to the caller's.
#pragma once

#include <string>
#include <vector>

namespace ttyenable {

/// How a command went, and what it printed.
struct command_output {
  bool started = false;  // the shell could be started
  bool read = false;     // its whole output was read
  int status = -1;       // the shell's wait status, or -1 when it was not seen to end
  std::vector<std::string> lines;  // without their newlines

  /// Started, read to the end, and ended with status 0.
  bool succeeded() const;
  /// Ended with exit status `code`.
  bool exited_with(int code) const;
};

/// Runs `command` through /bin/sh and reads what it prints.
command_output run_command(const char* command);

}  // namespace ttyenable
