#include "line_names.hpp"

#include <sys/stat.h>

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

int has_prefix(const char* prefix, const char* text) {
  for (; *prefix != '\0'; ++prefix, ++text) {
    if (*prefix != *text) return 0;
  }
  return 1;
}

int contains_text(const char* pattern, const char* text) {
  if (*text == '\0') return 0;
  return std::strstr(text, pattern) != nullptr ? 1 : 0;
}

int contains_word(const char* name, const char* line) {
  const std::size_t length = std::strlen(name);
  // A name is a word where no byte on either side could continue a line
  // name: tty1 is not the word in xtty1, tty10 or tty1-alt. strstr finds
  // each occurrence in turn, overlapping ones too.
  if (length == 0) return 0;
  for (const char* at = std::strstr(line, name); at != nullptr; at = std::strstr(at + 1, name)) {
    const bool starts = at == line || !continues_name(static_cast<unsigned char>(at[-1]));
    if (starts && !continues_name(static_cast<unsigned char>(at[length]))) return 1;
  }
  return 0;
}

int continues_name(unsigned char c) { return is_line_name_byte(c) || c == '.' ? 1 : 0; }

int is_line_name_byte(unsigned char c) { return is_ascii_alnum(c) || c == '_' || c == '-' ? 1 : 0; }

int is_line_name(const char* name) {
  if (!has_prefix(line_prefix, name)) return 0;
  const char* rest = name + std::strlen(line_prefix);
  std::size_t length = 0;
  for (; rest[length] != '\0'; ++length) {
    const unsigned char c = static_cast<unsigned char>(rest[length]);
    if (length == max_line_name - (sizeof line_prefix - 1)) return 0;
    if (!is_line_name_byte(c)) return 0;
  }
  return length > 0 ? 1 : 0;
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
