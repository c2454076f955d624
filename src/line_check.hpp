// The line check: decides from /etc/inittab, the line's dial-out lock and
// the output of `who` whether a line's entry may be set for logins
// (callin) or for dialling out (callout), and explains every refusal.
//
// The entry is found by `find_entry`; it counts as set for logins when
// init starts a getty for it (`starts_logins`), so a commented-out entry is
// set for dialling out whatever its action says. The caller holds the
// inittab lock, so no other run changes the table between this check and
// the edit that follows; a hand edit may, which the edit finds by the
// table's bytes.
#pragma once

#include <optional>
#include <string>

#include "inittab_entry.hpp"
#include "messages.hpp"
#include "paths.hpp"

namespace ttyenable {

/// Which way a line is set: for logins, init starting a getty on it, or
/// for dialling out, its entry off or commented out.
struct line_setting {
  const char* word;     // as the messages name it
  bool respawns;        // init starts a getty for its entry
  const char* program;  // the program that sets it so
};
inline constexpr line_setting callin{"callin", true, "ttyenable"};
inline constexpr line_setting callout{"callout", false, "ttydisable"};


/// What the check asks besides the entry.
struct check_options {
  init_kind init;        // the init the table is for
  bool hardware = true;  // a line for logins needs its device and port
  bool add = false;      // no entry is no refusal: one is to be added
  bool port = true;      // an entry is added only where sysfs shows a port
};

/// What the check decided: a refusal, already said, or the change to make.
struct check_result {
  std::optional<refusal> refused;
  bool add = false;     // no entry: one is to be added
  inittab_entry entry;  // the entry to set; for an addition, the table's bytes only
};

/// Checks the entry of `name`: it must exist, not yet be set as `wanted`,
/// and nobody may use the line. A getty is only started on a line no
/// dialer holds, and, with `options.hardware`, that has a device node and
/// no word from sysfs that its port is missing. With `options.add`, a line
/// for logins without an entry passes the same checks and is to be added,
/// with `options.port` only where sysfs shows a port (`shows_port`).
check_result check_entry(const char* name, const line_setting& wanted, const check_options& options);

/// The checks of a line that a systemd unit serves, `set` when the unit
/// already serves it as `wanted`: those of an entry, from `already_set` on.
/// A refusal is said with `subject`, the unit, as what is not modified.
std::optional<refusal> check_unit_line(const char* name, const line_setting& wanted, const check_options& options, bool set,
                                       const char* subject);

/// Says refusal `reason` of line `name` as its row says, with `detail`,
/// naming `subject` as not modified where the row says so.
void say_refusal(refusal reason, const char* name, const std::string& detail, const char* subject = paths::inittab);

/// What refusal `reason` says in the audit record, without the line's name.
std::string refusal_audit(refusal reason, const std::string& detail);


/// After an edit of `entry` of `name`: 1 when line `entry.number` of the
/// table for `init` is now that line's entry set as `wanted`, 0 when it is
/// not, -1 when the table cannot be read. Prints nothing.
int entry_is_set(init_kind init, const inittab_entry& entry, const char* name, const line_setting& wanted);

}  // namespace ttyenable
