// Fuzzes the token-area parse of the configuration readout: outside bytes decoded into one
// data port's token set of a long-lived session and each token channel named after the
// session's produced and status channels. Names must stay terminated within their field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "parse_pf.h"
#include "q330.h"
#include "q330_config.h"

namespace {

int out(Q330 *, int type, void *data, int) {
  if (type == Q330_OUT_STDOUT || type == Q330_OUT_LOG || type == Q330_OUT_TIME) free(data);
  return 0;
}

Q330 *session() {
  static Q330 *q330 = [] {
    Q330 *q = q330_create(out, nullptr);
    static PacketDef pdef{};
    for (int s = 0; s < 8; s++)
      for (int p = 0; p < 6; p++) {
        Q330Chan &c = q->params.data_chan[s][p];
        c.outputthischan = (s + p) % 2;
        c.user_data = &pdef;
        memset(c.net, 'N', sizeof c.net - 1);
        memset(c.sta, 'S', sizeof c.sta - 1);
        memset(c.chan, 'C', sizeof c.chan - 1);
        memset(c.loc, 'L', sizeof c.loc - 1);
      }
    static Q330StatusChan vco{};
    vco.output_wf_pdef = &pdef;
    strcpy(vco.net, "XX");
    strcpy(vco.sta, "STA");
    strcpy(vco.chan, "VCO");
    q->params.status_chan_arr = newarr(nullptr);
    setarr(q->params.status_chan_arr, "data_vco", &vco);
    return q;
  }();
  return q330;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > Q330_TOKEN_AREA_MAX + 1) return 0;
  Q330 *q = session();
  int port = data[0] % 4 + 1;
  std::vector<unsigned char> area(data + 1, data + size);
  {
    std::lock_guard<std::mutex> lock(q->config.config_mutex);
    if (q330_parse_pb14_tokens(q, port, area.data(), static_cast<int>(area.size())) < 0) abort();
    const Qtpb14Tokens *t = q->config.dptokens[port - 1];
    for (long i = 0; i < maxtbl(t->channels); i++) {
      auto *c = static_cast<const Qtpb14ChannelTokens *>(gettbl(t->channels, i));
      if (!memchr(c->q330_netstachanloc, 0, sizeof c->q330_netstachanloc)) abort();
    }
  }
  elog_clear_register(0);
  return 0;
}
