// Feeds arbitrary bytes as a line name and as a line of the table or of
// `who` through the name rule, the text tests and the edit command.
// Input: the name, a NUL byte, then the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "enable_sequence.hpp"
#include "line_names.hpp"

namespace {

bool is_safe_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Every command differs from the reference one only where the name stands.
void check_command(const std::string& name, const char* init, const ttyenable::line_setting& wanted) {
  char command[ttyenable::edit_command_size];
  char reference[ttyenable::edit_command_size];
  if (ttyenable::compose_edit_command(command, sizeof command, name.c_str(), init, wanted) != 0) std::abort();
  if (ttyenable::compose_edit_command(reference, sizeof reference, "tty0", init, wanted) != 0) std::abort();
  std::string expected = reference;
  const std::size_t at = expected.find("tty0");
  if (at == std::string::npos || expected.find("tty0", at + 1) != std::string::npos) std::abort();
  expected.replace(at, 4, name);
  if (expected != command) std::abort();

  // A buffer one byte short is refused, never filled with a cut command.
  const std::size_t length = std::strlen(command);
  std::string short_buffer(length, 'x');
  if (ttyenable::compose_edit_command(short_buffer.data(), length, name.c_str(), init, wanted) != -1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string name = input.substr(0, split);
  const std::string line = split == std::string::npos ? std::string() : input.substr(split + 1);

  const int word = ttyenable::contains_word(name.c_str(), line.c_str());
  const int text = ttyenable::contains_text(name.c_str(), line.c_str());
  if (word && !text && !name.empty()) std::abort();  // a word is always a text match
  ttyenable::has_prefix(name.c_str(), line.c_str());

  if (ttyenable::is_line_name(name.c_str())) {
    if (name.size() < 4 || name.size() > ttyenable::max_line_name || name.compare(0, 3, "tty") != 0) std::abort();
    for (const char c : name) {
      if (!is_safe_byte(static_cast<unsigned char>(c))) std::abort();
    }
    for (const auto* wanted : {&ttyenable::callin, &ttyenable::callout}) {
      check_command(name, ttyenable::telinit_command, *wanted);
      check_command(name, ttyenable::init_command, *wanted);
    }
  }
  return 0;
}
