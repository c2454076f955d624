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

inline constexpr char init_path[] = "/sbin/init";
inline constexpr char telinit_path[] = "/etc/telinit";
inline constexpr char telinit_command[] = "/etc/telinit Q";
inline constexpr char init_command[] = "/sbin/init q";
inline constexpr char busybox_init_command[] = "kill -HUP 1";

/// 1 when /sbin/init, followed through symbolic links, is a regular file
/// named busybox, or the same file as /bin/busybox.
int is_busybox_init();

/// The command that tells this host's init to re-read the table.
const char* init_control_command();

}  // namespace ttyenable
