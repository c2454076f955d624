#include "new_entry.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "inittab_entry.hpp"
#include "line_names.hpp"

namespace ttyenable {
namespace {

constexpr char plain_runlevels[] = "2345";
constexpr char plain_process_format[] = " -L 115200 %s vt100";
// SysV ids are at most 4 characters; Debian's table asks for the last
// characters of the device.
constexpr std::size_t max_id = 4;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Whether the entry's program is a getty: util-linux's, BusyBox's or any
// other named so.
bool runs_getty(const inittab_entry& entry) {
  const char* program = entry.process.c_str();
  program += std::strspn(program, " \t-");  // BusyBox marks a login shell with '-'
  const std::string first(program, std::strcspn(program, " \t"));
  const std::size_t slash = first.rfind('/');
  const std::string base = slash == std::string::npos ? first : first.substr(slash + 1);
  return base == "getty" || base == "agetty";
}

// The id of the new entry on SysV init: the last characters of the device,
// or, when another entry has those, the first free one of x1, x2 ….
std::string sysv_id(const std::string& name, const std::vector<std::string>& ids) {
  const std::string suffix = name.substr(sizeof line_prefix - 1);
  std::string id = suffix.size() > max_id ? suffix.substr(suffix.size() - max_id) : suffix;
  // Appended rather than "x" + ...: GCC 12 at -O2 takes that insert for an
  // overlapping copy (-Wrestrict).
  for (int n = 1; std::find(ids.begin(), ids.end(), id) != ids.end(); ++n) id = std::string("x").append(std::to_string(n));
  return id;
}

}  // namespace

std::string line_kind(const std::string& name) {
  std::size_t end = sizeof line_prefix - 1;
  while (end < name.size() && is_letter(name[end])) ++end;
  return name.substr(sizeof line_prefix - 1, end - (sizeof line_prefix - 1));
}

std::string replace_word(const std::string& text, const std::string& from, const std::string& to) {
  std::string result;
  std::size_t done = 0;
  for (std::size_t at = text.find(from); at != std::string::npos && !from.empty(); at = text.find(from, at + 1)) {
    const bool starts = at == 0 || !continues_name(static_cast<unsigned char>(text[at - 1]));
    const bool ends = at + from.size() == text.size() || !continues_name(static_cast<unsigned char>(text[at + from.size()]));
    if (!starts || !ends || at < done) continue;
    result += text.substr(done, at - done) + to;
    done = at + from.size();
  }
  return result + text.substr(done);
}

int plan_new_entry(const char* path, const char* name, bool busybox, const char* getty, new_entry& entry) {
  inittab_reader table(path);
  if (!table.is_open()) return -1;
  const std::string kind = line_kind(name);
  std::vector<std::string> ids;
  inittab_entry model;
  std::string model_line;
  bool model_ends_line = true;
  bool last_ends_line = true;
  bool same_kind = false;
  inittab_entry candidate;
  while (table.next() != nullptr) {
    last_ends_line = table.ends_line();
    const int parsed = table.parse(candidate);
    if (parsed == 0) continue;
    ids.push_back(candidate.id);
    if (same_kind || !keeps_getty(candidate.action)) continue;
    const auto lines = lines_named(candidate);
    if (lines.empty()) continue;
    // The first entry of a line of the same kind wins; till then, the first
    // serial line's getty.
    if (line_kind(lines.front()) == kind) {
      same_kind = true;
    } else if (!model_line.empty() || line_kind(lines.front()).empty() || !runs_getty(candidate)) {
      continue;
    }
    model = candidate;
    model_line = lines.front();
    model_ends_line = table.ends_line();
  }
  if (table.failed()) return -1;
  const bool ends_line = model_line.empty() ? last_ends_line : model_ends_line;

  std::string id = busybox ? name : sysv_id(name, ids);
  if (model_line.empty()) {
    char process[64];
    std::snprintf(process, sizeof process, plain_process_format, name);
    entry = {table.number(), id + ":" + (busybox ? "" : plain_runlevels) + ":respawn:" + getty + process, 0, 0};
  } else {
    if (busybox && model.id != model_line) id.clear();
    entry = {model.number, id + ":" + model.runlevels + ":respawn:" + replace_word(model.process, model_line, name), 0, 0};
  }
  // sed ends an unterminated line before the text it appends after it.
  entry.table_size = table.size();
  entry.grows = static_cast<long>(entry.text.size()) + 1 + (ends_line ? 0 : 1);
  return 0;
}

}  // namespace ttyenable
