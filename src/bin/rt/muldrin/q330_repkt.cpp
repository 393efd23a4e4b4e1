// q330_repkt.cpp - the repackager.
#include "q330_repkt.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"

namespace {

void copy_text(char *dst, size_t size, const char *src) {
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
}

void open_window(Q330RepktBuf *buf, double ch98_time, double twin) {
  buf->time = ch98_time;
  buf->endtime = ch98_time + twin;
}

// Samples continue a segment within this much of where it ends: 1 ms, but never more
// than half a sampling interval, so a one-sample gap at high rates is still a gap.
double tolerance(double dt) { return std::min(0.001, dt > 0 ? dt / 2 : 0.001); }

}  // namespace

Q330RepktBuf *q330_repkt_create(const char *suffix, const char *subcode, int orb) {
  const PktType *type = suffix2pkttype(suffix ? suffix : "");
  if (!type) {
    elog_complain(0, "q330_repkt_create: suffix2pkttype(%s) error.\n", suffix ? suffix : "");
    return nullptr;
  }
  auto *buf = new Q330RepktBuf;
  buf->pkt = newPkt();
  buf->pkt->pkttype = type;
  buf->pkt->nchannels = 0;
  buf->suffix = suffix;
  buf->subcode = subcode ? subcode : "";
  buf->orb = orb;
  return buf;
}

int q330_repkt_put(Q330RepktBuf *buf, double ch98_time, double twin, const char *net,
                   const char *sta, const char *chan, const char *loc, double time, double dt,
                   double calib, double calper, const char *segtype, int nsamp,
                   const int32_t *data) {
  if (nsamp < 0 || (nsamp > 0 && !data)) {
    elog_complain(0, "q330_repkt_put: bad sample count %d.\n", nsamp);
    return -1;
  }
  std::lock_guard<std::mutex> lock(buf->mutex);
  std::string &key = buf->key;
  key.assign(net).append("_").append(sta).append("_").append(chan);
  if (loc && *loc) key.append("_").append(loc);
  if (buf->time == 0) open_window(buf, ch98_time, twin);
  if (ch98_time < buf->time - 0.001 || ch98_time > buf->endtime - 0.001) {
    q330_repkt_flush_pvt(buf, 0);
    open_window(buf, ch98_time, twin);
  }
  Q330RepktChanBuf *cb;
  auto it = buf->channels_arr.find(key);
  if (it == buf->channels_arr.end()) {
    buf->channels_tbl.push_back(std::make_unique<Q330RepktChanBuf>());
    cb = buf->channels_tbl.back().get();
    buf->channels_arr[key] = cb;
    copy_text(cb->net, sizeof cb->net, net);
    copy_text(cb->sta, sizeof cb->sta, sta);
    copy_text(cb->chan, sizeof cb->chan, chan);
    copy_text(cb->loc, sizeof cb->loc, loc);
    copy_text(cb->segtype, sizeof cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
    cb->dt = dt;
  } else {
    cb = it->second;
  }
  if (strncmp(cb->segtype, segtype ? segtype : "", sizeof cb->segtype - 1) != 0 ||
      cb->calib != calib || cb->calper != calper) {
    q330_repkt_flush_pvt(buf, 0);
    open_window(buf, ch98_time, twin);
    copy_text(cb->segtype, sizeof cb->segtype, segtype);
    cb->calib = calib;
    cb->calper = calper;
  }
  Q330RepktChanSegment *last = cb->first < cb->segments.size() ? &cb->segments.back() : nullptr;
  const double tol = tolerance(dt);
  if (last && dt == last->dt && time > cb->nexttime - tol && time < cb->nexttime + tol) {
    size_t total = static_cast<size_t>(last->nsamp) + static_cast<size_t>(nsamp);
    if (last->data.capacity() < total) last->data.reserve(total + total / 2);
    last->data.insert(last->data.end(), data, data + nsamp);
    last->nsamp = static_cast<int>(total);
  } else {
    cb->dt = dt;
    if (cb->first == cb->segments.size()) {  // all emitted: reuse the storage
      cb->segments.resize(std::min<size_t>(cb->segments.size(), 1));
      cb->first = 0;
    }
    Q330RepktChanSegment *seg;
    if (cb->segments.size() == 1 && cb->first == 0 && cb->segments[0].nsamp == -1) {
      seg = &cb->segments[0];  // kept from the last flush
    } else {
      cb->segments.emplace_back();
      seg = &cb->segments.back();
    }
    seg->ch98_time = ch98_time;
    seg->time = time;
    seg->dt = dt;
    seg->nsamp = nsamp;
    seg->data.clear();
    seg->data.reserve(std::max<size_t>(500, static_cast<size_t>(nsamp) * 3 / 2));
    seg->data.insert(seg->data.end(), data, data + nsamp);
  }
  cb->nexttime = time + nsamp * dt;
  return 0;
}

int q330_repkt_flush_pvt(Q330RepktBuf *buf, int lock) {
  std::unique_lock<std::mutex> guard(buf->mutex, std::defer_lock);
  if (lock) guard.lock();
  Packet *pkt = buf->pkt;
  std::vector<Q330RepktChanBuf *> &taken = buf->taken;
  for (;;) {
    int n = 0;
    taken.clear();
    for (auto &owned : buf->channels_tbl) {
      Q330RepktChanBuf *cb = owned.get();
      if (cb->first >= cb->segments.size()) continue;
      Q330RepktChanSegment &seg = cb->segments[cb->first++];
      taken.push_back(cb);
      PktChannel *pc;
      if (n < maxtbl(pkt->channels)) {
        pc = static_cast<PktChannel *>(gettbl(pkt->channels, n));
      } else {
        pc = newPktChannel();
        pushtbl(pkt->channels, pc);
      }
      n++;
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
        if (!p) elog_die(1, "q330_repkt_flush: realloc() error.\n");
        pc->data = static_cast<int32_t *>(p);
        pc->datasz = seg.nsamp;
      }
      pc->nsamp = seg.nsamp;
      if (seg.nsamp > 0) memcpy(pc->data, seg.data.data(), seg.data.size() * sizeof(int32_t));
    }
    if (n == 0) break;
    pkt->nchannels = n;
    char srcname[PKT_SRCNAME_SIZE] = "";
    double t = 0;
    if (stuffPkt(pkt, srcname, &t, &buf->buf, &buf->nbytes, &buf->bufsize) < 0) {
      // The segments of this pass stay buffered for the next flush.
      elog_complain(0, "q330_repkt_flush: stuffPkt() error.\n");
      for (Q330RepktChanBuf *cb : taken) cb->first--;
      break;
    }
    std::string &src = buf->src;
    src.assign(srcname);
    if (!buf->subcode.empty()) src.append("/").append(buf->subcode);
    orbwrite_put(orbwrite_default(), buf->orb, src.c_str(), t, buf->buf, buf->nbytes,
                 ORBWRITE_WAVEFORM);
  }
  // A channel whose segments are all out keeps the first one's storage for later.
  for (auto &owned : buf->channels_tbl) {
    Q330RepktChanBuf *cb = owned.get();
    if (cb->segments.empty() || cb->first < cb->segments.size()) continue;
    cb->segments.resize(1);
    cb->segments[0].nsamp = -1;
    cb->first = 1;
  }
  return 0;
}

int q330_repkt_flush(Q330RepktBuf *buf) { return q330_repkt_flush_pvt(buf, 1); }

void q330_repkt_free(Q330RepktBuf *buf) {
  if (!buf) return;
  freePkt(buf->pkt);
  free(buf->buf);
  delete buf;
}
