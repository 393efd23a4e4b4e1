// muldrin_genc.cpp - waveform packets from data records, and the flush request.
#include "muldrin_genc.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "muldrin_run.h"
#include "packet/pkt.h"
#include "parse_pf.h"
#include "q330_dblk.h"
#include "q330_repkt.h"
#include "q330pkt.h"
#include "reldb/pktchannelcalib.h"
#include "ring/orb.h"
#include "ringsvc/linkoverlap.h"
#include "ringsvc/orbwrite.h"

namespace {

// Buffers of the write thread, reused record after record.
struct GencBuffers {
  std::vector<unsigned int> words;  // an entry's map and data words, aligned
  std::vector<int> samples;         // expanded samples, room for 7 per data word
  char *packet = nullptr;
  int bufsize = 0, nbytes = 0;
  std::string src;  // the packet's source name with its subcode
};
GencBuffers g_genc;

std::string ydhms(double t) {
  char *s = epoch2str(t, "%Y%j %H:%M:%S");
  std::string r = s ? s : "";
  free(s);
  return r;
}

Muldrin *program(Q330 *q330) { return static_cast<Muldrin *>(q330->muldrin); }

void copy_text(char *dst, size_t size, const char *src) {
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
}

// Expands the samples of one entry into g_genc.samples; their count, or -1 (complained).
int entry_samples(const unsigned char *e, int entry_size, int data_offset, int nsamp,
                  int32_t value) {
  std::vector<int> &s = g_genc.samples;
  if (nsamp == 1) {
    s.assign(1, value);
    return 1;
  }
  int data_len = entry_size - data_offset - 2;
  int map_len = data_offset - 16;
  if (data_len < 0 || map_len < 0 || data_len > Q330_FRAME_DATA_MAX) {
    elog_complain(0, "q330_genc_orbpkts: q330_convert_frame(%d %d) error.\n", nsamp, -1);
    return -1;
  }
  size_t bytes = static_cast<size_t>(map_len + data_len);
  g_genc.words.assign((bytes + 3) / 4 + 1, 0);
  memcpy(g_genc.words.data(), e + 16, bytes);
  s.resize(static_cast<size_t>(data_len / 4) * 7 + 7);
  int n = q330_convert_frame(static_cast<uint16_t>(data_len), static_cast<uint16_t>(map_len),
                             g_genc.words.data(), s.data());
  if (n != nsamp) {
    elog_complain(0, "q330_genc_orbpkts: q330_convert_frame(%d %d) error.\n", nsamp, n);
    return -1;
  }
  // The first difference is taken from the sample before the entry.
  int64_t acc = value;
  for (int i = 0; i < n; i++) {
    acc += s[static_cast<size_t>(i)];
    s[static_cast<size_t>(i)] = static_cast<int>(static_cast<int32_t>(acc));
  }
  return n;
}

void put_packet(Orbtag *tag, Packet *pkt, const char *subcode) {
  char srcname[PKT_SRCNAME_SIZE] = "";
  double t = 0;
  if (stuffPkt(pkt, srcname, &t, &g_genc.packet, &g_genc.nbytes, &g_genc.bufsize) < 0) {
    elog_complain(0, "q330_genc_orbpkts: stuffPkt() error.\n");
    return;
  }
  // Kept from packet to packet, so a long source name is not allocated each time.
  std::string &src = g_genc.src;
  src.assign(srcname);
  if (subcode && *subcode) src.append("/").append(subcode);
  if (!tag) return;
  orbwrite_put(orbwrite_default(), tag->orbw, src.c_str(), t, g_genc.packet, g_genc.nbytes,
               ORBWRITE_WAVEFORM);
}

PacketDef *pdef_at(Q330 *q330, long i) {
  auto *defs = static_cast<Tbl *>(q330->user_data);
  return static_cast<PacketDef *>(gettbl(defs, i));
}

// The channel an entry of a data record belongs to (channel and stream bytes), or none
// when it is not one to output.
Q330Chan *entry_channel(Q330 *q330, int channel, int stream) {
  const bool ep = stream >= 10;
  Q330Chan *c = nullptr;
  if (ep)
    c = q330->params.ep_channels[channel];
  else if (stream < 8 && channel < 6)
    c = &q330->params.data_chan[stream][channel];
  if (!c || !c->user_data || (!ep && !c->outputthischan)) return nullptr;
  return c;
}

// false for data the link sent again after a reconnection (within 180 s before the last
// time seen on the link); otherwise the channel's output times and sequence are noted.
bool note_output(Q330 *q330, Q330Chan *c, double rtime, int qseq) {
  const Q330DLParams &p = q330->params;
  if (p.trim_link_overlaps && link_overlap(c->last_link_time, rtime)) {
    if (p.verbose_log > 1)
      q330_output(q330, Q330_OUT_LOG, "DEBUGT: link overlap at %s for %s (%d) - dropped.\n",
                  ydhms(rtime).c_str(), c->channel_name, qseq);
    return false;
  }
  if (c->first_output_time == 0) {
    c->first_output_time = rtime;
    if (p.verbose_log > 1)
      q330_output(q330, Q330_OUT_LOG, "DEBUGT: first data output at %s for %s (%d)\n",
                  ydhms(rtime).c_str(), c->channel_name, qseq);
  }
  c->last_output_time = rtime;
  c->last_qdp_sequence = qseq;
  return true;
}

// The channel's calibration at time t from the site database; `check` asks the lookup to
// check the database for changes (once per record).
void lookup_calib(Muldrin *m, Q330Chan *c, double t, int check) {
  // The lookup fills what it knows; a failed one leaves calib 0 and segtype "V" rather
  // than the previous channel's values.
  c->calib = 0;
  c->calper = 0;
  copy_text(c->segtype, sizeof c->segtype, "V");
  // The station and channel names and the site are asked for (the channel part of the
  // lookup runs only with a channel name to fill) but not used.
  char segtype[8], css_sta[CSS_NAME_SIZE], css_chan[CSS_NAME_SIZE];
  double lat = 0, lon = 0, elev = 0;
  copy_text(segtype, sizeof segtype, c->segtype);
  if (pktchannelcalib_get(m->calib_stuff, c->net, c->sta, c->chan, c->loc, t, check, css_sta,
                          css_chan, &lat, &lon, &elev, &c->calib, &c->calper, segtype,
                          nullptr) < 0) {
    elog_complain(0, "q330_genc_orbpkts: pktchannelcalib_new() error.\n");
  } else {
    elog_clear_register(0);
  }
  copy_text(c->segtype, sizeof c->segtype, segtype);
}

// One entry's samples into the repacketizer of a definition with a time window.
void put_repacketized(PacketDef *d, const Q330Chan *c, double rtime, double t, double dt, int nsamp,
                      const int *samples) {
  if (!d->rbuf) {
    d->rbuf = q330_repkt_create(d->suffix, d->subcode, d->orbtag ? d->orbtag->orbw : -1);
    if (!d->rbuf) elog_die(0, "q330_genc_orbpkts: q330_repkt_create() error.\n");
  }
  if (q330_repkt_put(d->rbuf, rtime, d->twin, c->net, c->sta, c->chan, c->loc, t, dt, c->calib,
                     c->calper, c->segtype, nsamp, samples) < 0)
    elog_complain(0, "q330_genc_orbpkts: q330_repkt_put() error.\n");
  if (myshutdown.load()) q330_repkt_flush(d->rbuf);
}

// One entry's samples as the definition's next packet channel (the packet and its
// channels reused from record to record).
void add_packet_channel(PacketDef *d, const Q330Chan *c, double t, double samprate, int nsamp,
                        const int *samples) {
  if (!d->pkt) {
    d->pkt = newPkt();
    d->pkt->pkttype = suffix2pkttype(d->suffix);
    if (!d->pkt->pkttype) elog_die(0, "q330_genc_orbpkts: newPkt() error.\n");
  }
  PktChannel *pc;
  if (d->output < maxtbl(d->pkt->channels)) {
    pc = static_cast<PktChannel *>(gettbl(d->pkt->channels, d->output));
  } else {
    pc = newPktChannel();
    pushtbl(d->pkt->channels, pc);
  }
  d->output++;
  copy_text(pc->net, sizeof pc->net, c->net);
  copy_text(pc->sta, sizeof pc->sta, c->sta);
  copy_text(pc->chan, sizeof pc->chan, c->chan);
  copy_text(pc->loc, sizeof pc->loc, c->loc);
  copy_text(pc->segtype, sizeof pc->segtype, c->segtype);
  pc->time = t;
  pc->samprate = samprate;
  pc->calib = c->calib;
  pc->calper = c->calper;
  if (pc->datasz < nsamp) {
    void *np = realloc(pc->data, static_cast<size_t>(nsamp) * sizeof(int32_t));
    if (!np) elog_die(1, "q330_genc_orbpkts: realloc() error.\n");
    pc->data = static_cast<int32_t *>(np);
    pc->datasz = nsamp;
  }
  pc->nsamp = nsamp;
  memcpy(pc->data, samples, static_cast<size_t>(nsamp) * sizeof(int32_t));
}

// The packets the record filled, one per definition without a time window.
void put_packets(Q330 *q330) {
  auto *defs = static_cast<Tbl *>(q330->user_data);
  for (long i = 0; i < maxtbl(defs); i++) {
    PacketDef *d = pdef_at(q330, i);
    if (!d || !d->pkt || d->output == 0 || d->twin >= 2) continue;
    d->pkt->nchannels = d->output;
    d->output = 0;
    put_packet(d->orbtag, d->pkt, d->subcode);
  }
}

}  // namespace

int q330_genc_orbpkts(Q330 *q330, void *q330data, int size) {
  const auto *rec = static_cast<const unsigned char *>(q330data);
  const Q330DLParams &p = q330->params;
  if (!rec || size < Q330_DATA_RECORD_HEADER) return -1;
  const uint32_t seconds = be_get32(rec + 12);
  if (seconds == 0) {
    if (p.verbose_log > 1) {
      elog_complain(0, "make_gen_pkt: Q330 data with no time tag - dropped.\n");
      q330_output(q330, Q330_OUT_LOG, "Q330 data with no time tag - dropped.\n");
    }
    return -1;
  }
  const double rtime = seconds + q330->epoch_2000 + be_get32(rec + 16) * 0.000001;
  int check = 1;
  const int nchans = be_get16(rec);
  int at = Q330_DATA_RECORD_HEADER;
  Muldrin *m = program(q330);
  for (int k = 0; k < nchans && at + 18 <= size; k++) {
    const unsigned char *e = rec + at;
    const int entry_size = be_get16(e + 2);
    if (entry_size < 18 || at + entry_size > size) break;
    at += entry_size;
    const bool ep = e[1] >= 10;
    Q330Chan *c = entry_channel(q330, e[0], e[1]);
    if (!c) continue;
    if (!note_output(q330, c, rtime, be_get16(e + entry_size - 2))) continue;
    double delay = be_get32(e + 4);
    if (ep) delay *= 20;
    const double t = rtime - delay * 0.000001;
    // Samples per second, or (negative) seconds per sample with one sample an entry.
    const int nsamp_raw = static_cast<int16_t>(be_get16(e + 8));
    if (nsamp_raw == 0) {
      q330_output(q330, Q330_OUT_LOG, "q330_genc_orbpkts: entry for %s with no samples skipped.\n",
                  c->channel_name);
      continue;
    }
    const double samprate = nsamp_raw > 0 ? nsamp_raw : -1.0 / nsamp_raw;
    const double dt = nsamp_raw > 0 ? 1.0 / nsamp_raw : -nsamp_raw;
    const int nsamp = nsamp_raw > 0 ? nsamp_raw : 1;
    if (c->calibfromdb && m && m->calib_stuff) {
      lookup_calib(m, c, t, check);
      check = 0;
    }
    const int32_t value = static_cast<int32_t>(be_get32(e + 12));
    if (entry_samples(e, entry_size, be_get16(e + 10), nsamp, value) < 0) continue;
    const int *samples = g_genc.samples.data();
    c->pf_dvalue = static_cast<float>(samples[0] * c->calib);
    PacketDef *d = c->user_data;
    if (d->twin > 1)
      put_repacketized(d, c, rtime, t, dt, nsamp, samples);
    else
      add_packet_channel(d, c, t, samprate, nsamp, samples);
  }
  put_packets(q330);
  return 0;
}

void q330_write_flush(Q330 *q330) {
  auto *defs = static_cast<Tbl *>(q330->user_data);
  for (long i = 0; i < maxtbl(defs); i++) {
    PacketDef *d = pdef_at(q330, i);
    if (d && d->rbuf) q330_repkt_flush(d->rbuf);
  }
  Q330DLParams &p = q330->params;
  if (p.verbose_log > 1)
    q330_output(q330, Q330_OUT_LOG, "DEBUGT: last good ack sequence = %d\n",
                q330->sequence_last_dack);
  Tbl *keys = p.status_chan_arr ? keysarr(p.status_chan_arr) : nullptr;
  auto status_chan = [&](long i) {
    return static_cast<Q330StatusChan *>(
        getarr(p.status_chan_arr, static_cast<char *>(gettbl(keys, i))));
  };
  {
    // Every channel's link time in one step: the state file reads them all at once.
    std::lock_guard<std::mutex> lock(q330->link_time_mutex);
    for (int s = 0; s < 8; s++)
      for (int ch = 0; ch < 6; ch++)
        p.data_chan[s][ch].last_link_time = p.data_chan[s][ch].last_output_time;
    for (int i = 0; i < 256; i++)
      if (p.ep_channels[i]) p.ep_channels[i]->last_link_time = p.ep_channels[i]->last_output_time;
    for (long i = 0; i < maxtbl(keys); i++)
      if (Q330StatusChan *sc = status_chan(i)) sc->last_link_time = sc->last_output_time;
  }
  double ref = 0;
  bool have_ref = false;
  auto mark = [&](Q330Chan *c, bool produced) {
    if (!c->user_data || c->first_output_time == 0 || !produced) return;
    if (!have_ref) {
      ref = c->last_link_time;
      have_ref = true;
    }
    if (p.verbose_log > 1) {
      if (c->last_link_time != ref)
        q330_output(q330, Q330_OUT_LOG, "DEBUGT: ragged edge on output at %s for %s (%d)\n",
                    ydhms(c->last_link_time).c_str(), c->channel_name, c->last_qdp_sequence);
      q330_output(q330, Q330_OUT_LOG, "DEBUGT: last data output at %s for %s (%d)\n",
                  ydhms(c->last_link_time).c_str(), c->channel_name, c->last_qdp_sequence);
    }
  };
  for (int s = 0; s < 8; s++)
    for (int ch = 0; ch < 6; ch++) mark(&p.data_chan[s][ch], p.data_chan[s][ch].outputthischan);
  for (int i = 0; i < 256; i++)
    if (p.ep_channels[i]) mark(p.ep_channels[i], true);
  for (long i = 0; i < maxtbl(keys); i++) {
    Q330StatusChan *sc = status_chan(i);
    if (!sc) continue;
    double first = sc->first_output_time;
    sc->first_output_time = 0;
    if (sc->output_wf_pdef && sc->output_wf_pdef->rbuf) {
      q330_repkt_flush(sc->output_wf_pdef->rbuf);
      if (p.verbose_log > 1 && sc->last_link_time != 0 && first != 0)
        q330_output(q330, Q330_OUT_LOG, "DEBUGT: last data output at %s for %s\n",
                    ydhms(sc->last_link_time).c_str(), sc->pfkey);
    }
  }
  freetbl(keys, nullptr);
}
