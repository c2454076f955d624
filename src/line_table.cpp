#include "line_table.hpp"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "command_line.hpp"
#include "dialout_lock.hpp"
#include "inittab_entry.hpp"
#include "line_check.hpp"
#include "line_names.hpp"
#include "privileges.hpp"
#include "system_calls.hpp"

namespace ttyenable {
namespace {

constexpr char nothing[] = "-";
constexpr std::size_t columns = 6;
constexpr const char* header[columns] = {"LINE", "ID", "ACTION", "DEVICE", "LOGIN", "CALLOUT"};

using row = std::vector<std::string>;

// A column's value as one word: empty becomes "-", and a byte that would
// break the alignment or reach a terminal as a control becomes '?'.
std::string one_word(const char* begin, const char* end) {
  std::string word(begin, end);
  for (char& c : word) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f) c = '?';
  }
  return word.empty() ? nothing : word;
}

// The next line of `stream` without its newline, or nullptr at its end.
const char* next_line(line_reader& reader, std::FILE* stream) {
  char* line = reader.next(stream);
  if (line != nullptr) line[std::strcspn(line, "\n")] = '\0';
  return line;
}

using wanted_lines = std::vector<const char*>;

bool is_wanted(const std::string& line, const wanted_lines& wanted) {
  return wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](const char* name) { return line == name; });
}

// The lines that an entry names: its id, as BusyBox's tables have it, and
// each word of its process field that is a line name, once each.
std::vector<std::string> lines_named(const inittab_entry& entry) {
  std::vector<std::string> lines;
  if (is_line_name(entry.id.c_str())) lines.push_back(entry.id);
  for (const char* at = entry.process.c_str(); *at != '\0';) {
    if (!is_line_name_byte(static_cast<unsigned char>(*at))) {
      ++at;
      continue;
    }
    const char* word_end = at;
    while (is_line_name_byte(static_cast<unsigned char>(*word_end))) ++word_end;
    std::string line(at, word_end);
    at = word_end;
    if (is_line_name(line.c_str()) && std::find(lines.begin(), lines.end(), line) == lines.end()) {
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

// The rows of the table: one for each line that an active entry names, and
// for a line that none names, one for its first commented-out entry, which
// shows its action behind a '#'. 0, or -1 when the table cannot be read.
int table_rows(const wanted_lines& wanted, std::vector<row>& rows) {
  inittab_reader table(inittab_path);
  if (!table.is_open()) return -1;
  std::vector<std::pair<inittab_entry, std::vector<std::string>>> entries;
  std::unordered_set<std::string> active;
  inittab_entry entry;
  while (table.next() != nullptr) {
    const int kind = table.parse(entry);
    if (kind == 0) continue;
    auto lines = lines_named(entry);
    if (kind == 1) active.insert(lines.begin(), lines.end());
    entries.emplace_back(entry, std::move(lines));
  }
  if (table.failed()) return -1;
  std::unordered_set<std::string> shown_commented;
  for (const auto& [e, lines] : entries) {
    for (const auto& line : lines) {
      if (!is_wanted(line, wanted)) continue;
      if (e.commented && (active.count(line) != 0 || !shown_commented.insert(line).second)) continue;
      const std::string action = (e.commented ? "#" : "") + e.action;
      rows.push_back({line, one_word(e.id.data(), e.id.data() + e.id.size()),
                      one_word(action.data(), action.data() + action.size())});
    }
  }
  return 0;
}

// The user that `who` shows on `line`, from its output read once.
std::string login_on(const std::string& line, const std::vector<std::string>& who) {
  for (const auto& session : who) {
    if (!contains_word(line.c_str(), session.c_str())) continue;
    const char* begin = session.c_str();
    while (*begin == ' ' || *begin == '\t') ++begin;
    const char* end = begin;
    while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
    return one_word(begin, end);
  }
  return nothing;
}

std::vector<std::string> who_output() {
  std::vector<std::string> sessions;
  std::FILE* who = ::popen(who_command, "re");
  if (who == nullptr) return sessions;
  line_reader lines;
  while (const char* session = next_line(lines, who)) sessions.emplace_back(session);
  ::pclose(who);
  return sessions;
}

void print_row(const row& columns_of, const std::size_t (&widths)[columns]) {
  std::string text;
  for (std::size_t column = 0; column + 1 < columns; ++column) {
    text += columns_of[column];
    text.append(widths[column] - columns_of[column].size() + 2, ' ');
  }
  text += columns_of[columns - 1];
  text += "\r\n";
  std::fputs(text.c_str(), stdout);
}

}  // namespace

int list_lines(int count, char* const names[]) {
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
  std::vector<row> rows;
  if (table_rows(wanted, rows) != 0) {
    std::printf(msg_cannot_open, inittab_path);
    return 1;
  }

  const std::vector<std::string> who = rows.empty() ? std::vector<std::string>{} : who_output();
  const auto locked = rows.empty() ? std::unordered_set<std::string>{} : dialout_locked_lines();
  for (auto& r : rows) {
    const device_id device = device_number(r[0].c_str());
    r.push_back(device == no_device ? nothing
                                    : std::to_string(major(static_cast<dev_t>(device))) + "," +
                                          std::to_string(minor(static_cast<dev_t>(device))));
    r.push_back(login_on(r[0], who));
    const long dialer = locked.count(r[0]) != 0 ? dialout_owner(r[0].c_str()) : 0;
    r.push_back(dialer == 0 ? nothing : std::to_string(dialer));
  }

  std::size_t widths[columns];
  for (std::size_t column = 0; column < columns; ++column) {
    widths[column] = std::strlen(header[column]);
    for (const auto& r : rows) widths[column] = std::max(widths[column], r[column].size());
  }
  print_row(row(std::begin(header), std::end(header)), widths);
  for (const auto& r : rows) print_row(r, widths);
  return 0;
}

}  // namespace ttyenable
