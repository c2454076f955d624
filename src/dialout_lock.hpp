// Dial-out locks: the files /var/lock/LCK..<line> that programs dialling
// out on a line (cu, minicom, fax and UUCP software) hold while they use
// it. The tool only reads them; it never creates, changes or removes one.
//
// A lock holds its owner's process id, as 10 ASCII digits padded with
// spaces and a newline, or, from older programs, as 4 native bytes.
// Anything else names nobody. The directory is often writable by all
// (1777), so a lock counts only when the user who owns its file could open
// the line's device: root, the device's owner or a member of its group.
#pragma once

#include <string>
#include <unordered_set>

namespace ttyenable {

/// The process id of the live owner of the dial-out lock of `name`, or 0
/// when there is no lock, it names nobody, its owner is gone, or its file
/// is a stranger's to the device.
long dialout_owner(const char* name);

/// The lines that have a dial-out lock file at all, from one read of the
/// directory, so that a listing of many lines opens only those.
std::unordered_set<std::string> dialout_locked_lines();

}  // namespace ttyenable
