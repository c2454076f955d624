// The line check: decides from /etc/inittab, the line's dial-out lock and
// the output of `who` whether a line's entry may be set for logins
// (callin) or for dialling out (callout), and explains every refusal.
//
// The entry is found by `find_entry`; it counts as set for logins when
// init starts a getty for it (`starts_logins`), so a commented-out entry is
// set for dialling out whatever its action says. The caller holds the
// inittab lock, so no other run changes the table between this check and
// the edit that follows; a hand edit may, which the edit finds by the
// table's digest.
#pragma once

#include <string>

#include "inittab_entry.hpp"

namespace ttyenable {

inline constexpr char inittab_path[] = "/etc/inittab";
inline constexpr char msg_cannot_open[] = "Can't open %s\r\n";
inline constexpr char msg_not_modified[] = "%s not modified\r\n";
inline constexpr char msg_failed[] = "%s failed\r\n";

/// Which way a line is set: for logins, init starting a getty on it, or
/// for dialling out, its entry off or commented out.
struct line_setting {
  const char* word;     // as the messages name it
  bool respawns;        // init starts a getty for its entry
  const char* program;  // the program that sets it so
};
inline constexpr line_setting callin{"callin", true, "ttyenable"};
inline constexpr line_setting callout{"callout", false, "ttydisable"};

/// Why an entry is to be left alone.
enum class refusal { none, no_table, no_device, no_entry, already_set, no_hardware, no_port, in_use, logged_in, who_failed };

/// What the check asks besides the entry.
struct check_options {
  bool hardware = true;  // a line for logins needs its device and port
  bool add = false;      // no entry is no refusal: one is to be added
  bool port = true;      // an entry is added only where sysfs shows a port
};

/// `refusal::none`, with the entry in `entry`, when the entry of `name`
/// exists, is not yet set as `wanted` and nobody uses the line; otherwise
/// the reason, after it has been printed. A getty is only started on a line
/// no dialer holds, and, with `options.hardware`, that has a device node
/// and no word from sysfs that its port is missing. With `options.add`, a
/// line for logins without an entry passes the same checks, with an
/// `entry` whose number is 0, and, with `options.port`, only where sysfs
/// shows a port (`shows_port`). A table that cannot be read is
/// `refusal::no_table`.
refusal check_entry(const char* name, const line_setting& wanted, inittab_entry& entry, const check_options& options);

/// What a refusal says in the audit record, without the line's name.
std::string refusal_text(refusal reason, const line_setting& wanted);

/// The run's exit status for a refusal: 1 when the check itself could not
/// be made (the table unreadable, `who` failed), 0 for an answer.
int refusal_status(refusal reason);

/// Whether `entry` is set as `wanted`.
bool is_set(const inittab_entry& entry, const line_setting& wanted);

/// After an edit of `entry` of `name`: 1 when line `entry.number` of the
/// table is now that line's entry set as `wanted`, 0 when it is not, -1
/// when the table cannot be read. Prints nothing.
int entry_is_set(const inittab_entry& entry, const char* name, const line_setting& wanted);

/// 1 when the entry of `name` may be set for logins; 0 when the table is to
/// be left alone, after the reason has been printed.
int check_line(const char* name);

}  // namespace ttyenable
