#include "line_table.hpp"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "command_line.hpp"
#include "dialout_lock.hpp"
#include "init_control.hpp"
#include "inittab_entry.hpp"
#include "line_getty.hpp"
#include "line_hardware.hpp"
#include "line_names.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"
#include "systemd_units.hpp"
#include "messages.hpp"
#include "paths.hpp"
#include "who_sessions.hpp"

namespace ttyenable {
namespace {

constexpr char nothing[] = "-";
// The login of every line when `who` failed, and the getty when /proc
// cannot be read: unknown, and never "nobody".
constexpr char unknown[] = "?";
constexpr std::size_t columns = 8;
constexpr const char* header[columns] = {"LINE", "ID", "ACTION", "DEVICE", "LOGIN", "CALLOUT", "GETTY", "HW"};

struct row {
  std::string line;
  std::optional<std::string> id;  // none for a line with a port and no entry
  std::string action;
  bool commented = false;
  std::optional<bool> logins;  // its entry or unit starts a getty now, or not; none: no entry, or partly
  std::optional<std::string> device;  // "major,minor"
  std::optional<std::string> login;
  long callout = 0;  // the live dialer's pid, or 0
  std::optional<pid_t> getty;  // the pid of init's child on the line, or 0; none when unknown
  hardware port = hardware::unknown;
};

// A column's value as one word: empty becomes "-", and a byte that would
// break the alignment or reach a terminal as a control becomes '?'.
std::string one_word(const std::string& text) {
  std::string word = text;
  for (char& c : word) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f) c = '?';
  }
  return word.empty() ? nothing : word;
}

// A JSON string: every byte outside printable ASCII, and '"' and '\', as
// \u00XX, so that the document is valid whatever the table holds.
std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || c == '"' || c == '\\') {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string json_value(const std::optional<std::string>& text) { return text ? json_string(*text) : "null"; }

using wanted_lines = std::vector<const char*>;

bool is_wanted(const std::string& line, const wanted_lines& wanted) {
  return wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](const char* name) { return line == name; });
}

// The rows of the table: one for each line that an active entry names, and
// for a line that none names, one for its first commented-out entry; only
// entries that keep a getty count, as for the tools. 0, or -1 when the
// table cannot be read.
int table_rows(init_kind init, const wanted_lines& wanted, std::vector<row>& rows) {
  inittab_reader table(paths::inittab, init);
  if (!table.is_open()) return -1;
  std::unordered_set<std::string> active;
  std::unordered_set<std::string> commented;
  inittab_entry entry;
  while (table.next() != nullptr) {
    const int kind = table.parse(entry);
    if (kind == 0) continue;
    for (auto& line : getty_lines(entry)) {
      if (!is_wanted(line, wanted)) continue;
      if (kind == 1) active.insert(line);
      if (kind == 2 && !commented.insert(line).second) continue;
      rows.push_back({std::move(line), entry.id, entry.action, kind == 2, starts_logins(entry), {}, {}, 0, 0, {}});
    }
  }
  if (table.failed()) return -1;
  // A commented-out entry shows only for a line that no active one names.
  rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const row& r) { return r.commented && active.count(r.line) != 0; }),
             rows.end());
  return 0;
}

// On systemd, the rows of the lines whose getty unit starts at boot or
// runs, the unit as the id and its state as the action. 0, or -1 when
// systemctl fails.
int unit_rows(const wanted_lines& wanted, std::vector<row>& rows) {
  const auto loaded = loaded_getty_units();
  if (!loaded) return -1;
  std::vector<std::string> units;
  for (const auto& unit : *loaded) {
    if (is_wanted(unit_line(unit), wanted)) units.push_back(unit);
  }
  const auto states = units.empty() ? std::vector<unit_state>{} : unit_states(units);
  if (!states) return -1;
  for (const auto& state : *states) {
    if (!state.is_listed()) continue;
    const std::optional<bool> logins = state.is_set_for(true) ? std::optional(true)
                                       : state.is_set_for(false) ? std::optional(false) : std::nullopt;
    rows.push_back({unit_line(state.unit), state.unit, state.shown(), false, logins, {}, {}, 0, 0, {}});
  }
  return 0;
}

// The lines with a port and no row yet, for ttylines -a, sorted.
void add_lines_without_entry(const wanted_lines& wanted, std::vector<row>& rows) {
  auto lines = lines_with_hardware();
  std::sort(lines.begin(), lines.end());
  for (auto& line : lines) {
    const bool listed = std::any_of(rows.begin(), rows.end(), [&](const row& r) { return r.line == line; });
    if (!listed && is_wanted(line, wanted)) rows.push_back({std::move(line), std::nullopt, "", false, std::nullopt, {}, {}, 0, 0, {}});
  }
}

// HW, in columns or in JSON.
const char* hardware_text(hardware port, bool json) {
  if (port == hardware::present) return json ? "true" : "yes";
  return port == hardware::unknown ? (json ? "null" : nothing) : (json ? "false" : "no");
}

void print_columns(const std::vector<row>& rows) {
  std::vector<std::vector<std::string>> texts{std::vector<std::string>(std::begin(header), std::end(header))};
  for (const auto& r : rows) {
    texts.push_back({r.line, one_word(r.id.value_or("")), one_word((r.commented ? "#" : "") + r.action),
                     r.device.value_or(nothing), one_word(r.login.value_or("")),
                     r.callout == 0 ? nothing : std::to_string(r.callout),
                     !r.getty ? unknown : *r.getty == 0 ? nothing : std::to_string(*r.getty), hardware_text(r.port, false)});
  }
  std::size_t widths[columns] = {};
  for (const auto& t : texts) {
    for (std::size_t column = 0; column < columns; ++column) widths[column] = std::max(widths[column], t[column].size());
  }
  for (const auto& t : texts) {
    std::string text;
    for (std::size_t column = 0; column + 1 < columns; ++column) {
      text += t[column];
      text.append(widths[column] - t[column].size() + 2, ' ');
    }
    text += t[columns - 1] + "\r\n";
    std::fputs(text.c_str(), stdout);
  }
}

void print_json(const std::vector<row>& rows, init_kind init) {
  std::string text = "{\"lines\": [";
  for (const auto& r : rows) {
    if (&r != &rows.front()) text += ", ";
    text += "{\"line\": " + json_string(r.line) + ", \"id\": " + json_value(r.id) +
            ", \"action\": " + (r.id ? json_string(r.action) : "null") +
            ", \"commented\": " + (r.commented ? "true" : "false") + ", \"device\": " + json_value(r.device) +
            ", \"login\": " + json_value(r.login) +
            ", \"callout\": " + (r.callout == 0 ? "null" : std::to_string(r.callout)) +
            ", \"getty\": " + (r.getty.value_or(0) == 0 ? "null" : std::to_string(*r.getty)) +
            ", \"hardware\": " + hardware_text(r.port, true) + ", \"logins\": " + (r.logins ? (*r.logins ? "true" : "false") : "null") + "}";
  }
  text += std::string("], \"init\": ") + json_string(init_name(init)) + "}\n";
  std::fputs(text.c_str(), stdout);
}

}  // namespace

int list_lines(int count, char* const names[], bool json, bool with_unlisted) {
  // Anybody may look: nothing here needs what a set-user-id start gave.
  if (drop_privileges() != 0) {
    std::fputs(msg_cannot_set_uid, stdout);
    return 1;
  }
  wanted_lines wanted;
  for (int i = 0; i < count; ++i) {
    wanted.push_back(line_argument(names[i]));
    if (wanted.back() == nullptr) return 1;
  }
  const init_kind init = host_init();
  std::vector<row> rows;
  if (init == init_kind::systemd ? unit_rows(wanted, rows) != 0 : table_rows(init, wanted, rows) != 0) {
    std::printf(init == init_kind::systemd ? msg_failed : msg_cannot_open, init == init_kind::systemd ? paths::systemctl : paths::inittab);
    return 1;
  }
  if (with_unlisted) add_lines_without_entry(wanted, rows);

  const auto who = rows.empty() ? std::nullopt : who_output();
  const auto locked = rows.empty() ? std::unordered_set<std::string>{} : dialout_locked_lines();
  const auto children = rows.empty() ? std::optional<std::vector<init_child>>{} : init_children();
  for (auto& r : rows) {
    const device_id device = device_number(r.line.c_str());
    if (device != no_device) {
      r.device = std::to_string(major(static_cast<dev_t>(device))) + "," + std::to_string(minor(static_cast<dev_t>(device)));
    }
    r.login = who ? login_on(*who, r.line) : unknown;
    r.callout = locked.count(r.line) != 0 ? dialout_owner(r.line.c_str()) : 0;
    r.getty = children ? std::optional(getty_on(device, *children)) : std::nullopt;
    r.port = line_hardware(r.line.c_str());
  }
  if (json) {
    print_json(rows, init);
  } else {
    print_columns(rows);
  }
  return 0;
}

}  // namespace ttyenable
