#include "line_check.hpp"

#include <cstdio>

#include "dialout_lock.hpp"
#include "line_hardware.hpp"
#include "line_names.hpp"
#include "paths.hpp"
#include "system_calls.hpp"
#include "who_sessions.hpp"

namespace ttyenable {

namespace {

bool is_set(const inittab_entry& entry, const line_setting& wanted) { return starts_logins(entry) == wanted.respawns; }

// The refusal of `name`, if any, with the detail its message names: `set`
// when it is already set as wanted, `add` when its entry is to be added.
std::optional<refusal> find_refusal(const char* name, const line_setting& wanted, const check_options& options, bool set,
                                    bool add, std::string& detail) {
  // A getty on a line without a port fails at once, and init starts it
  // again and again: only a line for logins needs its port.
  const hardware port = wanted.respawns && options.hardware ? line_hardware(name) : hardware::present;
  if (set) {
    detail = wanted.word;
    return refusal::already_set;
  }
  if (port == hardware::no_node) return refusal::no_node;
  if (port == hardware::absent) return refusal::no_hardware;
  // Only a real port gets a new entry, not the console or a pseudo-device.
  if (add && options.port && !shows_port(name)) {
    detail = paths::sysfs_ttys;
    return refusal::no_port;
  }
  if (const long dialer = wanted.respawns ? dialout_owner(name) : 0; dialer != 0) {
    detail = std::to_string(dialer);
    return refusal::in_use;
  }
  const auto sessions = who_output();
  if (!sessions) {
    detail = who_command;
    return refusal::who_failed;
  }
  if (login_on(*sessions, name)) return refusal::logged_in;
  return std::nullopt;
}

}  // namespace

std::optional<refusal> check_unit_line(const char* name, const line_setting& wanted, const check_options& options, bool set,
                                       const char* subject) {
  std::string detail;
  const auto refused = find_refusal(name, wanted, options, set, false, detail);
  if (refused) say_refusal(*refused, name, detail, subject);
  return refused;
}

void say_refusal(refusal reason, const char* name, const std::string& detail, const char* subject) {
  const refusal_row& row = row_of(reason);
  if (row.detail_first) {
    std::printf(row.message, detail.c_str(), name);
  } else {
    std::printf(row.message, name, detail.c_str());
  }
  if (row.not_modified) std::printf(msg_not_modified, subject);
}

std::string refusal_audit(refusal reason, const std::string& detail) {
  char text[64];
  const int written = std::snprintf(text, sizeof text, row_of(reason).audit, detail.c_str());
  return written >= 0 && static_cast<std::size_t>(written) < sizeof text ? text : row_of(reason).audit;
}

int entry_is_set(init_kind init, const inittab_entry& entry, const char* name, const line_setting& wanted) {
  // A table that cannot be read is tried again: a change that took must
  // not be reported as a failure for one failed read.
  for (int tries = 0; tries < 3; ++tries) {
    inittab_entry now;
    const lookup found = entry_at(paths::inittab, init, entry.number, name, now);
    if (found != lookup::unreadable) return found == lookup::found && is_set(now, wanted) ? 1 : 0;
  }
  return -1;
}

check_result check_entry(const char* name, const line_setting& wanted, const check_options& options) {
  check_result result;
  std::string detail = paths::inittab;
  const lookup found = find_entry(paths::inittab, options.init, name, result.entry);
  if (found == lookup::unreadable) {
    result.refused = refusal::no_table;
  } else if (found == lookup::none && !(options.add && wanted.respawns)) {
    result.refused = device_number(name) == no_device ? refusal::no_line : refusal::no_entry;
  } else {
    // A line to be added gets every check a change gets; of the table, it
    // keeps the bytes that the edit checks.
    if (found == lookup::none) {
      result.add = true;
      inittab_entry table;
      table.table_bytes = result.entry.table_bytes;
      result.entry = table;
    }
    result.refused = find_refusal(name, wanted, options, is_set(result.entry, wanted), result.add, detail);
  }
  if (result.refused) say_refusal(*result.refused, name, detail);
  return result;
}

}  // namespace ttyenable
