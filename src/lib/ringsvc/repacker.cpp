// repacker.cpp - the windowed repackager (see repacker.h).
#include "ringsvc/repacker.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/elog.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ringsvc/orbwrite.h"

namespace {

// Times within this of a window edge or of a channel's next sample count as equal.
const double kTolerance = 0.001;
// Smallest capacity of a new segment, in samples.
const size_t kMinSegment = 500;
// Largest segment, in samples: its byte size must fit a 32-bit size_t.
const int64_t kMaxSegment = INT_MAX / static_cast<int>(sizeof(int32_t));

void copy_text(char *dst, size_t size, const char *src) {
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
}

void open_window(Repacker *r, double window_time, double twin) {
  r->time = window_time;
  r->endtime = window_time + twin;
}

// The window follows the data: a time before it or at its end flushes the record and
// opens a new window there. Caller holds r->mutex.
void follow_window(Repacker *r, double t, double twin) {
  const bool inclusive = r->rules.inclusive_edges;
  if (r->time == 0) open_window(r, t, twin);
  const double start = r->time - kTolerance;
  if (inclusive ? t <= start : t < start) {
    repacker_flush_locked(r);
    open_window(r, t, twin);
  }
  const double end = r->endtime - kTolerance;
  if (inclusive ? t >= end : t > end) {
    repacker_flush_locked(r);
    open_window(r, t, twin);
  }
}

// The channel's buffer, made on its first data; a change of segment type or calibration
// flushes the record first. nullptr when out of memory (logged). Caller holds r->mutex.
RepackerChan *channel_buffer(Repacker *r, double window_time, double twin, const char *net,
                             const char *sta, const char *chan, const char *loc,
                             const char *segtype, double dt, double calib, double calper) {
  std::string &key = r->key;
  key.assign(net).append("_").append(sta).append("_").append(chan);
  if (*loc) key.append("_").append(loc);
  RepackerChan *cb;
  auto it = r->channels_arr.find(key);
  if (it != r->channels_arr.end()) {
    cb = it->second;
  } else {
    try {
      auto owned = std::make_unique<RepackerChan>();
      if (r->channels_tbl.size() == r->channels_tbl.capacity())
        r->channels_tbl.reserve(2 * r->channels_tbl.size() + 1);
      r->channels_arr[key] = owned.get();
      cb = owned.get();
      r->channels_tbl.push_back(std::move(owned));  // room reserved: does not throw
    } catch (const std::bad_alloc &) {
      elog_log(1, "%s_put: malloc(channel buffer) error.\n", r->name);
      return nullptr;
    }
    copy_text(cb->net, sizeof cb->net, net);
    copy_text(cb->sta, sizeof cb->sta, sta);
    copy_text(cb->chan, sizeof cb->chan, chan);
    copy_text(cb->loc, sizeof cb->loc, loc);
    copy_text(cb->segtype, sizeof cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
    cb->dt = dt;
  }
  if (strncmp(cb->segtype, segtype, sizeof cb->segtype - 1) != 0 || cb->calib != calib ||
      cb->calper != calper) {
    repacker_flush_locked(r);
    open_window(r, window_time, twin);
    copy_text(cb->segtype, sizeof cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
  }
  return cb;
}

// Whether samples at `time` continue a segment that ends where `next` is.
bool continues(const RepackerRules &rules, double time, double next, double dt) {
  if (!rules.tolerance_by_rate) return std::fabs(time - next) < kTolerance;
  const double tol = std::min(kTolerance, dt > 0 ? dt / 2 : kTolerance);
  return time > next - tol && time < next + tol;
}

// Samples that continue the last segment, which grows by half again when full.
int extend_segment(Repacker *r, RepackerSegment *seg, int nsamp, const int32_t *data) {
  const int64_t need = static_cast<int64_t>(seg->nsamp) + nsamp;
  if (need > kMaxSegment) {
    elog_log(0, "%s_put: segment of %lld samples too large.\n", r->name,
             static_cast<long long>(need));
    return -1;
  }
  if (seg->data.capacity() < static_cast<size_t>(need)) {
    const int64_t cap = std::min(need + need / 2, kMaxSegment);
    try {
      seg->data.reserve(static_cast<size_t>(cap));
    } catch (const std::bad_alloc &) {
      elog_log(1, "%s_put: realloc(segment->data,%ld) error.\n", r->name,
               static_cast<long>(cap * static_cast<int64_t>(sizeof(int32_t))));
      return -1;
    }
  }
  seg->data.insert(seg->data.end(), data, data + nsamp);
  seg->nsamp = static_cast<int>(need);
  return 0;
}

// Samples after a gap or a change of rate: a new segment of the channel, in the storage
// kept from the last flush when there is some.
int add_segment(Repacker *r, RepackerChan *cb, double time, double dt, int nsamp,
                const int32_t *data) {
  if (nsamp > kMaxSegment) {
    elog_log(0, "%s_put: segment of %d samples too large.\n", r->name, nsamp);
    return -1;
  }
  const size_t cap = static_cast<size_t>(std::min<int64_t>(
      std::max<int64_t>(kMinSegment, static_cast<int64_t>(nsamp) + nsamp / 2), kMaxSegment));
  if (cb->first == cb->segments.size()) {  // all written: reuse the storage
    cb->segments.resize(std::min<size_t>(cb->segments.size(), 1));
    cb->first = 0;
  }
  const bool reuse = cb->segments.size() == 1 && cb->first == 0 && cb->segments[0].nsamp == -1;
  bool added = false;
  try {
    if (!reuse) {
      cb->segments.emplace_back();
      added = true;
    }
    cb->segments.back().data.clear();
    cb->segments.back().data.reserve(cap);
  } catch (const std::bad_alloc &) {
    if (added) cb->segments.pop_back();
    elog_log(1, "%s_put: malloc(segment->data,%ld) error.\n", r->name,
             static_cast<long>(cap * sizeof(int32_t)));
    return -1;
  }
  RepackerSegment &seg = cb->segments.back();
  seg.time = time;
  seg.dt = dt;
  seg.nsamp = nsamp;
  seg.data.insert(seg.data.end(), data, data + nsamp);
  cb->dt = dt;
  return 0;
}

// Fills packet channel `index` from `seg` of `cb`.
void fill_channel(Repacker *r, int index, const RepackerChan *cb, const RepackerSegment &seg) {
  Packet *pkt = r->pkt;
  PktChannel *pc;
  if (index < maxtbl(pkt->channels)) {
    pc = static_cast<PktChannel *>(gettbl(pkt->channels, index));
  } else {
    pc = newPktChannel();
    if (pc == nullptr) elog_die(0, "%s_flush: newPktChannel() error.\n", r->name);
    pushtbl(pkt->channels, pc);
  }
  copy_text(pc->net, sizeof pc->net, cb->net);
  copy_text(pc->sta, sizeof pc->sta, cb->sta);
  copy_text(pc->chan, sizeof pc->chan, cb->chan);
  copy_text(pc->loc, sizeof pc->loc, cb->loc);
  copy_text(pc->segtype, sizeof pc->segtype, cb->segtype);
  pc->calib = cb->calib;
  pc->calper = cb->calper;
  pc->samprate = seg.dt > 0 ? 1.0 / seg.dt : 1.0;
  pc->time = seg.time;
  if (pc->datasz < seg.nsamp) {
    void *p = realloc(pc->data, static_cast<size_t>(seg.nsamp) * sizeof(int32_t));
    if (p == nullptr) elog_die(1, "%s_flush: realloc() error.\n", r->name);
    pc->data = static_cast<int32_t *>(p);
    pc->datasz = seg.nsamp;
  }
  pc->nsamp = seg.nsamp;
  if (seg.nsamp > 0) memcpy(pc->data, seg.data.data(), seg.data.size() * sizeof(int32_t));
}

// Writes every buffered segment, one packet per pass. Caller holds r->mutex.
void flush_held(Repacker *r) {
  Packet *pkt = r->pkt;
  const bool one_channel = strcmp(pkt->pkttype->suffix, "GENC") == 0;
  for (;;) {
    int n = 0;
    for (auto &owned : r->channels_tbl) {
      RepackerChan *cb = owned.get();
      if (one_channel && n == 1) break;
      if (cb->first >= cb->segments.size()) continue;
      fill_channel(r, n++, cb, cb->segments[cb->first++]);
    }
    pkt->nchannels = n;
    if (n == 0) break;
    char srcname[PKT_SRCNAME_SIZE] = "";
    double t = 0;
    int nbytes = 0;
    if (stuffPkt(pkt, srcname, &t, &r->packet, &nbytes, &r->packet_size) != 0) {
      // Its segments are dropped: kept, a pass that cannot be encoded would hold back
      // every later one of the buffer for good.
      elog_complain(0, "%s_flush: stuffPkt() error.\n", r->name);
      continue;
    }
    r->src.assign(srcname);
    if (!r->subcode.empty()) r->src.append("/").append(r->subcode);
    orbwrite_put(orbwrite_default(), r->orb, r->src.c_str(), t, r->packet, nbytes,
                 ORBWRITE_WAVEFORM);
  }
  pkt->nchannels = 0;
  // A channel whose segments are all out keeps the first one's storage for later.
  for (auto &owned : r->channels_tbl) {
    RepackerChan *cb = owned.get();
    if (cb->segments.empty() || cb->first < cb->segments.size()) continue;
    cb->segments.resize(1);
    cb->segments[0].nsamp = -1;
    cb->first = 1;
  }
}

}  // namespace

void repacker_init(Repacker *r, const char *name, RepackerRules rules, const PktType *type,
                   const char *subcode, int orb, RepackerFlushCallback flush_callback,
                   void *flush_callback_user_data) {
  r->name = name;
  r->rules = rules;
  r->pkt = newPkt();
  r->pkt->pkttype = type;
  r->pkt->nchannels = 0;
  r->suffix = type->suffix;
  r->subcode = subcode ? subcode : "";
  r->orb = orb;
  r->flush_callback = flush_callback;
  r->flush_callback_user_data = flush_callback_user_data;
}

void repacker_fini(Repacker *r) {
  freePkt(r->pkt);
  r->pkt = nullptr;
  free(r->packet);
  r->packet = nullptr;
  r->packet_size = 0;
}

int repacker_put(Repacker *r, double window_time, double twin, const char *net, const char *sta,
                 const char *chan, const char *loc, double time, double dt, double calib,
                 double calper, const char *segtype, int nsamp, const int32_t *data) {
  std::lock_guard<std::mutex> guard(r->mutex);
  follow_window(r, window_time, twin);
  RepackerChan *cb =
      channel_buffer(r, window_time, twin, net ? net : "", sta ? sta : "", chan ? chan : "",
                     loc ? loc : "", segtype ? segtype : "", dt, calib, calper);
  if (cb == nullptr) return -1;
  RepackerSegment *last = cb->first < cb->segments.size() ? &cb->segments.back() : nullptr;
  const bool joins = last != nullptr && dt == cb->dt && continues(r->rules, time, cb->nexttime, dt);
  if ((joins ? extend_segment(r, last, nsamp, data) : add_segment(r, cb, time, dt, nsamp, data)) !=
      0)
    return -1;
  cb->nexttime = time + nsamp * dt;
  return 0;
}

int repacker_flush_locked(Repacker *r) {
  flush_held(r);
  if (r->flush_callback != nullptr) r->flush_callback(r->flush_callback_user_data);
  return 0;
}

int repacker_flush(Repacker *r) {
  {
    std::lock_guard<std::mutex> guard(r->mutex);
    flush_held(r);
  }
  if (r->flush_callback != nullptr) r->flush_callback(r->flush_callback_user_data);
  return 0;
}
