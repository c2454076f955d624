// The table of lines: every entry of /etc/inittab whose process names a
// line, with the line's device, who is logged in on it and who holds it for
// dialling out. Read-only: it takes no lock, changes nothing, and gives up
// the privileges of a set-user-id start before it reads anything.
//
// Entries are read by `inittab_reader`. A line is named by an id that is a
// line name, as on BusyBox, or by a word of the process field, a run of
// letters, digits, '_' and '-', that passes `is_line_name`:
// "/sbin/getty -L ttyS1 9600" and "/dev/ttyS1" name ttyS1, "/sbin/agetty"
// names nothing. A line that no active entry names is shown with its first
// commented-out entry, its action behind a '#'.
#pragma once

namespace ttyenable {

/// Prints a header and one row for each line named in the table, in table
/// order, limited to `names` when there are any: LINE ID ACTION DEVICE
/// LOGIN CALLOUT GETTY HW, aligned; or, with `json`, one JSON document with the
/// same rows. GETTY is the pid of init's child on the line (see
/// line_getty.hpp). HW says whether a port is behind the line: yes, no, or
/// "-" when the host does not say. `with_unlisted` adds a row, without id and
/// action, for each line with a port and no entry. The exit status: 1 for
/// a name that breaks the rule, a table that cannot be read or privileges
/// that cannot be given up, else 0.
int list_lines(int count, char* const names[], bool json, bool with_unlisted);

}  // namespace ttyenable
