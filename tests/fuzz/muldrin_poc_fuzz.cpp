// Fuzzes the point-of-contact listener's input: the first byte picks a UDP datagram
// (even) or a ring-buffer packet (odd), the rest are its bytes. A well-formed announcement
// moves and starts the one configured datalogger; anything else must be dropped, and the
// session's address must stay a terminated text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "muldrin_pocd.h"
#include "muldrin_write.h"
#include "q330.h"

namespace {

struct World {
  Muldrin m;
  Q330 *q = nullptr;
  POCDaemon pocd{};
  World() {
    m.target_name = const_cast<char *>("TA");
    m.q330s_tbl = newtbl(0);
    q = q330_create(nullptr, nullptr);
    set_q330_str(&q->params.dlname, "SIM1");
    set_q330_str(&q->params.q330_serial_number, "0100000012345678");
    q->params.q330_port_logical = 1;
    q->params.disposition = 2;
    pushtbl(m.q330s_tbl, q);
    pocd.port = 5330;
    pocd.label = const_cast<char *>("POC5330");
  }
};

void drain(Pmtfifo *f) {
  void *item = nullptr;
  while (pmtfifo_data_available(f) > 0 && pmtfifo_pop(f, &item) == 1) {
    auto *o = static_cast<Q330Output *>(item);
    if (o == nullptr) continue;
    free(o->q330data);
    delete o;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static World *w = [] {
    elog_init(0, nullptr);
    return new World;
  }();
  if (size < 1 || size > 4096) return 0;
  if (muldrin_write_setup(&w->m) != 0) abort();
  set_q330_str(&w->q->params.q330_ipaddress, "127.0.0.1");
  w->q->state_acquisition = Q330_ACQ_WAITING;
  int n = static_cast<int>(size) - 1;
  if ((data[0] & 1) == 0)
    muldrin_poc_datagram(&w->pocd, "127.0.0.1:5330", data + 1, n);
  else
    muldrin_poc_ring_packet(&w->pocd, "q/pf/poc", 0, reinterpret_cast<const char *>(data + 1), n);
  elog_clear_register(0);
  if (w->q->params.q330_ipaddress == nullptr || strlen(w->q->params.q330_ipaddress) > 4096) abort();
  drain(w->m.mtfifo_urgent);
  drain(w->m.mtfifo_write);
  muldrin_write_teardown(&w->m);
  return 0;
}
