// repackage.cpp - the repackager (see repackage.h).
#include "repackage.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"

// Times within this of a window edge or of a channel's next sample count as equal.
static const double TOLERANCE = 0.001;
// Smallest segment capacity, in samples.
static const int MIN_SEGMENT = 500;
// Largest segment, in samples: its byte size must fit a 32-bit size_t.
static const int64_t MAX_SEGMENT = INT_MAX / (int)sizeof(int32_t);
// Refused writes: longest pause between tries, complaint period, and how long a write
// is still tried once the program is halting.
static const double PUT_HALT_LIMIT = 10.0;

RepackageBuf *repackage_create(double twin, const char *suffix, const char *subcode, int orb,
                               RepackageFlushCallback flush_callback,
                               void *flush_callback_user_data) {
  if (suffix == nullptr) suffix = "";
  if (subcode == nullptr) subcode = "";
  if (!std::isfinite(twin) || twin <= 0.0) {
    elog_log(0, "repackage_create: bad time window %g.\n", twin);
    return nullptr;
  }
  if (strlen(subcode) > REPACKAGE_SUBCODE_MAX || strchr(subcode, '/') != nullptr) {
    elog_log(0, "repackage_create: subcode '%s' does not fit a source name.\n", subcode);
    return nullptr;
  }
  const PktType *type = suffix2pkttype(suffix);
  if (type == nullptr || type->kind != Pkt_wf) {
    elog_log(0, "repackage_create: suffix2pkttype(%s) error.\n", suffix);
    return nullptr;
  }
  RepackageBuf *buf = new (std::nothrow) RepackageBuf();
  if (buf == nullptr) {
    elog_log(1, "repackage_create: malloc(RepackageBuf) error.\n");
    return nullptr;
  }
  buf->channels_arr = newarr(nullptr);
  buf->channels_tbl = newtbl(0);
  buf->pkt = newPkt();
  buf->suffix = strdup(suffix);
  buf->subcode = strdup(subcode);
  if (buf->suffix == nullptr || buf->subcode == nullptr)
    OUT_OF_MEMORY(strlen(suffix) + 1, "suffix");
  buf->pkt->pkttype = type;
  buf->pkt->nchannels = 0;
  buf->orb = orb;
  buf->twin = twin;
  buf->flush_callback = flush_callback;
  buf->flush_callback_user_data = flush_callback_user_data;
  return buf;
}

// A channel code fits its field and can be written in a source name.
static bool code_ok(const char *code, size_t size) {
  size_t n = strlen(code);
  if (n >= size) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)code[i];
    if (c <= ' ' || c >= 0x7f || c == '_' || c == '/') return false;
  }
  return true;
}

static void set_window(RepackageBuf *buf, double time) {
  buf->time = time;
  buf->endtime = time + buf->twin;
}

// The window follows the data: a sample before it or past its end flushes the buffer and
// starts a new window there. Caller holds buf->mutex.
static void follow_window(RepackageBuf *buf, double time) {
  if (buf->time == 0.0) set_window(buf, time);
  if (time <= buf->time - TOLERANCE) {
    repackage_flush_pvt(buf, 0);
    set_window(buf, time);
  }
  if (time >= buf->endtime - TOLERANCE) {
    repackage_flush_pvt(buf, 0);
    set_window(buf, time);
  }
}

// The channel's buffer, made on its first data; a change of segment type or calibration
// flushes the buffer first. nullptr when out of memory (logged). Caller holds buf->mutex.
static RepackageChanBuf *channel_buffer(RepackageBuf *buf, const char *net, const char *sta,
                                        const char *chan, const char *loc, const char *segtype,
                                        double time, double dt, double calib, double calper) {
  std::string key = std::string(net) + "_" + sta + "_" + chan;
  if (loc[0] != '\0') key += std::string("_") + loc;
  RepackageChanBuf *cb = static_cast<RepackageChanBuf *>(getarr(buf->channels_arr, key.c_str()));
  if (cb == nullptr) {
    cb = new (std::nothrow) RepackageChanBuf();
    if (cb == nullptr) {
      elog_log(1, "repackage_put: malloc(RepackageChanBuf) error.\n");
      return nullptr;
    }
    cb->segments = newtbl(0);
    strcpy(cb->net, net);  // lengths checked by the caller
    strcpy(cb->sta, sta);
    strcpy(cb->chan, chan);
    strcpy(cb->loc, loc);
    strcpy(cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
    cb->dt = dt;
    setarr(buf->channels_arr, key.c_str(), cb);
    pushtbl(buf->channels_tbl, cb);
  } else if (strcmp(cb->segtype, segtype) != 0 || cb->calib != calib || cb->calper != calper) {
    repackage_flush_pvt(buf, 0);
    set_window(buf, time);
    strcpy(cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
  }
  return cb;
}

// Samples that continue the last segment, which grows by half again when full.
static int extend_segment(RepackageChanSegment *seg, int nsamp, const int *data) {
  int64_t need = (int64_t)seg->nsamp + nsamp;
  if (need > MAX_SEGMENT) {
    elog_log(0, "repackage_put: segment of %lld samples too large.\n", (long long)need);
    return -1;
  }
  if (need > seg->data_sz) {
    int64_t cap = need + need / 2;
    if (cap > MAX_SEGMENT) cap = MAX_SEGMENT;
    try {
      seg->data.resize((size_t)cap);
    } catch (const std::bad_alloc &) {
      elog_log(1, "repackage_put: realloc(segment->data,%ld) error.\n",
               (long)(cap * (int64_t)sizeof(int32_t)));
      return -1;
    }
    seg->data_sz = (int)cap;
  }
  memcpy(seg->data.data() + seg->nsamp, data, (size_t)nsamp * sizeof(int32_t));
  seg->nsamp = (int)need;
  return 0;
}

// Samples after a gap or a change of rate: a new segment of the channel.
static int add_segment(RepackageChanBuf *cb, double time, double dt, int nsamp, const int *data) {
  if (nsamp > MAX_SEGMENT) {
    elog_log(0, "repackage_put: segment of %d samples too large.\n", nsamp);
    return -1;
  }
  int64_t cap = (int64_t)nsamp + nsamp / 2;
  if (cap < MIN_SEGMENT) cap = MIN_SEGMENT;
  if (cap > MAX_SEGMENT) cap = MAX_SEGMENT;
  RepackageChanSegment *ns = new (std::nothrow) RepackageChanSegment();
  if (ns == nullptr) {
    elog_log(1, "repackage_put: malloc(RepackageChanSegment) error.\n");
    return -1;
  }
  try {
    ns->data.resize((size_t)cap);
  } catch (const std::bad_alloc &) {
    elog_log(1, "repackage_put: malloc(segment->data,%ld) error.\n",
             (long)(cap * (int64_t)sizeof(int32_t)));
    delete ns;
    return -1;
  }
  ns->time = time;
  ns->dt = dt;
  ns->nsamp = nsamp;
  ns->data_sz = (int)cap;
  memcpy(ns->data.data(), data, (size_t)nsamp * sizeof(int32_t));
  cb->dt = dt;
  pushtbl(cb->segments, ns);
  return 0;
}

int repackage_put(RepackageBuf *buf, const char *net, const char *sta, const char *chan,
                  const char *loc, double time, double dt, double calib, double calper,
                  const char *segtype, int nsamp, const int *data) {
  if (buf == nullptr) {
    elog_log(0, "repackage_put: no buffer.\n");
    return -1;
  }
  if (nsamp < 0) {
    elog_log(0, "repackage_put: negative sample count %d.\n", nsamp);
    return -1;
  }
  if (!std::isfinite(time) || !std::isfinite(dt) || !std::isfinite(calib) ||
      !std::isfinite(calper) || (dt > 0.0 && !std::isfinite(1.0 / dt))) {
    elog_log(0, "repackage_put: time %g, dt %g, calib %g or calper %g not finite.\n", time, dt,
             calib, calper);
    return -1;
  }
  if (nsamp == 0) return 0;
  if (data == nullptr) {
    elog_log(0, "repackage_put: %d samples missing.\n", nsamp);
    return -1;
  }
  if (net == nullptr) net = "";
  if (sta == nullptr) sta = "";
  if (chan == nullptr) chan = "";
  if (loc == nullptr) loc = "";
  if (segtype == nullptr) segtype = "";
  if (!code_ok(net, sizeof(RepackageChanBuf::net)) ||
      !code_ok(sta, sizeof(RepackageChanBuf::sta)) ||
      !code_ok(chan, sizeof(RepackageChanBuf::chan)) ||
      !code_ok(loc, sizeof(RepackageChanBuf::loc)) ||
      !code_ok(segtype, sizeof(RepackageChanBuf::segtype))) {
    elog_log(0, "repackage_put: bad channel codes '%s' '%s' '%s' '%s' '%s'.\n", net, sta, chan, loc,
             segtype);
    return -1;
  }

  std::lock_guard<std::mutex> guard(buf->mutex);
  follow_window(buf, time);
  RepackageChanBuf *cb = channel_buffer(buf, net, sta, chan, loc, segtype, time, dt, calib, calper);
  if (cb == nullptr) return -1;
  long nseg = maxtbl(cb->segments);
  RepackageChanSegment *seg =
      nseg > 0 ? static_cast<RepackageChanSegment *>(gettbl(cb->segments, nseg - 1)) : nullptr;
  const bool continues =
      seg != nullptr && dt == cb->dt && std::fabs(time - cb->nexttime) < TOLERANCE;
  if ((continues ? extend_segment(seg, nsamp, data) : add_segment(cb, time, dt, nsamp, data)) != 0)
    return -1;
  cb->nexttime = time + nsamp * dt;
  return 0;
}

// While halting, a refused write is retried for PUT_HALT_LIMIT from its first refusal
// seen then, and not at all once the ring file was cut.
static int give_up_when_halting(void *, const char *srcname, int ring_state, double *since) {
  if (kessaro_halt.load() == 0) return 0;
  double now = clock_monotonic();
  if (*since < 0.0) *since = now;
  if (ring_state != ORBRING_CUT && now - *since < PUT_HALT_LIMIT) return 0;
  elog_complain(0,
                "repackage_flush: orbput(%s) still refused after %.0f s while halting; packet "
                "dropped.\n",
                srcname, now - *since);
  return 1;
}

// Writes the encoded packet, repeating while the ring refuses it (see repackage.h).
static void put_packet(RepackageBuf *buf, const char *srcname, double time, int nbytes) {
  OrbWrite *w = orbwrite_default();
  static std::once_flag hooked;
  std::call_once(hooked, [w] {
    if (w->give_up == nullptr) w->give_up = give_up_when_halting;
  });
  orbwrite_put(w, buf->orb, srcname, time, buf->packet, nbytes, ORBWRITE_WAVEFORM);
}

// Fills packet channel `index` from the oldest segment of `cb`, which is freed.
static void fill_channel(Packet *pkt, int index, RepackageChanBuf *cb) {
  RepackageChanSegment *seg = static_cast<RepackageChanSegment *>(shifttbl(cb->segments));
  PktChannel *pc = static_cast<PktChannel *>(gettbl(pkt->channels, index));
  if (pc == nullptr) {
    pc = newPktChannel();
    if (pc == nullptr) elog_die(0, "repackage_flush: newPktChannel() error.\n");
    settbl(pkt->channels, index, pc);
  }
  strcpy(pc->net, cb->net);
  strcpy(pc->sta, cb->sta);
  strcpy(pc->chan, cb->chan);
  strcpy(pc->loc, cb->loc);
  strcpy(pc->segtype, cb->segtype);
  pc->calib = cb->calib;
  pc->calper = cb->calper;
  pc->samprate = seg->dt > 0.0 ? 1.0 / seg->dt : 1.0;
  pc->time = seg->time;
  if (pc->datasz < seg->nsamp) {
    size_t n = (size_t)seg->nsamp * sizeof(int32_t);
    int32_t *grown = static_cast<int32_t *>(realloc(pc->data, n));
    if (grown == nullptr) elog_die(1, "repackage_flush: realloc() error.\n");
    pc->data = grown;
    pc->datasz = seg->nsamp;
  }
  memcpy(pc->data, seg->data.data(), (size_t)seg->nsamp * sizeof(int32_t));
  pc->nsamp = seg->nsamp;
  delete seg;
}

int repackage_flush_pvt(RepackageBuf *buf, int lock) {
  std::unique_lock<std::mutex> guard(buf->mutex, std::defer_lock);
  if (lock == 1) guard.lock();
  // A single-channel type takes one channel per packet; a multiplexed one takes all.
  const long per_packet =
      buf->pkt->pkttype != nullptr && strcmp(buf->pkt->pkttype->suffix, "GENC") == 0 ? 1 : LONG_MAX;
  for (;;) {
    int filled = 0;
    long n = maxtbl(buf->channels_tbl);
    for (long i = 0; i < n && filled < per_packet; i++) {
      RepackageChanBuf *cb = static_cast<RepackageChanBuf *>(gettbl(buf->channels_tbl, i));
      if (maxtbl(cb->segments) == 0) continue;
      fill_channel(buf->pkt, filled++, cb);
    }
    buf->pkt->nchannels = filled;
    if (filled == 0) break;
    char srcname[PKT_SRCNAME_SIZE];
    double time = 0.0;
    int nbytes = 0;
    if (stuffPkt(buf->pkt, srcname, &time, &buf->packet, &nbytes, &buf->packet_size) != 0) {
      elog_complain(0, "repackage_flush: stuffPkt() error.\n");
      continue;
    }
    std::string name = srcname;
    if (buf->subcode[0] != '\0') name += std::string("/") + buf->subcode;
    put_packet(buf, name.c_str(), time, nbytes);
  }
  buf->pkt->nchannels = 0;
  if (guard.owns_lock()) guard.unlock();
  if (buf->flush_callback != nullptr) buf->flush_callback(buf->flush_callback_user_data);
  return 0;
}

int repackage_flush(RepackageBuf *buf) { return repackage_flush_pvt(buf, 1); }
