// ttyenable, ttydisable and ttylines: one program that sets a tty line in
// /etc/inittab for logins or for dialling out, or shows every line, by the
// name it was started by.
#include "command_line.hpp"
#include "enable_sequence.hpp"
#include "line_table.hpp"
#include "privileges.hpp"

int main(int argc, char* argv[]) {
  using namespace ttyenable;
  secure_process();
  const program what = program_named(argc > 0 ? argv[0] : nullptr);
  if (what == program::lines) {
    const int first = read_options(argc, argv, what);
    return list_lines(argc > first ? argc - first : 0, argv + first, json_output != 0, add_entry != 0);
  }
  const char* name = choose_line(argc, argv);
  if (name == nullptr) return 1;
  set_line(name, what == program::disable ? callout : callin);
}
