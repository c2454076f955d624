// ttyenable, ttydisable and ttylines: one program that sets a tty line in
// /etc/inittab for logins or for dialling out, or shows every line, by the
// name it was started by.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "command_line.hpp"
#include "enable_sequence.hpp"
#include "line_table.hpp"
#include "messages.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"

namespace {

// Before a run takes the lock, and in a listing, there is nothing to undo.
[[noreturn]] void end_for_memory() {
  std::fputs(ttyenable::msg_out_of_memory, stdout);
  std::exit(ttyenable::checked_output(1));
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace ttyenable;
  secure_process();
  // No exception for it, which would need memory too: the run that holds
  // the lock has a handler of its own (see set_line).
  std::set_new_handler(end_for_memory);
  const program what = program_named(argc > 0 ? argv[0] : nullptr);
  options chosen;
  const int first = read_options(argc, argv, what, chosen);
  if (what == program::lines) return checked_output(list_lines(argc - first, argv + first, chosen.json, chosen.add));
  const char* name = first < argc ? line_argument(argv[first]) : term_line();
  if (name == nullptr) return checked_output(1);
  set_line(name, what == program::disable ? callout : callin, chosen);
}
