// kessaro_cmdqueue.h - the per-datalogger command queue and the dispatcher that serves it.
//
// Each datalogger's `commands` holds the parameter-file texts of the requests waiting for
// a link that holds the datalogger: external requests posted by the remote-command
// callback and internal ones ("strstart", "getevents", marked "internal_only") posted by
// the datalogger's thread. The queue operations run on any thread and hold the
// datalogger's command_mutex for their own work only, never while the datalogger is
// talked to. process_commands and process_command run on the link thread that holds the
// datalogger's and the link's connection locks; they write the datalogger's status and
// parameters under the program record's status_mutex.
#pragma once

#include "kessaro.h"

// Most requests a datalogger's queue holds for remote requests: a datalogger that is not
// reached cannot make a flood of them hold memory without bound.
constexpr int ALTUS_CMDQUEUE_MAX = 100;

// Appends the request's text; with `internal` set the caller's tree first gets
// "internal_only" 1. The caller keeps its tree. 0; -1 when the tree has no text; -2 for a
// remote request (internal 0) when the queue already holds ALTUS_CMDQUEUE_MAX requests
// (nothing queued). Internal requests (at most one of each kind waits) are always queued.
int post_command_queue(AltusDatalogger *dl, Pf *command, int internal);
// Removes the first request and returns it as a new tree in *command (pffree it), or
// none when the queue is empty (or its text no longer compiles: the entry is dropped). 0.
int pop_command_queue(AltusDatalogger *dl, Pf **command);
// As pop_command_queue without removing the entry. 0.
int peek_command_queue(AltusDatalogger *dl, Pf **command);
// Drops entries whose text does not compile, external entries when `external` is set
// and internal ones when `internal` is set, keeping the order of the rest. A dropped
// external request gets no answer, but the datalogger is taken out of its sequence's
// pending list so the sequence does not stay blocked. 0.
int clear_command_queue(AltusDatalogger *dl, int external, int internal);
// The number of queued requests. With `try` set the lock is only tried: -1 when another
// thread holds it (the queue is then neither counted nor unlocked).
int number_command_queue(AltusDatalogger *dl, int try_);

// Posts a remote request for `dl` after checking "command", "username" and "hostname"
// (each missing key is answered as an error); sends the "Posting command" pending answer.
// A request the full queue refuses is answered as an error saying so; the complaint is
// logged once until the queue has room again.
void altus_post_command(Kessaro *altus, AltusDatalogger *dl, Pf *command);

// Sends a pending (progress) answer on `cmd`; the text is cut to 1023 characters. Does
// nothing when dl or cmd is none.
void cmd_pending(AltusDatalogger *dl, Pf *cmd, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Drains the datalogger's queue on its connected link until it is empty or the program
// halts, honouring "delayhangup". Returns the number of requests served (0 for none).
int process_commands(Kessaro *altus, AltusDatalogger *dl);
// Executes one request on the datalogger's connected link; every result is answered.
void process_command(Kessaro *altus, AltusDatalogger *dl, Pf *cmd);
