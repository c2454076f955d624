// The line check: decides from /etc/inittab, the line's dial-out lock and
// the output of `who` whether a line's entry may be set for logins
// (callin) or for dialling out (callout), and explains every refusal.
//
// The table is not parsed: the entry is the first line that holds the name
// as a word, and it counts as set for logins when it holds ":respawn:".
// Lines are read whole, however long, into one buffer that is reused. The
// caller holds the inittab lock, so the table cannot change between this
// check and the edit that follows.
#pragma once

#include <string>

namespace ttyenable {

inline constexpr char inittab_path[] = "/etc/inittab";
inline constexpr char who_command[] = "who";
inline constexpr char msg_cannot_open[] = "Can't open %s\r\n";

/// Which way a line is set: for logins, init respawning a getty on it, or
/// for dialling out, its entry off.
struct line_setting {
  const char* word;     // as the messages name it
  bool respawns;        // its entry holds ":respawn:"
  const char* edit;     // the sed command that sets an entry this way
  const char* program;  // the program that sets it so
};
inline constexpr line_setting callin{"callin", true, "s/off/respawn/", "ttyenable"};
inline constexpr line_setting callout{"callout", false, "s/:respawn:/:off:/", "ttydisable"};

/// Why an entry is to be left alone.
enum class refusal { none, no_table, no_device, no_entry, already_set, in_use, logged_in };

/// `refusal::none` when the entry of `name` exists, is not yet set as
/// `wanted` and nobody uses the line; otherwise the reason, after it has
/// been printed. A getty is only started on a line no dialer holds.
refusal check_entry(const char* name, const line_setting& wanted);

/// What a refusal says in the audit record, without the line's name.
std::string refusal_text(refusal reason, const line_setting& wanted);

/// 1 when the table now has an entry for `name` set as `wanted`, else 0;
/// prints nothing.
int entry_is_set(const char* name, const line_setting& wanted);

/// 1 when the entry of `name` may be set for logins; 0 when the table is to
/// be left alone, after the reason has been printed.
int check_line(const char* name);

}  // namespace ttyenable
