// q330_repkt.cpp - the repackager (see q330_repkt.h).
#include "q330_repkt.h"

#include "base/elog.h"
#include "packet/pkt.h"

namespace {

const RepackerRules kRules = {.inclusive_edges = false, .tolerance_by_rate = true};

}  // namespace

Q330RepktBuf *q330_repkt_create(const char *suffix, const char *subcode, int orb) {
  const PktType *type = suffix2pkttype(suffix ? suffix : "");
  if (!type) {
    elog_complain(0, "q330_repkt_create: suffix2pkttype(%s) error.\n", suffix ? suffix : "");
    return nullptr;
  }
  auto *buf = new Q330RepktBuf;
  repacker_init(buf, "q330_repkt", kRules, type, subcode, orb, nullptr, nullptr);
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
  return repacker_put(buf, ch98_time, twin, net, sta, chan, loc, time, dt, calib, calper, segtype,
                      nsamp, data);
}

int q330_repkt_flush(Q330RepktBuf *buf) { return repacker_flush(buf); }

int q330_repkt_flush_pvt(Q330RepktBuf *buf) { return repacker_flush_locked(buf); }

void q330_repkt_free(Q330RepktBuf *buf) {
  if (!buf) return;
  repacker_fini(buf);
  delete buf;
}
