// Line names and device numbers.
//
// A line is recognised in three places: the tool's argument, the lines of
// /etc/inittab and the lines that `who` prints. The text tests here are the
// ones all three use; they compare bytes exactly, with no case folding and
// no locale. `is_line_name` is the one rule that says which names the tool
// accepts at all; `device_number` asks the file system under /dev.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ttyenable {

/// What a device path begins with, and what every line name begins with.
inline constexpr char device_prefix[] = "/dev/";
inline constexpr char line_prefix[] = "tty";

/// Device identity of a device file as the kernel reports it (st_rdev).
using device_id = std::int64_t;
/// What `device_number` gives for a path that cannot be examined.
inline constexpr device_id no_device = -1;

/// The longest line name whose device path fits the 32-byte buffer.
inline constexpr std::size_t max_line_name = 26;

/// 1 when `text` begins with every character of `prefix`, else 0.
int has_prefix(const char* prefix, const char* text);

/// false when `rest` holds no word, a longest run of bytes that
/// `continues_name`; else true, with the first in `word` (a view into the
/// text, which gives its place) and `rest` past it.
bool next_word(std::string_view& rest, std::string_view& word);

/// 1 when some word of `line` (`next_word`) is `name`, else 0: a line
/// name with no byte that `continues_name` on either side. "/dev/ttyS0",
/// "ttyS0,115200" and "ttyS0::" hold ttyS0; "xttyS0", "ttyS0-alt" and
/// "ttyS01" do not.
int contains_word(const char* name, const char* line);

/// 1 when `c` could continue a line name in a text: an ASCII letter or
/// digit, '_', '-' or '.'.
int continues_name(unsigned char c);

/// 1 when `c` may follow "tty" in a line name: an ASCII letter or digit,
/// '_' or '-'.
int is_line_name_byte(unsigned char c);

/// 1 when `name` is "tty" followed by 1 to 23 ASCII letters, digits, '_'
/// or '-', else 0. Such a name is safe inside a shell command and a sed
/// regular expression, and fits the device path.
int is_line_name(const char* name);

/// The status of /dev/`name`, following symbolic links: 0, or -1 when the
/// path cannot be examined or does not fit the path buffer.
int device_status(const char* name, struct stat& status);

/// The device number of /dev/`name`, following symbolic links; `no_device`
/// when that path cannot be examined or does not fit the path buffer.
device_id device_number(const char* name);

/// 1 when /dev/`name`, following symbolic links, is a character device; 0
/// when it is missing or something else; -1 when it cannot be examined.
int is_character_device(const char* name);

}  // namespace ttyenable
