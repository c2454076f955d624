// Every text the tool prints, in one place, so that it can be held against
// the manual page: printf formats, each ended by "\r\n", since the tool
// may speak on a terminal line whose output is not translated.
//
// A refusal leaves the table alone: its message, the outcome its audit
// record names and its exit status stand in one row of `refusals`.
#pragma once

namespace ttyenable {

inline constexpr char msg_unknown_option[] = "Unknown option ignored: %c\r\n";
inline constexpr char msg_bad_form[] = "Arguments must be of form ttyNN\r\n";
inline constexpr char msg_no_term[] = "Can't find /dev/term\r\n";
inline constexpr char msg_no_term_link[] = "Can't find /dev/ttyNN link to /dev/term\r\n";
inline constexpr char msg_lock_not_obtained[] = "Non-expired lockfile: %s\r\n";
inline constexpr char msg_cannot_create[] = "Can't create %s\r\n";
inline constexpr char msg_cannot_set_uid[] = "Can't set user id\r\n";
inline constexpr char msg_cannot_fork[] = "Can't fork\r\n";
inline constexpr char msg_cannot_execute[] = "Can't execute %s\r\n";
inline constexpr char msg_show_command[] = "%s -c %s\r\n";
inline constexpr char msg_not_modified[] = "%s not modified\r\n";
inline constexpr char msg_table_changed[] = "%s changed during the run\r\n";
inline constexpr char msg_failed[] = "%s failed\r\n";
inline constexpr char msg_timeout[] = "Timeout on %s\r\n";
inline constexpr char msg_no_getty[] = "No getty on %s\r\n";
inline constexpr char msg_getty_runs[] = "Getty on %s still runs\r\n";
inline constexpr char msg_cannot_open[] = "Can't open %s\r\n";
inline constexpr char msg_unit_not_started[] = "%s did not start\r\n";
inline constexpr char msg_unit_generated[] = "%s is started by a generator: only masking it would disable it\r\n";
inline constexpr char msg_cannot_find[] = "Can't find %s\r\n";
inline constexpr char msg_out_of_memory[] = "Out of memory\r\n";

/// Why a line's entry is left alone, in the order of `refusals`.
enum class refusal {
  no_table, no_line, no_entry, already_set, no_node, no_hardware, no_port, no_getty, in_use, who_failed, logged_in
};

/// How a refusal is said: `message` takes the line's name and a detail (the
/// detail first where `detail_first`); "not modified" follows where
/// `not_modified`; `audit` takes the detail too.
struct refusal_row {
  const char* message;
  bool detail_first;
  bool not_modified;
  const char* audit;
  int status;  // 1 when the check itself could not be made
};

inline constexpr refusal_row refusals[] = {
    {msg_cannot_open, true, false, "table unreadable", 1},
    {"/dev/%s: no such device\r\n", false, false, "no such device", 0},
    {"No entry in %s for %s\r\n", true, false, "no entry", 0},
    {"%s is currently set for %s\r\n", false, true, "already set for %s", 0},
    {"/dev/%s: no such device\r\n", false, true, "no such device", 0},
    {"%s has no hardware behind it\r\n", false, true, "no hardware", 0},
    {"%s has no port in %s\r\n", false, true, "no port", 0},
    {"No getty for %s: no entry to follow, and neither %s exists\r\n", false, true, "no getty", 0},
    {"%s is in use for callout by process %s\r\n", false, true, "in use for callout", 0},
    {msg_failed, true, true, "who failed", 1},
    {"%s is logged in\r\n", false, true, "logged in", 0},
};

inline const refusal_row& row_of(refusal reason) { return refusals[static_cast<int>(reason)]; }

}  // namespace ttyenable
