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

#include "kessaro.h"

// The host's own name and dotted address (my_ip), one caller at a time.
int my_my_ip(char *name, char *dotted, unsigned *ip);

// The key of Kessaro.dlserials_array for a model and serial number ("K1234"), written
// into dlserial (at least 32 bytes). -1 with a registered error for an unknown model.
int make_dlserial(Modem *modem, const char *model, int serialno, char *dlserial);

// Starts a thread with system contention scope; 0 or the pthread_create error.
int altuscom_start_thread(pthread_t *tid, void *(*fn)(void *), void *arg);
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

// Thread entries (argument: the record); each ends its thread itself.
void *altuscom_run_datalogger(void *arg);
void *altuscom_run_modem(void *arg);
void *altuscom_run_tcpserver(void *arg);
void *altuscom_run_tcpconnection(void *arg);

// One pass of the datalogger scheduling thread; `busy` is the "all modems busy" counter.
void altuscom_datalogger_pass(Kessaro *altus, AltusDatalogger *dl, int *busy);

// SerialBuf callbacks. The link is the first argument.
int idle_callback(void *link, int phase);
// Line sink of a link's SerialBuf and of the block codec (kinds 1-8). Always 0.
int log_callback(void *link, void *dl, const char *text, int kind);
int datarate_callback(void *link, int direction, int nbytes);

// Closes the link's connection (and pauses 2 s). 0.
int closeserial(Modem *modem);

// Address hand-off to a TCP-client link from another thread (a dial-in or a
// point-of-contact packet that shows where its datalogger now is). altuscom_post_address
// compares `host` with the link's address (the one already posted, if any, else ipaddr;
// "-" when unset) and, when it differs, stores under the link's connection lock the host,
// the port to call (port < 0: the link's own, which may stay negative) and the link text
// "tcp:<dotted>:<port>:<name>", and sets reset_ipaddress. old_host and old_port (each may
// be none) receive the address it replaces. 1 posted, 0 the same host (nothing posted), -1
// no link or no host. The name is resolved before the lock is taken ("-" when it does not
// resolve, the error register then cleared).
int altuscom_post_address(Modem *link, const char *host, int port, std::string *old_host,
                          int *old_port);
// Called by the link's own thread before it uses its address: a posted address becomes
// ipaddr, port and com, and reset_ipaddress is cleared (under the connection lock, which
// the caller may already hold). 1 applied, 0 nothing posted.
int altuscom_apply_address(Modem *link);

// Orderly shutdown: clears the queues, raises kessaro_halt, joins the link threads, asks
// for the last status report, writes the state file, stops the write thread and flushes
// the repackagers. Ends the process (status 0) when exitflag is set.
void kessaro_stop(Kessaro *altus, int exitflag);
// Ends the process after the shutdown: standard streams flushed, static destructors not
// run (link, reader and service threads may still be running).
void kessaro_exit(int status);
