// A new entry for a line that has none (ttyenable -a), in the table's own
// style: modelled on the entry of a line of the same kind (ttyUSB0 for
// ttyUSB1), or else on the first serial line's getty, and placed right
// after it; without a model, a plain getty line at the end.
//
// The entry is only text here: it reaches the shell and sed through
// `compose_add_command`, which quotes every byte of it.
#pragma once

#include <string>

namespace ttyenable {

/// The line to add and where.
struct new_entry {
  long after = 0;            // the line of the table it follows
  std::string text;          // the whole line, without its newline
  long long table_size = 0;  // the table's, as it was read
  long grows = 0;            // what the table grows by: the line, and a newline that `after` lacked
  std::string table_digest = {};  // the table's as the check read it (`inittab_entry`), to compare before the edit
};

/// The letters right after "tty" in a line name: "USB" for ttyUSB1, "S"
/// for ttyS4, "" for tty1.
std::string line_kind(const std::string& name);

/// Plans the entry of `name` from the table at `path`, for BusyBox init
/// when `busybox` (whose ids are line names), with `getty` as the program
/// of an entry made from nothing. 0, or -1 when the table cannot be read.
int plan_new_entry(const char* path, const char* name, bool busybox, const char* getty, new_entry& entry);

/// `text` with every occurrence of `from` as a word (`contains_word`'s
/// rule) replaced by `to`.
std::string replace_word(const std::string& text, const std::string& from, const std::string& to);

}  // namespace ttyenable
