// altuscomsubs_connect.h - datalogger connections: opening one (console dialogue into
// block mode, status, identity check, bookkeeping, password, parameter header), ending
// one with or without returning the datalogger to call mode, and the datalogger clock
// hand-off.
//
// A connection exists from the moment opendl records it until closedl or closedlnc: the
// link's `connected_dl` and the datalogger's `connected_modem` then point at each other
// and the connection's SerialBuf `userdata3` names the datalogger for the callbacks.
//
// All of it runs on the link thread that holds the connection. Lock order: connection
// locks (datalogger, link), then the datalogger's stat.status_mutex, then the program
// record's status_mutex; no status mutex is held while waiting for the status thread.
#pragma once

#include "altuscomsubs_console.h"  // AltusConsoleResult
#include "kessaro.h"

// Results of opendl besides 0, -1 and the positive codes of the console dialogue.
enum OpendlResult : int {
  OPENDL_TIMEOUT = BLOCK_TIMEOUT,  // a transaction timed out
  OPENDL_HALTED = 4,               // the program halts
  OPENDL_NOT_ACTIVE = CONSOLE_NOTCONNECTED,
  OPENDL_DIALIN = CONSOLE_DIALIN,
};

// Turns the fresh connection of `modem` into a datalogger connection in block mode.
// callmode 1 (dial-in): the datalogger is modem->connected_dl, or none when it is not
// known yet (it is then identified from its status and claimed: its connection lock
// taken and no other link connected to it); on success its serial tag is written into
// dlserial (32 bytes) and the datalogger into *datalogger. callmode 2 (dial-out): the
// datalogger is *datalogger and must match its configuration. A pending `reboot` of the
// datalogger replaces the reboot argument and is cleared. The two waits for the status
// thread's report (after the connection is recorded, after the parameter header) end
// after 11 s or on halt.
// The caller holds the datalogger's connection lock; the link's is taken here when not
// held. The early returns (no datalogger, dial-out not allowed, halted) leave the locks
// as they were; every later return has released both.
// 0 open; -1 failure or refusal; 2 time-out; 4 halted; 6 connection no longer active;
// 18 interrupted by a dial-in; other positive codes of the console dialogue passed on.
// A failing password (2 or -1) or parameter read (-1) comes after the connection was
// recorded and leaves it recorded; the caller ends it with closedl, as after any result.
int opendl(Modem *modem, int callmode, char *dlserial, AltusDatalogger **datalogger, int reboot,
           int acqoff, int acqon);

// Ends the datalogger's connection: call mode when the datalogger asks for it, the
// connection statistics, the pointers of both records cleared. The datalogger's
// connection lock is tried for up to 2 s while another thread holds it; a datalogger whose
// lock stays busy is disconnected all the same when this thread runs its link (the link's
// `run_thread`), with a complaint, and left as it is otherwise (another link has taken
// it). None: nothing. 0.
int closedl(AltusDatalogger *dl);
// As closedl without call mode and without the statistics (stale pointers dropped before
// a new connection is opened). 0.
int closedlnc(AltusDatalogger *dl);

// Publishes the status time to the shared datalogger clock, for the datalogger named by
// -dlclock only and only when the status' clock is synchronised (clockSource 2 or 3).
// Times before 1053105833.0 are dropped. 0.
int altuscom_set_dlclock(AltusDatalogger *dl, AltusBlockStatus *altusstat);
// Trace switch of altuscom_set_dlclock (off).
extern int debug_dlclock;
