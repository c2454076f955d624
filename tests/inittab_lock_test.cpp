#include "inittab_lock.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "sandbox.hpp"

namespace ttyenable {
namespace {

namespace fs = std::filesystem;

class lock_directory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ttyenable-lock.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    lock_ = directory_ + "/LCK..inittab";
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string contents(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  ino_t inode(const std::string& path) const {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()));
  }

  std::string directory_;
  std::string lock_;
};

TEST_F(lock_directory, a_free_lock_is_taken_with_the_pid_in_four_bytes) {
  const mode_t mask = ::umask(022);
  ASSERT_EQ(make_lock(lock_.c_str(), lock_max_age), 0);
  ::umask(mask);
  const std::int32_t pid = ::getpid();
  EXPECT_EQ(contents(lock_), std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
  struct stat status {};
  ASSERT_EQ(::stat(lock_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  EXPECT_EQ(entries(), 1u);  // no LTMP.<pid> left
  EXPECT_EQ(std::string(lock_temp_path), directory_ + "/LTMP." + std::to_string(pid));
}

TEST_F(lock_directory, a_fresh_lock_is_honoured_and_left_untouched) {
  std::ofstream(lock_) << "othr";
  const ino_t before = inode(lock_);
  EXPECT_EQ(make_lock(lock_.c_str(), lock_max_age), -1);
  EXPECT_EQ(make_lock(lock_.c_str(), 0), -1);  // 0: never expires
  EXPECT_EQ(inode(lock_), before);
  EXPECT_EQ(contents(lock_), "othr");
  EXPECT_EQ(entries(), 1u);
  remove_lock(lock_.c_str());  // not ours: stays
  EXPECT_EQ(inode(lock_), before);
}

TEST_F(lock_directory, an_expired_lock_is_taken_over_and_released) {
  std::ofstream(lock_) << "left by a dead run";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_EQ(make_lock(lock_.c_str(), 1), 0);
  const std::int32_t pid = ::getpid();
  EXPECT_EQ(contents(lock_), std::string(reinterpret_cast<const char*>(&pid), sizeof pid));
  remove_lock(lock_.c_str());
  EXPECT_EQ(entries(), 0u);
}

TEST_F(lock_directory, link_lock_fails_on_an_existing_name_and_cleans_up) {
  const std::string temp = directory_ + "/LTMP.42";
  std::ofstream(temp) << "stale";  // left by a dead run with our pid
  ASSERT_EQ(link_lock(42, temp.c_str(), lock_.c_str()), 0);
  EXPECT_EQ(contents(lock_), std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(link_lock(43, temp.c_str(), lock_.c_str()), -1);
  EXPECT_EQ(contents(lock_), std::string("\x2a\0\0\0", 4));
  EXPECT_FALSE(fs::exists(temp));
}

// Many runs that judge the same old lock expired at the same moment: one
// takes it, the others find its fresh lock.
TEST_F(lock_directory, only_one_of_eight_racers_takes_over_an_expired_lock) {
  constexpr int rounds = 50;
  constexpr int racers = 8;
  for (int round = 0; round < rounds; ++round) {
    fs::create_directory(directory_ + "/" + std::to_string(round));
    std::ofstream(directory_ + "/" + std::to_string(round) + "/LCK") << "old";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // all older than 2 s
  for (int round = 0; round < rounds; ++round) {
    const std::string lock = directory_ + "/" + std::to_string(round) + "/LCK";
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    pid_t pids[racers];
    for (pid_t& pid : pids) {
      pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(gate[1]);
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }
        ::_exit(make_lock(lock.c_str(), 2) == 0 ? 0 : 1);
      }
    }
    ::close(gate[0]);
    ::close(gate[1]);  // opens the gate for all of them at once
    int winners = 0;
    for (const pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      winners += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    }
    ASSERT_EQ(winners, 1) << "round " << round;
    EXPECT_EQ(contents(lock).size(), 4u);
  }
}

TEST(inittab_lock, a_held_lock_makes_the_run_give_up_after_four_waits) {
  testing::sandbox box;
  box.with_table("S1:2345:off:/sbin/getty ttyS1\n").with_tty("ttyS1", 4, 65).with_file("etc/LCK..inittab", "othr", 0444);
  const auto start = std::chrono::steady_clock::now();
  const auto result = box.run({"ttyS1"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.output, "Non-expired lockfile: /etc/LCK..inittab\r\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(box.read("etc/LCK..inittab"), "othr");
  EXPECT_EQ(box.read("etc/inittab"), "S1:2345:off:/sbin/getty ttyS1\n");
  EXPECT_GE(waited, std::chrono::seconds(19));  // 4 attempts, each followed by 5 s
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_EQ(box.list("etc"), (std::vector<std::string>{"LCK..inittab", "inittab", "telinit"}));
}

}  // namespace
}  // namespace ttyenable
