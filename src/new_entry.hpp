// A new entry for a line that has none (ttyenable -a), in the table's own
// style: modelled on the first getty entry of a line of the same kind
// (ttyUSB0 for ttyUSB1), or else of any serial line, whatever program it
// starts (a getty, a wrapper, a login shell), and placed right after it;
// without a model, a plain getty line after the table's last entry. The
// ids that entries take on SysV init, where two active entries never share
// one, are chosen here too.
//
// The entry is only text here: it reaches the shell and sed through
// `compose_add_command`, which quotes every byte of it.
#pragma once

#include <string>
#include <vector>

#include "inittab_entry.hpp"

namespace ttyenable {

/// The line to add and where.
struct new_entry {
  long after = 0;            // the line of the table it follows
  std::string text;          // the whole line, without its newline
  long long table_size = 0;  // the table's, as it was read
  long grows = 0;            // what the table grows by: the line, and a newline that `after` lacked
};

/// What planning a new entry came to.
enum class plan { made, no_getty, unreadable };

/// The letters right after "tty" in a line name: "USB" for ttyUSB1, "S"
/// for ttyS4, "" for tty1.
std::string line_kind(const std::string& name);

/// Plans the entry of `name` from the table at `path` for `init` (BusyBox
/// init's ids are line names), with `getty` as the program
/// of an entry made from nothing: `plan::no_getty` when that is needed and
/// `getty` is null.
plan plan_new_entry(const char* path, init_kind init, const char* name, const char* getty, new_entry& entry);

/// An id for an entry of `name` on SysV init that none of `ids` is: the
/// characters after "tty", the last 4 when there are more, or else the
/// first free one of x1, x2 ….
std::string free_id(const std::string& name, const std::vector<std::string>& ids);

/// The id that the commented-out `entry` of `name` takes when it is
/// uncommented on SysV init: empty when its own is no active entry's, else
/// a `free_id`. 0, or -1 when the table at `path`, for `init`, cannot be
/// read.
int uncommented_id(const char* path, init_kind init, const inittab_entry& entry, const char* name, std::string& id);

/// `text` with every word (`next_word`) that is `from` replaced by `to`.
std::string replace_word(const std::string& text, const std::string& from, const std::string& to);

}  // namespace ttyenable
