// The process state the tool starts from. It may run set-user-id root in
// the hands of an ordinary user, who controls everything it inherits.
//
// Rules, applied before any file is opened:
//  1. When started set-user-id or set-group-id, first of all: each soft
//     limit that the run or what it starts depends on (address space,
//     data, stack, open files, processes, processor time, file size) goes
//     up to its hard limit, and a hard limit below a working level goes up
//     to it where the kernel allows, so that no caller's limit makes a run
//     fail half-way, or a check fail open; core dumps are off. `who`, the
//     shell and init's command inherit those limits.
//  2. Descriptors 0, 1 and 2 exist (on /dev/null where closed), so no
//     table, lock or pipe can be opened on them.
//  3. The file-creation mask is 022, so no file the run creates is
//     writable by others, even for a moment.
//  4. No signal is blocked and SIGALRM and SIGCHLD have their default
//     actions, so the wait for the child sees its end or the alarm; SIGPIPE
//     is ignored, so a closed output is a failed write (the edit's shell
//     gets the default back).
//  5. When started set-user-id or set-group-id: every other inherited
//     descriptor is closed; the environment is built from nothing (a safe
//     PATH and LC_ALL=C), since after setuid the shell no longer runs in
//     secure mode.
//  6. Otherwise (root running it directly) environment and limits are left
//     as they are.
//  7. Later, before it takes the lock, a set-user-id root run that is to
//     change a line makes every user and group id root's, with no
//     supplementary groups, its caller noted for the record: the caller
//     may then no longer signal, stop or kill it or anything it starts.
#pragma once

#include <sys/types.h>

namespace ttyenable {


/// 1 when the process runs with privileges its caller does not have.
int is_privileged_start();

/// Gives up the privileges of a set-user-id or set-group-id start for good,
/// for what any user may do: 0, or -1 when they could not be given up.
int drop_privileges();

/// The real user id the process was started with: the caller, whatever ids
/// it has taken since.
uid_t caller_uid();

/// Rule 7: 0, also when there is nothing to do (not started set-user-id
/// root), or -1 when the ids could not all be made root's.
int become_root();

/// Applies the rules above; ends the process with status 1 when even
/// /dev/null cannot give it descriptors 0 to 2.
void secure_process();

}  // namespace ttyenable
