// The process that init runs on a line: a child of process 1 whose
// standard input or controlling terminal is the line's device, as /proc
// shows it. Like the port test, nothing here opens a device: a stat of
// /proc/PID/fd/0 follows the link without opening what it names.
//
// A line whose entry respawns and that has no such process is the line
// that init gave up on ("respawning too fast"): its program is missing or
// ends at once. Where /proc shows no process of this one's own (none
// mounted, an empty file system in its place, or another namespace's), no
// process can be told apart from no answer, and nothing is concluded.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "line_names.hpp"

namespace ttyenable {

/// How long -w waits for init, and how long a getty must have lived to
/// count: one that init starts again and again never lives that long.
inline constexpr unsigned getty_wait_seconds = 5;
inline constexpr double getty_min_age = 1;

/// A child of init that runs on a terminal.
struct init_child {
  pid_t pid = 0;
  device_id terminal = no_device;  // its controlling terminal
  device_id input = no_device;     // its standard input, when that is a character device
  double age = 0;                  // seconds since it started
};

/// Init's children that run on a terminal, by pid, as /proc shows them now;
/// none when /proc cannot be read.
std::optional<std::vector<init_child>> init_children();

/// The first of `children` on the line with device `device` that has lived
/// at least `min_age` seconds, or 0.
pid_t getty_on(device_id device, const std::vector<init_child>& children, double min_age = 0);

/// How a wait for init ended.
enum class getty_wait { done, timed_out, interrupted, unreadable };

/// Waits at most `getty_wait_seconds`, on the monotonic clock, until a child
/// of init that has lived `getty_min_age` runs on `device` (`running`), or
/// until none runs there (!`running`). The interrupt key ends the wait,
/// and a /proc that cannot be read ends it at once.
getty_wait await_getty(device_id device, bool running);

}  // namespace ttyenable
