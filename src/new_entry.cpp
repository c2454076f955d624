#include "new_entry.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "line_names.hpp"

namespace ttyenable {
namespace {

constexpr char plain_runlevels[] = "2345";
constexpr char plain_action[] = "respawn";
constexpr char plain_process_format[] = " -L 115200 %s vt100";
// SysV ids are at most 4 characters; Debian's table asks for the last
// characters of the device.
constexpr std::size_t max_id = 4;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::string line_kind(const std::string& name) {
  std::size_t end = sizeof line_prefix - 1;
  while (end < name.size() && is_letter(name[end])) ++end;
  return name.substr(sizeof line_prefix - 1, end - (sizeof line_prefix - 1));
}

std::string replace_word(const std::string& text, const std::string& from, const std::string& to) {
  std::string result;
  const char* done = text.data();
  std::string_view rest = text, word;
  while (next_word(rest, word)) {
    if (word != from) continue;
    result.append(done, word.data()).append(to);
    done = word.data() + word.size();
  }
  return result.append(done, text.data() + text.size());
}

std::string free_id(const std::string& name, const std::vector<std::string>& ids) {
  const std::string suffix = name.substr(sizeof line_prefix - 1);
  std::string id = suffix.size() > max_id ? suffix.substr(suffix.size() - max_id) : suffix;
  // Appended rather than "x" + ...: GCC 12 at -O2 takes that insert for an
  // overlapping copy (-Wrestrict).
  for (int n = 1; std::find(ids.begin(), ids.end(), id) != ids.end(); ++n) id = std::string("x").append(std::to_string(n));
  return id;
}

int uncommented_id(const char* path, init_kind init, const inittab_entry& entry, const char* name, std::string& id) {
  inittab_reader table(path, init);
  if (!table.is_open()) return -1;
  std::vector<std::string> ids;
  bool taken = false;
  inittab_entry other;
  while (table.next() != nullptr) {
    const int parsed = table.parse(other);
    if (parsed == 0) continue;
    ids.push_back(other.id);
    taken = taken || (parsed == 1 && other.id == entry.id);
  }
  if (table.failed()) return -1;
  id = taken ? free_id(name, ids) : "";
  return 0;
}

plan plan_new_entry(const char* path, init_kind init, const char* name, const char* getty, new_entry& entry) {
  inittab_reader table(path, init);
  if (!table.is_open()) return plan::unreadable;
  const std::string kind = line_kind(name);
  std::vector<std::string> ids;
  inittab_entry model;
  std::string model_line;
  bool model_ends_line = true;
  // Without a model the entry follows the last entry, so that comments
  // that close the table ("# End /etc/inittab") stay last; a table of no
  // entries gets it at its end.
  long last = 0;
  bool last_ends_line = true;
  bool entry_seen = false;
  bool same_kind = false;
  inittab_entry candidate;
  while (table.next() != nullptr) {
    const int parsed = table.parse(candidate);
    if (parsed != 0 || !entry_seen) {
      last = table.number();
      last_ends_line = table.ends_line();
    }
    if (parsed == 0) continue;
    entry_seen = true;
    ids.push_back(candidate.id);
    if (same_kind) continue;
    const auto lines = getty_lines(candidate);
    if (lines.empty()) continue;
    // The first entry of a line of the same kind wins; till then, the first
    // of a serial line.
    if (line_kind(lines.front()) == kind) {
      same_kind = true;
    } else if (!model_line.empty() || line_kind(lines.front()).empty()) {
      continue;
    }
    model = candidate;
    model_line = lines.front();
    model_ends_line = table.ends_line();
  }
  if (table.failed()) return plan::unreadable;
  // A getty that is not there fails at once, and init starts it again and
  // again.
  if (model_line.empty() && getty == nullptr) return plan::no_getty;
  const bool ends_line = model_line.empty() ? last_ends_line : model_ends_line;

  const bool busybox = init == init_kind::busybox;
  std::string id = busybox ? name : free_id(name, ids);
  if (model_line.empty()) {
    char process[64];
    std::snprintf(process, sizeof process, plain_process_format, name);
    entry = {last, id + ":" + (busybox ? "" : plain_runlevels) + ":" + plain_action + ":" + getty + process, 0, 0};
  } else {
    if (busybox && model.id != model_line) id.clear();
    const std::string action = is_login_action(model.action) ? model.action : plain_action;
    const std::string process = replace_word(model.process, model_line, name);
    entry = {model.number, id + ":" + model.runlevels + ":" + action + ":" + process, 0, 0};
  }
  // sed ends an unterminated line before the text it appends after it.
  entry.table_size = table.size();
  entry.grows = static_cast<long>(entry.text.size()) + 1 + (ends_line ? 0 : 1);
  return plan::made;
}

}  // namespace ttyenable
