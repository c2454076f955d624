// Whether a line has a port behind it, as the host tells without the line
// being opened: its device node under /dev, and the kernel's description
// of the port under /sys/class/tty. Opening a serial line raises its modem
// control lines, which can disturb a modem or whatever else is attached,
// so nothing here ever opens a device.
//
// A getty started on a line without a working port fails at once, and
// init starts it again and again ("respawning too fast"); this is what
// keeps ttyenable from setting up such a loop.
#pragma once

#include <string>
#include <vector>

namespace ttyenable {

/// What the host says of the port behind a line.
enum class hardware {
  present,    // a device node, and sysfs names a port type
  no_node,    // no character device node
  absent,     // a device node, but sysfs says no port (type 0)
  unknown,    // a device node, and sysfs says nothing of a port
};

/// The port behind line `name`.
hardware line_hardware(const char* name);

/// Whether sysfs shows a device behind line `name`
/// (/sys/class/tty/NAME/device): a real port, where `ttyenable -a` may add
/// an entry.
bool shows_port(const char* name);

/// The lines that sysfs shows with a device behind them
/// (/sys/class/tty/NAME/device), in directory order: real ports, not the
/// virtual consoles and pseudo-terminals.
std::vector<std::string> lines_with_hardware();

}  // namespace ttyenable
