// repackage.cpp - the repackager (see repackage.h).
#include "repackage.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "base/clock.h"
#include "base/elog.h"
#include "kessaro.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"

namespace {

const RepackerRules kRules = {.inclusive_edges = true, .tolerance_by_rate = false};
// How long a refused write is still tried once the program is halting, seconds.
const double PUT_HALT_LIMIT = 10.0;

// A channel code fits its field and can be written in a source name.
bool code_ok(const char *code, size_t size) {
  size_t n = strlen(code);
  if (n >= size) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)code[i];
    if (c <= ' ' || c >= 0x7f || c == '_' || c == '/') return false;
  }
  return true;
}

// While halting, a refused write is retried for PUT_HALT_LIMIT from its first refusal
// seen then, and not at all once the ring file was cut.
int give_up_when_halting(void *, const char *srcname, int ring_state, double *since) {
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

}  // namespace

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
  repacker_init(buf, "repackage", kRules, type, subcode, orb, flush_callback,
                flush_callback_user_data);
  buf->twin = twin;
  // The packets go through the process's writer, which gives up on them while halting.
  static std::once_flag hooked;
  std::call_once(hooked, [] {
    OrbWrite *w = orbwrite_default();
    if (w->give_up == nullptr) w->give_up = give_up_when_halting;
  });
  return buf;
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
  // The block's own time decides the window.
  return repacker_put(buf, time, buf->twin, net, sta, chan, loc, time, dt, calib, calper, segtype,
                      nsamp, data);
}

int repackage_flush_pvt(RepackageBuf *buf, int lock) {
  return lock == 1 ? repacker_flush(buf) : repacker_flush_locked(buf);
}

int repackage_flush(RepackageBuf *buf) { return repacker_flush(buf); }
