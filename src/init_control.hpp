// Which init runs the host, and the command that makes it re-read
// /etc/inittab.
//
// SysV init re-reads the table on "telinit q". BusyBox init, which Alpine
// and Buildroot install as a link /sbin/init -> busybox (symbolic or
// hard), has no telinit and no "q": it re-reads the table on SIGHUP, and
// it rejects the action "off", so a line is set for dialling out there by
// commenting its entry out.
#pragma once

namespace ttyenable {

/// The init of the host: SysV init told by /etc/telinit, or by /sbin/init
/// itself where /etc/telinit does not exist, or BusyBox init.
enum class init_kind { telinit, sysv, busybox };

/// The host's init: BusyBox's when /sbin/init, followed through symbolic
/// links, is a regular file named busybox, or the same file as
/// /bin/busybox.
init_kind host_init();

/// The command that tells an init of `kind` to re-read the table.
const char* init_control_command(init_kind kind);

}  // namespace ttyenable
