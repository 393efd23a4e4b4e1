// altuscomthread.h - kessaro's link threads: one per serial or TCP-client link, one per
// TCP-server link plus one per accepted connection, and one scheduling thread per
// datalogger with dial-out; the connection locks that keep one datalogger on one link;
// the three callbacks every link's SerialBuf gets (idle, log, data rate); and the orderly
// shutdown kessaro_stop.
//
// Locking: a datalogger's connection lock before a link's (the reverse is only tried);
// Kessaro.modems_mutex (the link list) briefly inside them. The connection locks record
// the thread that holds them, and the unlock operations release only for that thread.
// No signal ends a thread: every open-ended wait of a link ends within a one-second
// slice through idle_callback, which answers 3 once kessaro_halt is set.
#pragma once

#include <pthread.h>

#include <string>

#include "base/threadstart.h"
#include "kessaro.h"

// The host's own name and dotted address (my_ip), one caller at a time.
int my_my_ip(char *name, char *dotted, unsigned *ip);

// The key of Kessaro.dlserials_array for a model and serial number ("K1234"), written
// into dlserial (at least 32 bytes). -1 with a registered error for an unknown model.
int make_dlserial(Modem *modem, const char *model, int serialno, char *dlserial);

// Starts a thread of `kind` (its stack size) with system contention scope; 0 or the
// pthread_create error.
int altuscom_start_thread(pthread_t *tid, ThreadKind kind, void *(*fn)(void *), void *arg);
int altuscom_new_modem(Kessaro *altus, Modem *modem);
int altuscom_new_datalogger(Kessaro *altus, AltusDatalogger *dl);
// A copy of a link for one accepted TCP connection (modem_copy), or none.
Modem *altuscom_modem_copy(Modem *modem);
// Frees such a copy with its byte streams; none: nothing.
void altuscom_modem_free(Modem *modem);

// try 0 waits and returns 0; try 1 returns 0 when taken or 16 when busy. None: 0.
int lock_datalogger_connection(AltusDatalogger *dl, const char *label, int try_);
int lock_modem_connection(Modem *modem, const char *label, int try_);
// Release the lock when this thread holds it; otherwise nothing. 0.
int unlock_datalogger_connection(AltusDatalogger *dl, const char *label);
int unlock_modem_connection(Modem *modem, const char *label);
// Whether this thread holds the lock.
bool datalogger_connection_held(AltusDatalogger *dl);
bool modem_connection_held(Modem *modem);
// Trace switches of the four lock operations (off).
extern int debug_lock_datalogger, debug_unlock_datalogger;
extern int debug_lock_modem, debug_unlock_modem;

// The address hand-off of a TCP-client link. A thread that learns a datalogger's new
// address (a point-of-contact announcement, a dial-in) posts it; the link's own thread
// applies it before its next connection, so nobody replaces the address the link thread
// is using.
struct AltusAddressChange {
  std::string old_host;  // the address in use or already posted, "-" when none
  int old_port = 0;
  std::string new_host;
  int new_port = 0;  // the port the link will use
};
// Posts `host` (with `port`, taken only when the link's port is negative) for the link.
// The same host as the one in use or already posted: 0, nothing changes. Otherwise the
// host is resolved (name2ip; "-" when that fails, its errors dropped) into the link text
// "tcp:<address>:<port>:<name>", reset_ipaddress is set, `change` (may be none) says what
// changed, and the result is ALTUSCOM_ADDRESS_POSTED. -1 for a none link or host. Does not
// wait for the link's connection.
enum { ALTUSCOM_ADDRESS_SAME = 0, ALTUSCOM_ADDRESS_POSTED = 1 };
int altuscom_post_address(Modem *modem, const char *host, int port, AltusAddressChange *change);
// On the link's own thread: applies a posted address (ipaddr, port and com replaced) and
// clears reset_ipaddress. 1 when one was applied, 0 when none was posted. The announced
// address goes on trial: the calls alternate between it and the last address where the
// datalogger identified (the configured one before the first identification) until it
// identifies at one of them. A later announcement replaces the one on trial; one of the
// confirmed address itself ends the trial there.
int altuscom_apply_address(Modem *modem);
// On the link's own thread, when the datalogger identified itself over a connection at
// the address in use: that address becomes the confirmed one and a trial ends.
void altuscom_confirm_address(Modem *modem);
// On the link's own thread, when a call at the address in use ended without an
// identification: during a trial the link turns to the other address, with one complaint
// naming both. The AltuscomAddressTurn it made.
enum AltuscomAddressTurn : int {
  ALTUSCOM_TURN_NONE = 0,       // no trial runs (nothing changes)
  ALTUSCOM_TURN_CONFIRMED = 1,  // back from the announced address to the confirmed one (to be
                                // called at once)
  ALTUSCOM_TURN_ANNOUNCED = 2,  // from the confirmed address to the announced one
};
int altuscom_address_failed(Modem *modem, AltusDatalogger *dl);

// The callers a TCP-server link keeps at once while they have not identified themselves
// (each on a thread of its own); a caller beyond them is accepted and closed at once.
constexpr int ALTUSCOM_CALLERS_WAITING_MAX = 16;
// On a TCP-server connection's own thread, when its caller has identified itself as a
// datalogger (and when the connection ends): the caller's time limit to identify ends and
// it no longer counts among the server's waiting callers. Nothing for other links.
void altuscom_caller_identified(Modem *modem);

// Thread entries (argument: the record); each ends its thread itself.
void *altuscom_run_datalogger(void *arg);
void *altuscom_run_modem(void *arg);
void *altuscom_run_tcpserver(void *arg);
void *altuscom_run_tcpconnection(void *arg);

// Queues an internal "getevents" request when one is due: a download asked for or an
// event reported (with auto_getevents on), or an incomplete download to be retried
// (dialout_if_getevents_incomplete), and none is queued already. True when queued.
bool altuscom_post_getevents(AltusDatalogger *dl);
// One pass of the datalogger scheduling thread; `busy` is the "all modems busy" counter.
void altuscom_datalogger_pass(Kessaro *altus, AltusDatalogger *dl, int *busy);

// SerialBuf callbacks. The link is the first argument.
int idle_callback(void *link, int phase);
// Line sink of a link's SerialBuf and of the block codec (kinds 1-8). Always 0.
int log_callback(void *link, void *dl, const char *text, int kind);
int datarate_callback(void *link, int direction, int nbytes);

// Closes the link's connection (and pauses 2 s). 0.
int closeserial(Modem *modem);

// Orderly shutdown: clears the queues, raises kessaro_halt, joins the link threads, asks
// for the last status report, writes the state file, stops the write thread and flushes
// the repackagers. Ends the process (status 0) when exitflag is set.
void kessaro_stop(Kessaro *altus, int exitflag);
// The one shutdown of the process. Its starters (a termination signal, the "quit"
// command, the point-of-contact thread's automatic shutdown) claim it first: the first
// claim gets 1 and runs kessaro_stop and ends the process; a later one gets 0 and neither
// stops nor ends anything, so no two shutdowns join the same threads.
int kessaro_shutdown_claim(void);
// Tests: the next claim wins again.
void kessaro_shutdown_reset(void);
// Ends the process after the shutdown: standard streams flushed, static destructors not
// run (link, reader and service threads may still be running).
void kessaro_exit(int status);
