#include "audit_log.hpp"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "line_names.hpp"
#include "privileges.hpp"

namespace ttyenable {
namespace {

constexpr char no_terminal[] = "-";

// `text` with every control byte written as \ooo, and the backslash too,
// so that the record reads back unambiguously.
std::string escaped(const char* text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    const unsigned char c = static_cast<unsigned char>(*text);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string real_user() {
  const uid_t uid = caller_uid();
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr && entry->pw_name != nullptr ? escaped(entry->pw_name) : "uid " + std::to_string(uid);
}

std::string terminal() {
  const char* name = ::ttyname(STDIN_FILENO);
  if (name == nullptr) return no_terminal;
  return escaped(has_prefix(device_prefix, name) ? name + sizeof device_prefix - 1 : name);
}

}  // namespace

void audit(const char* program, int priority, const char* line, const char* outcome) {
  const std::string record = real_user() + " on " + terminal() + ": " + escaped(line) + " " + outcome;
  ::openlog(program, LOG_PID, LOG_AUTHPRIV);
  ::syslog(priority, "%s", record.c_str());
  ::closelog();
}

}  // namespace ttyenable
