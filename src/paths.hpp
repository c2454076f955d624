// Every fixed path of the tool, in one place. None can be changed at run
// time: a set-user-id program must not let its caller point it elsewhere.
#pragma once

namespace ttyenable::paths {

inline constexpr char table_directory[] = "/etc";
inline constexpr char inittab[] = "/etc/inittab";
inline constexpr char inittab_sav[] = "/etc/inittab.sav";
// The edit's new files, beside the table so that a rename replaces it.
inline constexpr char inittab_tmp[] = "/etc/inittab.tmp";
inline constexpr char inittab_sav_tmp[] = "/etc/inittab.sav.tmp";
inline constexpr char inittab_lock[] = "/etc/LCK..inittab";
inline constexpr char guard[] = "/run/ttyenable.lock";
inline constexpr char fallback_guard[] = "/etc/ttyenable.lock";

// The commands' search path in a set-user-id run, and in any run without one.
inline constexpr char search_path[] = "/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr char shell[] = "/bin/sh";
inline constexpr char init[] = "/sbin/init";
inline constexpr char telinit[] = "/etc/telinit";
inline constexpr char busybox[] = "/bin/busybox";
inline constexpr char getty[] = "/sbin/getty";
inline constexpr char agetty[] = "/sbin/agetty";

// Where systemd runs the host: the directory that says so, the command
// that drives it, and where its generators enable units.
inline constexpr char systemd_running[] = "/run/systemd/system";
inline constexpr char systemctl[] = "/bin/systemctl";
inline constexpr char systemd_generator[] = "/run/systemd/generator";
inline constexpr char systemd_generator_early[] = "/run/systemd/generator.early";
inline constexpr char systemd_generator_late[] = "/run/systemd/generator.late";

inline constexpr char devices[] = "/dev";
inline constexpr char null_device[] = "/dev/null";
inline constexpr char dialout_locks[] = "/var/lock";
inline constexpr char sysfs_ttys[] = "/sys/class/tty";
inline constexpr char processes[] = "/proc";
inline constexpr char own_process[] = "/proc/self";

}  // namespace ttyenable::paths
