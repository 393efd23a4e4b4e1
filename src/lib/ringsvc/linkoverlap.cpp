// linkoverlap.cpp - the overlap window and the newest samples a ring holds.
#include "ringsvc/linkoverlap.h"

#include <cmath>
#include <cstdlib>

#include "base/elog.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"

bool link_overlap(double last, double t) {
  return last != 0 && last - LINK_OVERLAP_WINDOW < t && t < last + 0.0001;
}

int link_overlap_samples(double last, double t, double dt, int nsamp) {
  if (nsamp <= 0 || !link_overlap(last, t)) return 0;
  if (!(dt > 0) || !std::isfinite(dt)) return nsamp;
  // Samples up to and including the one at `last` (to a tenth of an interval).
  double n = std::floor((last - t) / dt + 0.1) + 1;
  if (n < 0) return 0;
  return n >= nsamp ? nsamp : static_cast<int>(n);
}

int ring_newest_sample_times(const char *ringname, std::map<std::string, double> *last) {
  int orb = orbopen(ringname, "r");
  if (orb < 0) {
    elog_log(0, "ring_newest_sample_times: orbopen(%s) error.\n", ringname);
    return -1;
  }
  Orbsrc *sources = nullptr;
  int nsources = 0;
  if (orbsources(orb, &sources, &nsources) < 0) {
    orbclose(orb);
    elog_log(0, "ring_newest_sample_times: orbsources(%s) error.\n", ringname);
    return -1;
  }
  char *buf = nullptr;
  int bufsize = 0;
  for (int i = 0; i < nsources; i++) {
    int id = 0, nbytes = 0;
    char src[ORBSRCNAME_SIZE];
    double time = 0;
    if (orbget(orb, sources[i].newest, &id, src, &time, &buf, &nbytes, &bufsize) < 0) {
      elog_clear_register(0);  // gone since the listing
      continue;
    }
    Packet *pkt = nullptr;
    if (unstuffPkt(src, time, buf, nbytes, &pkt) == Pkt_wf && pkt) {
      for (long c = 0; c < maxtbl(pkt->channels); c++) {
        auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, c));
        if (pc->nsamp <= 0 || !(pc->samprate > 0)) continue;
        std::string key = std::string(pc->net) + "_" + pc->sta + "_" + pc->chan;
        if (pc->loc[0] != '\0') key += std::string("_") + pc->loc;
        double end = pc->time + (pc->nsamp - 1) / pc->samprate;
        auto it = last->find(key);
        if (it == last->end() || it->second < end) (*last)[key] = end;
      }
    }
    elog_clear_register(0);
    freePkt(pkt);
  }
  free(buf);
  free(sources);
  orbclose(orb);
  return 0;
}
