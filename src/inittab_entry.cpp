#include "inittab_entry.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

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
  const auto lines = getty_lines(entry);
  return std::find(lines.begin(), lines.end(), name) != lines.end();
}

std::vector<std::string> lines_named(const inittab_entry& entry) {
  std::vector<std::string> lines;
  std::string_view rest = entry.process.c_str(), word;  // to a NUL byte
  while (next_word(rest, word)) {
    std::string line(word);
    if (is_line_name(line.c_str()) && std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  // BusyBox runs the process on the id's terminal, but a getty there opens
  // the line it names, which is where its login prompt is: "tty4::respawn:
  // /sbin/getty 38400 tty5" serves tty5 alone.
  const bool id_serves = !entry.busybox || lines.empty();
  if (id_serves && is_line_name(entry.id.c_str())) {
    std::erase(lines, entry.id);
    lines.insert(lines.begin(), entry.id);
  }
  return lines;
}

std::vector<std::string> getty_lines(const inittab_entry& entry) {
  return keeps_getty(entry.action) ? lines_named(entry) : std::vector<std::string>{};
}

bool is_login_action(const std::string& action) { return action == "respawn" || action == "askfirst"; }

bool starts_logins(const inittab_entry& entry) { return !entry.commented && is_login_action(entry.action); }

inittab_reader::inittab_reader(const char* path, init_kind init) : table_(std::fopen(path, "re")), init_(init) {}

inittab_reader::~inittab_reader() {
  if (table_ != nullptr) std::fclose(table_);
}

const char* inittab_reader::next() {
  line_ = lines_.next(table_);
  if (line_ != nullptr) {
    ++number_;
    bytes_read_.append(line_, static_cast<std::size_t>(lines_.length()));
  }
  return line_;
}

bool inittab_reader::failed() const { return lines_.failed(); }

std::string inittab_reader::contents() {
  while (next() != nullptr) {
  }
  return std::move(bytes_read_);
}

int inittab_reader::parse(inittab_entry& entry) const {
  const char* at = line_ + std::strspn(line_, " \t");
  if (*at == '\0' || *at == '\n' || (at != line_ && init_ == init_kind::busybox)) return 0;
  entry = inittab_entry{};
  entry.number = number_;
  entry.length = lines_.length();
  entry.busybox = init_ == init_kind::busybox;
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

lookup find_entry(const char* path, init_kind init, const char* name, inittab_entry& entry) {
  inittab_reader table(path, init);
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
  entry.table_bytes = table.contents();
  // A read error is never the end of the table: the entry may lie beyond.
  if (table.failed()) return lookup::unreadable;
  return found ? lookup::found : lookup::none;
}

lookup entry_at(const char* path, init_kind init, long number, const char* name, inittab_entry& entry) {
  inittab_reader table(path, init);
  if (!table.is_open()) return lookup::unreadable;
  while (table.next() != nullptr) {
    if (table.number() == number) return names_line(table.parse(entry), entry, name) ? lookup::found : lookup::none;
  }
  return table.failed() ? lookup::unreadable : lookup::none;
}

}  // namespace ttyenable
