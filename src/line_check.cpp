#include "line_check.hpp"

#include <cstdio>

#include "dialout_lock.hpp"
#include "line_hardware.hpp"
#include "line_names.hpp"
#include "who_sessions.hpp"

namespace ttyenable {
namespace {

constexpr char msg_no_device[] = "/dev/%s: no such device\r\n";
constexpr char msg_no_entry[] = "No entry in %s for %s\r\n";
constexpr char msg_already_set[] = "%s is currently set for %s\r\n";
constexpr char msg_logged_in[] = "%s is logged in\r\n";
constexpr char msg_no_hardware[] = "%s has no hardware behind it\r\n";
constexpr char msg_no_port[] = "%s has no port in %s\r\n";
constexpr char msg_in_use[] = "%s is in use for callout by process %ld\r\n";

}  // namespace

std::string refusal_text(refusal reason, const line_setting& wanted) {
  switch (reason) {
    case refusal::none: break;
    case refusal::no_table: return "table unreadable";
    case refusal::no_device: return "no such device";
    case refusal::no_hardware: return "no hardware";
    case refusal::no_port: return "no port";
    case refusal::no_entry: return "no entry";
    case refusal::already_set: return std::string("already set for ") + wanted.word;
    case refusal::in_use: return "in use for callout";
    case refusal::logged_in: return "logged in";
    case refusal::who_failed: return "who failed";
  }
  return "";
}

int refusal_status(refusal reason) { return reason == refusal::no_table || reason == refusal::who_failed ? 1 : 0; }

bool is_set(const inittab_entry& entry, const line_setting& wanted) { return starts_logins(entry) == wanted.respawns; }

int entry_is_set(const inittab_entry& entry, const char* name, const line_setting& wanted) {
  // A table that cannot be read is tried again: a change that took must
  // not be reported as a failure for one failed read.
  for (int tries = 0; tries < 3; ++tries) {
    inittab_entry now;
    const lookup found = entry_at(inittab_path, entry.number, name, now);
    if (found != lookup::unreadable) return found == lookup::found && is_set(now, wanted) ? 1 : 0;
  }
  return -1;
}

refusal check_entry(const char* name, const line_setting& wanted, inittab_entry& entry, const check_options& options) {
  const lookup found = find_entry(inittab_path, name, entry);
  if (found == lookup::unreadable) {
    std::printf(msg_cannot_open, inittab_path);
    return refusal::no_table;
  }
  // A line to be added gets every check a change gets.
  if (found == lookup::none && options.add && wanted.respawns) {
    inittab_entry added;  // number 0; the table's digest stays for the edit
    added.table_digest = entry.table_digest;
    entry = added;
  } else if (found == lookup::none) {
    if (device_number(name) == no_device) {
      std::printf(msg_no_device, name);
      return refusal::no_device;
    }
    std::printf(msg_no_entry, inittab_path, name);
    return refusal::no_entry;
  }

  refusal reason = refusal::none;
  long dialer = 0;
  // A getty on a line without a port fails at once, and init starts it
  // again and again: only a line for logins needs its port.
  const hardware port = wanted.respawns && options.hardware ? line_hardware(name) : hardware::present;
  if (is_set(entry, wanted)) {
    std::printf(msg_already_set, name, wanted.word);
    reason = refusal::already_set;
  } else if (port == hardware::no_device) {
    std::printf(msg_no_device, name);
    reason = refusal::no_device;
  } else if (port == hardware::absent) {
    std::printf(msg_no_hardware, name);
    reason = refusal::no_hardware;
  } else if (found == lookup::none && options.port && !shows_port(name)) {
    // Only a real port gets a new entry, not the console or a pseudo-device.
    std::printf(msg_no_port, name, sysfs_tty_directory);
    reason = refusal::no_port;
  } else if (wanted.respawns && (dialer = dialout_owner(name)) != 0) {
    std::printf(msg_in_use, name, dialer);
    reason = refusal::in_use;
  } else if (const auto sessions = who_output(); !sessions) {
    std::printf(msg_failed, who_command);
    reason = refusal::who_failed;
  } else if (login_on(*sessions, name)) {
    std::printf(msg_logged_in, name);
    reason = refusal::logged_in;
  } else {
    return refusal::none;
  }
  std::printf(msg_not_modified, inittab_path);
  return reason;
}

int check_line(const char* name) {
  inittab_entry entry;
  return check_entry(name, callin, entry, check_options{}) == refusal::none ? 1 : 0;
}

}  // namespace ttyenable
