// orbreapthr.cpp - the reap and put worker threads over ring-buffer connections.
#include "ringsvc/orbreapthr.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pmtfifo.h"
#include "base/timetext.h"
#include "support/thrcompat.h"

namespace {

constexpr double kIdlePause = 0.1;       // nothing to reap
constexpr double kOpenPause = 1.0;       // the ring could not be opened
constexpr double kReapErrorPause = 1.0;  // a reap failed
constexpr double kPutRetryPause = 0.1;   // a put failed
constexpr int kStopPolls = 100;          // of 0.1 s: orbreapthr_stop_and_wait's bound
constexpr double kPutAbandonAfter = 5.0;
constexpr double kPutStopBound = 11.0;

char *dup_or_none(const char *s) {
  if (!s) return nullptr;
  char *p = strdup(s);
  if (!p) OUT_OF_MEMORY(strlen(s) + 1, "orbreapthr text");
  return p;
}

// --- reap side ---------------------------------------------------------------------

void reap_cleanup(OrbreapThr *thr) {
  int orb = thr->orb.load();
  if (orb >= 0 && orbclose(orb) < 0) elog_clear_register(0);
  free(thr->orbname);
  free(thr->select);
  free(thr->reject);
  pmtfifo_destroy(thr->mtfifo, free_mypacket);
  delete thr;
}

void reap_release(OrbreapThr *thr) {
  if (thr->refs.fetch_sub(1) == 1) reap_cleanup(thr);
}

// The connection as messages name it.
std::string orb_label(const OrbreapThr *thr) {
  if (thr->orbname) return thr->orbname;
  char buf[32];
  snprintf(buf, sizeof buf, "connection %d", thr->orb.load());
  return buf;
}

// Applies the pending settings, each once. False (after complaining) when one fails.
bool apply_settings(OrbreapThr *thr) {
  char *select, *reject;
  double after;
  {
    std::lock_guard<std::mutex> lock(thr->mutex);
    select = thr->select;
    reject = thr->reject;
    after = thr->after;
    thr->select = thr->reject = nullptr;
    thr->after = -1.0;
  }
  int orb = thr->orb.load();
  bool ok = true;
  if (select && orbselect(orb, select) < 0) {
    if (thr->halt.load() == 0)
      elog_complain(0, "orbreapthr_run: orbselect(%s,%s) error.\n", orb_label(thr).c_str(), select);
    ok = false;
  } else if (reject && orbreject(orb, reject) < 0) {
    if (thr->halt.load() == 0)
      elog_complain(0, "orbreapthr_run: orbreject(%s,%s) error.\n", orb_label(thr).c_str(), reject);
    ok = false;
  } else if (after >= 0.0 && orbafter(orb, after) < 0) {
    char *when = strtime(after);
    if (thr->halt.load() == 0)
      elog_complain(0, "orbreapthr_run: orbafter(%s,%s) error.\n", orb_label(thr).c_str(),
                    when ? when : "?");
    free(when);
    ok = false;
  }
  free(select);
  free(reject);
  // A stop closes the connection: a setting failing under it is no fault.
  if (!ok && thr->halt.load() > 0) elog_clear_register(0);
  return ok;
}

bool stop_asked(const OrbreapThr *thr) { return thr->halt.load() > 0; }

void reap_loop(OrbreapThr *thr) {
  while (thr->orbname && thr->orb.load() < 0) {
    if (stop_asked(thr)) return;
    thr->reaping = 1;
    int orb = orbopen(thr->orbname, "r&");
    thr->reaping = 0;
    if (orb >= 0) {
      thr->orb = orb;
    } else {
      elog_clear_register(0);
      clock_sleep(kOpenPause);
    }
  }
  char *buf = nullptr;
  int bufsize = 0;
  for (;;) {
    if (stop_asked(thr) || !apply_settings(thr)) break;
    bool again = true;
    while (again) {
      if (stop_asked(thr)) break;
      int pktid = -1, nbytes = 0;
      double time = 0.0;
      char srcname[ORBSRCNAME_SIZE] = "NULL";
      thr->reaping = 1;
      // Waits for a packet; a stop closes the connection, which ends the wait at once.
      int rc = orbreap(thr->orb.load(), &pktid, srcname, &time, &buf, &nbytes, &bufsize);
      thr->reaping = 0;
      if (stop_asked(thr)) {
        elog_clear_register(0);  // the reap on the closed connection
        break;
      }
      if (rc < 0) {
        elog_complain(0, "orbreapthr_run: orbreap() error.\n");
        clock_sleep(kReapErrorPause);
        again = false;  // back to the settings
        continue;
      }
      auto *p = static_cast<mypacket *>(calloc(1, sizeof(mypacket)));
      if (!p) {
        elog_complain(1, "orbreapthr_run: malloc(mypacket) error.\n");
        free(buf);
        return;
      }
      p->pktid = pktid;
      p->time = time;
      snprintf(p->srcname, sizeof p->srcname, "%s", srcname);
      p->nbytes = nbytes;
      p->packet = nbytes > 0 ? buf : nullptr;
      if (nbytes > 0) {
        buf = nullptr;  // the record owns it now
        bufsize = 0;
      }
      int pushed;
      // A queue without waiting (time-out 0) refuses a push when full: wait for room.
      while ((pushed = pmtfifo_push(thr->mtfifo, p)) == -2 && !thr->block && !stop_asked(thr))
        clock_sleep(kIdlePause);
      if (pushed < 0) {
        free_mypacket(p);
        // A stop releases the queue: a push refused then is no fault.
        if (!stop_asked(thr)) elog_complain(0, "orbreapthr_run: mtfifo_push() error.\n");
        free(buf);
        return;
      }
      again = false;
    }
    if (stop_asked(thr)) break;
  }
  free(buf);
}

void *orbreapthr_run(void *arg) {
  auto *thr = static_cast<OrbreapThr *>(arg);
  reap_loop(thr);
  elog_notify(0, "Exiting orbreap thread.\n");
  thr->halt = 2;
  // A get waiting on the empty queue returns at once; queued packets stay available.
  pmtfifo_release_block(thr->mtfifo);
  reap_release(thr);
  return nullptr;
}

OrbreapThr *reap_create(const char *who, int orb, const char *orbname, const char *select,
                        const char *reject, double after, double timeout, int maxqueue) {
  auto *thr = new (std::nothrow) OrbreapThr;
  if (!thr) {
    elog_log(1, "%s: malloc(OrbreapThr) error.\n", who);
    return nullptr;
  }
  thr->mtfifo = nullptr;
  thr->run_thread = pthread_t();
  thr->orbname = dup_or_none(orbname);
  thr->select = dup_or_none(select);
  thr->reject = dup_or_none(reject);
  thr->after = after;
  thr->orb = orbname ? -1 : orb;
  thr->block = timeout == 0.0 ? 0 : 1;
  thr->halt = 0;
  thr->reaping = 0;
  thr->refs = 1;
  // A failure below must not close the caller's connection.
  auto undo = [thr] {
    thr->orb = -1;
    reap_cleanup(thr);
  };
  thr->mtfifo = pmtfifo_create(maxqueue, thr->block, 1);
  if (!thr->mtfifo) {
    elog_log(0, "%s: pmtfifo_create() error.\n", who);
    undo();
    return nullptr;
  }
  if (timeout > 0.0 && pmtfifo_set_timeout(thr->mtfifo, timeout) < 0) {
    elog_log(1, "%s: pmtfifo_set_timeout(%f) error.\n", who, timeout);
    undo();
    return nullptr;
  }
  thr->refs = 2;
  if (thr_create(nullptr, 0, orbreapthr_run, thr, THR_DETACHED, &thr->run_thread) != 0) {
    elog_log(1, "%s: thr_create(orbreapthr_run) error.\n", who);
    undo();
    return nullptr;
  }
  return thr;
}

// --- put side ----------------------------------------------------------------------

void put_release(OrbputThr *thr) {
  if (thr->refs.fetch_sub(1) == 1) {
    pmtfifo_destroy(thr->mtfifo, free_mypacket);
    delete thr;
  }
}

void put_ask_stop(OrbputThr *thr) {
  thr->stopping = 1;
  // The thread drains what is queued, then its pop returns 2; a waiting put returns.
  pmtfifo_release_block(thr->mtfifo);
}

void *orbputthr_run(void *arg) {
  auto *thr = static_cast<OrbputThr *>(arg);
  for (;;) {
    void *item = nullptr;
    int rc = pmtfifo_pop(thr->mtfifo, &item);
    if (rc == 2) break;  // stop asked and nothing left
    if (rc != 1) {
      elog_complain(0, "orbputthr_run: pmtfifo_pop() error.\n");
      clock_sleep(kPutRetryPause);
      continue;
    }
    if (!item) break;
    auto *p = static_cast<mypacket *>(item);
    thr->putting = 1;
    while (orbput(thr->orb, p->srcname, p->time, p->packet, p->nbytes) != 0) {
      elog_clear_register(0);
      if (thr->abandon.load()) break;
      clock_sleep(kPutRetryPause);
      if (thr->abandon.load()) break;
    }
    thr->putting = 0;
    free_mypacket(p);
    if (thr->abandon.load()) break;
  }
  thr->halt = 2;
  put_release(thr);
  return nullptr;
}

}  // namespace

void free_mypacket(void *item) {
  auto *p = static_cast<mypacket *>(item);
  if (!p) return;
  free(p->packet);
  free(p);
}

OrbreapThr *orbreapthr_new(int orb, double timeout, int maxqueue) {
  return reap_create("orbreapthr_new", orb, nullptr, nullptr, nullptr, -1.0, timeout, maxqueue);
}

OrbreapThr *orbreapthr_new2(const char *orbname, const char *select, const char *reject,
                            double after, double timeout, int maxqueue) {
  if (!orbname) {
    elog_log(0, "orbreapthr_new2: no ring-buffer name.\n");
    return nullptr;
  }
  return reap_create("orbreapthr_new2", -1, orbname, select, reject, after, timeout, maxqueue);
}

int orbreapthr_select(OrbreapThr *thr, const char *select) {
  if (!thr) return -1;
  char *copy = dup_or_none(select);
  std::lock_guard<std::mutex> lock(thr->mutex);
  free(thr->select);
  thr->select = copy;
  return 0;
}

int orbreapthr_reject(OrbreapThr *thr, const char *reject) {
  if (!thr) return -1;
  char *copy = dup_or_none(reject);
  std::lock_guard<std::mutex> lock(thr->mutex);
  free(thr->reject);
  thr->reject = copy;
  return 0;
}

int orbreapthr_after(OrbreapThr *thr, double time) {
  if (!thr) return -1;
  std::lock_guard<std::mutex> lock(thr->mutex);
  thr->after = time;
  return 0;
}

int orbreapthr_set_to_stop(OrbreapThr *thr) {
  if (!thr) return 0;
  int running = 0;
  if (thr->halt.compare_exchange_strong(running, 1)) {
    // A reap waiting for a packet ends when its connection closes; the record forgets it.
    int orb = thr->orb.exchange(-1);
    if (orb >= 0 && orbclose(orb) < 0) elog_clear_register(0);
  }
  // A thread waiting to push onto a full queue gives up at once.
  pmtfifo_release_block(thr->mtfifo);
  return 0;
}

int orbreapthr_is_stopped(OrbreapThr *thr) { return thr && thr->halt.load() == 2 ? 1 : 0; }

int orbreapthr_stop_and_wait(OrbreapThr *thr) {
  if (!thr) return 0;
  orbreapthr_set_to_stop(thr);
  for (int polls = 0; thr->halt.load() != 2; polls++) {
    if (polls >= kStopPolls) {
      thr->halt = 2;
      elog_complain(0, "orbreapthr_stop_and_wait: forcing thread cancellation\n");
      break;
    }
    clock_sleep(0.1);
  }
  return 0;
}

int orbreapthr_destroy(OrbreapThr *thr) {
  if (!thr) return 0;
  orbreapthr_set_to_stop(thr);
  reap_release(thr);
  return 0;
}

int orbreapthr_set_timeout(OrbreapThr *thr, double seconds) {
  return thr ? pmtfifo_set_timeout(thr->mtfifo, seconds) : 0;
}

int orbreapthr_data_available(OrbreapThr *thr) {
  return thr ? pmtfifo_data_available(thr->mtfifo) : 0;
}

int orbreapthr_get(OrbreapThr *thr, int *pktid, char *srcname, double *time, char **packet,
                   int *nbytes, int *bufsize) {
  if (!thr || !pktid || !srcname || !time || !packet || !nbytes || !bufsize) {
    elog_log(0, "orbreapthr_get: missing argument.\n");
    return -1;
  }
  if (thr->halt.load() == 2 && pmtfifo_data_available(thr->mtfifo) <= 0) return ORBREAPTHR_STOPPED;
  void *item = nullptr;
  int rc = pmtfifo_pop(thr->mtfifo, &item);
  if (rc < 0) {
    elog_log(0, "orbreapthr_get: mtfifo_pop() error.\n");
    return -1;
  }
  *pktid = -1;
  srcname[0] = '\0';
  *time = 0.0;
  *nbytes = 0;
  if (rc == PMTFIFO_EMPTY || rc == PMTFIFO_TIMEOUT) return ORBREAPTHR_NONE;
  if (rc == PMTFIFO_RELEASED) return ORBREAPTHR_RELEASED;
  if (rc != PMTFIFO_TAKEN) return ORBREAPTHR_PACKET;
  if (!item) return ORBREAPTHR_NONE;
  auto *p = static_cast<mypacket *>(item);
  if (p->nbytes > 0) {
    if (!*packet || *bufsize < p->nbytes) {
      long long want = static_cast<long long>(p->nbytes) * 3 / 2;
      int size = want > INT_MAX ? p->nbytes : static_cast<int>(want);
      char *grown = static_cast<char *>(*packet ? realloc(*packet, size) : malloc(size));
      if (!grown) {
        elog_log(1, *packet ? "orbreapthr_get: realloc() error.\n"
                            : "orbreapthr_get: malloc() error.\n");
        free_mypacket(p);
        return -1;
      }
      *packet = grown;
      *bufsize = size;
    }
    memcpy(*packet, p->packet, static_cast<size_t>(p->nbytes));
  }
  *nbytes = p->nbytes;
  snprintf(srcname, ORBSRCNAME_SIZE, "%s", p->srcname);
  *time = p->time;
  *pktid = p->pktid;
  free_mypacket(p);
  return 1;
}

OrbputThr *orbputthr_new(int orb, int maxqueue) {
  auto *thr = new (std::nothrow) OrbputThr;
  if (!thr) {
    elog_log(1, "orbputthr_new: malloc(OrbputThr) error.\n");
    return nullptr;
  }
  thr->run_thread = pthread_t();
  thr->orb = orb;
  thr->halt = 0;
  thr->putting = 0;
  thr->stopping = 0;
  thr->abandon = 0;
  thr->refs = 1;
  thr->mtfifo = pmtfifo_create(maxqueue, 1, 1);
  if (!thr->mtfifo) {
    elog_log(0, "orbputthr_new: pmtfifo_create() error.\n");
    delete thr;
    return nullptr;
  }
  thr->refs = 2;
  if (thr_create(nullptr, 0, orbputthr_run, thr, THR_DETACHED, &thr->run_thread) != 0) {
    elog_log(1, "orbputthr_new: thr_create(orbputthr_run) error.\n");
    thr->refs = 1;
    put_release(thr);
    return nullptr;
  }
  return thr;
}

int orbputthr_put(OrbputThr *thr, const char *srcname, double time, const char *packet,
                  int nbytes) {
  if (!thr) return -1;
  if (thr->stopping.load() || thr->halt.load()) {
    elog_log(0, "orbputthr_put: the put thread is stopped.\n");
    return -1;
  }
  if (!srcname || strlen(srcname) > ORBSRCNAME_MAX) {
    elog_log(0, "orbputthr_put: source name '%.63s' is missing or longer than %d characters.\n",
             srcname ? srcname : "", ORBSRCNAME_MAX);
    return -1;
  }
  auto *p = static_cast<mypacket *>(calloc(1, sizeof(mypacket)));
  if (!p) {
    elog_log(1, "orbputthr_run: malloc(mypacket) error.\n");
    return -1;
  }
  p->time = time;
  snprintf(p->srcname, sizeof p->srcname, "%s", srcname);
  if (nbytes > 0 && packet) {
    p->packet = static_cast<char *>(malloc(static_cast<size_t>(nbytes)));
    if (!p->packet) {
      elog_log(1, "orbputthr_run: malloc(mypacket->packet,%d) error.\n", nbytes);
      free(p);
      return -1;
    }
    memcpy(p->packet, packet, static_cast<size_t>(nbytes));
    p->nbytes = nbytes;
  }
  if (pmtfifo_push(thr->mtfifo, p) < 0) {
    free_mypacket(p);
    if (thr->stopping.load())
      elog_log(0, "orbputthr_put: the put thread is stopped.\n");
    else
      elog_log(0, "orbreapthr_run: mtfifo_push() error.\n");
    return -1;
  }
  return 0;
}

int orbputthr_stop(OrbputThr *thr) {
  if (!thr) return 0;
  put_ask_stop(thr);
  const double start = clock_monotonic();
  while (thr->halt.load() != 2) {
    double waited = clock_monotonic() - start;
    if (waited >= kPutStopBound) break;
    if (waited >= kPutAbandonAfter && thr->putting.load()) thr->abandon = 1;
    clock_sleep(0.1);
  }
  thr->abandon = 1;  // a thread still writing ends after this packet
  thr->halt = 2;
  return 0;
}

int orbputthr_destroy(OrbputThr *thr) {
  if (!thr) return 0;
  put_ask_stop(thr);
  put_release(thr);
  return 0;
}
