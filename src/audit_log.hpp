// The audit record: a syslog record for every run that changes a line or
// is refused one, saying who did what. Installed set-user-id, the tool lets
// ordinary users change what init runs as root; this is their trail.
//
// Rules:
//  1. Facility LOG_AUTHPRIV, ident the program's own name (never the name
//     the caller started it by), with the process id.
//  2. The record names the caller, the real user the run was started by
//     (by name, or "uid N"), even once its ids are all root's; the terminal
//     of standard input or "-", the line and the outcome:
//     "alice on pts/0: ttyS1 set for callin".
//  3. Control characters from outside are written escaped, as \ooo.
//  4. Nothing goes to standard output, and a syslog that cannot be reached
//     changes nothing of the run.
//  5. A change is on record before its commands start, so that a run
//     killed during the edit leaves its trail; a second record follows
//     only when the outcome differs.
#pragma once

namespace ttyenable {

/// Writes one record for `program` with `priority`: the user and terminal,
/// then `line` and `outcome`.
void audit(const char* program, int priority, const char* line, const char* outcome);

}  // namespace ttyenable
