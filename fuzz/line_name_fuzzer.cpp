// Feeds arbitrary bytes as a line name and as a table through the name
// rule, the text tests, the entry reader and the listing, the edit command
// and the command that adds an entry.
// Input: the name, a NUL byte, then the table.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "enable_sequence.hpp"
#include "inittab_entry.hpp"
#include "line_names.hpp"
#include "new_entry.hpp"

namespace {

bool is_safe_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The table as a file the reader can open by name.
std::string table_path(const std::string& table) {
  static const int fd = ::memfd_create("table", 0);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, table.data(), table.size(), 0) != static_cast<ssize_t>(table.size())) {
    std::abort();
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

// No byte of the table reaches the shell: the command is the same for a
// bare entry with only the line number, whether it is commented out and the
// sizes, and so is the size it expects.
void check_command(const ttyenable::inittab_entry& entry, long lines) {
  if (entry.number < 1 || entry.number > lines) std::abort();
  ttyenable::inittab_entry bare;
  bare.number = entry.number;
  bare.commented = entry.commented;
  // The bytes of the action never enter the command, though its length
  // enters the size, and whether it starts a login decides BusyBox's
  // uncommenting.
  bare.table_bytes = entry.table_bytes;
  bare.prefix = entry.prefix;
  bare.action = ttyenable::is_login_action(entry.action) ? entry.action : std::string(entry.action.size(), 'x');
  for (const auto* wanted : {&ttyenable::callin, &ttyenable::callout}) {
    for (const auto init : {ttyenable::init_kind::telinit, ttyenable::init_kind::sysv, ttyenable::init_kind::busybox}) {
      const auto command = ttyenable::compose_edit_command(entry, *wanted, init, "");
      const auto reference = ttyenable::compose_edit_command(bare, *wanted, init, "");
      if (!command || !reference || command->text != reference->text || command->edited_size != reference->edited_size ||
          command->text.size() >= ttyenable::edit_command_size) {
        std::abort();
      }
    }
  }
}

// The quoted entry, unquoted as the shell and then sed's append read it;
// a quote or a backslash that would end or escape anything aborts.
std::string unquote(const std::string& quoted) {
  std::string shell;
  for (std::size_t at = 0; at < quoted.size(); ++at) {
    if (quoted.compare(at, 4, "'\\''") == 0) {
      shell += '\'';
      at += 3;
    } else if (quoted[at] == '\'') {
      std::abort();
    } else {
      shell += quoted[at];
    }
  }
  std::string text;
  for (std::size_t at = 0; at < shell.size(); ++at) {
    if (shell[at] == '\\' && (at + 1 == shell.size() || shell[++at] != '\\')) std::abort();
    text += shell[at];
  }
  return text;
}

// No byte of the table reaches the shell or sed unquoted when an entry is
// added: around the quoted text, the command is the one for a bare entry,
// and the text read back is the planned one.
void check_added(const std::string& path, const std::string& name) {
  for (const auto init : {ttyenable::init_kind::sysv, ttyenable::init_kind::busybox}) {
    ttyenable::new_entry entry;
    if (ttyenable::plan_new_entry(path.c_str(), init, name.c_str(), "/sbin/getty", entry) != ttyenable::plan::made) {
      std::abort();
    }
    if (entry.text.find('\n') != std::string::npos) std::abort();
    ttyenable::new_entry bare{entry.after, "X", entry.table_size, entry.grows};
    const auto reference = ttyenable::compose_add_command(bare, ttyenable::init_kind::telinit);
    if (!reference) std::abort();
    const auto command = ttyenable::compose_add_command(entry, ttyenable::init_kind::telinit);
    if (!command) continue;
    const std::string& ref = reference->text;
    const std::string& got = command->text;
    const std::size_t mark = ref.find("a X'");
    if (mark == std::string::npos || got.size() < ref.size() - 1 || got.compare(0, mark + 2, ref, 0, mark + 2) != 0 ||
        got.compare(got.size() - (ref.size() - mark - 3), std::string::npos, ref, mark + 3) != 0) {
      std::abort();
    }
    if (unquote(got.substr(mark + 2, got.size() - ref.size() + 1)) != entry.text) std::abort();
  }
}

// The entry test and the listing agree on the lines that each entry serves.
void check_listing(const std::string& path, const std::string& name) {
  ttyenable::inittab_reader table(path.c_str(), ttyenable::init_kind::sysv);
  ttyenable::inittab_entry entry;
  while (table.next() != nullptr) {
    if (table.parse(entry) == 0) continue;
    const auto lines = ttyenable::getty_lines(entry);
    for (const auto& line : lines) {
      if (!ttyenable::is_entry_of(entry, line.c_str())) std::abort();
    }
    const bool listed = std::find(lines.begin(), lines.end(), name) != lines.end();
    if (ttyenable::is_entry_of(entry, name.c_str()) != listed) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string name = input.substr(0, split);
  const std::string table = split == std::string::npos ? std::string() : input.substr(split + 1);

  const int word = ttyenable::contains_word(name.c_str(), table.c_str());
  if (word && std::strstr(table.c_str(), name.c_str()) == nullptr) std::abort();  // a word is always a text match
  ttyenable::has_prefix(name.c_str(), table.c_str());

  if (ttyenable::is_line_name(name.c_str())) {
    if (name.size() < 4 || name.size() > ttyenable::max_line_name || name.compare(0, 3, "tty") != 0) std::abort();
    for (const char c : name) {
      if (!is_safe_byte(static_cast<unsigned char>(c))) std::abort();
    }
    const std::string path = table_path(table);
    ttyenable::inittab_entry entry;
    check_listing(path, name);
    const ttyenable::lookup found = ttyenable::find_entry(path.c_str(), ttyenable::init_kind::sysv, name.c_str(), entry);
    if (found == ttyenable::lookup::none) check_added(path, name);
    if (found == ttyenable::lookup::found) {
      const long lines = static_cast<long>(std::count(table.begin(), table.end(), '\n')) +
                         (table.empty() || table.back() == '\n' ? 0 : 1);
      check_command(entry, lines);
      ttyenable::inittab_entry again;
      if (ttyenable::entry_at(path.c_str(), ttyenable::init_kind::sysv, entry.number, name.c_str(), again) != ttyenable::lookup::found ||
          again.commented != entry.commented || again.action != entry.action) {
        std::abort();
      }
    }
  }
  return 0;
}
