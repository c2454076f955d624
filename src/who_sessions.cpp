#include "who_sessions.hpp"

#include <cstring>

#include "command_output.hpp"
#include "line_names.hpp"

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

}  // namespace

std::optional<std::vector<who_session>> who_output() {
  const command_output who = run_command(who_command);
  std::vector<who_session> sessions;
  if (!who.started || who.exited_with(command_not_found)) return sessions;
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
