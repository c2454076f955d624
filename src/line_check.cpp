#include "line_check.hpp"

#include <cstdio>
#include <cstdlib>

#include "dialout_lock.hpp"
#include "line_names.hpp"

namespace ttyenable {
namespace {

constexpr char who_command[] = "who";
constexpr char respawn_action[] = ":respawn:";

constexpr char msg_cannot_open[] = "Can't open %s\r\n";
constexpr char msg_no_device[] = "/dev/%s: no such device\r\n";
constexpr char msg_no_entry[] = "No entry in %s for %s\r\n";
constexpr char msg_already_set[] = "%s is currently set for %s\r\n";
constexpr char msg_logged_in[] = "%s is logged in\r\n";
constexpr char msg_in_use[] = "%s is in use for callout by process %ld\r\n";
constexpr char msg_not_modified[] = "%s not modified\r\n";

// Whole lines from a stream, into one buffer reused from line to line.
class line_reader {
 public:
  line_reader() = default;
  line_reader(const line_reader&) = delete;
  line_reader& operator=(const line_reader&) = delete;
  ~line_reader() { std::free(line_); }

  // Reads until a line holds `name` as a word: 1 with that line in line(),
  // 0 at the end of the stream. A read error ends the stream.
  int find_word(std::FILE* stream, const char* name) {
    while (::getline(&line_, &capacity_, stream) != -1) {
      if (contains_word(name, line_)) return 1;
    }
    return 0;
  }

  const char* line() const { return line_; }

 private:
  char* line_ = nullptr;
  std::size_t capacity_ = 0;
};

// 1 when `who` shows a login on `name`. A `who` that cannot be started
// shows nobody: the change then goes ahead without the login test.
int is_logged_in(line_reader& reader, const char* name) {
  std::FILE* who = ::popen(who_command, "re");
  if (who == nullptr) return 0;
  const int found = reader.find_word(who, name);
  ::pclose(who);
  return found;
}

}  // namespace

refusal check_entry(const char* name, const line_setting& wanted) {
  std::FILE* table = std::fopen(inittab_path, "re");
  if (table == nullptr) {
    std::printf(msg_cannot_open, inittab_path);
    return refusal::no_table;
  }
  line_reader reader;
  // Only the first line that names the line is the entry, even a comment.
  const int found = reader.find_word(table, name);
  std::fclose(table);

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
  if ((contains_text(respawn_action, reader.line()) != 0) == wanted.respawns) {
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
