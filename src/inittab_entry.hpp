// The one reader of /etc/inittab entries, which the line check, the
// re-read after an edit and the listing all share, so that they never
// disagree on what a line's entry is.
//
// An entry is "id:runlevels:action:process". A line whose first non-blank
// byte is '#' is a comment and never an active entry; it is a commented-out
// entry when the text right after its '#' has four fields and an action of
// lowercase letters, as the examples that distributions ship do
// ("#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100"). A comment whose text
// begins with a blank is documentation, never an entry: BusyBox shows its
// format as "#         tty2::askfirst:/bin/sh". BusyBox init keeps the
// blanks that begin a line as part of its id and never runs such a line:
// there, a line that begins with a blank is no entry, commented out or
// not. Lines are numbered as sed numbers them: only a newline ends one.
//
// The entry of a line is the first active entry that keeps a getty
// (`keeps_getty`) and whose id is the line's name or whose process holds
// it as a word (under BusyBox, the id only when the process names no line:
// a getty opens the line it names); failing that, the first such
// commented-out entry. A
// boot-time line that configures the port ("::sysinit:/bin/stty -F
// /dev/ttyS0 …") is never a line's entry.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "init_control.hpp"
#include "system_calls.hpp"

namespace ttyenable {

struct inittab_entry {
  long number = 0;  // its line in the table, from 1
  long length = 0;  // the bytes of that line, its newline included
  long prefix = 0;  // the bytes of the blanks and the '#' that go when it is uncommented
  std::string table_bytes;  // the whole table as it was read
  bool commented = false;
  std::string id;
  std::string runlevels;
  std::string action;
  std::string process;  // without its newline
  bool busybox = false;  // read for BusyBox init, where a getty's own line wins over the id
};

/// Whether init keeps a getty for entries with `action`: respawn, off,
/// ondemand, or BusyBox's askfirst.
bool keeps_getty(const std::string& action);

/// Whether `entry`, active or commented out, is an entry of line `name`.
bool is_entry_of(const inittab_entry& entry, const char* name);

/// The lines that `entry` names: its id, as BusyBox's tables have it
/// (there only when its process names none), and each word of its process
/// field that is a line name, once each, in that order (`next_word`).
std::vector<std::string> lines_named(const inittab_entry& entry);

/// The lines whose getty `entry` keeps: `lines_named` when it
/// `keeps_getty`, else none. `ttylines` lists an entry for each, and
/// `ttyenable -a` takes its model from them.
std::vector<std::string> getty_lines(const inittab_entry& entry);

/// Whether `action` starts a login: respawn, or BusyBox's askfirst, which
/// waits for Enter first.
bool is_login_action(const std::string& action);

/// Whether init starts a getty for `entry`: an active entry whose action
/// `is_login_action`.
bool starts_logins(const inittab_entry& entry);

/// The table line by line with each line's number; a read error is told
/// apart from the end.
class inittab_reader {
 public:
  /// Opens `path`, a table for `init`; `is_open` says whether that worked.
  inittab_reader(const char* path, init_kind init);
  inittab_reader(const inittab_reader&) = delete;
  inittab_reader& operator=(const inittab_reader&) = delete;
  ~inittab_reader();

  bool is_open() const { return table_ != nullptr; }
  /// The bytes read so far.
  long long size() const { return std::ssize(bytes_read_); }
  /// Whether the last line read ended with a newline.
  bool ends_line() const { return lines_.length() > 0 && line_[lines_.length() - 1] == '\n'; }
  /// The next line with its newline, or nullptr at the end or on an error.
  const char* next();
  long number() const { return number_; }
  /// After `next` gave nullptr: whether that was an error, not the end.
  bool failed() const;
  /// Reads the rest of the table: every byte read, when `failed` says
  /// false.
  std::string contents();
  /// The current line as an entry: 1 active, 2 commented out, 0 neither
  /// (a blank line, or a comment that is no entry).
  int parse(inittab_entry& entry) const;

 private:
  std::FILE* table_ = nullptr;
  init_kind init_;
  line_reader lines_;
  const char* line_ = nullptr;
  long number_ = 0;
  std::string bytes_read_;
};

/// What looking up a line's entry found.
enum class lookup { found, none, unreadable };

/// Reads the entry of `name` from `path` by the rules above, and the whole
/// table into `entry.table_bytes` whatever it finds.
lookup find_entry(const char* path, init_kind init, const char* name, inittab_entry& entry);

/// Reads line `number` of `path` into `entry`: found when it is an entry
/// of `name`, active or commented out.
lookup entry_at(const char* path, init_kind init, long number, const char* name, inittab_entry& entry);

}  // namespace ttyenable
