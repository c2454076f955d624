// The logins that `who` shows: of each line only the user and the line
// (without "/dev/"), the first two fields in coreutils' and BusyBox's output
// alike; the rest (times, a remote host that any user may name) is never
// read. A `who` that is not installed (the shell's status 127, and no `who`
// in any directory of the search path) shows nobody, as on boards without
// one; one that could not be started, or was killed, failed or unread,
// shows nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ttyenable {

inline constexpr char who_command[] = "who";

struct who_session {
  std::string user;
  std::string line;
};

/// The logins that `who` shows, read once; none when it is not installed;
/// nothing when it could not be started or read, or failed.
std::optional<std::vector<who_session>> who_output();

/// The user that `sessions` show on `line`, if any.
std::optional<std::string> login_on(const std::vector<who_session>& sessions, const std::string& line);

}  // namespace ttyenable
