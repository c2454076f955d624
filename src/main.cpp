// ttyenable, ttydisable and ttylines: one program that sets a tty line in
// /etc/inittab for logins or for dialling out, or shows every line, by the
// name it was started by.
#include "command_line.hpp"
#include "enable_sequence.hpp"
#include "line_table.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"

int main(int argc, char* argv[]) {
  using namespace ttyenable;
  secure_process();
  const program what = program_named(argc > 0 ? argv[0] : nullptr);
  options chosen;
  const int first = read_options(argc, argv, what, chosen);
  if (what == program::lines) return checked_output(list_lines(argc - first, argv + first, chosen.json, chosen.add));
  const char* name = first < argc ? line_argument(argv[first]) : term_line();
  if (name == nullptr) return checked_output(1);
  set_line(name, what == program::disable ? callout : callin, chosen);
}
