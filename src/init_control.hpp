// Which init runs the host, and the command that makes it re-read
// /etc/inittab. systemd, where it runs, reads no table: the tools serve
// its getty units instead (systemd_units.hpp).
//
// SysV init re-reads the table on "telinit q". BusyBox init, which Alpine
// and Buildroot install as a link /sbin/init -> busybox (symbolic or
// hard), has no telinit and no "q": it re-reads the table on SIGHUP, and
// it rejects the action "off", so a line is set for dialling out there by
// commenting its entry out.
#pragma once

namespace ttyenable {

/// The init of the host: SysV init told by /etc/telinit, or by /sbin/init
/// itself where /etc/telinit does not exist, BusyBox init, or systemd.
enum class init_kind { telinit, sysv, busybox, systemd };

/// Whether systemd runs the host: /run/systemd/system exists.
bool systemd_runs();

/// The host's init: systemd where it runs, whatever table lies around;
/// else BusyBox's when /sbin/init, followed through symbolic links, is a
/// regular file named busybox, or the same file as /bin/busybox.
init_kind host_init();

/// How ttylines -J names an init of `kind`: "sysv", "busybox" or "systemd".
const char* init_name(init_kind kind);

/// The command that tells an init of `kind` to re-read the table.
const char* init_control_command(init_kind kind);

}  // namespace ttyenable
