/*
 * The inittab lock of ttyenable, as src/inittab_lock.cpp and
 * src/enable_sequence.cpp have it, for SPIN. Each rule of
 * src/inittab_lock.hpp names the step here that stands for it; the steps
 * carry the same names (link_lock, find_guard, flock_guard, is_sole_guard,
 * judge, same_file, unlink_lock, is_ours, fork_edit, report,
 * unlock_inittab).
 *
 * RUNS runs each take the lock, read the table, edit their own line of it
 * and release the lock. Any of them may be killed at any step (KILLS in
 * all), may be stopped for as long as it likes (every interleaving is
 * explored, so a stopped run is just one that takes no step), and may find
 * any lock of a live run left behind (a run stopped past the maximum age,
 * or a clock that jumped ahead). Up to ERRORS look-ups of a guard or of
 * the lock fail with an error other than "no such file" (no descriptor
 * left), /run may run out of space, or have room again, at any moment,
 * and the time limit may end up to TIMEOUTS edits. Once all have ended, a
 * later run, to which nothing goes wrong, must get the lock and pass the
 * check before its edit.
 *
 * Properties, as assertions:
 *  P1 at most one edit at a time: from the check that the lock is still
 *     the run's (rule 4) until the last process of its edit that holds the
 *     guard, or the edit's shell, has ended;
 *  P2 a run edits and removes edit files only while the lock is its own,
 *     and never removes the files of a live edit;
 *  P3 a release removes only the run's own lock, a takeover only the file
 *     it judged left behind;
 *  P4 what a run reports of its line (set, or not modified) is what the
 *     table holds at the end;
 *  P5 no state that runs leave keeps the later run from the lock.
 * SPIN also reports any state in which nothing can move (a deadlock).
 *
 * The faults that the code no longer has come back with:
 *  -DREPORT_UNGUARDED   the report removes leftovers and reads the table
 *                       without the guard and without asking whose lock it is;
 *  -DEXEC_LAST          the shell runs init's command in its own place,
 *                       closing descriptor 3 (BusyBox's ash with a chain
 *                       that ends in that command);
 *  -DSOLE_OPEN_FAILS_OPEN  is_sole_guard takes an /run guard that cannot be
 *                       opened for being absent.
 */

#ifndef RUNS
#define RUNS 2
#endif
#ifndef KILLS
#define KILLS 1
#endif
#ifndef ERRORS
#define ERRORS 1
#endif
#ifndef TIMEOUTS
#define TIMEOUTS 0
#endif
#ifndef ATTEMPTS
#define ATTEMPTS 2
#endif

#define LATER (RUNS + 1)        /* the later run's pid; runs are 1..RUNS */
#define PIDS (RUNS + 2)
#define RUN_GUARD 0             /* /run/ttyenable.lock */
#define ETC_GUARD 1             /* /etc/ttyenable.lock */
#define NO_GUARD 2
#define LINE(i) (1 << (i))

/* What the edit's shell says (see compose_command). */
#define ST_MADE 0               /* the table replaced (init's status aside) */
#define ST_TABLE_CHANGED 3
#define ST_NOT_MADE 4
#define ST_UNKNOWN 9            /* killed: no exit status */

/* What a report says of its line. */
#define SAID_NOTHING 0
#define SAID_SET 1
#define SAID_NOT_SET 2

/* /etc/LCK..inittab: the inode at the name (0: none) and the pid its 4
   bytes name; every link makes a new inode. */
byte lock_inode;
byte lock_pid;
byte inodes;

/* The two guard files and the flock on each: the run whose open file
   description holds it, and how many descriptors (the run's own, its
   edit's descriptor 3) refer to that description. */
bool guard_exists[2];
byte guard_holder[2];
byte guard_refs[2];

/* /etc/inittab: one bit per run's line, and a count of replacements that
   stands for its bytes (the digest); the edit's two new files, as one. */
byte table_lines;
byte table_version;
bool temp_exists;
byte temp_owner;
byte temp_lines;

byte kills = KILLS;
byte errors = ERRORS;
byte timeouts = TIMEOUTS;

bool alive[PIDS];
bool killed[PIDS];
byte linked[PIDS];              /* the inode this run linked */
bool holds[PIDS];               /* its own descriptor holds the guard */
byte guard_of[PIDS];
byte checked_version[PIDS];     /* the table's bytes when checked */
bool edit_live[PIDS];           /* from the rule-4 check to the edit's end */
bool forked[PIDS];
bool shell_dead[PIDS];          /* the run was killed: so is its shell */
bool edit_ended[PIDS];          /* by the time limit */
bool edit_done[PIDS];
byte edit_status[PIDS];
byte edit_guard[PIDS];
bool edit_holds[PIDS];          /* a process of the edit holds descriptor 3 */
byte said[PIDS];
byte live_edits;
byte ended;                     /* runs that have ended, killed or not */
byte edits_running;

#define is_lock_of(i) (lock_inode != 0 && lock_inode == linked[i] && lock_pid == i)

/* Closes one descriptor of the guard's description; the flock goes with
   the last. */
inline close_guard(g) {
  guard_refs[g]--;
  if
  :: guard_refs[g] == 0 -> guard_holder[g] = 0
  :: else
  fi
}

inline drop_guard(i) {
  atomic {
    if
    :: holds[i] -> holds[i] = false; close_guard(guard_of[i])
    :: else
    fi
  }
}

/* find_guard: /etc's once it exists; else /run's, made when need be;
   else, where /run cannot hold it (full just now), /etc's, made now: three
   calls, between which other runs move. Any failure but "no such file"
   gives no guard. */
inline find_guard(i, g) {
  atomic {
    if
    :: guard_exists[ETC_GUARD] && errors > 0 -> errors--; g = NO_GUARD
    :: guard_exists[ETC_GUARD] -> g = ETC_GUARD
    :: else -> g = RUN_GUARD
    fi
  }
  if
  :: g == RUN_GUARD ->
     atomic {
       if
       :: guard_exists[RUN_GUARD] && errors > 0 -> errors--; g = NO_GUARD
       :: guard_exists[RUN_GUARD] -> skip
       :: !guard_exists[RUN_GUARD] -> guard_exists[RUN_GUARD] = true
       :: !guard_exists[RUN_GUARD] && i != LATER -> g = ETC_GUARD
       fi
     }
     if
     :: g == ETC_GUARD -> guard_exists[ETC_GUARD] = true
     :: else
     fi
  :: else
  fi
}

/* inittab_guard: find_guard, flock_guard, is_sole_guard (rule 6); each
   failure is waited out, and the wait may end without the guard (rule 5). */
inline take_guard(i, g, got) {
  do
  :: find_guard(i, g);
     atomic {                                      /* flock_guard */
       got = false;
       if
       :: g != NO_GUARD && guard_holder[g] == 0 -> guard_holder[g] = i; guard_refs[g] = 1; holds[i] = true; guard_of[i] = g
       :: else -> g = NO_GUARD
       fi
     }
     atomic {                                      /* is_sole_guard */
       if
       :: g == RUN_GUARD && guard_exists[ETC_GUARD] -> skip
       :: g == RUN_GUARD && !guard_exists[ETC_GUARD] && errors > 0 -> errors--
       :: g == RUN_GUARD && !guard_exists[ETC_GUARD] -> got = true
       :: g == ETC_GUARD && !guard_exists[RUN_GUARD] -> got = true
       :: g == ETC_GUARD && guard_exists[RUN_GUARD] && errors > 0 -> errors--;
#ifdef SOLE_OPEN_FAILS_OPEN
          got = true
#else
          skip
#endif
       :: g == ETC_GUARD && guard_exists[RUN_GUARD] -> got = (guard_holder[RUN_GUARD] == 0)
       :: g == NO_GUARD -> skip
       fi;
       if
       :: got -> break
       :: !got -> drop_guard(i); g = NO_GUARD         /* look again, */
       :: !got -> drop_guard(i); g = NO_GUARD; break  /* or the wait's bound has come */
       fi
     }
  od
}

/* link_lock (rule 1): the name is made only by link, which fails while it
   exists. */
inline link_lock(i, taken) {
  atomic {
    if
    :: lock_inode == 0 -> inodes++; lock_inode = inodes; lock_pid = i; linked[i] = inodes; taken = true
    :: else -> taken = false
    fi
  }
}

/* make_lock: a link, else a takeover under the guard (rule 3). */
inline make_lock(i, taken, g, got, judged) {
  link_lock(i, taken);
  if
  :: !taken ->
     take_guard(i, g, got);
     if
     :: got ->
        atomic {                                   /* judge: open, read the owner */
          judged = lock_inode;
          if
          :: judged != 0 && errors > 0 -> errors--; judged = 255   /* could not be read */
          :: judged == 0 -> skip                    /* released meanwhile: link again */
          :: judged != 0 && !alive[lock_pid] -> skip    /* its owner is gone */
          :: judged != 0 && alive[lock_pid] && i != LATER -> skip   /* old, or a clock ahead */
          :: judged != 0 && alive[lock_pid] -> judged = 255         /* held */
          fi
        }
        if
        :: judged == 0 -> link_lock(i, taken)
        :: judged != 0 && judged != 255 ->
           if
           :: lock_inode == judged ->               /* same_file: lstat */
              atomic {                              /* unlink_lock */
                assert(guard_holder[guard_of[i]] == i);            /* P3 */
                assert(lock_inode == judged);                      /* P3 */
                lock_inode = 0; lock_pid = 0
              }
              link_lock(i, taken)
           :: else
           fi
        :: else
        fi;
        drop_guard(i)
     :: else
     fi
  :: else
  fi
}

/* is_ours: the lock is still the file this run linked, naming it. */
inline is_ours(i, ours) {
  atomic {
    if
    :: errors > 0 -> errors--; ours = false          /* could not be read */
    :: else -> ours = is_lock_of(i)
    fi
  }
}

/* remove_edit_files, by a run or its edit's child. */
inline remove_edit_files(i) {
  atomic {
    assert(is_lock_of(i));                                      /* P2 */
    assert(!temp_exists || temp_owner == i || !edit_live[temp_owner]);  /* P2 */
    temp_exists = false
  }
}

/* One command of the edit's chain: the time limit may have ended it, and
   a shell killed with its run starts no more, while the command already
   under way ends as an orphan, still holding descriptor 3. */
#define COMMAND(i, action) \
  atomic { \
    if \
    :: edit_ended[i] -> goto gone \
    :: shell_dead[i] -> goto gone \
    :: shell_dead[i] -> action; goto gone \
    :: else -> action \
    fi \
  }

inline cp_sed(i) {
  atomic {
    assert(is_lock_of(i));                                      /* P2 */
    temp_exists = true; temp_owner = i; temp_lines = table_lines | LINE(i)
  }
}

/* The digest right before the first mv, and the two mv: one step, as no
   edit but this one may write the table between them (P1). */
inline digest_mv(i) {
  atomic {
    if
    :: table_version != checked_version[i] -> edit_status[i] = ST_TABLE_CHANGED
    :: else ->
       assert(is_lock_of(i));                                   /* P2 */
       if
       :: temp_exists && temp_owner == i ->
          table_lines = temp_lines; table_version++; temp_exists = false; edit_status[i] = ST_MADE
       :: else -> edit_status[i] = ST_NOT_MADE
       fi
    fi
  }
}

/* The edit: the child removes leftovers and runs the shell, which holds
   the guard on descriptor 3; init's command does not (rule 4). */
proctype edit(byte i) {
  COMMAND(i, remove_edit_files(i));
  COMMAND(i, cp_sed(i));
  COMMAND(i, digest_mv(i));
  if
  :: edit_status[i] == ST_TABLE_CHANGED -> goto exited
  :: else
  fi;
#ifdef EXEC_LAST
  atomic { edit_holds[i] = false; close_guard(edit_guard[i]) }  /* the shell is now init's command */
#endif
  COMMAND(i, skip);                                 /* init's command */
exited:
  goto done;
gone:
  edit_status[i] = ST_UNKNOWN;
done:
  atomic {
    if
    :: edit_holds[i] -> edit_holds[i] = false; close_guard(edit_guard[i])
    :: else
    fi;
    edit_live[i] = false; live_edits--; edit_done[i] = true; edits_running--
  }
}

/* One run of ttyenable on line i. */
proctype ttyenable(byte i) {
  byte g, judged, attempt;
  bool taken, got, ours, looked;

  {
    find_guard(i, g);                               /* rule 7 */
    if
    :: g == NO_GUARD -> goto finish
    :: else
    fi;
    attempt = 0;
    do
    :: attempt == ATTEMPTS -> goto finish
    :: attempt < ATTEMPTS ->
       make_lock(i, taken, g, got, judged);
       if
       :: taken -> break
       :: else -> attempt++
       fi
    od;
    atomic { checked_version[i] = table_version; judged = 0; attempt = 0; taken = false }  /* the check reads the table */

    take_guard(i, g, got);                          /* start_edit */
    ours = false;
    if
    :: got ->
       atomic {
         is_ours(i, ours);                          /* rule 4 */
         if
         :: ours -> assert(live_edits == 0); live_edits++; edit_live[i] = true     /* P1 */
         :: else
         fi
       }
       if
       :: ours ->
          atomic {                                  /* fork_edit */
            said[i] = SAID_NOTHING; forked[i] = true; edit_status[i] = ST_NOT_MADE; guard_refs[g]++; edit_guard[i] = g; edit_holds[i] = true;
            edits_running++; run edit(i)
          }
       :: else
       fi;
       drop_guard(i)
    :: else
    fi;
    if
    :: !ours -> goto release
    :: else
    fi;

    if                                              /* wait_for_child */
    :: edit_done[i]
    :: timeouts > 0 -> timeouts--; edit_ended[i] = true; edit_done[i]
    fi;

    /* report */
#ifdef REPORT_UNGUARDED
    remove_edit_files(i);
    said[i] = ((table_lines & LINE(i)) != 0 -> SAID_SET : SAID_NOT_SET);
#else
    take_guard(i, g, got);
    looked = false;
    if
    :: got ->
       is_ours(i, looked);
       if
       :: looked -> remove_edit_files(i); said[i] = ((table_lines & LINE(i)) != 0 -> SAID_SET : SAID_NOT_SET)
       :: else
       fi;
       drop_guard(i)
    :: else
    fi;
    if
    :: !looked && edit_ended[i] -> said[i] = SAID_NOTHING     /* unknown, and said so */
    :: !looked && !edit_ended[i] -> said[i] = (edit_status[i] == ST_MADE -> SAID_SET : SAID_NOT_SET)
    :: else
    fi;
#endif

release:
    take_guard(i, g, got);                          /* unlock_inittab */
    if
    :: got ->
       is_ours(i, ours);
       if
       :: ours ->
          atomic {
            assert(is_lock_of(i));                                  /* P3 */
            lock_inode = 0; lock_pid = 0
          }
       :: else
       fi;
       drop_guard(i)
    :: else
    fi;
finish:
    atomic { alive[i] = false; ended++; checked_version[i] = 0; edit_status[i] = 0; forked[i] = false; edit_done[i] = false }
  } unless {
    killed[i] ->
    atomic {
      alive[i] = false;
      drop_guard(i);
      if
      :: forked[i] -> shell_dead[i] = true
      :: !forked[i] && edit_live[i] -> edit_live[i] = false; live_edits--
      :: else
      fi;
      ended++
    }
  }
}

/* Sends SIGKILL to any run, at any step. */
proctype killer() {
  byte i;
  do
  :: kills > 0 ->
     atomic {
       select(i : 1 .. RUNS);
       if
       :: alive[i] && !killed[i] -> killed[i] = true; kills--
       :: else
       fi
     }
  :: kills == 0 -> break
  :: ended == RUNS -> break
  od
}

/* Once every run and every edit has ended, a run to which nothing goes
   wrong gets the lock at its first attempt, and its check before the edit
   passes (P5); every report said what the table holds (P4). */
proctype later() {
  byte i, g, judged;
  bool taken, got, ours;
  (ended == RUNS && edits_running == 0);
  atomic { errors = 0; timeouts = 0; kills = 0 }
  for (i : 1 .. RUNS) {
    assert(said[i] != SAID_SET || (table_lines & LINE(i)) != 0);        /* P4 */
    assert(said[i] != SAID_NOT_SET || (table_lines & LINE(i)) == 0);    /* P4 */
  }
  make_lock(LATER, taken, g, got, judged);
  assert(taken);                                                        /* P5 */
  take_guard(LATER, g, got);
  assert(got);                                                          /* P5 */
  is_ours(LATER, ours);
  assert(ours && live_edits == 0);                                      /* P5 */
  drop_guard(LATER)
}

init {
  byte i;
  atomic {
    for (i : 1 .. LATER) { alive[i] = true; said[i] = SAID_NOT_SET }  /* until it edits */
    for (i : 1 .. RUNS) { run ttyenable(i) }
    run killer();
    run later()
  }
}
