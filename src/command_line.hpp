// The command line: the name the program was started by, which says what
// it does; option letters, then one line name, or none, in which case the
// line is the tty entry of /dev with the device number of /dev/term. Every
// name handed on has passed `is_line_name`, whether it came from the
// argument or from the /dev scan.
#pragma once

namespace ttyenable {

/// What the program does, by the last component of the name it was started
/// by; any name other than ttydisable or ttylines enables.
enum class program { enable, disable, lines };
program program_named(const char* argv0);

/// The option letters of each program; m is accepted for compatibility and
/// does nothing.
inline constexpr char enable_letters[] = "vmfaw";
inline constexpr char disable_letters[] = "vmfw";
inline constexpr char lines_letters[] = "Ja";

/// What the options asked for.
struct options {
  bool show_only = false;  // v: print the edit command instead of running it
  bool force = false;      // f: no test that a port is behind the line
  bool add = false;        // a: add an entry (ttyenable), list lines without one (ttylines)
  bool wait = false;       // w: wait until init serves the line as set
  bool json = false;       // J: one JSON document instead of columns
};

/// Reads the option groups at the front with the letters of `what`; returns
/// the index of the first argument after them. Any other letter is said
/// and ignored.
int read_options(int argc, char* argv[], program what, options& chosen);

/// A line argument without its "/dev/", or nullptr after the message that
/// it breaks the name rule.
const char* line_argument(const char* argument);

/// The line behind /dev/term: its name, or nullptr after the message saying
/// why there is none.
const char* term_line();

}  // namespace ttyenable
