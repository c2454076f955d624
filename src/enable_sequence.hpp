// The enable sequence: one line name from the command line to the end of
// the process, setting the line for logins (ttyenable) or for dialling out
// (ttydisable); the two differ only in the `line_setting` they pass.
//
// Under the inittab lock the line check runs; if it passes, the process
// splits. The child composes the edit command and runs it through /bin/sh
// (or prints it in show-only mode); the parent waits for it at most 20
// seconds, reads the entry again under the guard while the lock is still
// its own (else takes what the edit's status says), releases the lock and
// ends. The status is 0 only when the entry is now set and init was told,
// or for a refusal.
//
// Where systemd runs, the run serves the line's getty unit instead
// (systemd_units.hpp): it takes no inittab lock but holds the guard from
// its check to the end of its change, and the child runs one systemctl in
// place of the edit, under the same rules 3 to 6; systemd is then asked
// whether the unit runs.
//
// Rules:
//  1. The edit addresses the entry by its line number and sets its action
//     field, or adds a new entry after a line given by its number; no text
//     from the caller enters the shell command, and the new entry's text,
//     made from the table's, enters it only quoted.
//  2. The table is replaced only when the copy to inittab.sav.tmp and the
//     edit into inittab.tmp have both succeeded, the copy byte for byte the
//     table the check read and the edit of the size it can only have when
//     whole, and the earlier .sav only by a whole copy; and only while the
//     table is, byte for byte, the one the check read, which the tool
//     itself compares while the shell waits for its word; else init is not
//     told either.
//  3. Standard output is flushed before the guard is taken, so nothing
//     printed earlier is written twice, and nothing is written while the
//     guard is held: a caller's full pipe would hold it for good.
//  4. The alarm handler only sets a flag: the timeout is said once the
//     edit's commands are ended, since a write may block on a full pipe.
//  5. A set-user-id root run makes all its ids root's before it takes the
//     lock, so its caller cannot signal it or its commands. The child runs
//     the shell with its real user id set to the effective one, and, when
//     that is root, with root's group and no supplementary groups; it runs
//     nothing when that fails.
//  6. The shell runs in a session, and so a process group, of its own, out
//     of reach of the caller's terminal, and dies with the tool; at the
//     time limit the group is killed and reaped before the lock is
//     released, so no edit outlives the lock.
//  7. The shell writes the new table into a new file, flushed before it
//     replaces the old table.
//  8. Right before the split, under the lock's guard, the run checks that
//     the lock is still its own; if it was taken over, nothing is edited.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "command_line.hpp"
#include "init_control.hpp"
#include "inittab_entry.hpp"
#include "line_check.hpp"
#include "new_entry.hpp"

namespace ttyenable {

inline constexpr unsigned child_time_limit = 20;
inline constexpr std::size_t edit_command_size = 1024;

/// The shell command of an edit, and the size of the table it writes.
struct edit_command {
  std::string text;
  long long edited_size = 0;
};

/// The shell command that saves the table, sets `entry` as `wanted`,
/// replaces the table and tells `init`: the action field becomes respawn
/// (uncommenting a commented-out entry, with the id `new_id` unless that is
/// empty) or off, or, under BusyBox init, which knows no off, the entry is
/// commented out, and a commented-out entry whose action starts a login is
/// only uncommented. None when it does not fit `edit_command_size` bytes
/// or `new_id` is no part of a line name.
std::optional<edit_command> compose_edit_command(const inittab_entry& entry, const line_setting& wanted, init_kind init,
                                                 const std::string& new_id);

/// The shell command that saves the table, adds `entry` after its line and
/// tells `init`, every byte of the entry quoted for the shell and for sed.
/// None when it does not fit or the entry holds a newline.
std::optional<edit_command> compose_add_command(const new_entry& entry, init_kind init);

/// Takes the lock, checks the line and sets it as `wanted`, adding an
/// entry for it when it has none and `chosen.add` asks for one (where sysfs
/// shows a port, unless root forces it); ends the process.
[[noreturn]] void set_line(const char* name, const line_setting& wanted, const options& chosen);

}  // namespace ttyenable

/// The parent's alarm handler: notes that the time limit has passed.
extern "C" void note_timeout(int signal);
