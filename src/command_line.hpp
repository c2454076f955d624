// The command line: option letters, then one line name, or none, in which
// case the line is the tty entry of /dev with the device number of
// /dev/term. Every name handed on has passed `is_line_name`, whether it
// came from the argument or from the /dev scan.
#pragma once

/// Set by the option letter v: the child prints the edit command instead
/// of running it.
extern int show_only;

namespace ttyenable {

/// Reads the options and picks the line: its name without "/dev/", or
/// nullptr after the message saying why there is none.
const char* choose_line(int argc, char* argv[]);

}  // namespace ttyenable
