#include "command_line.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "line_names.hpp"
#include "messages.hpp"
#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr char term_name[] = "term";

// The name handed on from the /dev scan points into this directory's
// entry, so it stays open for the rest of the run.
DIR* scanned_devices = nullptr;

}  // namespace

// The first tty entry of /dev, in directory order, whose device number is
// that of /dev/term.
const char* term_line() {
  const device_id term = device_number(term_name);
  if (term == no_device) {
    std::fputs(msg_no_term, stdout);
    return nullptr;
  }
  scanned_devices = ::opendir(paths::devices);  // close-on-exec
  if (scanned_devices != nullptr) {
    while (const dirent* entry = ::readdir(scanned_devices)) {
      // A name that could not be given as an argument is no line either.
      if (entry->d_ino != 0 && is_line_name(entry->d_name) && device_number(entry->d_name) == term) return entry->d_name;
    }
    ::closedir(scanned_devices);
    scanned_devices = nullptr;
  }
  std::fputs(msg_no_term_link, stdout);
  return nullptr;
}

int read_options(int argc, char* argv[], program what, options& chosen) {
  const char* letters = what == program::lines ? lines_letters : what == program::disable ? disable_letters : enable_letters;
  // Options after the name are never read.
  int index = 1;
  for (; index < argc && argv[index][0] == '-'; ++index) {
    for (const char* letter = argv[index] + 1; *letter != '\0'; ++letter) {
      bool* flag = nullptr;
      switch (std::strchr(letters, *letter) != nullptr ? *letter : '\0') {
        case 'v': flag = &chosen.show_only; break;
        case 'f': flag = &chosen.force; break;
        case 'a': flag = &chosen.add; break;
        case 'w': flag = &chosen.wait; break;
        case 'J': flag = &chosen.json; break;
        case 'm': continue;
        default: std::printf(msg_unknown_option, *letter); continue;
      }
      *flag = true;
    }
  }
  return index;
}

program program_named(const char* argv0) {
  if (argv0 == nullptr) return program::enable;
  const char* slash = std::strrchr(argv0, '/');
  const char* name = slash == nullptr ? argv0 : slash + 1;
  if (std::strcmp(name, "ttydisable") == 0) return program::disable;
  if (std::strcmp(name, "ttylines") == 0) return program::lines;
  return program::enable;
}

const char* line_argument(const char* argument) {
  const char* name = has_prefix(device_prefix, argument) ? argument + sizeof device_prefix - 1 : argument;
  if (!is_line_name(name)) {
    std::fputs(msg_bad_form, stdout);
    return nullptr;
  }
  return name;
}

}  // namespace ttyenable
