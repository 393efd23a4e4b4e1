// Fuzzes parse_dlparams with parameter-file text applied to a fresh parameter record, then
// again to a deep copy of it. Every ep channel slot must point at the copy's own ep
// channel of that number, and every fixed-width field must stay terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "parse_pf.h"

namespace {

int lookup(const char *name, int *type, const void **stdef, double *dt) {
  static const char *names[] = {"q330_drate_tot", "data_sys_volt", "data_gps"};
  for (int i = 0; i < 3; i++) {
    if (strcmp(names[i], name) == 0) {
      *type = i == 0 ? 1 : 2;
      *stdef = names[i];
      *dt = i == 2 ? 0 : 10;
      return 0;
    }
  }
  return -1;
}

Muldrin *program() {
  static Muldrin *m = [] {
    auto *p = new Muldrin;
    static Orbtag data;
    data.orbtag = const_cast<char *>("data");
    p->packet_defs = newarr(nullptr);
    auto *genc = new PacketDef{};
    strcpy(genc->name, "genc");
    strcpy(genc->suffix, "GENC");
    genc->orbtag = &data;
    setarr(p->packet_defs, "genc", genc);
    auto *lost = new PacketDef{};
    strcpy(lost->name, "lost");
    strcpy(lost->suffix, "GENC");
    setarr(p->packet_defs, "lost", lost);
    parse_pf_status_lookup = lookup;
    elog_set_sink([](const std::string &, void *) {}, nullptr);
    return p;
  }();
  return m;
}

bool terminated(const char *field, size_t size) { return strnlen(field, size) < size; }

void check_chan(const Q330Chan &c) {
  if (!terminated(c.net, 8) || !terminated(c.sta, 16) || !terminated(c.chan, 16) ||
      !terminated(c.loc, 8) || !terminated(c.segtype, 4) || !terminated(c.pfkey, 64) ||
      !terminated(c.channel_name, 128))
    abort();
}

void check(const Q330DLParams &d) {
  for (const auto &rate : d.data_chan)
    for (const Q330Chan &c : rate) check_chan(c);
  for (int n = 0; n < 256; n++) {
    Q330Chan *c = d.ep_channels[n];
    if (!c) continue;
    if (c->ep_channel != n || getarr(d.ep_chan_arr, c->channel_name) != c) abort();
    check_chan(*c);
  }
  Tbl *keys = d.status_chan_arr ? keysarr(d.status_chan_arr) : nullptr;
  for (long i = 0; i < maxtbl(keys); i++) {
    auto *s = static_cast<Q330StatusChan *>(
        getarr(d.status_chan_arr, static_cast<const char *>(gettbl(keys, i))));
    if (!terminated(s->net, 8) || !terminated(s->sta, 16) || !terminated(s->chan, 16) ||
        !terminated(s->loc, 8) || !terminated(s->pfkey, 64))
      abort();
  }
  freetbl(keys, nullptr);
  for (long i = 0; i < maxtbl(d.q330_authentication_codes); i++)
    if (strlen(static_cast<char *>(gettbl(d.q330_authentication_codes, i))) != 16) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  Muldrin *m = program();
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) != 0) {
    elog_clear_register(0);
    return 0;
  }
  Q330DLParams first{};
  q330_params_initialize(&first);
  set_q330_str(&first.dlnet, "NN");
  set_q330_str(&first.dlsta, "SSS");
  parse_dlparams(pf, m, &first, data[0] & 1);
  check(first);
  Q330DLParams second{};
  q330_copy_params(&second, &first);
  parse_dlparams(pf, m, &second, 0);
  check(second);
  check(first);
  q330_free_params(&second);
  q330_free_params(&first);
  pffree(pf);
  elog_clear_register(0);
  return 0;
}
