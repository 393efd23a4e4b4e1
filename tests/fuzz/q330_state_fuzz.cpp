// Fuzzes the state-file reader and restore: parameter-file text parsed into the state
// store of one long-lived session, restored again and again. After each restore every averager must
// hold as many bins as it says, a non-zero finite bin width, and (event mode) event times
// newest first; puts, gets and writing the block must still work on what was restored.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "q330_state.h"

namespace {

struct Fixture {
  Q330 *q = nullptr;
  Q330StatusChan status{};
  Q330Chan ep5{};
  int devnull = -1;
  Fixture() {
    elog_set_sink([](const std::string &, void *) {}, nullptr);
    q = q330_create(nullptr, nullptr);
    set_q330_str(&q->params.dlname, "DL1");
    q->params.status_chan_arr = newarr(nullptr);
    setarr(q->params.status_chan_arr, "q330_drate_tot", &status);
    q->params.ep_channels[5] = &ep5;
    udp_new(&q->udp_control);
    udp_setup_averages(q->udp_control, 1.7e9, 3600, 90000, 3600, 90000, 1, 70);
    devnull = open("/dev/null", O_WRONLY);
  }
};

void check(TAverage *ta) {
  std::lock_guard<std::mutex> lock(ta->mutex);
  if (static_cast<size_t>(ta->nbin) != ta->bins.size() || ta->tbin == 0 ||
      !std::isfinite(ta->tbin) || !std::isfinite(ta->time))
    abort();
  if (ta->tbin < 0)
    for (size_t i = 1; i < ta->bins.size(); i++)
      if (ta->bins[i] > ta->bins[i - 1] || ta->bins[i] < 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fixture f;
  std::string text(reinterpret_cast<const char *>(data), size);
  Q330StateStore *pf = nullptr;
  if (q330_statestore_compile(text.c_str(), "fuzz", &pf) != 0 || !pf) return 0;
  Q330 *q = f.q;
  q->statepf = pf;
  q->udp_state_restored = 0;
  q330_read_state(q);
  q330_read_state_udp(q, 1);
  Q330Status &st = q->status;
  for (TAverage *ta :
       {st.ta_nlinks_24h, st.ta_nreboots_24h, st.ta_npocs_24h, st.ta_nipchs_24h, st.ta_datagap_24h,
        st.ta_datagap_1h, q->udp_control->bytes_read, q->udp_control->bytes_written}) {
    check(ta);
    taverage_put(ta, 1);
    double t = 1.7e9, w = 3600, sum = 0, ave = 0;
    taverage_get(ta, &t, &w, &sum, &ave);
    check(ta);
  }
  q330_write_state(q, f.devnull);
  q->statepf = nullptr;
  q330_statestore_free(pf);
  return 0;
}
