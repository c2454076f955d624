#include "command_line.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "line_names.hpp"

int show_only = 0;
int json_output = 0;
int force_hardware = 0;
int add_entry = 0;
int wait_for_getty = 0;

namespace ttyenable {
namespace {

constexpr char device_directory[] = "/dev";
constexpr char term_name[] = "term";

constexpr char msg_unknown_option[] = "Unknown option ignored: %c\r\n";
constexpr char msg_bad_form[] = "Arguments must be of form ttyNN\r\n";
constexpr char msg_no_term[] = "Can't find /dev/term\r\n";
constexpr char msg_no_term_link[] = "Can't find /dev/ttyNN link to /dev/term\r\n";

// The name handed on from the /dev scan points into this directory's
// entry, so it stays open for the rest of the run.
DIR* scanned_devices = nullptr;

// The first tty entry of /dev, in directory order, whose device number is
// that of /dev/term.
const char* term_line() {
  const device_id term = device_number(term_name);
  if (term == no_device) {
    std::fputs(msg_no_term, stdout);
    return nullptr;
  }
  scanned_devices = ::opendir(device_directory);  // close-on-exec
  if (scanned_devices != nullptr) {
    while (const dirent* entry = ::readdir(scanned_devices)) {
      if (entry->d_ino == 0 || !has_prefix(line_prefix, entry->d_name)) continue;
      // A name that could not be given as an argument is no line either.
      if (!is_line_name(entry->d_name)) continue;
      if (device_number(entry->d_name) == term) return entry->d_name;
    }
    ::closedir(scanned_devices);
    scanned_devices = nullptr;
  }
  std::fputs(msg_no_term_link, stdout);
  return nullptr;
}

}  // namespace

int read_options(int argc, char* argv[], program what) {
  // Options after the name are never read.
  int index = 1;
  for (; index < argc && argv[index][0] == '-'; ++index) {
    for (const char* letter = argv[index] + 1; *letter != '\0'; ++letter) {
      const bool lines = what == program::lines;
      if (lines && *letter == 'J') {
        json_output = 1;
      } else if (!lines && *letter == 'v') {
        show_only = 1;
      } else if (!lines && *letter == 'f') {
        force_hardware = 1;
      } else if (!lines && *letter == 'w') {
        wait_for_getty = 1;
      } else if (what != program::disable && *letter == 'a') {
        add_entry = 1;
      } else if (lines || *letter != 'm') {  // m: accepted for compatibility, no effect
        std::printf(msg_unknown_option, *letter);
      }
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

const char* choose_line(int argc, char* argv[]) {
  const int first = read_options(argc, argv, program::enable);
  return first < argc ? line_argument(argv[first]) : term_line();
}

}  // namespace ttyenable
