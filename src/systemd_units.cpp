#include "systemd_units.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <string_view>

#include "command_output.hpp"
#include "line_names.hpp"
#include "paths.hpp"

namespace ttyenable {
namespace {

constexpr char serial_template[] = "serial-getty@";
constexpr char console_template[] = "getty@";
constexpr char unit_suffix[] = ".service";
// systemd's escape of '-' in an instance name, which it reads as '/'.
constexpr char escaped_dash[] = "\\x2d";
// The unit file states that start a unit at every boot.
constexpr const char* boot_states[] = {"enabled", "enabled-runtime", "generated"};
// Where generators put the units they enable.
constexpr const char* generator_directories[] = {paths::systemd_generator, paths::systemd_generator_early,
                                                 paths::systemd_generator_late};

// A virtual console: "tty" and digits alone.
bool is_virtual_console(std::string_view name) {
  if (name.size() <= sizeof line_prefix - 1 || name.substr(0, sizeof line_prefix - 1) != line_prefix) return false;
  for (const char c : name.substr(sizeof line_prefix - 1)) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

// The unit between single quotes: its bytes are a line name's and the
// escape's backslash, none of them a quote.
std::string quoted(const std::string& unit) { return "'" + unit + "'"; }

// Whether a generator's directory holds `unit` in one of its .wants
// directories, as the kernel console's getty is.
bool is_generated(const std::string& unit) {
  for (const char* directory : generator_directories) {
    DIR* listing = ::opendir(directory);
    if (listing == nullptr) continue;
    bool found = false;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name.size() <= 6 || name.substr(name.size() - 6) != ".wants") continue;
      struct stat status {};
      found = ::lstat((std::string(directory) + "/" + entry->d_name + "/" + unit).c_str(), &status) == 0;
      if (found) break;
    }
    ::closedir(listing);
    if (found) return true;
  }
  return false;
}

}  // namespace

std::string getty_unit(const std::string& name) {
  std::string instance;
  for (const char c : name) instance += c == '-' ? std::string(escaped_dash) : std::string(1, c);
  return (is_virtual_console(name) ? console_template : serial_template) + instance + unit_suffix;
}

std::string unit_line(const std::string& unit) {
  const std::string_view name = unit;
  std::string_view instance;
  for (const std::string_view prefix : {std::string_view(serial_template), std::string_view(console_template)}) {
    if (name.substr(0, prefix.size()) == prefix) instance = name.substr(prefix.size());
  }
  const std::string_view suffix = unit_suffix;
  if (instance.size() <= suffix.size() || instance.substr(instance.size() - suffix.size()) != suffix) return {};
  instance.remove_suffix(suffix.size());
  std::string line;
  for (std::size_t at = 0; at < instance.size(); ++at) {
    const bool dash = instance.substr(at, sizeof escaped_dash - 1) == escaped_dash;
    line += dash ? '-' : instance[at];
    if (dash) at += sizeof escaped_dash - 2;
  }
  // Each line has one unit: a console's under the other template is none.
  return is_line_name(line.c_str()) != 0 && getty_unit(line) == unit ? line : std::string();
}

bool unit_state::enabled() const {
  if (generated) return true;
  for (const char* state : boot_states) {
    if (file_state == state) return true;
  }
  return false;
}

std::string unit_state::shown() const { return (file_state.empty() ? "-" : file_state) + "/" + active; }

std::optional<std::vector<unit_state>> unit_states(const std::vector<std::string>& units) {
  std::string command = std::string(paths::systemctl) + " show -p Id -p UnitFileState -p ActiveState --";
  for (const auto& unit : units) command.append(" ").append(quoted(unit));
  const command_output shown = run_command(command.c_str());
  if (!shown.succeeded()) return std::nullopt;
  // One block of KEY=value lines for each unit, in the order asked, with
  // an empty line between two.
  std::vector<unit_state> states(units.size());
  std::size_t block = 0;
  for (const auto& line : shown.lines) {
    if (line.empty()) {
      ++block;
      continue;
    }
    if (block >= states.size()) return std::nullopt;
    const std::size_t equals = line.find('=');
    const std::string key = line.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
    if (key == "UnitFileState") states[block].file_state = value;
    if (key == "ActiveState") states[block].active = value;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    states[i].unit = units[i];
    states[i].generated = states[i].file_state == "generated" || is_generated(units[i]);
  }
  return states;
}

std::optional<std::vector<std::string>> loaded_getty_units() {
  const std::string command = std::string(paths::systemctl) +
                              " list-units --all --plain --no-legend --full --type=service 'getty@*' 'serial-getty@*'";
  const command_output listed = run_command(command.c_str());
  if (!listed.succeeded()) return std::nullopt;
  std::vector<std::string> units;
  for (const auto& line : listed.lines) {
    // The unit is the first word that names one: a failed unit's follows a mark.
    std::string_view rest = line, word;
    while (!rest.empty() && word.find(unit_suffix) == std::string_view::npos) {
      const std::size_t blank = rest.find(' ');
      word = rest.substr(0, blank);
      rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    if (!unit_line(std::string(word)).empty()) units.emplace_back(word);
  }
  return units;
}

std::string unit_command(const std::string& unit, bool enable) {
  return std::string(paths::systemctl) + (enable ? " -q enable --now " : " -q disable --now ") + quoted(unit);
}

}  // namespace ttyenable
