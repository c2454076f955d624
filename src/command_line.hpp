// The command line: the name the program was started by, which says what
// it does; option letters, then one line name, or none, in which case the
// line is the tty entry of /dev with the device number of /dev/term. Every
// name handed on has passed `is_line_name`, whether it came from the
// argument or from the /dev scan.
#pragma once

/// Set by the option letter v: the child prints the edit command instead
/// of running it.
extern int show_only;
/// Set by the option letter J of ttylines: one JSON document instead of
/// aligned columns.
extern int json_output;
/// Set by the option letter f: a line is set for logins without the test
/// that a port is behind it, for a port that appears later.
extern int force_hardware;
/// Set by the option letter a: ttyenable adds an entry for a line that has
/// none; ttylines also lists the lines with a port and no entry.
extern int add_entry;
/// Set by the option letter w: after the change, wait until init serves
/// the line as wanted (a getty running on it, or none).
extern int wait_for_getty;

namespace ttyenable {

/// What the program does, by the last component of the name it was started
/// by; any name other than ttydisable or ttylines enables.
enum class program { enable, disable, lines };
program program_named(const char* argv0);

/// A line argument without its "/dev/", or nullptr after the message that
/// it breaks the name rule.
const char* line_argument(const char* argument);

/// Reads the option groups at the front for `what`; returns the index of
/// the first argument after them.
int read_options(int argc, char* argv[], program what);

/// Reads the options and picks the line: its name without "/dev/", or
/// nullptr after the message saying why there is none.
const char* choose_line(int argc, char* argv[]);

}  // namespace ttyenable
