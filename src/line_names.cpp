#include "line_names.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace ttyenable {
namespace {

constexpr std::size_t device_path_size = 32;

// Classified by hand rather than by <cctype>: the answer must not depend on
// the locale, and bytes from 0x80 up always end a word.
bool is_ascii_alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

int device_status(const char* name, struct stat& status) {
  char path[device_path_size];
  const int written = std::snprintf(path, sizeof path, "%s%s", device_prefix, name);
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return ::stat(path, &status);
}

int has_prefix(const char* prefix, const char* text) { return std::strncmp(prefix, text, std::strlen(prefix)) == 0 ? 1 : 0; }

bool next_word(std::string_view& rest, std::string_view& word) {
  const auto in_name = [](char c) { return continues_name(static_cast<unsigned char>(c)) != 0; };
  const auto start = std::find_if(rest.begin(), rest.end(), in_name);
  const auto end = std::find_if_not(start, rest.end(), in_name);
  word = rest.substr(static_cast<std::size_t>(start - rest.begin()), static_cast<std::size_t>(end - start));
  rest.remove_prefix(static_cast<std::size_t>(end - rest.begin()));
  return !word.empty();
}

int contains_word(const char* name, const char* line) {
  std::string_view rest = line, word;
  while (next_word(rest, word)) {
    if (word == name) return 1;
  }
  return 0;
}

int continues_name(unsigned char c) { return is_line_name_byte(c) || c == '.' ? 1 : 0; }

int is_line_name_byte(unsigned char c) { return is_ascii_alnum(c) || c == '_' || c == '-' ? 1 : 0; }

int is_line_name(const char* name) {
  if (!has_prefix(line_prefix, name)) return 0;
  const char* rest = name + sizeof line_prefix - 1;
  const std::size_t length = ::strnlen(rest, max_line_name);  // no further, however long the argument
  const auto is_byte = [](char c) { return is_line_name_byte(static_cast<unsigned char>(c)) != 0; };
  const bool fits = length > 0 && length <= max_line_name - (sizeof line_prefix - 1);
  return fits && std::all_of(rest, rest + length, is_byte) ? 1 : 0;
}

device_id device_number(const char* name) {
  struct stat status {};
  if (device_status(name, status) != 0) return no_device;
  // Linux packs majors and minors into far fewer than 63 bits, so every
  // device it reports is a non-negative value distinct from no_device.
  if (status.st_rdev > static_cast<dev_t>(std::numeric_limits<device_id>::max())) return no_device;
  return static_cast<device_id>(status.st_rdev);
}

int is_character_device(const char* name) {
  struct stat status {};
  if (device_status(name, status) == 0) return S_ISCHR(status.st_mode) ? 1 : 0;
  return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? 0 : -1;
}

}  // namespace ttyenable
