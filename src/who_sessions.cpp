#include "who_sessions.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "command_output.hpp"
#include "line_names.hpp"
#include "paths.hpp"
#include "system_calls.hpp"

namespace ttyenable {
namespace {

// The shell's status for a command it cannot find.
constexpr int command_not_found = 127;

// The first and second fields of a line, split at blanks.
who_session split_session(const char* text) {
  who_session session;
  std::string* fields[] = {&session.user, &session.line};
  for (std::string* field : fields) {
    text += std::strspn(text, " \t");
    const std::size_t length = std::strcspn(text, " \t\n");
    field->assign(text, length);
    text += length;
  }
  if (session.line.rfind(device_prefix, 0) == 0) session.line.erase(0, sizeof device_prefix - 1);
  return session;
}

// Whether no directory of the search path holds `who`. Only a name that is
// surely not there counts: a shell that cannot read a directory, or a
// dynamic loader that fails, ends with 127 too.
bool who_is_missing() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : paths::search_path;
  for (;;) {
    const std::size_t colon = rest.find(':');
    const std::string_view directory = rest.substr(0, colon);
    const std::string name = (directory.empty() ? std::string(".") : std::string(directory)) + "/" + who_command;
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0 || (errno != ENOENT && errno != ENOTDIR)) return false;
    if (colon == std::string_view::npos) return true;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

std::optional<std::vector<who_session>> who_output() {
  const command_output who = run_command(who_command);
  std::vector<who_session> sessions;
  // A `who` that could not be started (no pipe, no process, no memory)
  // proves nothing either: only the shell's word makes it not installed.
  if (!who.started) return std::nullopt;
  if (who.exited_with(command_not_found) && who_is_missing()) return sessions;
  // Part of the output is no proof that nobody else is logged in: a `who`
  // killed half-way, by its caller or a fault, says nothing.
  if (!who.succeeded()) return std::nullopt;
  for (const auto& text : who.lines) sessions.push_back(split_session(text.c_str()));
  return sessions;
}

std::optional<std::string> login_on(const std::vector<who_session>& sessions, const std::string& line) {
  for (const auto& session : sessions) {
    if (session.line == line) return session.user;
  }
  return std::nullopt;
}

}  // namespace ttyenable
