// muldrin_stash.cpp - program and datalogger stash packets.
#include "muldrin_stash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "muldrin_write.h"
#include "packet/pkt.h"
#include "parse_pf.h"
#include "reldb/db.h"
#include "ring/orb.h"

namespace {

// The calibration database, opened on first use and kept for the process.
struct StashDb {
  bool tried = false;
  bool open = false;
  Dbptr db{};
};
StashDb g_db;

char *g_buf = nullptr;
int g_bufsize = 0;

const char *orbname_of(const PacketDef *pd) {
  if (pd == nullptr || pd->orbtag == nullptr) return "-";
  if (pd->orbtag->orbname_resolved != nullptr) return pd->orbtag->orbname_resolved;
  return pd->orbtag->orbname != nullptr ? pd->orbtag->orbname : "-";
}

void chan_line(std::string &text, const char *net, const char *sta, const char *chan,
               const char *loc, const char *key, const PacketDef *pd, const char *srcname) {
  std::string code = std::string(net) + "_" + sta + "_" + chan;
  if (loc[0] != '\0') code += std::string("_") + loc;
  text += code + " " + key + " " + orbname_of(pd) + " " + srcname + "\n";
}

void append_dlsite(std::string &text, Muldrin *m) {
  if (m->dbname_calib == nullptr) return;
  if (!g_db.tried) {
    g_db.tried = true;
    g_db.open = RVdbopen(m->dbname_calib, "r", &g_db.db) == 0;
    if (!g_db.open)
      elog_complain(0, "q330_make_orbstash: unable to open %s for stash srcname %s.\n",
                    m->dbname_calib, m->status_srcname != nullptr ? m->status_srcname : "");
  }
  if (!g_db.open) return;
  Dbptr t = dblookup(g_db.db, nullptr, "dlsite", nullptr, nullptr);
  if (t.table < 0) return;
  int n = 0;
  if (dbquery(t, dbRECORD_COUNT, &n) < 0 || n < 1) return;
  int size = 0;
  if (dbquery(t, dbRECORD_SIZE, &size) < 0 || size < 0) return;
  std::vector<char> row(static_cast<size_t>(size) + 2);
  text += "dlsite &Literal{\n";
  for (t.record = 0; t.record < n; t.record++) {
    if (dbget(t, row.data()) < 0) continue;
    row.back() = '\0';
    text += row.data();
    text += "\n";
  }
  text += "}\n";
}

}  // namespace

const char *muldrin_chan_srcname(PacketDef *pd, const char *net, const char *sta, const char *chan,
                                 const char *loc, char srcname[64]) {
  if (srcname[0] != '\0' || pd == nullptr) return srcname;
  if (pd->pkt == nullptr) {
    pd->pkt = newPkt();
    if (pd->pkt == nullptr) elog_die(0, "q330_make_orbstash: newPkt() error.\n");
    pd->pkt->pkttype = suffix2pkttype(pd->suffix);
    elog_clear_register(0);
  }
  if (maxtbl(pd->pkt->channels) < 1) {
    PktChannel *pc = newPktChannel();
    if (pc == nullptr) elog_die(0, "q330_make_orbstash: newPktChannel() error.\n");
    pushtbl(pd->pkt->channels, pc);
  }
  // The packet is shared with the waveform writer: its first channel is named for this
  // channel only while the name is made, and put back after.
  auto *pc = static_cast<PktChannel *>(gettbl(pd->pkt->channels, 0));
  PktChannel saved = *pc;
  int saved_n = pd->pkt->nchannels;
  snprintf(pc->net, sizeof pc->net, "%s", net);
  snprintf(pc->sta, sizeof pc->sta, "%s", sta);
  snprintf(pc->chan, sizeof pc->chan, "%s", chan);
  snprintf(pc->loc, sizeof pc->loc, "%s", loc);
  pd->pkt->nchannels = 1;
  char name[PKT_SRCNAME_SIZE] = "";
  double t = 0;
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  int r = stuffPkt(pd->pkt, name, &t, &buf, &nbytes, &bufsize);
  free(buf);
  *pc = saved;
  pd->pkt->nchannels = saved_n;
  if (r < 0) {
    elog_complain(0, "q330_genc_orbpkts: stuffPkt() error.\n");
    return srcname;
  }
  std::string s = name;
  if (pd->subcode[0] != '\0') s += std::string("/") + pd->subcode;
  snprintf(srcname, 64, "%s", s.c_str());
  return srcname;
}

std::string muldrin_dl_stash_text(Q330 *q330) {
  Q330DLParams &p = q330->params;
  std::string text = "model q330\n";
  text += std::string("sn ") + (p.q330_serial_number != nullptr ? p.q330_serial_number : "") + "\n";
  text += "channels &Tbl{\n";
  for (auto &row : p.data_chan)
    for (Q330Chan &c : row) {
      if (!c.outputthischan || c.user_data == nullptr) continue;
      muldrin_chan_srcname(c.user_data, c.net, c.sta, c.chan, c.loc, c.srcname);
      chan_line(text, c.net, c.sta, c.chan, c.loc, c.channel_name, c.user_data, c.srcname);
    }
  for (Q330Chan *c : p.ep_channels) {
    if (c == nullptr || c->user_data == nullptr) continue;
    muldrin_chan_srcname(c->user_data, c->net, c->sta, c->chan, c->loc, c->srcname);
    chan_line(text, c->net, c->sta, c->chan, c->loc, c->channel_name, c->user_data, c->srcname);
  }
  Tbl *keys = p.status_chan_arr != nullptr ? keysarr(p.status_chan_arr) : nullptr;
  for (long i = 0; i < maxtbl(keys); i++) {
    auto *sc = static_cast<Q330StatusChan *>(
        getarr(p.status_chan_arr, static_cast<char *>(gettbl(keys, i))));
    if (sc == nullptr || sc->output_wf_pdef == nullptr) continue;
    muldrin_chan_srcname(sc->output_wf_pdef, sc->net, sc->sta, sc->chan, sc->loc, sc->srcname);
    chan_line(text, sc->net, sc->sta, sc->chan, sc->loc, sc->pfkey, sc->output_wf_pdef,
              sc->srcname);
  }
  freetbl(keys, nullptr);
  text += "}\n";
  return text;
}

std::string muldrin_program_stash_text(Muldrin *m) {
  std::string text = "commandline &Literal{\n";
  text += m->commandline != nullptr ? m->commandline : "";
  text += "}\nmuldrin.pf &Arr{\n";
  if (m->pf != nullptr) {
    char *s = my_pf2string(m->pf);
    if (s != nullptr) text += s;
    free(s);
  }
  text += "}\n";
  append_dlsite(text, m);
  return text;
}

int q330_make_orbstash(Q330 *q330) {
  Muldrin *m = muldrin_write_program();
  if (m == nullptr || m->nowritestash) return 0;
  int nbytes = 0;
  if (q330 != nullptr) {
    if (m->log == nullptr || q330->pendingstashrequest == 0) return 0;
    // Taken before the build so that a request arriving meanwhile is kept, and given back
    // when the stash could not be written.
    q330->pendingstashrequest = 0;
    std::string text = muldrin_dl_stash_text(q330);
    const char *src = q330->out_srcname_log != nullptr ? q330->out_srcname_log : "";
    if (stuffStashPkt(text.c_str(), static_cast<int>(text.size()) + 1, &g_buf, &nbytes,
                      &g_bufsize) < 0) {
      elog_complain(0, "q330_write: stuffStashPkt() error for srcname %s.\n", src);
      q330->pendingstashrequest = 1;
      return 0;
    }
    if (orbput(m->log->orbw, src, clock_now(), g_buf, nbytes) != 0) q330->pendingstashrequest = 1;
    return 0;
  }
  if (m->status == nullptr || m->pendingstashrequest.load() == 0) return 0;
  m->pendingstashrequest.store(0);
  std::string text = muldrin_program_stash_text(m);
  const char *src = m->status_srcname != nullptr ? m->status_srcname : "";
  if (stuffStashPkt(text.c_str(), static_cast<int>(text.size()) + 1, &g_buf, &nbytes, &g_bufsize) <
      0) {
    elog_complain(0, "q330_make_orbstash: stuffStashPkt() error for srcname %s.\n", src);
    m->pendingstashrequest.store(1);
    return 0;
  }
  if (orbput(m->status->orbw, src, clock_now(), g_buf, nbytes) != 0)
    m->pendingstashrequest.store(1);
  return 0;
}

void muldrin_stash_reset(void) {
  if (g_db.open) RVdbclose(g_db.db);
  g_db = StashDb{};
}
