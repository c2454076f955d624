// End to end against the real programs the tool works with: SysV init,
// BusyBox init, the host's `who` reading utmp and the tables distributions
// ship. BusyBox's shell and applets edit the table in every fault point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"

namespace ttyenable::testing {
namespace {

const std::string sysvinit = std::string(PEERS_DIR) + "/sysvinit/sbin/init";
const std::string busybox = "/bin/busybox";

TEST(real_init, starts_the_enabled_line_and_no_other) {
  REQUIRE_PEER(sysvinit, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
  for (const bool with_telinit : {true, false}) {
    sandbox box;
    // Stands in for a getty: leaves a marker, then waits like one.
    box.with_file("line.sh", "#!/bin/sh\n: > " + box.root() + "/markers/$1\nexec sleep 600\n", 0755);
    const std::string line = box.root() + "/line.sh";
    const std::string table = "id:2:initdefault:\nS1:2345:off:" + line + " ttyS1\nS2:2345:off:" + line + " ttyS2\n";
    box.with_table(table).with_tty("ttyS1", 4, 65).with_tty("ttyS2", 4, 66).without_telinit();
    if (with_telinit) box.with_link("etc/telinit", "/usr/sbin/init");

    run_options options;
    options.inside = box.boot_init(sysvinit);
    const auto result = box.run({"ttyS1"}, options);
    EXPECT_EQ(result.output, "") << with_telinit;
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(box.wait_for("markers/ttyS1", 5)) << "telinit: " << with_telinit;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(box.exists("markers/ttyS2"));
    EXPECT_EQ(box.read("etc/inittab"), "id:2:initdefault:\nS1:2345:respawn:" + line + " ttyS1\nS2:2345:off:" + line + " ttyS2\n");
    EXPECT_EQ(box.read("etc/inittab.sav"), table);
  }
}

// The pids of init's children that run `program` on a terminal. One that
// init has just ended may still be exiting a while (state D, draining its
// line) with no terminal left: like a zombie, it holds no line.
std::vector<std::string> children_running(pid_t init, const std::string& program) {
  std::vector<std::string> found;
  std::istringstream children(sandbox::read_host("/proc/" + std::to_string(init) + "/task/" + std::to_string(init) + "/children"));
  for (std::string pid; children >> pid;) {
    const std::string stat = sandbox::read_host("/proc/" + pid + "/stat"), named = " (" + program + ") ";
    std::string state, skipped;
    long terminal = 0;
    std::istringstream fields(stat.find(named) == std::string::npos ? "" : stat.substr(stat.find(named) + named.size()));
    if (fields >> state >> skipped >> skipped >> skipped >> terminal && state != "Z" && terminal != 0) found.push_back(pid);
  }
  return found;
}

// The pid that process `pid` has in the innermost PID namespace, where the
// tool runs.
std::string pid_inside(const std::string& pid) {
  std::istringstream status(sandbox::read_host("/proc/" + pid + "/status"));
  std::string line, word, last;
  while (std::getline(status, line)) {
    for (std::istringstream in(line.rfind("NSpid:", 0) == 0 ? line : ""); in >> word;) last = word;
  }
  return last;
}

// Reads the master side of a pseudo-terminal until `text` has come, at most
// `seconds`.
bool line_shows(int master, const std::string& text, int seconds) {
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (seen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{master, POLLIN, 0};
    char buffer[256];
    ssize_t n = 0;
    if (::poll(&ready, 1, 100) == 1 && (n = ::read(master, buffer, sizeof buffer)) > 0) {
      seen.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no getty on the line yet
    }
  }
  return true;
}

// A pseudo-terminal stands in for the serial line: SysV init with
// util-linux agetty on an "off" entry, and BusyBox init with its own getty
// on a commented-out entry, as Alpine ships it.
TEST(real_init, a_real_getty_comes_with_ttyenable_and_goes_with_ttydisable) {
  REQUIRE_PEER(sysvinit, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
  REQUIRE_PEER("/sbin/agetty", "apt-get install util-linux");
  REQUIRE_PEER(busybox, "apt-get install busybox-static");
  for (const bool busybox_host : {false, true}) {
    int masters[2];  // ttyS1, ttyS2
    for (int& master : masters) {
      master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(master, 0);
      ASSERT_EQ(::grantpt(master), 0);
      ASSERT_EQ(::unlockpt(master), 0);
    }
    const int master = masters[0];
    sandbox box;
    // ttyS2's program ends within a second, as a getty that fails does.
    const std::string table = busybox_host ? "::respawn:/bin/sh -c ': > /run/ready; exec sleep 600'\n"
                                             "#ttyS1::respawn:/sbin/getty -L ttyS1 115200 vt100\n#ttyS2::respawn:/bin/sleep 0.5\n"
                                           : "id:2:initdefault:\nS1:2345:off:/sbin/agetty -L ttyS1 9600 vt100\n"
                                             "S2:2345:off:/bin/false ttyS2\n";
    box.with_table(table).with_tty("ttyS1", 4, 65).with_tty("ttyS2", 4, 66).without_telinit();
    const std::string bind_line = "mount --bind " + std::string(::ptsname(master)) + " " + box.root() + "/dev/ttyS1; " +
                                  "mount --bind " + std::string(::ptsname(masters[1])) + " " + box.root() + "/dev/ttyS2";
    run_options options;
    pid_t init = 0;
    if (busybox_host) {
      box.with_link("sbin/init", busybox).with_link("sbin/getty", busybox);
      init = box.boot("exec /usr/sbin/init", bind_line, "run/ready");
    } else {
      box.with_file("sbin/agetty", sandbox::read_host("/sbin/agetty"), 0755);
      init = box.boot_init(sysvinit, bind_line);
    }
    const std::string getty = busybox_host ? "getty" : "agetty";
    options.inside = init;

    // -w returns once the getty runs, and once it is gone.
    EXPECT_EQ(box.run({"-w", "ttyS1"}, options).status, 0);
    const auto gettys = children_running(init, getty);
    ASSERT_EQ(gettys.size(), 1u) << "BusyBox: " << busybox_host;
    EXPECT_TRUE(line_shows(master, "login: ", 10)) << "no login prompt on the line; BusyBox: " << busybox_host;
    options.program = "ttylines";
    options.set_user_id = true;  // who cannot read the getty's descriptors: its terminal shows it
    EXPECT_NE(box.run({"-J", "ttyS1"}, options).output.find("\"getty\": " + pid_inside(gettys.front()) + ","), std::string::npos);
    options.set_user_id = false;

    options.program = "ttydisable";
    const auto result = box.run({"-w", "ttyS1"}, options);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(box.read("etc/inittab"), table);
    EXPECT_TRUE(children_running(init, getty).empty()) << "init left the getty running; BusyBox: " << busybox_host;

    options.program = "ttyenable";
    run_options hand = options;  // a program on the line that init did not start is no getty
    hand.executable = "/bin/sh";
    const auto dialer = box.start({"-c", "exec sleep 60 < /dev/ttyS2"}, hand);
    const auto started = std::chrono::steady_clock::now();
    const auto dead = box.run({"-w", "ttyS2"}, options);
    ::kill(-dialer.pid, SIGKILL);
    box.finish(dialer);
    EXPECT_EQ(dead.output, "No getty on ttyS2\r\n");
    EXPECT_EQ(dead.status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    for (const int m : masters) ::close(m);
  }
}

// The words of the row that ttylines shows for `line`, one space apart.
std::string row_of(const sandbox& box, const std::string& line, run_options options) {
  options.program = "ttylines";
  std::istringstream output(box.run({line}, options).output);
  std::string header, row, words, word;
  std::getline(output, header);
  std::getline(output, row);
  for (std::istringstream in(row); in >> word;) words += (words.empty() ? "" : " ") + word;
  return words;
}

// The tables that distributions ship, as they ship them: Debian's from its
// package, Slackware's and Alpine's serial lines. On the BusyBox host
// /sbin/init is a link to busybox, and a recorder as process 1 of a PID
// namespace of its own takes the tool's "kill -HUP 1".
TEST(shipped_tables, the_tools_set_exactly_the_entry_of_the_line) {
  const std::string debian_table = std::string(PEERS_DIR) + "/sysvinit/usr/share/sysvinit/inittab";
  const std::string debian = sandbox::read_host(debian_table);
  const std::string slackware =
      "c1:12345:respawn:/sbin/agetty --noclear 38400 tty1 linux\r\n"  // a CR ends no line
      "#s1:12345:respawn:/sbin/agetty -L ttyS0 9600 vt100\n"
      "# Dialup: \n"
      "#d1:12345:respawn:/sbin/agetty -mt60 38400,19200,9600,2400,1200 ttyS0 vt100\n";
  // A board's table that sets up its modem line at boot.
  const std::string board =
      "ms::sysinit:/bin/stty -F /dev/ttyS0 9600 crtscts\n"
      "A:2345:off:/sbin/getty tty1-alt\nX:2345:off:/sbin/getty xtty1\n1:2345:off:/sbin/getty 38400 tty1\n"
      "T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n";
  const std::string alpine =
      "::sysinit:/sbin/openrc sysinit\n"
      "::sysinit:/bin/stty -F /dev/ttyS0 115200\n"
      "tty1::respawn:/sbin/getty 38400 tty1\n"
      "tty2::askfirst:-/bin/sh\n"
      "# Put a getty on the serial port\n"
      "#ttyS0::respawn:/sbin/getty -L ttyS0 115200 vt100\n";
  // As their projects ship them (tests/tables): Raspbian's of the sysvinit
  // era (2ndy/RaspIM, etc/inittab), BusyBox's examples/inittab, OpenWrt's
  // package/base-files/files/etc/inittab, and OpenEmbedded-Core's
  // sysvinit-inittab for two serial consoles, which without them is its
  // table for an image with none.
  const auto stock = [](const char* name) {
    return sandbox::read_host(std::filesystem::path(__FILE__).replace_filename("tables") / name);
  };
  const std::string raspbian = stock("raspbian.inittab"), busybox_table = stock("busybox.inittab");
  const std::string openwrt = stock("openwrt.inittab"), yocto = stock("yocto.inittab");
  const std::string serial =
      "S0:12345:respawn:/bin/start_getty 115200 ttyS0 vt102\nS1:12345:respawn:/bin/start_getty 115200 ttyS1 vt102\n";
  const std::string no_serial = std::string(yocto).erase(yocto.find(serial), serial.size());
  const std::string kept = "/etc/inittab not modified\r\n";
  struct shipped_case {
    std::string table;
    const char* program;
    const char* line;
    std::string entry;  // the entry's line before, which becomes ...
    std::string now;    // ... this; empty: a refusal that says `output`
    std::string output;
    std::string rows;  // ttylines before and after
    bool hard_link = false;  // /sbin/init a hard link of /bin/busybox
    bool add = false;        // ttyenable -a, then again: already set
    bool enable_after = false;  // then ttyenable gives the table back
    const char* getty = nullptr;  // a program the host has
  };
  const std::string u0 = "#U0:23:respawn:/sbin/getty -L ttyUSB0 9600 vt100\n";
  const std::string hostile = "#H0:23:respawn:/sbin/getty -L ttyH0 '$(: > /run/H1)' \\t \"& /` ttyH0x;\n";
  const shipped_case cases[] = {
      {debian, "ttyenable", "ttyS0", "#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n",
       "T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n", "", "ttyS0 T0 #respawn 4,64 - - - -|ttyS0 T0 respawn 4,64 - - - -"},
      {debian, "ttydisable", "ttyS0", "", "", "ttyS0 is currently set for callout\r\n" + kept, ""},
      {debian, "ttyenable", "ttyUSB1", u0, u0 + "USB1:23:respawn:/sbin/getty -L ttyUSB1 9600 vt100\n", "", "", false, true},
      {debian, "ttyenable", "ttyACM0", "#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n",
       "#T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\nACM0:23:respawn:/sbin/getty -L ttyACM0 9600 vt100\n", "", "", false, true},
      {u0, "ttyenable", "ttyUSB10", u0, u0 + "SB10:23:respawn:/sbin/getty -L ttyUSB10 9600 vt100\n", "", "", false, true},
      {hostile, "ttyenable", "ttyH1", hostile,
       hostile + "H1:23:respawn:/sbin/getty -L ttyH1 '$(: > /run/H1)' \\t \"& /` ttyH0x;\n", "", "", false, true},
      {slackware, "ttyenable", "ttyS1", "ttyS0 9600 vt100\n", "ttyS0 9600 vt100\nS1:12345:respawn:/sbin/agetty -L ttyS1 9600 vt100\n",
       "", "", false, true},
      {slackware, "ttyenable", "ttyS0", "#s1:", "s1:", "", ""},
      {"S1:2345:ondemand:/sbin/getty ttyS1\n", "ttyenable", "ttyS1", "ondemand", "respawn", "", ""},
      {"T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100 -f /etc/issue.site-ttyS0\n", "ttyenable", "ttyS1", "ttyS0\n",
       "ttyS0\nS1:23:respawn:/sbin/getty -L ttyS1 9600 vt100 -f /etc/issue.site-ttyS0\n", "", "", false, true},
      {"T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100", "ttyenable", "ttyS1", "vt100",
       "vt100\nS1:23:respawn:/sbin/getty -L ttyS1 9600 vt100\n", "", "", false, true},  // no newline at its end
      {"T0:23:respawn:/sbin/getty -L ttyS0 9600 vt100\n# end", "ttyenable", "ttyS1", "vt100\n",
       "vt100\nS1:23:respawn:/sbin/getty -L ttyS1 9600 vt100\n", "", "", false, true},  // nor here, but the model has one
      {board, "ttydisable", "ttyS0", "T0:23:respawn:", "T0:23:off:", "", "ttyS0 T0 respawn 4,64 - - - -|ttyS0 T0 off 4,64 - - - -"},
      {board, "ttyenable", "tty1", "1:2345:off:", "1:2345:respawn:", "", "tty1 1 off 4,1 - - - -|tty1 1 respawn 4,1 - - - -"},
      {board, "ttyenable", "ttyS0", "", "", "ttyS0 is currently set for callin\r\n" + kept, ""},
      {alpine, "ttyenable", "ttyS0", "#ttyS0::respawn:", "ttyS0::respawn:", "", ""},
      {alpine, "ttyenable", "ttyS0", "#ttyS0::respawn:", "ttyS0::respawn:", "", "", true},
      {alpine, "ttyenable", "ttyUSB0", "vt100\n", "vt100\nttyUSB0::respawn:/sbin/getty -L ttyUSB0 115200 vt100\n", "", "", false, true},
      {"S4:2345:off:/sbin/getty ttyS1\n", "ttyenable", "ttyS4", "ttyS1\n", "ttyS1\nx1:2345:respawn:/sbin/getty ttyS4\n", "", "",
       false, true},  // S4 is taken
      {no_serial, "ttyenable", "ttyUSB0", "tty1\n", "tty1\nUSB0:2345:respawn:/sbin/agetty -L 115200 ttyUSB0 vt100\n", "", "", false, true,
       false, "sbin/agetty"},
      {no_serial, "ttyenable", "ttyUSB0", "", "", "No getty for ttyUSB0: no entry to follow, and neither /sbin/getty nor "
       "/sbin/agetty exists\r\n" + kept, "", false, true},
      {raspbian, "ttyenable", "ttyS0", "#T0:", "S0:", "", "ttyS0 T0 #respawn 4,64 - - - -|ttyS0 S0 respawn 4,64 - - - -"},
      {busybox_table, "ttydisable", "tty2", "\ntty2::askfirst:", "\n#tty2::askfirst:", "", "", false, false, true},
      {busybox_table, "ttydisable", "tty3", "\ntty3::askfirst:", "\n#tty3::askfirst:", "", "", false, false, true},
      {busybox_table, "ttydisable", "tty4", "\ntty4::askfirst:", "\n#tty4::askfirst:", "", "", false, false, true},
      {busybox_table, "ttydisable", "tty5", "\ntty4::respawn:", "\n#tty4::respawn:", "", "", false, false, true},
      {busybox_table, "ttydisable", "tty6", "\ntty5::respawn:", "\n#tty5::respawn:", "", "", false, false, true},
      {openwrt, "ttydisable", "ttyS0", "ttyS0::askfirst:", "#ttyS0::askfirst:", "", "", false, false, true},
      {openwrt, "ttyenable", "ttyUSB0", "ash --login\ntty1", "ash --login\nttyUSB0::askfirst:/bin/ash --login\ntty1", "", "", false, true},
      {yocto, "ttyenable", "ttyUSB0", "vt102\n", "vt102\nUSB0:12345:respawn:/bin/start_getty 115200 ttyUSB0 vt102\n", "", "", false, true},
      {alpine, "ttydisable", "tty1", "tty1::respawn:", "#tty1::respawn:", "",
       "tty1 tty1 respawn 4,1 - - - -|tty1 tty1 #respawn 4,1 - - - -"},
      {alpine, "ttyenable", "tty2", "", "", "tty2 is currently set for callin\r\n" + kept, ""},
      {alpine + "#ttyS1::ondemand:/sbin/getty ttyS1\n", "ttyenable", "ttyS1", "#ttyS1::ondemand:", "ttyS1::respawn:", "", ""},
      // BusyBox init takes the blanks for part of the id, and runs no such line.
      {"::sysinit:/bin/true\n  ttyS1::respawn:/sbin/getty -L ttyS1 115200 vt100\n", "ttydisable", "ttyS1", "", "",
       "No entry in /etc/inittab for ttyS1\r\n", ""},
  };
  for (const auto& c : cases) {
    if (c.table.empty()) continue;  // Debian's, missing: the case is skipped once the others ran
    const bool busybox_host = ("\n" + c.table).find("\n::sysinit") != std::string::npos;
    sandbox box;
    box.with_table(c.table).with_tty("ttyS0", 4, 64).with_tty("tty1", 4, 1).with_tty("tty2", 4, 2);
    if (!box.exists("dev/" + std::string(c.line))) box.with_tty(c.line, 188, 9);
    if (c.add) box.with_port(c.line, "");
    if (c.getty != nullptr) box.with_file(c.getty, "", 0755);
    run_options options;
    if (busybox_host) {
      box.without_telinit().with_link("sbin/init", busybox).with_file("recorder.sh",
          "trap 'echo HUP >> " + box.root() + "/markers/hup' HUP\ntrap 'echo USR1 >> " + box.root() +
          "/markers/hup' USR1\n: > /run/ready\nwhile :; do sleep 0.1; done\n");
      std::string first = "true";
      if (c.hard_link) {  // a copy, bound over the namespace's /bin/busybox
        box.with_file("busybox", sandbox::read_host(busybox), 0755);
        std::filesystem::remove(box.root() + "/sbin/init");
        std::filesystem::create_hard_link(box.root() + "/busybox", box.root() + "/sbin/init");
        first = "mount --bind " + box.root() + "/busybox /bin/busybox";
      }
      options.inside = box.boot("exec /bin/sh " + box.root() + "/recorder.sh", first, "run/ready");
    }
    const std::string rows = c.rows.empty() ? "" : row_of(box, c.line, options);
    options.program = c.program;
    const auto result = box.run(c.add ? std::vector<std::string>{"-a", c.line} : std::vector<std::string>{c.line}, options);
    EXPECT_EQ(result.output, c.output) << c.program << " " << c.line;
    if (c.add && !c.now.empty()) {
      EXPECT_EQ(box.run({"-a", c.line}, options).output, std::string(c.line) + " is currently set for callin\r\n" + kept);
      EXPECT_FALSE(box.exists("run/H1"));
    }
    EXPECT_EQ(result.status, 0) << c.program << " " << c.line;
    std::string expected = c.table;
    if (!c.now.empty()) expected.replace(expected.find(c.entry), c.entry.size(), c.now);
    EXPECT_EQ(box.read("etc/inittab"), expected) << c.program << " " << c.line;
    if (!c.rows.empty()) {
      EXPECT_EQ(rows + "|" + row_of(box, c.line, options), c.rows);
    }
    if (busybox_host) {  // our USR1 after the run marks where its HUP would be
      ::kill(options.inside, SIGUSR1);
      for (int tries = 0; tries < 100 && box.read("markers/hup").value_or("").find("USR1") == std::string::npos; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      EXPECT_EQ(box.read("markers/hup").value_or(""), c.now.empty() ? "USR1\n" : "HUP\nUSR1\n") << c.line;
    } else {
      EXPECT_EQ(calls(box).size(), c.now.empty() ? 0u : 1u);
    }
    options.program = "ttylines";  // the init that the tool serves, as scripts read it
    EXPECT_NE(box.run({"-J"}, options).output.find(busybox_host ? "\"init\": \"busybox\"}" : "\"init\": \"sysv\"}"), std::string::npos);
    if (c.enable_after) {
      options.program = "ttyenable";
      EXPECT_EQ(box.run({c.line}, options).output, "") << c.line;
      EXPECT_EQ(box.read("etc/inittab"), c.table) << c.line;
    }
  }
  REQUIRE_PEER(debian_table, "scripts/fetch-peers unpacks Debian's sysvinit-core there");
}

TEST(real_who, a_login_recorded_in_utmp_refuses_the_line) {
  struct login_case {
    const char* line;
    std::string output;
  };
  const login_case cases[] = {
      {"ttyS1", "ttyS1 is logged in\r\n/etc/inittab not modified\r\n"},
      {"ttyS10", ""},  // passes: the command is shown
  };
  for (const auto& c : cases) {
    sandbox box;
    box.with_table("S1:2345:off:/sbin/getty ttyS1\nSA:2345:respawn:/sbin/getty ttyS10\n").with_tty("ttyS1", 4, 65);
    box.with_utmp_login(c.line, ::getpid());  // a process that is alive
    run_options options;
    options.real_who = true;
    const auto result = box.run({"-v", "ttyS1"}, options);
    EXPECT_TRUE(c.output.empty() ? shows_edit_of(result.output, 1) : result.output == c.output) << c.line;
    EXPECT_EQ(result.status, 0);
  }
}

// A real systemd as process 1 of a container that scripts/fetch-peers caches,
// in a cgroup of its own, with the host's /run/systemd hidden, the sandbox
// and the build bound in, and `line` over its /dev/ttyS1. It has no device
// units, so its serial getty template goes without its BindsTo=.
struct systemd_container {
  systemd_container(sandbox& box, const std::string& line) : cgroup_("ttyenable-test-" + std::to_string(::getpid())) {
    const std::string root = SYSTEMD_ROOT, unit = "/lib/systemd/system/serial-getty@.service";
    box.with_file("serial-getty@.service", std::regex_replace(sandbox::read_host(root + unit), std::regex("\nBindsTo=[^\n]*"), ""));
    const std::string script = "for h in " + hierarchies + "; do [ -e $h/cgroup.procs ] && mkdir -p $h/" + cgroup_ + " && echo $$ > $h/" +
        cgroup_ + "/cgroup.procs; done; mount -t tmpfs tmpfs /run/systemd && exec systemd-nspawn -q --console=pipe -D " + root +
        " --volatile=overlay --register=no --keep-unit --private-network -b --bind-ro=" + box.root() + "/serial-getty@.service:/etc" +
        unit.substr(4) + " --bind-ro=" + box.root() + "/who:/usr/bin/who --bind-ro=" + box.root() + "/sys/class/tty:/sys/class/tty --bind-ro=" +
        box.root() + " --bind-ro=" + std::filesystem::path(TTYENABLE_BINARY).parent_path().string() + " --bind=" + line + ":/dev/ttyS1";
    if ((nspawn_ = ::fork()) == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
      ::execl("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script.c_str(), nullptr);
      ::_exit(127);
    }
    const auto up = [&] { return sandbox::read_host("/proc/" + std::to_string(init) + "/comm") == "systemd\n" &&
                                 sandbox::exists_on_host("/proc/" + std::to_string(init) + "/root/run/systemd/private"); };
    for (int tries = 0; tries < 100 && !up(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // until nspawn's child is the container's systemd, and listens
      std::istringstream(sandbox::read_host("/proc/" + std::to_string(nspawn_) + "/task/" + std::to_string(nspawn_) + "/children")) >> init;
    }
    const std::string booted = "timeout 30 nsenter -t " + std::to_string(init) + " -m -p systemctl is-system-running --wait >/dev/null";
    if (!up() || std::system(booted.c_str()) != 0) init = 0;
  }
  ~systemd_container() {
    if (init != 0) ::kill(init, SIGKILL);  // the container's process 1, never the host's
    ::waitpid(nspawn_, nullptr, 0);
    std::system(("for h in " + hierarchies + "; do for t in 1 2 3 4 5 6 7 8 9 10; do [ ! -d $h/" + cgroup_ + " ] || find $h/" + cgroup_ +
                 " -depth -type d -exec rmdir {} + 2>/dev/null || sleep 0.3; done; done").c_str());  // once its last process is reaped
  }
  pid_t init = 0;  // systemd, as the host sees it
  const std::string hierarchies = "/sys/fs/cgroup/systemd /sys/fs/cgroup/unified /sys/fs/cgroup";
  std::string cgroup_;
  pid_t nspawn_ = 0;
};

TEST(real_systemd, the_tools_serve_a_line_through_its_getty_unit) {
  REQUIRE_PEER(SYSTEMD_ROOT "/lib/systemd/systemd", "scripts/fetch-peers builds the container's root there");
  REQUIRE_PEER("/usr/bin/systemd-nspawn", "apt-get install --no-install-recommends systemd-container");
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
  sandbox box;
  const systemd_container container(box, ::ptsname(master));
  REQUIRE_PEER("/proc/" + std::to_string(container.init) + "/root/run/systemd/private", "the container did not boot: needs root and cgroups");
  const std::string unit = "serial-getty@ttyS1.service", kept = unit + " not modified\r\n";
  // What a run printed, on either output, and its status.
  const auto said = [&](const std::vector<std::string>& args, const run_options& o) {
    const auto result = box.run(args, o);
    return result.output + result.errors + "[" + std::to_string(result.status) + "]";
  };
  run_options options, lines, setuid;
  options.inside = lines.inside = setuid.inside = container.init;
  lines.program = "ttylines";
  setuid.set_user_id = true;  // and a caller's SYSTEMD_OFFLINE, which would keep systemctl from asking systemd
  setuid.environment.push_back("SYSTEMD_OFFLINE=1");
  EXPECT_EQ(said({"-w", "ttyS1"}, options), "[0]");
  EXPECT_TRUE(line_shows(master, "login: ", 10)) << "no login prompt on the line";
  const auto gettys = children_running(container.init, "agetty");
  ASSERT_EQ(gettys.size(), 1u);
  EXPECT_EQ(box.run({"-J", "ttyS1"}, lines).output,
            "{\"lines\": [{\"line\": \"ttyS1\", \"id\": \"" + unit + "\", \"action\": \"enabled/active\", \"commented\": false, "
            "\"device\": \"136," + std::to_string(std::stoi(std::string(::ptsname(master)).substr(9))) + "\", \"login\": null, "
            "\"callout\": null, \"getty\": " + pid_inside(gettys.front()) + ", \"hardware\": null, \"logins\": true}], \"init\": \"systemd\"}\n");
  EXPECT_EQ(said({"ttyS1"}, options), "ttyS1 is currently set for callin\r\n" + kept + "[0]");
  options.program = setuid.program = "ttydisable";
  box.with_login("alice ttyS1 2026-12-08 09:12");
  EXPECT_EQ(said({"ttyS1"}, options), "ttyS1 is logged in\r\n" + kept + "[0]");
  box.with_file("who.txt", "");
  EXPECT_EQ(said({"-w", "ttyS1"}, setuid), "[0]");
  EXPECT_TRUE(children_running(container.init, "agetty").empty());
  EXPECT_EQ(said({"ttyS1"}, options), "ttyS1 is currently set for callout\r\n" + kept + "[0]");
  const std::string at = "/proc/" + std::to_string(container.init) + "/root";
  std::filesystem::create_directories(at + "/run/systemd/generator/getty.target.wants");  // the kernel console's getty
  std::filesystem::create_symlink(unit, at + "/run/systemd/generator/getty.target.wants/serial-getty@ttyS0.service");
  EXPECT_EQ(said({"ttyS0"}, options), "serial-getty@ttyS0.service is started by a generator: only masking it would disable it\r\n[1]");
  options.program = "ttyenable";  // tty9's getty fails its condition (no /dev/tty0): systemd does not start it
  EXPECT_EQ(said({"-f", "tty9"}, options), "getty@tty9.service did not start\r\n[1]");
  EXPECT_FALSE(sandbox::exists_on_host(at + "/etc/systemd/system/getty.target.wants/getty@tty9.service"));
  for (const char* name : {"/etc/inittab", "/etc/inittab.sav", "/etc/LCK..inittab", "/etc/ttyenable.lock"})
    EXPECT_FALSE(sandbox::exists_on_host(at + name)) << name;
}

}  // namespace
}  // namespace ttyenable::testing
