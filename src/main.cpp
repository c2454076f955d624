// ttyenable: enables one tty line for logins in /etc/inittab.
#include "command_line.hpp"
#include "enable_sequence.hpp"
#include "privileges.hpp"

int main(int argc, char* argv[]) {
  ttyenable::secure_process();
  const char* name = ttyenable::choose_line(argc, argv);
  if (name == nullptr) return 1;
  ttyenable::enable_line(name);
}
