// The getty units through which systemd serves the lines, where systemd is
// the running init: serial-getty@NAME.service for a serial line (every
// name that is not a virtual console), getty@ttyN.service for a virtual
// console ttyN. systemd never reads /etc/inittab, so on such a host the
// tools change and show units instead of entries.
//
// Everything here asks or tells systemd through `systemctl`, run by the
// shell with the process's ids and environment: the caller has made both
// root's own and built from nothing in a set-user-id run.
//
// Rules:
//  1. A unit name is made only from a line name that passes
//     `is_line_name`, with '-' escaped as systemd escapes it, and enters a
//     shell command only between single quotes.
//  2. A unit enabled by a generator (the kernel's console) is never
//     disabled or masked here: only its owner may mask it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ttyenable {

/// The getty unit of line `name`.
std::string getty_unit(const std::string& name);

/// The line that getty unit `unit` serves, or empty when it is no getty
/// unit or names no line.
std::string unit_line(const std::string& unit);

/// A unit's state, as systemd shows it.
struct unit_state {
  std::string unit;
  std::string file_state;  // UnitFileState: enabled, disabled, generated, ...; empty when it has none
  std::string active;      // ActiveState: active, inactive, failed, activating, ...
  bool generated = false;  // a generator enabled it

  /// Started at every boot: enabled, or by a generator.
  bool enabled() const;
  bool running() const { return active == "active"; }
  /// Serves the line for logins (`logins`): started at boot and running;
  /// or for dialling out: neither.
  bool is_set_for(bool logins) const { return logins ? enabled() && running() : !enabled() && !running(); }
  /// Shown by ttylines: started at boot, or neither inactive nor failed.
  bool is_listed() const { return enabled() || (active != "inactive" && active != "failed"); }
  /// The ACTION column of ttylines: "enabled/active" and the like.
  std::string shown() const;
};

/// The states of `units`, by one `systemctl show`, in the same order; none
/// when systemctl cannot be run or fails.
std::optional<std::vector<unit_state>> unit_states(const std::vector<std::string>& units);

/// The getty units that systemd has loaded: the enabled, generated and
/// running ones among them; none when systemctl cannot be run or fails.
std::optional<std::vector<std::string>> loaded_getty_units();

/// The one command that enables and starts `unit` (`enable`), or stops and
/// disables it.
std::string unit_command(const std::string& unit, bool enable);

}  // namespace ttyenable
