// muldrin_write.cpp - muldrin's output queue, its producers and the write thread.
#include "muldrin_write.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "muldrin_datastatus.h"
#include "muldrin_genc.h"
#include "muldrin_run.h"
#include "muldrin_stash.h"
#include "muldrin_state.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"
#include "support/stdtime.h"

namespace {

Muldrin *g_muldrin = nullptr;

// Writer state, used by the write thread only, kept for the whole process.
struct Writer {
  Packet *pfpkt = nullptr;
  Packet *dbpkt = nullptr;
  char *buf = nullptr;
  int bufsize = 0;
  int nbytes = 0;
  // Items taken off the write queue during a stall of the ring (all but waveform data,
  // which is dropped), written before the queue's next ones.
  std::deque<Q330Output *> held;
  ElogFlood *flood = nullptr;  // the gate of log packets, by source name
  double kill_seen = 0;        // when the writer first saw the stop request (clock_monotonic)
};
Writer g_writer;

void free_output(void *p) {
  auto *out = static_cast<Q330Output *>(p);
  if (out == nullptr) return;
  if (out->type == Q330_OUT_STATUS)
    pffree(static_cast<Pf *>(out->q330data));
  else
    free(out->q330data);
  delete out;
}

// During a shutdown a put is retried until the drain limit, and not at all once the
// ring is gone.
int give_up(void *, const char *, int ring_state, double *) {
  if (g_muldrin->kill.load() == MULDRIN_KILL_RUN) return 0;
  if (g_writer.kill_seen == 0) g_writer.kill_seen = clock_monotonic();
  if (ring_state == ORBRING_CUT) return 1;
  return clock_monotonic() - g_writer.kill_seen >= MULDRIN_WRITE_DRAIN ? 1 : 0;
}

// While the ring has refused everything for too long, the waveform data queued behind
// the packet that waits is dropped (counted); the other items are kept, in order.
void shed_waveforms(void *) {
  Muldrin *m = g_muldrin;
  int64_t dropped = 0;
  while (pmtfifo_data_available(m->mtfifo_write) > 0) {
    void *item = nullptr;
    if (pmtfifo_pop(m->mtfifo_write, &item) != 1) break;
    auto *out = static_cast<Q330Output *>(item);
    if (out == nullptr) continue;
    if (out->type == Q330_OUT_DATA || out->type == Q330_OUT_DATASTATUS) {
      free_output(out);
      dropped++;
    } else {
      g_writer.held.push_back(out);
    }
  }
  orbwrite_dropped(orbwrite_default(), dropped);
}

int put_keep(int orb, const char *srcname, double time, const char *packet, int nbytes) {
  return orbwrite_put(orbwrite_default(), orb, srcname, time, packet, nbytes, ORBWRITE_KEEP);
}

int put_once(int orb, const char *srcname, double time, const char *packet, int nbytes) {
  return orbwrite_put(orbwrite_default(), orb, srcname, time, packet, nbytes, ORBWRITE_ONCE);
}

// Skips up to and including the first blank, and again the next one when there is one.
const char *strip_timestamp(const char *text) {
  const char *p = strchr(text, ' ');
  if (p == nullptr) return text;
  const char *q = strchr(p + 1, ' ');
  return q != nullptr ? q + 1 : p + 1;
}

const char *log_srcname(Q330 *q330) {
  if (q330 != nullptr && q330->out_srcname_log != nullptr) return q330->out_srcname_log;
  return g_muldrin->log_srcname != nullptr ? g_muldrin->log_srcname : "";
}

int write_log(Q330 *q330, char *text) {
  Orbtag *log = g_muldrin->log;
  int rc = 0;
  if (log != nullptr) {
    const char *src = log_srcname(q330);
    if (log2orbpkt(text, &g_writer.buf, &g_writer.nbytes, &g_writer.bufsize) < 0) {
      elog_complain(0, "q330_write: log2orbpkt() error, srcname %s.\n", src);
      rc = -1;
    } else {
      put_keep(log->orbw, src, clock_now(), g_writer.buf, g_writer.nbytes);
    }
  }
  free(text);
  return rc;
}

// A line of a debug switch the operator turned on: its message (after the time stamp,
// the target and, for a datalogger's line, its name) begins with "DEBUG", a capital and a
// colon. Such lines pass the gate.
bool debug_line(Q330 *q330, const char *text) {
  const char *p = strip_timestamp(text);
  for (int fields = q330 != nullptr ? 2 : 1; fields > 0 && p != nullptr; fields--) {
    p = strstr(p, ": ");
    if (p != nullptr) p += 2;
  }
  return p != nullptr && strncmp(p, "DEBUG", 5) == 0 && isupper((unsigned char)p[5]) && p[6] == ':';
}

// The gate's key text: whether the line is printed as well ("P|") or only sent ("L|"),
// then the line without its time stamp.
std::string gate_text(bool print, const char *text) {
  return std::string(print ? "P|" : "L|") + strip_timestamp(text);
}

// A log line past the gate: printed (for standard output lines) and sent to the ring,
// unless the gate holds it back. One gate decides for both, by the datalogger's log
// source name (the program's for its own lines) and the shape of the line.
int write_gated_log(Q330 *q330, char *text, bool print) {
  // What a datalogger sent never reaches a log with its control characters.
  std::string line = elog_escape(text, true);
  free(text);
  if (!debug_line(q330, line.c_str())) {
    if (g_writer.flood == nullptr)
      g_writer.flood = elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS);
    if (elog_flood_pass(g_writer.flood, log_srcname(q330), gate_text(print, line.c_str()).c_str(),
                        clock_monotonic(), nullptr) == 0)
      return 0;
  }
  if (print) elog_print_passed(ELOG_NOTIFY, strip_timestamp(line.c_str()));
  if (g_muldrin->log == nullptr) return 0;
  char *copy = strdup(line.c_str());
  if (copy == nullptr) elog_die(1, "write_gated_log: malloc() error.\n");
  return write_log(q330, copy);
}

// Writes the lines of held-back log messages that are due (all with `all`): repeats and
// summaries go to the ring, and to standard error when their lines were printed.
void write_log_repeats(bool all) {
  if (g_writer.flood == nullptr) return;
  std::vector<ElogFloodRepeat> due;
  elog_flood_due(g_writer.flood, clock_monotonic(), all, &due);
  for (ElogFloodRepeat &r : due) {
    bool print = r.source_summary;
    if (!r.source_summary && r.text.size() >= 2) {
      print = r.text[0] == 'P';
      r.text = r.text.substr(2);
    }
    std::string text = elog_flood_text(r);
    if (print) elog_print_passed(r.source_summary ? ELOG_COMPLAIN : ELOG_NOTIFY, text.c_str());
    if (g_muldrin->log == nullptr) continue;
    char *now = epoch2str(std_now(), "%Y%j %H:%M:%S.%s");
    std::string line = std::string(now != nullptr ? now : "") + ": " + text;
    free(now);
    if (log2orbpkt(line.data(), &g_writer.buf, &g_writer.nbytes, &g_writer.bufsize) == 0)
      put_keep(g_muldrin->log->orbw, r.source.c_str(), clock_now(), g_writer.buf, g_writer.nbytes);
  }
}

int write_time(Q330 *q330, void *data) {
  Orbtag *log = g_muldrin->log;
  int rc = 0;
  if (log != nullptr && data != nullptr) {
    double t;
    memcpy(&t, data, sizeof t);
    std::string src = std::string(log_srcname(q330)) + "/time";
    char text[Q330_OUTPUT_MSG_MAX];
    snprintf(text, sizeof text, "%.6lf %.6lf", t, clock_now());
    if (log2orbpkt(text, &g_writer.buf, &g_writer.nbytes, &g_writer.bufsize) < 0) {
      elog_complain(0, "q330_write: log2orbpkt() error, srcname %s.\n", src.c_str());
      rc = -1;
    } else {
      put_keep(log->orbw, src.c_str(), t, g_writer.buf, g_writer.nbytes);
    }
  }
  free(data);
  return rc;
}

int write_status(Pf *pf) {
  elog_clear_register(0);
  Orbtag *status = g_muldrin->status;
  int rc = 0;
  if (status != nullptr && pf != nullptr) {
    g_writer.pfpkt->pf = pf;
    int r = stuffPkt(g_writer.pfpkt, nullptr, nullptr, &g_writer.buf, &g_writer.nbytes,
                     &g_writer.bufsize);
    g_writer.pfpkt->pf = nullptr;
    const char *src = g_muldrin->status_srcname != nullptr ? g_muldrin->status_srcname : "";
    if (r < 0) {
      elog_complain(0, "q330_write: stuffPkt() error for srcname %s.\n", src);
      rc = -1;
    } else {
      put_once(status->orbw, src, clock_now(), g_writer.buf, g_writer.nbytes);
    }
  }
  pffree(pf);
  return rc;
}

// Payload: the table name, its zero byte, then the row text and its zero byte.
int write_dbrow(void *data, int size) {
  Orbtag *db = g_muldrin->db;
  int rc = 0;
  if (data != nullptr && db != nullptr) {
    const char *p = static_cast<const char *>(data);
    // A payload of known size must hold both zero bytes; one of unknown size (0) is
    // trusted as the producer built it.
    const char *table = p;
    size_t tlen = size > 0 ? strnlen(p, static_cast<size_t>(size)) : strlen(p);
    const char *row = nullptr;
    if (size <= 0 || (tlen < static_cast<size_t>(size) &&
                      memchr(p + tlen + 1, 0, static_cast<size_t>(size) - tlen - 1) != nullptr))
      row = p + tlen + 1;
    char srcname[PKT_SRCNAME_SIZE] = "";
    double t = 0;
    if (row == nullptr || pkt_setdbrow(g_writer.dbpkt, table, row) < 0 ||
        stuffPkt(g_writer.dbpkt, srcname, &t, &g_writer.buf, &g_writer.nbytes, &g_writer.bufsize) <
            0) {
      elog_complain(1, "q330_write: stuffPkt() error for srcname %s.\n", srcname);
      rc = -1;
    } else {
      put_once(db->orbw, srcname, t, g_writer.buf, g_writer.nbytes);
    }
  }
  free(data);
  return rc;
}

}  // namespace

int muldrin_write_setup(Muldrin *muldrin) {
  muldrin->mtfifo_write = pmtfifo_create(0, 1, 0);
  muldrin->mtfifo_urgent = pmtfifo_create(0, 0, 0);
  if (muldrin->mtfifo_write == nullptr || muldrin->mtfifo_urgent == nullptr) {
    muldrin_write_teardown(muldrin);
    elog_log(0, "muldrin_write_setup: pmtfifo_create() error.\n");
    return -1;
  }
  pmtfifo_set_timeout(muldrin->mtfifo_write, MULDRIN_WRITE_POLL);
  g_muldrin = muldrin;
  OrbWrite *w = orbwrite_default();
  orbwrite_reset(w);
  w->drop_after = muldrin->ring_refusal_drop_time;
  w->give_up = give_up;
  w->waiting = shed_waveforms;
  g_writer.kill_seen = 0;
  elog_flood_free(g_writer.flood);
  g_writer.flood = nullptr;
  return 0;
}

void muldrin_write_teardown(Muldrin *muldrin) {
  for (Q330Output *out : g_writer.held) free_output(out);
  g_writer.held.clear();
  pmtfifo_destroy(muldrin->mtfifo_write, free_output);
  pmtfifo_destroy(muldrin->mtfifo_urgent, free_output);
  muldrin->mtfifo_write = nullptr;
  muldrin->mtfifo_urgent = nullptr;
}

Muldrin *muldrin_write_program(void) { return g_muldrin; }

int myout_callback(Q330 *q330, int type, void *q330data, int q330data_size) {
  Muldrin *m = g_muldrin;
  if (type == Q330_OUT_QUERY) {
    // Once a stop is asked for, nobody waits for the queue any more: the producers (the
    // shutdown itself among them) go on, and the writer's drain limit bounds the rest.
    if (m->mtfifo_write_queue > 0 && myshutdown.load() == 0 &&
        pmtfifo_data_available(m->mtfifo_write) > m->mtfifo_write_queue)
      return Q330_OUT_BUSY;
    return Q330_OUT_READY;
  }
  if (type == Q330_OUT_DATA && q330data == nullptr) return 0;
  auto *out = new Q330Output;
  out->q330 = q330;
  out->type = type;
  out->q330data_size = q330data_size;
  if (type == Q330_OUT_DATA || type == Q330_OUT_DATASTATUS) {
    if (q330data != nullptr && q330data_size > 0) {
      out->q330data = malloc(static_cast<size_t>(q330data_size));
      if (out->q330data == nullptr) elog_die(1, "myout_callback: malloc() error.\n");
      memcpy(out->q330data, q330data, static_cast<size_t>(q330data_size));
    }
  } else {
    out->q330data = q330data;
  }
  if (type == Q330_OUT_STDOUT || type == Q330_OUT_TIME) {
    // Urgent: into the second queue, then a none item wakes a writer waiting on data.
    if (pmtfifo_push(m->mtfifo_urgent, out) != 0 || pmtfifo_push(m->mtfifo_write, nullptr) != 0)
      elog_die(0, "myout_callback: pmtfifo_push() error.\n");
  } else if (pmtfifo_push(m->mtfifo_write, out) != 0) {
    elog_die(0, "myout_callback: pmtfifo_push() error.\n");
  }
  return 0;
}

int muldrin_output(int type, const char *fmt, ...) {
  Muldrin *m = g_muldrin;
  void *payload = nullptr;
  if (type == Q330_OUT_STDOUT || type == Q330_OUT_LOG) {
    char msg[Q330_OUTPUT_MSG_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    char *now = epoch2str(std_now(), "%Y%j %H:%M:%S.%s");
    char line[Q330_OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "%s: %s: %s", now != nullptr ? now : "",
             m->target_name != nullptr ? m->target_name : "", msg);
    free(now);
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
    payload = strdup(line);
    if (payload == nullptr) elog_die(1, "muldrin_output: malloc() error.\n");
  } else if (type == Q330_OUT_STATUS) {
    Pf *pf = nullptr;
    if (pfcompile(fmt, &pf) != 0) {
      pffree(pf);
      elog_complain(0, "muldrin_output: pfcompile() error.\n");
      return 0;
    }
    payload = pf;
  } else {
    return 0;
  }
  while (myout_callback(nullptr, Q330_OUT_QUERY, nullptr, 0) == Q330_OUT_BUSY) clock_sleep(0.1);
  myout_callback(nullptr, type, payload, 0);
  if (type == Q330_OUT_STATUS) write_state_if_due(m, MULDRIN_STATE_WRITE_INTERVAL);
  return 0;
}

namespace {

void write_item(void *item) {
  auto *out = static_cast<Q330Output *>(item);
  if (out == nullptr) return;
  q330_write(out->q330, out->type, out->q330data, out->q330data_size);
  delete out;
}

// Looks at the output rings' files once a minute (cut or deleted under the program).
void check_rings(Muldrin *m) {
  static double checked = 0;
  double now = clock_monotonic();
  if (checked != 0 && now - checked < 60.0) return;
  checked = now;
  for (Orbtag *tag : {m->log, m->status, m->db})
    if (tag != nullptr) orbwrite_check(orbwrite_default(), tag->orbw, 1);
}

}  // namespace

void *run_write_thread(void *) {
  Muldrin *m = g_muldrin;
  for (;;) {
    void *item = nullptr;
    // Urgent items first, in the order they came; then what a stall of the ring held.
    while (pmtfifo_pop(m->mtfifo_urgent, &item) == 1) write_item(item);
    if (!g_writer.held.empty()) {
      Q330Output *out = g_writer.held.front();
      g_writer.held.pop_front();
      write_item(out);
      continue;
    }
    write_log_repeats(false);
    check_rings(m);
    int r = pmtfifo_pop(m->mtfifo_write, &item);
    if (r == 1) {
      write_item(item);
      continue;
    }
    if (r == 3 || r == 2) {
      // Nothing waiting: stop when asked and both queues are empty.
      if (m->kill.load() == MULDRIN_KILL_STOP && pmtfifo_data_available(m->mtfifo_write) == 0 &&
          pmtfifo_data_available(m->mtfifo_urgent) == 0) {
        write_log_repeats(true);
        m->kill.store(MULDRIN_KILL_ENDED);
        return nullptr;
      }
      continue;
    }
    elog_die(0, "run_write_thread: pmtfifo_pop() error.\n");
  }
}

int q330_write(Q330 *q330, int type, void *data, int size) {
  if (g_writer.pfpkt == nullptr) {
    g_writer.pfpkt = newPkt();
    g_writer.pfpkt->pkttype = suffix2pkttype("pf");
    g_writer.dbpkt = newPkt();
    g_writer.dbpkt->pkttype = suffix2pkttype("db");
  }
  switch (type) {
    case Q330_OUT_STDOUT:
    case Q330_OUT_LOG:
      if (data == nullptr) return 0;
      if (type == Q330_OUT_LOG && q330 != nullptr) q330_make_orbstash(q330);
      return write_gated_log(q330, static_cast<char *>(data), type == Q330_OUT_STDOUT);
    case Q330_OUT_DATASTATUS:
      q330_write_datastatus(q330, static_cast<Q330DataStatus *>(data));
      free(data);
      return 0;
    case Q330_OUT_STATUS:
      q330_make_orbstash(nullptr);
      return write_status(static_cast<Pf *>(data));
    case Q330_OUT_TIME:
      return write_time(q330, data);
    case Q330_OUT_DB:
      return write_dbrow(data, size);
    case Q330_OUT_DATA: {
      int r = q330 != nullptr ? q330_genc_orbpkts(q330, data, size) : 0;
      free(data);
      return r;
    }
    case Q330_OUT_FLUSH:
      if (q330 != nullptr) q330_write_flush(q330);
      free(data);
      return 0;
    default:
      // Types whose writers are not part of this program yet, and types that never
      // carry output: the payload is dropped.
      free(data);
      return 0;
  }
}

int q330_outtype(int type, char *string) {
  static const char *const names[] = {nullptr,
                                      "Q330_OUT_DATA",
                                      "Q330_OUT_DATASTATUS",
                                      "Q330_OUT_STDOUT",
                                      "Q330_OUT_LOG",
                                      "Q330_OUT_STATUS",
                                      "Q330_OUT_STATUS_DBG",
                                      "Q330_OUT_STATUS_DBG_ALL",
                                      "Q330_OUT_FRAMES",
                                      nullptr,
                                      "Q330_CONFIG_CHANS",
                                      "Q330_CONFIG_RATES",
                                      "Q330_CONFIG_Q330",
                                      "Q330_OUT_FLUSH",
                                      "Q330_OUT_UMSG",
                                      "Q330_OUT_TIME",
                                      "Q330_OUT_DB",
                                      "Q330_OUT_QUERY"};
  const char *name = nullptr;
  if (type >= 0 && type < static_cast<int>(sizeof names / sizeof names[0])) name = names[type];
  strcpy(string, name != nullptr ? name : "Unknown");
  return 0;
}
