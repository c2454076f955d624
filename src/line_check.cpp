#include "line_check.hpp"

#include <cstdio>

#include "dialout_lock.hpp"
#include "line_names.hpp"
#include "system_calls.hpp"

namespace ttyenable {
namespace {

constexpr char respawn_action[] = ":respawn:";

constexpr char msg_no_device[] = "/dev/%s: no such device\r\n";
constexpr char msg_no_entry[] = "No entry in %s for %s\r\n";
constexpr char msg_already_set[] = "%s is currently set for %s\r\n";
constexpr char msg_logged_in[] = "%s is logged in\r\n";
constexpr char msg_in_use[] = "%s is in use for callout by process %ld\r\n";
constexpr char msg_not_modified[] = "%s not modified\r\n";

// Reads until a line holds `name` as a word: 1 with that line in
// reader.line(), 0 at the end of the stream.
int find_word(line_reader& reader, std::FILE* stream, const char* name) {
  while (const char* line = reader.next(stream)) {
    if (contains_word(name, line)) return 1;
  }
  return 0;
}

// 1 when `who` shows a login on `name`. A `who` that cannot be started
// shows nobody: the change then goes ahead without the login test.
int is_logged_in(line_reader& reader, const char* name) {
  std::FILE* who = ::popen(who_command, "re");
  if (who == nullptr) return 0;
  const int found = find_word(reader, who, name);
  ::pclose(who);
  return found;
}

// Reads the entry of `name` into `reader`: 1 when the table has one, 0
// when it has none, -1 when it cannot be opened. Only the first line that
// names the line is the entry, even a comment.
int read_entry(line_reader& reader, const char* name) {
  std::FILE* table = std::fopen(inittab_path, "re");
  if (table == nullptr) return -1;
  const int found = find_word(reader, table, name);
  std::fclose(table);
  return found;
}

bool is_set(const line_reader& entry, const line_setting& wanted) {
  return (contains_text(respawn_action, entry.line()) != 0) == wanted.respawns;
}

}  // namespace

std::string refusal_text(refusal reason, const line_setting& wanted) {
  switch (reason) {
    case refusal::none: break;
    case refusal::no_table: return "table unreadable";
    case refusal::no_device: return "no such device";
    case refusal::no_entry: return "no entry";
    case refusal::already_set: return std::string("already set for ") + wanted.word;
    case refusal::in_use: return "in use for callout";
    case refusal::logged_in: return "logged in";
  }
  return "";
}

int entry_is_set(const char* name, const line_setting& wanted) {
  line_reader reader;
  return read_entry(reader, name) == 1 && is_set(reader, wanted) ? 1 : 0;
}

refusal check_entry(const char* name, const line_setting& wanted) {
  line_reader reader;
  const int found = read_entry(reader, name);
  if (found < 0) {
    std::printf(msg_cannot_open, inittab_path);
    return refusal::no_table;
  }
  if (!found) {
    if (device_number(name) == no_device) {
      std::printf(msg_no_device, name);
      return refusal::no_device;
    }
    std::printf(msg_no_entry, inittab_path, name);
    return refusal::no_entry;
  }

  refusal reason = refusal::none;
  long dialer = 0;
  if (is_set(reader, wanted)) {
    std::printf(msg_already_set, name, wanted.word);
    reason = refusal::already_set;
  } else if (wanted.respawns && (dialer = dialout_owner(name)) != 0) {
    std::printf(msg_in_use, name, dialer);
    reason = refusal::in_use;
  } else if (is_logged_in(reader, name)) {
    std::printf(msg_logged_in, name);
    reason = refusal::logged_in;
  } else {
    return refusal::none;
  }
  std::printf(msg_not_modified, inittab_path);
  return reason;
}

int check_line(const char* name) { return check_entry(name, callin) == refusal::none ? 1 : 0; }

}  // namespace ttyenable
