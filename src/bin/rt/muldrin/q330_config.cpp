// q330_config.cpp - the configuration readout and the token areas (see q330_config.h).
#include "q330_config.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "parse_pf.h"
#include "q330_qdp.h"

namespace {

enum {
  C1_RQFLGS = 0x34,
  C1_FLGS = 0xB1,
  C1_RQMEM = 0x41,
  C1_MEM = 0xB8,
  C2_RQEPD = 0x70,
  C2_EPD = 0xD0,
  C2_RQEPCFG = 0x71,
  C2_EPCFG = 0xD1,
};

// An aligned scratch block of `size` bytes that starts as a copy of `from`.
struct Scratch {
  std::vector<uint64_t> words;
  Scratch(const void *from, size_t size) : words(size / 8 + 1) {
    if (from) memcpy(words.data(), from, size);
  }
  char *data() { return reinterpret_cast<char *>(words.data()); }
};

// Rebuilds the channel table from config_pkt. The caller holds config_mutex.
void rebuild_channels(Q330 *q330) {
  Q330FLGSPkt &cp = q330->config.config_pkt;
  q330->unit_nchannels = cp.fix.qapchp_2_serial_number != 0 ? 6 : 3;
  int n = 0;
  for (int physical = 0; physical < q330->unit_nchannels; physical++)
    for (int stream = 0; stream < 8; stream++) {
      Q330ChannelDef def{};
      if (q330_get_channel_def_from_LOG(q330, &cp.fix, &cp.log, physical, stream, &def) == 1)
        q330->chan_defs[n++] = def;
    }
  q330->nchans = n;
}

// The flags block exchange: 0 with the block in *flgs, or -1 with `error` set.
int read_flags(Q330 *q330, Q330FLGSPkt *flgs, char *error, int err_sz) {
  const int max = q330->params.maxretries_control;
  int tries = 0;
  bool send = true;
  for (;;) {
    q330_control_heartbeat(q330);
    if (!q330->state_registered) {
      q330_output(q330, Q330_OUT_LOG, "Config exit to re-register.\n");
      q330_set_error(error, err_sz, "q330_get_config_pvt: Config exit to re-register");
      return -1;
    }
    if (send) {
      if (q330_sendcmd(q330, C1_RQFLGS) < 0) {
        elog_clear_register(1);
        q330_set_error(error, err_sz, "ERROR: q330_sendcmd(RQFLGS) error");
        return -1;
      }
    }
    // Every receive counts against the tries, so a stream of stale replies cannot hold
    // the readout for ever.
    tries++;
    send = true;
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, C1_FLGS, 1, 1, &command, flgs, &ack);
    if (const char *why = q330_breakout(q330->state_acquisition.load(), nullptr)) {
      double e = clock_now() - q330->request_shutdown_time;
      if (e > q330->params.shutdown_timeout) {
        q330_output(q330, Q330_OUT_LOG, "Config breakout due to %s\n", why);
        q330_set_error(error, err_sz, "q330_get_config_pvt: Config breakout due to %s", why);
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "Config %s breakout in %.1f seconds\n", why,
                  q330->params.shutdown_timeout - e);
    }
    if (rc == 0) return 0;
    const bool within = tries <= max;
    const char *too_many = nullptr;
    switch (rc) {
      case Q330_RECV_TIMEOUT:
      case Q330_RECV_WOULDBLOCK:
        if (rc == Q330_RECV_WOULDBLOCK)
          q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
        too_many = "timeouts";
        break;
      case Q330_RECV_CRC:
        too_many = "CRC errors";
        if (within) q330_output(q330, Q330_OUT_LOG, "ERROR: Bad config CRC - retrying\n");
        break;
      case Q330_RECV_ACK:
        too_many = "acknowledgment errors";
        if (within)
          q330_output(q330, Q330_OUT_LOG,
                      "ERROR: Bad config acknowledgement %d need %d - retrying\n", ack,
                      q330->sequence);
        send = false;
        break;
      case Q330_RECV_WRONGCMD:
        too_many = "wrong response errors";
        if (within)
          q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong config response (0x%2.2x) - retrying\n",
                      command);
        break;
      default:
        q330_set_error(error, err_sz, "q330_get_config_pvt: Bad read packet from q330");
        return -1;
    }
    if (!within) {
      q330_set_error(error, err_sz, "q330_get_config_pvt: too many %s", too_many);
      return -1;
    }
  }
}

// One C1_RQMEM request; the answer in *mem. 0, or -1 with `error` set.
int request_memory(Q330 *q330, uint32_t address, int memory_type, Q330MEMPkt *mem, char *error,
                   int err_sz) {
  Q330RQMEMPkt rq{};
  rq.starting_address = address;
  rq.byte_count = 0;
  rq.memory_type = static_cast<uint16_t>(memory_type);
  return q330_exec_cmd_pvt(q330, C1_RQMEM, C1_MEM, reinterpret_cast<char *>(mem), 1,
                           reinterpret_cast<char *>(&rq), error, err_sz);
}

// The first channel the session produces (stream-major), or none.
const Q330Chan *produced_channel(Q330 *q330) {
  for (auto &row : q330->params.data_chan)
    for (const Q330Chan &c : row)
      if (c.outputthischan && c.user_data) return &c;
  return nullptr;
}

// net_sta_chan[_loc], cut to the 31 characters a token channel's name holds.
void name_channel(char *out, const char *net, const char *sta, const char *chan, const char *loc) {
  std::string name = std::string(net) + "_" + sta + "_" + chan;
  if (loc && loc[0]) name += std::string("_") + loc;
  snprintf(out, 32, "%.31s", name.c_str());
}

// The token areas of the data ports configured for them, then the four closing C1_RQMEM.
// 0, or -1 with `error` set.
int read_token_areas(Q330 *q330, char *error, int err_sz) {
  const char *kinds[] = {q330->params.dptokens_port_1, q330->params.dptokens_port_2,
                         q330->params.dptokens_port_3, q330->params.dptokens_port_4};
  std::vector<unsigned char> contents(Q330_TOKEN_AREA_MAX);
  for (int port = 1; port <= 4; port++) {
    if (!kinds[port - 1] || strcmp(kinds[port - 1], "qtpb14") != 0) continue;
    int nbytes = Q330_TOKEN_AREA_MAX;
    if (q330_read_tokens(q330, port, contents.data(), &nbytes) < 0) {
      q330_set_error(error, err_sz, "ERROR: q330_read_tokens(DP%d) error", port);
      q330_output(q330, Q330_OUT_LOG, "%s.\n", error ? error : "");
      return -1;
    }
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    if (q330_parse_pb14_tokens(q330, port, contents.data(), nbytes) < 0) {
      q330_set_error(error, err_sz, "ERROR: q330_parse_pb14_tokens(DP%d) error", port);
      q330_output(q330, Q330_OUT_LOG, "%s.\n", error ? error : "");
      return -1;
    }
    q330_output_debugc(q330, 0, "q330_get_config_pvt: DP%d TOKENS ok", port);
    q330_output_debugc(q330, 243 + port, "q330_get_config_pvt: Q330_DPTOKENS_%d :", port);
    // The tokens name their net and station; compare them with a channel the session
    // produces (none: nothing to compare).
    const Qtpb14Tokens *t = q330->config.dptokens[port - 1];
    if (const Q330Chan *c = produced_channel(q330))
      if (strcmp(t->net, c->net) != 0 || strcmp(t->sta, c->sta) != 0)
        q330_output(q330, Q330_OUT_LOG,
                    "WARNING: DP%d TOKENS net_sta %s_%s different from muldrin net_sta %s_%s for "
                    "pchan0\n",
                    port, t->net, t->sta, c->net, c->sta);
  }
  auto mem = std::make_unique<Q330MEMPkt>();
  for (int type = 1; type <= 4; type++) {
    char why[512] = "";
    if (request_memory(q330, 0, type, mem.get(), why, sizeof why) < 0) {
      q330_set_error(error, err_sz, "ERROR: q330_exec_cmd_pvt(C1_RQMEM) error: %s", why);
      q330_output(q330, Q330_OUT_LOG, "ERROR: q330_exec_cmd_pvt(C1_RQMEM) error: %s.\n", why);
    } else {
      q330_output_debugc(q330, 0, "q330_get_config_pvt: C1_RQMEM ok");
    }
  }
  return 0;
}

}  // namespace

int q330_read_tokens(Q330 *q330, int memory_type, unsigned char *contents, int *nbytes) {
  int room = *nbytes;
  *nbytes = 0;
  auto mem = std::make_unique<Q330MEMPkt>();
  char why[512] = "";
  uint32_t address = 0;
  int nsegment = -1;
  for (;;) {
    if (request_memory(q330, address, memory_type, mem.get(), why, sizeof why) < 0) {
      q330_output(q330, Q330_OUT_LOG, "ERROR: q330_exec_cmd_pvt(C1_RQMEM) error: %s.\n", why);
      return -1;
    }
    int n = mem->byte_count - 4;
    if (n > room) {
      q330_output(q330, Q330_OUT_LOG, "ERROR: Attempt to overflow token buffer (%d > %d).\n", n,
                  room);
      return -1;
    }
    if (n <= 0) {
      q330_output(q330, Q330_OUT_LOG, "ERROR: Improper token buffer byte count (%d).\n", n);
      return -1;
    }
    memcpy(contents + *nbytes, mem->contents + 4, static_cast<size_t>(n));
    *nbytes += n;
    room -= n;
    if (nsegment < 0) nsegment = mem->nsegment;
    if (mem->isegment >= nsegment) return 0;
    address += static_cast<uint32_t>(mem->byte_count) + 6;
  }
}

int q330_parse_pb14_tokens(Q330 *q330, int memory_type, unsigned char *contents, int nbytes) {
  if (memory_type < 1 || memory_type > 4) return -1;
  Qtpb14Tokens *&t = q330->config.dptokens[memory_type - 1];
  if (!t) {
    t = static_cast<Qtpb14Tokens *>(calloc(1, sizeof(Qtpb14Tokens)));
    if (!t) {
      elog_complain(0, "q330_parse_pb14_tokens: malloc(%ld) error.\n",
                    static_cast<long>(sizeof(Qtpb14Tokens)));
      return -1;
    }
  }
  if (q330_unstuff_qtpb14_tokens(t, reinterpret_cast<const char *>(contents), nbytes) < 0)
    elog_complain(0, "q330_parse_pb14_tokens: q330_usstuff_qtpb14_tokens() error.\n");
  Q330DLParams &p = q330->params;
  for (long i = 0; i < maxtbl(t->channels); i++) {
    auto *c = static_cast<Qtpb14ChannelTokens *>(gettbl(t->channels, i));
    if (!c) continue;
    snprintf(c->q330_netstachanloc, sizeof c->q330_netstachanloc, "-");
    int kind = c->channel & 0xF8;
    if (kind == 0xE0 || kind == 0xE8 || kind == 0xF0) {
      int physical = c->channel & 7;
      // Stream and physical channel come from the datalogger: keep them inside the table.
      if (c->stream > 7 || physical > 5) continue;
      const Q330Chan &d = p.data_chan[c->stream][physical];
      if (d.outputthischan && d.user_data)
        name_channel(c->q330_netstachanloc, d.net, d.sta, d.chan, d.loc);
      continue;
    }
    Tbl *defs = q330_channel2stdefs(c->channel);
    int want = c->stream + (c->channel == 0x88) + (c->channel == 0x89);
    for (long k = 0; k < maxtbl(defs); k++) {
      auto *def = static_cast<const Q330DataStatusDef *>(gettbl(defs, k));
      if (!def || def->param_number != want) continue;
      auto *sc = p.status_chan_arr
                     ? static_cast<Q330StatusChan *>(getarr(p.status_chan_arr, def->name))
                     : nullptr;
      if (sc && sc->output_wf_pdef)
        name_channel(c->q330_netstachanloc, sc->net, sc->sta, sc->chan, sc->loc);
      break;
    }
  }
  return 0;
}

namespace {

// The flags block, decoded over a copy so a failed or refused block changes nothing; the
// channel table is rebuilt from it. 0 with the flags word in *flags, or -1 with `error` set.
int get_flags_block(Q330 *q330, uint16_t *flags, char *error, int err_sz) {
  Q330DLConfig &cfg = q330->config;
  auto flgs = std::make_unique<Q330FLGSPkt>();
  {
    std::lock_guard<std::mutex> lock(cfg.config_mutex);
    *flgs = cfg.config_pkt;
  }
  if (read_flags(q330, flgs.get(), error, err_sz) < 0) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: C1_RQFLGS error: %s.\n", error ? error : "");
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(cfg.config_mutex);
    cfg.config_pkt = *flgs;
    q330_output_debugc(q330, 0, "q330_get_config_pvt: C1_RQFLGS ok");
    q330_output_debugc(q330, C1_FLGS, "q330_get_config_pvt: C1_FLGS :");
    rebuild_channels(q330);
    *flags = cfg.config_pkt.fix.flags;
  }
  static const char *const capabilities[] = {"Ethernet installed",
                                             "can process a dynamic IP address status request",
                                             "can process an auxiliary board status request",
                                             "can process a expanded C1_WEB commands",
                                             "can process a serial sensor status request",
                                             "can report higher than 255ma supply current",
                                             "has at least one environmental processor configured",
                                             "is a Q330S with integrated Baler44 on serial2"};
  for (int bit = 0; bit < 8; bit++)
    if (*flags & (1u << bit))
      q330_output_debugc(q330, 0, "q330_get_config_pvt: %s", capabilities[bit]);
  return 0;
}

// Sets each configured environmental channel's filter delay from the delays block (all
// ones for a channel the block does not list). The caller holds config_mutex.
void set_ep_filter_delays(Q330 *q330, const Q330C2EPDPkt &epd) {
  int count = epd.channel_count < Q330_EP_MAX ? epd.channel_count : Q330_EP_MAX;
  for (int j = 0; j < 256; j++) {
    Q330Chan *ep = q330->params.ep_channels[j];
    if (!ep) continue;
    int found = -1;
    for (int i = 0; i < count && found < 0; i++)
      if (epd.entries[i].channel == j) found = i;
    if (found >= 0) {
      ep->filter_delay = epd.entries[found].filter_delay;
      q330_output_debugc(q330, 0, "q330_get_config_pvt: Setting EP channel %2.2X delay to %d", j,
                         static_cast<int>(ep->filter_delay));
    } else {
      ep->filter_delay = 0xFFFFFFFFu;
      q330_output_debugc(q330, 0, "q330_get_config_pvt: Setting EP channel %2.2X delay to NULL", j);
    }
  }
}

// One block request (its parameter, when it has one, in `param`), the answer into `dst`.
// 0, or -1 with `error` set and logged.
int request_block(Q330 *q330, int request, int answer, char *dst, char *param, const char *name,
                  char *error, int err_sz) {
  char why[512] = "";
  if (q330_exec_cmd_pvt(q330, request, answer, dst, 1, param, why, sizeof why) >= 0) return 0;
  q330_set_error(error, err_sz, "ERROR: q330_exec_cmd_pvt(%s) error: %s", name, why);
  q330_output(q330, Q330_OUT_LOG, "%s.\n", error ? error : "");
  return -1;
}

// The environmental processor's configuration, then its filter delays. 0, or -1 with
// `error` set.
int get_ep_blocks(Q330 *q330, char *error, int err_sz) {
  Q330DLConfig &cfg = q330->config;
  auto epcfg = std::make_unique<Q330C2EPCFGPkt>(cfg.c2_epcfg);
  q330_output_debugc(q330, 0, "q330_get_config_pvt: getting C2_EPCFG");
  if (request_block(q330, C2_RQEPCFG, C2_EPCFG, reinterpret_cast<char *>(epcfg.get()), nullptr,
                    "C2_RQEPCFG", error, err_sz) < 0)
    return -1;
  {
    std::lock_guard<std::mutex> lock(cfg.config_mutex);
    cfg.c2_epcfg = *epcfg;
    q330_output_debugc(q330, C2_EPCFG, "q330_get_config_pvt: Q330_C2_EPCFG :");
  }
  auto epd = std::make_unique<Q330C2EPDPkt>(cfg.c2_epd);
  q330_output_debugc(q330, 0, "q330_get_config_pvt: getting C2_EPD");
  if (request_block(q330, C2_RQEPD, C2_EPD, reinterpret_cast<char *>(epd.get()), nullptr,
                    "C2_RQEPD", error, err_sz) < 0)
    return -1;
  std::lock_guard<std::mutex> lock(cfg.config_mutex);
  cfg.c2_epd = *epd;
  q330_output_debugc(q330, C2_EPD, "q330_get_config_pvt: Q330_C2_EPD :");
  set_ep_filter_delays(q330, *epd);
  return 0;
}

// The blocks read once per configuration (physical interfaces, manufacturer, routing,
// GPS, mass positions, ...). 0, or -1 with `error` set.
int get_config_blocks(Q330 *q330, char *error, int err_sz) {
  Q330DLConfig &cfg = q330->config;
  struct Block {
    int request;
    const char *name;
    int param;  // C2_RQPHY's physical interface, or -1
    int answer;
    void *dst;
    size_t size;
    const char *dump;
    int code;
  };
  const Block blocks[] = {
      {0x16, "C1_RQPHY", -1, 0xA4, &cfg.phy, sizeof cfg.phy, "Q330_C1_PHY :", 164},
      {0x1E, "C1_RQMAN", -1, 0xA8, &cfg.man, sizeof cfg.man, "Q330_C1_MAN :", 168},
      {0x25, "C1_RQRT", -1, 0xAA, &cfg.rt, sizeof cfg.rt, "Q330_C1_RT  :", 170},
      {0x2D, "C1_RQSPP", -1, 0xAE, &cfg.spp, sizeof cfg.spp, "Q330_C1_SPP :", 174},
      {0x28, "C1_RQGID", -1, 0xAC, &cfg.gid, sizeof cfg.gid, "Q330_C1_GID :", 172},
      {0x35, "C1_RQDCP", -1, 0xB2, &cfg.dcp, sizeof cfg.dcp, "Q330_C1_DCP :", 178},
      {0x36, "C1_RQDEV", -1, 0xB3, &cfg.dev, sizeof cfg.dev, "Q330_C1_DEV :", 179},
      {0x51, "C2_RQPHY_0", 0, 0xC0, &cfg.c2_phy_0, sizeof cfg.c2_phy_0, "Q330_C2_PHY0 :", 241},
      {0x51, "C2_RQPHY_1", 1, 0xC0, &cfg.c2_phy_1, sizeof cfg.c2_phy_1, "Q330_C2_PHY1 :", 242},
      {0x51, "C2_RQPHY_3", 3, 0xC0, &cfg.c2_phy_3, sizeof cfg.c2_phy_3, "Q330_C2_PHY3 :", 243},
      {0x53, "C2_RQGPS", -1, 0xC1, &cfg.c2_gps, sizeof cfg.c2_gps, "Q330_C2_GPS :", 193},
      {0x58, "C2_RQAMASS", -1, 0xC4, &cfg.c2_amass, sizeof cfg.c2_amass, "Q330_C2_AMASS :", 196},
  };
  for (const Block &b : blocks) {
    Scratch got(b.dst, b.size);
    int param = b.param;
    if (request_block(q330, b.request, b.answer, got.data(),
                      b.param >= 0 ? reinterpret_cast<char *>(&param) : nullptr, b.name, error,
                      err_sz) < 0)
      return -1;
    std::lock_guard<std::mutex> lock(cfg.config_mutex);
    memcpy(b.dst, got.data(), b.size);
    q330_output_debugc(q330, 0, "q330_get_config_pvt: %s ok", b.name);
    q330_output_debugc(q330, b.code, "q330_get_config_pvt: %s", b.dump);
  }
  return 0;
}

}  // namespace

int q330_get_config_pvt(Q330 *q330, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_get_config_pvt: Must register server first");
    return -1;
  }
  uint16_t flags = 0;
  if (get_flags_block(q330, &flags, error, err_sz) < 0) return -1;
  if ((flags & 0x40) && get_ep_blocks(q330, error, err_sz) < 0) return -1;
  if (q330->need_config && get_config_blocks(q330, error, err_sz) < 0) return -1;
  if (q330->need_config || q330->need_rqmem) {
    if (read_token_areas(q330, error, err_sz) < 0) return -1;
    q330->need_rqmem = 0;
    q330->need_config = 0;
  }
  std::lock_guard<std::mutex> lock(q330->config.config_mutex);
  q330->config.time = clock_now();
  return 0;
}

// ---- Channel set-up ------------------------------------------------------------------------

namespace {

enum { C1_SLOG = 0x17, C2_SEPCFG = 0x72 };

// The LOG blocks compared as the datalogger sees them: their wire form.
bool same_log(const Q330LOGPkt &a, const Q330LOGPkt &b) {
  unsigned char wa[128] = {}, wb[128] = {};
  unsigned char *ca = wa, *cb = wb;
  q330_stuff_qpkt(0xA5, &ca, const_cast<Q330LOGPkt *>(&a));
  q330_stuff_qpkt(0xA5, &cb, const_cast<Q330LOGPkt *>(&b));
  return ca - wa == cb - wb && memcmp(wa, wb, static_cast<size_t>(ca - wa)) == 0;
}

bool same_epcfg(const Q330C2EPCFGPkt &a, const Q330C2EPCFGPkt &b) {
  if (a.reserved_serial_1 != b.reserved_serial_1 || a.reserved_serial_2 != b.reserved_serial_2 ||
      a.flags_serial_1 != b.flags_serial_1 || a.flags_serial_2 != b.flags_serial_2 ||
      a.channel_count != b.channel_count || a.spare1 != b.spare1)
    return false;
  int n = a.channel_count < Q330_EP_MAX ? a.channel_count : Q330_EP_MAX;
  for (int i = 0; i < n; i++)
    if (a.entries[i].channel != b.entries[i].channel ||
        a.entries[i].output_mask != b.entries[i].output_mask)
      return false;
  return true;
}

// Sends C1_SLOG or C2_SEPCFG (from the stored block) until the datalogger acknowledges it.
// 0, or -1 with `error` set.
int send_setting(Q330 *q330, int command, const char *name, char *error, int err_sz) {
  const int max = q330->params.maxretries_control;
  std::vector<uint64_t> reply(32768);  // any command may come back
  int tries = 0;
  bool send = true;
  for (;;) {
    if (send) {
      q330_control_heartbeat(q330);
      if (q330_sendcmd(q330, command) < 0) {
        elog_clear_register(1);
        q330_set_error(error, err_sz, "q330_cfg_channels_pvt: q330_sendcmd(%s) error", name);
        return -1;
      }
    }
    tries++;
    send = true;
    int got = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, Q330_CMD_ANY, 1, 1, &got, reply.data(), &ack);
    const bool within = tries <= max;
    const char *too_many = nullptr;
    if (rc == 0 && got == Q330_C1_CACK) return 0;
    if (rc == 0 && got == Q330_C1_CERR) {
      q330_output(q330, Q330_OUT_LOG, "q330_cfg_channels_pvt: Q330 ERROR: %d.\n",
                  static_cast<const Q330CERRPkt *>(static_cast<void *>(reply.data()))->error_code);
      if (within) q330_output(q330, Q330_OUT_LOG, "ERROR: Q330 error - retrying\n");
      too_many = "Q330 errors";
    } else if (rc == 0) {
      if (within)
        q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response (0x%2.2x) - retrying\n", got);
      too_many = "wrong response errors";
    } else if (rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK) {
      if (rc == Q330_RECV_WOULDBLOCK)
        q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
      too_many = "timeouts";
    } else if (rc == Q330_RECV_CRC) {
      if (within) q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - retrying\n");
      too_many = "CRC errors";
    } else if (rc == Q330_RECV_ACK) {
      if (within)
        q330_output(q330, Q330_OUT_LOG, "ERROR: Bad acknowledgment %d need %d - retrying\n", ack,
                    q330->sequence);
      too_many = "acknowledgment errors";
      send = false;
    } else {
      q330_set_error(error, err_sz, "q330_cfg_channels_pvt: Bad read packet from q330");
      return -1;
    }
    if (!within) {
      q330_set_error(error, err_sz, "q330_cfg_channels_pvt: too many %s", too_many);
      return -1;
    }
  }
}

// Counts the reboots since the last set-up into the 24-hour averager.
void count_reboots(Q330 *q330, uint32_t total) {
  Q330Status &st = q330->status;
  long events = 0;
  bool reset = false;
  {
    std::lock_guard<std::mutex> lock(st.status_mutex);
    if (st.nreboots >= 1) {
      int64_t diff = static_cast<int64_t>(total) - st.nreboots;
      // A count below the saved one, or far above it, belongs to another unit (or a
      // state file of a replaced one): nothing to count.
      if (diff < 0 || diff > 1000)
        reset = true;
      else
        events = static_cast<long>(diff);
    }
    st.nreboots = static_cast<int>(total);
  }
  if (reset)
    q330_output(q330, Q330_OUT_LOG, "Reboot count was reset (now %u), no reboots counted.\n",
                total);
  for (long i = 0; i < events; i++)
    if (st.ta_nreboots_24h) taverage_put(st.ta_nreboots_24h, 1.0);
}

// Stores a block the set-up is about to send (the stored block is the payload).
template <typename T>
void store_block(Q330 *q330, T *dst, const T &value) {
  std::lock_guard<std::mutex> lock(q330->config.config_mutex);
  *dst = value;
}

// After a failed setting: the stored block goes back to what the datalogger held, and the
// configuration is read again, so it never holds the wanted values.
template <typename T>
void undo_setting(Q330 *q330, T *dst, const T &old) {
  store_block(q330, dst, old);
  char why[512];
  if (q330_get_config_pvt(q330, why, sizeof why) < 0)
    q330_output(q330, Q330_OUT_LOG, "ERROR: configuration not read again: %s.\n", why);
}

// The command's parameters: the channel-stream list and the throttle (-1 when not
// given). 0, or -1 with `error` set (and nothing left to free).
int parse_cfg_request(Pf *pf, Tbl **list, int *throttle, char *error, int err_sz) {
  if (parse_param(pf, "cfg_channels", P_TBL, 0, list) < 0) {
    elog_clear_register(0);
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: parse_param(cfg_channels) error");
    return -1;
  }
  if (parse_param(pf, "throttle", P_LINT, 0, throttle) < 0) {
    elog_clear_register(0);
    freetbl(*list, free);
    *list = nullptr;
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: parse_param(throttle) error");
    return -1;
  }
  if (!*list && *throttle < 0) {
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: Nothing to configure");
    return -1;
  }
  // 1 to 9 B/s have no throttle word (the word divides by throttle / 10).
  if (*throttle >= 1 && *throttle <= 9) {
    freetbl(*list, free);
    *list = nullptr;
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: Illegal throttle %d", *throttle);
    return -1;
  }
  return 0;
}

// The channel-stream mask into *log: from the command's list ("physical stream on" lines),
// or, for the start-up set-up (no parameters), from the channels the parameter file asks
// for. 0, or -1 with `error` set.
int build_channel_mask(Q330 *q330, Pf *pf, Tbl *list, Q330FLGSPkt &cp, Q330LOGPkt *log, char *error,
                       int err_sz) {
  if (list) {
    for (long i = 0; i < maxtbl(list); i++) {
      int physical, stream, on;
      const char *line = static_cast<const char *>(gettbl(list, i));
      if (!line || sscanf(line, "%d %d %d", &physical, &stream, &on) != 3) continue;
      if (physical < 0 || physical >= q330->unit_nchannels || stream < 0 || stream > 7) continue;
      Q330ChannelDef def{physical, stream, 0, 0};
      if (q330_byte2samprate(cp.fix.bit_frequency[stream], &def.samprate) < 0) {
        elog_complain(0, "q330_cfg_channels_pvt: q330_byte2samprate() error.\n");
        q330_set_error(error, err_sz, "q330_cfg_channels_pvt: q330_byte2samprate() error");
        return -1;
      }
      if (q330_chg_channel_def_to_LOG(q330, &cp.fix, &def, log, on ? 2 : 1) < 0) {
        q330_set_error(error, err_sz, "q330_cfg_channels_pvt: q330_chg_channel_def_to_LOG() error");
        return -1;
      }
    }
  } else if (!pf) {
    for (int stream = 0; stream < 8; stream++)
      for (int physical = 0; physical < q330->unit_nchannels && physical < 6; physical++) {
        const Q330Chan &c = q330->params.data_chan[stream][physical];
        uint16_t &mask = log->channel_freqs[physical];
        if (c.outputthischan && c.user_data)
          mask = static_cast<uint16_t>(mask | (1u << stream));
        else
          mask = static_cast<uint16_t>(mask & ~(1u << stream));
      }
  }
  if (!same_log(*log, cp.log))
    q330_output(q330, Q330_OUT_LOG,
                "Reconfiguring channel-stream mask to 0x%2.2x 0x%2.2x 0x%2.2x 0x%2.2x 0x%2.2x "
                "0x%2.2x...\n",
                log->channel_freqs[0], log->channel_freqs[1], log->channel_freqs[2],
                log->channel_freqs[3], log->channel_freqs[4], log->channel_freqs[5]);
  return 0;
}

// The throttle (when given, >= 0) and the parameter file's LOG values into *log, each
// change logged; none when the LOG flags forbid the set-up.
void apply_log_settings(Q330 *q330, int throttle, Q330LOGPkt *log) {
  Q330DLParams &p = q330->params;
  if (log->flags & 0x20) {
    q330_output(q330, Q330_OUT_LOG, "C1_LOG configuration disabled due to flags bit\n");
    return;
  }
  if (throttle >= 0) {
    q330_set_throttle(q330, throttle);
    if (log->ethernet_throttle != static_cast<uint16_t>(p.throttle_q330)) {
      log->ethernet_throttle = static_cast<uint16_t>(p.throttle_q330);
      q330_output(q330, Q330_OUT_LOG, "Reconfiguring ethernet throttle value to %d...\n", throttle);
    } else {
      q330_output(q330, Q330_OUT_LOG, "Throttle ok...\n");
    }
  }
  struct Field {
    const char *name;
    int want;
    uint16_t *field;
  };
  const Field fields[] = {
      {"flags", p.log_flags, &log->flags},
      {"mtu", p.log_mtu, &log->mtu},
      {"group_count", p.log_group_count, &log->group_count},
      {"maximum_resend_timeout", p.log_maximum_resend_timeout, &log->maximum_resend_timeout},
      {"group_timeout", p.log_group_timeout, &log->group_timeout},
      {"minimum_resend_timeout", p.log_minimum_resend_timeout, &log->minimum_resend_timeout},
      {"window_size", p.log_window_size, &log->window_size},
      {"acknowledge_count", p.log_acknowledge_count, &log->acknowledge_count},
      {"acknowledge_timeout", p.log_acknowledge_timeout, &log->acknowledge_timeout},
  };
  for (const Field &f : fields) {
    if (f.want < 0) continue;
    if (*f.field != static_cast<uint16_t>(f.want)) {
      *f.field = static_cast<uint16_t>(f.want);
      q330_output(q330, Q330_OUT_LOG, "Reconfiguring LOG %s value to %d...\n", f.name, f.want);
    } else {
      q330_output(q330, Q330_OUT_LOG, "LOG %s ok...\n", f.name);
    }
  }
}

// The environmental channels' configuration wanted for this data port: from `old`, this
// port's bit of each channel's output mask set where the parameter file wants the channel
// (a channel added while there is room), each change logged.
Q330C2EPCFGPkt build_ep_config(Q330 *q330, int port, const Q330C2EPCFGPkt &old) {
  Q330C2EPCFGPkt ep = old;
  if (ep.channel_count > Q330_EP_MAX) ep.channel_count = Q330_EP_MAX;
  const uint8_t bit = static_cast<uint8_t>(1u << (port - 1));
  for (int j = 0; j < 256; j++) {
    int found = -1;
    for (int i = 0; i < ep.channel_count && found < 0; i++)
      if (ep.entries[i].channel == j) found = i;
    const Q330Chan *c = q330->params.ep_channels[j];
    const bool wanted = c && (c->user_data || c->outputthischan_pf);
    if (found < 0) {
      if (!wanted || ep.channel_count >= Q330_EP_MAX) continue;
      found = ep.channel_count++;
      ep.entries[found].channel = static_cast<uint8_t>(j);
      ep.entries[found].output_mask = 0;
      q330_output(q330, Q330_OUT_LOG, "Adding EP channel %X\n", j);
    }
    Q330C2EPCFGEntry &e = ep.entries[found];
    e.output_mask = static_cast<uint8_t>(wanted ? e.output_mask | bit : e.output_mask & ~bit);
    const Q330C2EPCFGEntry &was = old.entries[found];
    if (e.channel != was.channel || e.output_mask != was.output_mask)
      q330_output(q330, Q330_OUT_LOG, "EP channel %X output_mask changed from %hhX to %hhX\n", j,
                  was.output_mask, e.output_mask);
  }
  return ep;
}

}  // namespace

int q330_cfg_channels_pvt(Q330 *q330, Pf *pf, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: Must register server first");
    return -1;
  }
  Tbl *list = nullptr;
  int throttle = -1;
  if (pf && parse_cfg_request(pf, &list, &throttle, error, err_sz) < 0) return -1;
  std::unique_ptr<Tbl, void (*)(Tbl *)> own(list, [](Tbl *t) { freetbl(t, free); });

  q330_output(q330, Q330_OUT_LOG, "Getting configuration...\n");
  if (q330_get_config_pvt(q330, error, err_sz) < 0) return -1;
  q330_output(q330, Q330_OUT_LOG, "Checking configuration...\n");

  Q330FLGSPkt cp;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    cp = q330->config.config_pkt;
  }
  count_reboots(q330, cp.fix.total_number_of_reboots);
  const int port = q330->params.q330_port_logical;
  if (port < 1 || port > 4 || cp.fix.logical_port_packet_memory_size[port - 1] == 0) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: Data port %d disabled...cannot open data port\n", port);
    q330_set_error(error, err_sz, "q330_cfg_channels_pvt: Data port %d disabled", port);
    return -1;
  }

  Q330LOGPkt log = cp.log;
  if (build_channel_mask(q330, pf, list, cp, &log, error, err_sz) < 0) return -1;
  apply_log_settings(q330, throttle, &log);
  if (!pf) log.flags = static_cast<uint16_t>(log.flags & ~0x04u);

  const bool log_same = same_log(log, cp.log);
  if (log_same) {
    q330_output(q330, Q330_OUT_LOG, "Configuration ok...\n");
  } else {
    store_block(q330, &q330->config.config_pkt.log, log);
    q330_output(q330, Q330_OUT_LOG, "Setting configuration...\n");
    if (send_setting(q330, C1_SLOG, "SLOG", error, err_sz) < 0) {
      undo_setting(q330, &q330->config.config_pkt.log, cp.log);
      return -1;
    }
  }

  // Environmental channels: this port's bit of each channel's output mask.
  Q330C2EPCFGPkt old;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    old = q330->config.c2_epcfg;
  }
  const Q330C2EPCFGPkt ep = build_ep_config(q330, port, old);
  if (same_epcfg(ep, old)) {
    q330_output(q330, Q330_OUT_LOG, "EP Configuration ok...\n");
    if (log_same) return 0;
  } else if (!(cp.fix.flags & 0x40)) {
    q330_output(q330, Q330_OUT_LOG, "EP Configuration change not possible...\n");
  } else {
    q330_output(q330, Q330_OUT_LOG, "Reconfiguring EP Channels...\n");
    q330_output(q330, Q330_OUT_LOG, "Setting configuration...\n");
    store_block(q330, &q330->config.c2_epcfg, ep);
    if (send_setting(q330, C2_SEPCFG, "C2_SEPCFG", error, err_sz) < 0) {
      undo_setting(q330, &q330->config.c2_epcfg, old);
      return -1;
    }
  }
  if (q330_get_config_pvt(q330, error, err_sz) < 0) return -1;
  q330_output(q330, Q330_OUT_LOG, "Reconfiguration successful.\n");
  return 1;
}
