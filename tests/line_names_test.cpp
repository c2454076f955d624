#include "line_names.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ttyenable {
namespace {

struct text_case {
  const char* pattern;
  std::string text;
  int expected;
};

TEST(line_names, contains_word_needs_no_name_byte_on_either_side) {
  const text_case cases[] = {
      {"tty1", "tty1", 1},                      // at the very end
      {"tty1", "1:2345:off:/sbin/getty tty1\n", 1},
      {"tty1", "tty1:", 1},
      {"tty1", "/dev/tty1,115200", 1},
      {"tty1", "xtty1:", 0},                    // a longer name in front
      {"tty1", "tty1_", 0},
      {"tty1", "tty1-alt", 0},
      {"tty1", "(tty1.example.net)", 0},
      {"tty1", "tty1\t", 1},
      {"tty1", std::string("tty1\x80"), 1},      // bytes from 0x80 end a word
      {"tty1", std::string("\xfftty1"), 1},
      {"tty1", "tty10", 0},
      {"tty1", "tty1a tty1Z", 0},
      {"tty1", "tty10 and later tty1\n", 1},    // the search goes on past tty10
      {"tty1", "", 0},
      {"tty1", "tty", 0},
      {"ttyS1", "ttys1:", 0},                   // no case folding
      {"tty1", "ttytty1 tty1", 1},              // overlapping starts
      {"", "abc", 0},
      {"", "ab:", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(contains_word(c.pattern, c.text.c_str()), c.expected) << c.pattern << " | " << c.text;
}

TEST(line_names, is_line_name_accepts_tty_and_a_short_safe_suffix) {
  const text_case cases[] = {
      {"", "ttyS1", 1},
      {"", "tty1", 1},
      {"", "ttyUSB_0-a", 1},
      {"", "tty" + std::string(23, 'x'), 1},  // 26 characters: the longest
      {"", "tty" + std::string(24, 'x'), 0},
      {"", "tty" + std::string(300, 'x'), 0},
      {"", "tty", 0},
      {"", "", 0},
      {"", "TTY1", 0},
      {"", "ttS1", 0},
      {"", "tty';touch /tmp/x;'", 0},
      {"", "tty$(id)", 0},
      {"", "tty/../../x", 0},
      {"", "tty.*", 0},
      {"", "tty1 2", 0},
      {"", "tty1\n", 0},
      {"", std::string("tty1\xc3\xa9"), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(is_line_name(c.text.c_str()), c.expected) << c.text;
}

}  // namespace
}  // namespace ttyenable
