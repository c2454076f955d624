#include "inittab_entry.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "line_names.hpp"

namespace ttyenable {
namespace {

bool is_action_word(const std::string& action) {
  return !action.empty() && action.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
}

// The text from `at` to the next colon, and `at` moved past that colon; the
// rest of the line when there is none, with `at` then nullptr.
std::string next_field(const char*& at) {
  const char* colon = std::strchr(at, ':');
  if (colon == nullptr) {
    std::string rest(at, std::strcspn(at, "\n"));
    at = nullptr;
    return rest;
  }
  std::string field(at, colon);
  at = colon + 1;
  return field;
}

// Whether a line parsed as `kind`, active or commented out, is an entry of
// `name`.
bool names_line(int kind, const inittab_entry& entry, const char* name) {
  return kind != 0 && is_entry_of(entry, name);
}

}  // namespace

bool keeps_getty(const std::string& action) {
  return action == "respawn" || action == "off" || action == "ondemand" || action == "askfirst";
}

bool is_entry_of(const inittab_entry& entry, const char* name) {
  return keeps_getty(entry.action) && (entry.id == name || contains_word(name, entry.process.c_str()) != 0);
}

std::vector<std::string> lines_named(const inittab_entry& entry) {
  std::vector<std::string> lines;
  if (is_line_name(entry.id.c_str())) lines.push_back(entry.id);
  std::string_view rest = entry.process.c_str(), word;  // to a NUL byte, as `is_entry_of` reads it
  while (next_word(rest, word)) {
    std::string line(word);
    if (is_line_name(line.c_str()) && std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> getty_lines(const inittab_entry& entry) {
  return keeps_getty(entry.action) ? lines_named(entry) : std::vector<std::string>{};
}

bool is_login_action(const std::string& action) { return action == "respawn" || action == "askfirst"; }

bool starts_logins(const inittab_entry& entry) { return !entry.commented && is_login_action(entry.action); }

inittab_reader::inittab_reader(const char* path) : table_(std::fopen(path, "re")) {
  struct stat status {};
  if (table_ != nullptr && ::fstat(::fileno(table_), &status) == 0) size_ = status.st_size;
}

inittab_reader::~inittab_reader() {
  if (table_ != nullptr) std::fclose(table_);
}

const char* inittab_reader::next() {
  line_ = lines_.next(table_);
  if (line_ != nullptr) {
    ++number_;
    bytes_read_.update(line_, static_cast<std::size_t>(lines_.length()));
  }
  return line_;
}

bool inittab_reader::failed() const { return lines_.failed(); }

std::string inittab_reader::digest() {
  while (next() != nullptr) {
  }
  return bytes_read_.hex_digest();
}

int inittab_reader::parse(inittab_entry& entry) const {
  const char* at = line_ + std::strspn(line_, " \t");
  if (*at == '\0' || *at == '\n') return 0;
  entry = inittab_entry{};
  entry.number = number_;
  entry.length = lines_.length();
  entry.table_size = size_;
  if (*at == '#') {
    entry.commented = true;
    ++at;
    if (*at == '#' || *at == ' ' || *at == '\t') return 0;  // documentation
    entry.prefix = at - line_;
  }
  std::string* fields[] = {&entry.id, &entry.runlevels, &entry.action};
  for (std::string* field : fields) {
    if (at == nullptr) break;
    *field = next_field(at);
  }
  if (at != nullptr) entry.process.assign(at, std::strcspn(at, "\n"));
  if (entry.commented && (at == nullptr || !is_action_word(entry.action))) return 0;
  return entry.commented ? 2 : 1;
}

lookup find_entry(const char* path, const char* name, inittab_entry& entry) {
  inittab_reader table(path);
  if (!table.is_open()) return lookup::unreadable;
  inittab_entry candidate;
  bool found = false;
  while (const char* line = table.next()) {
    // Every entry of the line holds its name as a word somewhere: only such
    // lines are worth taking apart.
    if (!contains_word(name, line)) continue;
    const int kind = table.parse(candidate);
    if (!names_line(kind, candidate, name) || (found && kind != 1)) continue;
    entry = candidate;
    found = true;
    if (kind == 1) break;
  }
  // The edit replaces the table only while it is still these bytes, all
  // of them.
  entry.table_digest = table.digest();
  // A read error is never the end of the table: the entry may lie beyond.
  if (table.failed()) return lookup::unreadable;
  return found ? lookup::found : lookup::none;
}

lookup entry_at(const char* path, long number, const char* name, inittab_entry& entry) {
  inittab_reader table(path);
  if (!table.is_open()) return lookup::unreadable;
  while (table.next() != nullptr) {
    if (table.number() == number) return names_line(table.parse(entry), entry, name) ? lookup::found : lookup::none;
  }
  return table.failed() ? lookup::unreadable : lookup::none;
}

}  // namespace ttyenable
