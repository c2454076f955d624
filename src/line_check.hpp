// The line check: decides from /etc/inittab and the output of `who` whether
// a line's entry may be switched to respawn, and explains every refusal.
//
// The table is not parsed: the entry is the first line that holds the name
// as a word, and it counts as set for logins when it holds ":respawn:".
// Lines are read whole, however long, into one buffer that is reused. The
// caller holds the inittab lock, so the table cannot change between this
// check and the edit that follows.
#pragma once

namespace ttyenable {

inline constexpr char inittab_path[] = "/etc/inittab";

/// 1 when the entry of `name` exists, is not set to respawn and nobody is
/// logged in on the line; 0 when the table is to be left alone, after the
/// reason has been printed.
int check_line(const char* name);

}  // namespace ttyenable
