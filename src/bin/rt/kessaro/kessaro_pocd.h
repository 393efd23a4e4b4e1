// kessaro_pocd.h - the point-of-contact thread, one per configured source: it reads the
// source's announcements (parameter-file packets carrying "srcip" and identifying keys),
// re-targets the TCP link of every datalogger an announcement names through the link's
// address hand-off (altuscom_post_address; the link's own thread applies it), and shuts
// the program down in order when reading the source has failed for an hour.
//
// Threads and locking: runs beside the link threads; it changes a link only through the
// hand-off, under the link's address_mutex. The failure clock runs on the clock seam.
#pragma once

#include "kessaro.h"

// Thread entry (argument: the POCDaemon). Ends when the shutdown begins (kessaro_halt or
// Kessaro.kill no longer KESSARO_KILL_RUN), or after its own automatic shutdown.
// In namespace kessaro, as muldrin has a thread body of the same name.
namespace kessaro {
void *run_pocd_thread(void *arg /* POCDaemon * */);
}

// Consecutive seconds of failed reads after which the program shuts itself down.
constexpr double KESSARO_POCD_FAILURE_LIMIT = 3600.0;

// Seams for tests: the read of the source (orbreapthr_get) and the end of the process
// after the automatic shutdown (kessaro_exit; when it returns, the thread ends).
extern int (*kessaro_pocd_reap)(OrbreapThr *thr, int *pktid, char *srcname, double *time,
                                char **packet, int *nbytes, int *bufsize);
extern void (*kessaro_pocd_exit)(int status);
