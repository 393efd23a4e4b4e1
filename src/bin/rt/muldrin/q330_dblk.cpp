// q330_dblk.cpp - data blockettes into per-second data records and state-of-health blocks;
// the rate codes and channel definitions. See q330_dblk.h for the record layout and locks.
#include "q330_dblk.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/arr.h"
#include "base/bigendian.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "q330.h"
#include "q330_opcmds.h"
#include "q330pkt.h"
#include "support/byteorder.h"

namespace {

// Codes 0x84-0x8A (low 4 bits 4-10) and their rates.
const double kHighRates[] = {200, 250, 300, 400, 500, 800, 1000};

// The rate of a code without a complaint. 0 or -1.
int byte_rate(unsigned char byte, double *samprate) {
  if (byte == 0xFF) {
    *samprate = 0.1;
    return 0;
  }
  if (byte <= 125) {
    *samprate = byte;
    return 0;
  }
  int low = byte & 0x0F;
  if ((byte & 0x80) && low >= 4 && low <= 10) {
    *samprate = kHighRates[low - 4];
    return 0;
  }
  return -1;
}

Q330Dblk *dblk_index[256];
Arr *data_status_defs_arr = nullptr;
Arr *status_defs_arr = nullptr;
std::once_flag dblk_once;

// Largest joined split block, in 32-bit words (map and data).
constexpr int SPLIT_WORDS_MAX = 1000;

std::string time_text(double epoch, const char *format) {
  char *s = epoch2str(epoch, format);
  std::string out = s ? s : "";
  free(s);
  return out;
}

// Makes room for `bytes` more behind data_out_offset, growing data_out by x1.2; a failed
// allocation ends the program with `who`'s message.
void reserve_out(Q330 *q330, int bytes, const char *who) {
  int need = q330->data_out_offset + bytes;
  if (need <= q330->data_out_size) return;
  int size = q330->data_out_size > 0 ? q330->data_out_size : 2000;
  while (size < need) size = static_cast<int>(size * 1.2) + (size < 5 ? 1 : 0);
  auto *p = static_cast<unsigned char *>(realloc(q330->data_out, static_cast<size_t>(size)));
  if (!p) elog_die(0, "%s: realloc() error.\n", who);
  memset(p + q330->data_out_size, 0, static_cast<size_t>(size - q330->data_out_size));
  q330->data_out = p;
  q330->data_out_size = size;
}

// Appends an entry with its fixed fields and `body` map-and-data bytes; returns it.
unsigned char *add_entry(Q330 *q330, int channel, int stream, uint32_t filter_delay, int nsamp,
                         int data_offset, int32_t value, const void *body, int body_size,
                         const char *who) {
  int size = 18 + body_size;
  reserve_out(q330, size, who);
  unsigned char *e = q330->data_out + q330->data_out_offset;
  e[0] = static_cast<unsigned char>(channel);
  e[1] = static_cast<unsigned char>(stream);
  be_put16(e + 2, static_cast<unsigned int>(size));
  be_put32(e + 4, filter_delay);
  be_put16(e + 8, static_cast<unsigned int>(nsamp) & 0xFFFF);
  be_put16(e + 10, static_cast<unsigned int>(data_offset));
  be_put32(e + 12, static_cast<uint32_t>(value));
  if (body_size > 0) memcpy(e + 16, body, static_cast<size_t>(body_size));
  be_put16(e + size - 2, q330->qdp_sequence);
  q330->data_out_nchans++;
  q330->data_out_offset += size;
  return e;
}

uint32_t fix_delay(const Q330FIXPkt &fix, int physical, int stream) {
  return physical > 2 ? fix.chans_4to6_bit_frequency_delay[stream]
                      : fix.chans_1to3_bit_frequency_delay[stream];
}

// The serial number parameter (16 hex digits) into the header words, when both are 0.
void fill_serial(Q330 *q330) {
  unsigned char *h = q330->data_out;
  if (be_get32(h + 4) != 0 || be_get32(h + 8) != 0) return;
  const char *sn = q330->params.q330_serial_number;
  if (!sn) return;
  unsigned long long v = strtoull(sn, nullptr, 16);
  be_put32(h + 4, static_cast<uint32_t>(v >> 32));
  be_put32(h + 8, static_cast<uint32_t>(v & 0xFFFFFFFFu));
}

void build_tables() {
  for (int i = 0; i < Q330_DBLK_ROWS; i++) {
    Q330Dblk &row = q330_dblk[i];
    row.index = i;
    row.status_defs_tbl = newtbl(0);
    if (!row.status_defs_tbl) elog_die(0, "q330_dblk_init: newtbl() error for %d\n", i);
    for (const Q330DataStatusDef &d : q330_data_status_defs)
      if (d.dblk_channel == row.channel)
        pushtbl(row.status_defs_tbl, const_cast<Q330DataStatusDef *>(&d));
    dblk_index[row.channel] = &row;
  }
  data_status_defs_arr = newarr(nullptr);
  if (!data_status_defs_arr)
    elog_die(0, "q330_dblk_init: newarr(q330_data_status_defs_arr) error.\n");
  for (const Q330DataStatusDef &d : q330_data_status_defs)
    setarr(data_status_defs_arr, d.name, const_cast<Q330DataStatusDef *>(&d));
  status_defs_arr = newarr(nullptr);
  if (!status_defs_arr) elog_die(0, "q330_dblk_init: newarr(q330_status_defs_arr) error.\n");
  for (Q330StatusDef &d : q330_status_defs) {
    d.index += Q330_DBLK_ROWS;
    setarr(status_defs_arr, d.name, &d);
  }
}

// The parameter par1..par4 (param_number 0..3) of a decoded blockette of layout 1-5.
uint32_t blockette_param(int type, const void *v, int param_number) {
  switch (type) {
    case 1: {
      auto *b = static_cast<const Q330DATABLK1Pkt *>(v);
      const uint32_t p[4] = {b->par1, b->par2, b->par3, 0};
      return p[param_number & 3];
    }
    case 2: {
      auto *b = static_cast<const Q330DATABLK2Pkt *>(v);
      const uint32_t p[4] = {b->par1, b->par2, 0, 0};
      return p[param_number & 3];
    }
    case 3: {
      auto *b = static_cast<const Q330DATABLK3Pkt *>(v);
      const uint32_t p[4] = {b->par1, b->par2, b->par3, b->par4};
      return p[param_number & 3];
    }
    case 4: {
      auto *b = static_cast<const Q330DATABLK4Pkt *>(v);
      const uint32_t p[4] = {b->par1, b->par2, b->par3, 0};
      return p[param_number & 3];
    }
    case 5: {
      auto *b = static_cast<const Q330DATABLK5Pkt *>(v);
      const uint32_t p[4] = {b->par1, b->par2, b->par3, b->par4};
      return p[param_number & 3];
    }
    default:
      return 0;
  }
}

uint32_t sign_extend(uint32_t value, int bits) {
  uint32_t sign = 1u << (bits - 1);
  uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  value &= mask;
  return (value & sign) ? (value | ~mask) : value;
}

// Fills the state-of-health block of row `row` from the decoded blockette.
void build_status(Q330 *q330, const Q330Dblk &row, int type, const void *data, Q330DataStatus *ds) {
  *ds = Q330DataStatus{};
  long ndefs = maxtbl(row.status_defs_tbl);
  ds->n = static_cast<int>(ndefs < Q330_DATA_STATUS_ENTRIES ? ndefs : Q330_DATA_STATUS_ENTRIES);
  ds->time = q330->ch98_time;
  ds->index = row.index;
  for (int l = 0; l < ds->n; l++) {
    auto *def = static_cast<const Q330DataStatusDef *>(gettbl(row.status_defs_tbl, l));
    Q330DataStatusEntry &e = ds->entries[l];
    e.stdef = def;
    e.type = 2;
    e.value = 0;
    if (def->type == 6) continue;
    if (def->type == 15) {
      e.value = static_cast<uint32_t>(std::lround(q330->ch98_lcq * 10.0));
      continue;
    }
    uint32_t value = blockette_param(type, data, def->param_number) & def->bitmask;
    if (def->bitshift > 0) value = def->bitshift >= 32 ? 0 : value >> def->bitshift;
    if (def->type == 2 || def->type == 11) {
      if (def->bitmask == 0xFF)
        value = sign_extend(value, 8);
      else if (def->bitmask == 0xFFFF)
        value = sign_extend(value, 16);
      else if (def->bitmask == 0xFFFFFF)
        value = sign_extend(value, 24);
    }
    if (def->type == 8 && value > 500000) value -= 1000000;
    if (def->type >= 17 && def->type <= 19) {
      uint32_t flag = (blockette_param(type, data, 0) >> (2 * (def->type - 17))) & 3;
      if (flag == 2)
        value = sign_extend(value, 16);
      else if (flag != 1)
        e.type = 3;
    }
    if (def->dt == -3) {
      uint32_t par1 = blockette_param(type, data, 0), par2 = blockette_param(type, data, 1);
      e.dt = static_cast<double>(par1 & 0xFF);
      e.delay = par2 * 0.005;
      e.calib = 0.0;
      snprintf(e.segtype, sizeof e.segtype, "-");
      int code = row.channel - 0x90;  // 0-7
      int sub = code & 1;
      {
        std::lock_guard<std::mutex> lock(q330->status.status_pkt_mutex);
        const Q330SCHANSTATPkt &sc = q330->status.status_pkt.schan;
        // Only a slot the last answer filled counts; a stale or absent one is not used.
        if (sc.number_of_subblocks >= 1 && sc.filled[sub] && sc.subblock[sub].sensor_type == 1) {
          const Q330SCHANSTATSubblock &sb = sc.subblock[sub];
          const double calibs[4] = {sb.calibP, sb.calibT, sb.calibH, sb.calibET};
          const char *segs[4] = {sb.segtypeP, sb.segtypeT, sb.segtypeH, sb.segtypeET};
          e.calib = calibs[code >> 1];
          snprintf(e.segtype, sizeof e.segtype, "%.3s", segs[code >> 1]);
        }
      }
      if (q330->params.debug_data > 2)
        q330_output(q330, Q330_OUT_LOG, "DEBUGD: %2.2X(serial%d): calib=%.4f, segtype=%s data=%d\n",
                    row.channel, code, e.calib, e.segtype,
                    static_cast<int>(blockette_param(type, data, 2)));
    }
    e.value = value;
    if (row.channel == 0x00 && strcmp(def->name, "data_gps") == 0) {
      const char *name = value < 16 ? def->entries[value].name : nullptr;
      if (!name || strcmp(name, "cs") != 0) ds->n--;
    }
  }
  if (row.channel == 0xA8 && q330->params.debug_data > 3)
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: %2.2X(calstat): abort=%d, status=0x%X\n", row.channel,
                static_cast<int>(ds->entries[0].value), ds->entries[1].value);
}

// Adds one compressed block as a channel entry; shared by layout 6 and joined split blocks.
int add_compressed(Q330 *q330, int code, int channel, int stream, int32_t previous,
                   int size_of_cmap, int size_of_data, const unsigned int *data) {
  int nsamp =
      q330_nsamps(static_cast<uint16_t>(size_of_data), static_cast<uint16_t>(size_of_cmap), data);
  if (nsamp < 0) {
    elog_complain(0, "q330_process_DBLK_DATA_COMPR: bad compressed block.\n");
    return -1;
  }
  uint32_t delay;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    delay = fix_delay(q330->config.config_pkt.fix, channel, stream);
  }
  add_entry(q330, channel, stream, delay, nsamp, 16 + size_of_cmap, previous, data,
            size_of_cmap + size_of_data, "q330_process_DBLK_DATA_COMPR");
  if (q330->params.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(datacmp): channel=%d, stream=%d, nsamp=%d, nchannels=%d\n", code,
                channel, stream, nsamp, q330->data_out_nchans);
  return 0;
}

void reset_assembly(Q330ChannelDat &cd) {
  cd.nsegs = 0;
  cd.nsegs_expected = 0;
  cd.received = 0;
  for (Q330ChannelDatSegment &s : cd.segment) s.nbytes = 0;
}

}  // namespace

// ---- Tables and lookups ------------------------------------------------------------------

int q330_dblk_init() {
  std::call_once(dblk_once, build_tables);
  return 0;
}

const void *q330_get_status_from_name(const char *name, int *type) {
  q330_dblk_init();
  if (!name) return nullptr;
  if (void *d = getarr(data_status_defs_arr, name)) {
    if (type) *type = 2;
    return d;
  }
  if (void *d = getarr(status_defs_arr, name)) {
    if (type) *type = 1;
    return d;
  }
  return nullptr;
}

Tbl *q330_channel2stdefs(unsigned char channel) {
  q330_dblk_init();
  Q330Dblk *row = dblk_index[channel];
  return row ? row->status_defs_tbl : nullptr;
}

// ---- Dispatch --------------------------------------------------------------------------------

int q330_process_dblk(Q330 *q330, unsigned char channel, int type, void *data) {
  q330_dblk_init();
  if (q330->params.debug_data > 3)
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: q330_process_dblk: processing channel %2.2X\n",
                channel);
  Q330Dblk *row = dblk_index[channel];
  if (!row) {
    char msg[128];
    snprintf(msg, sizeof msg,
             "q330_process_dblk: %s: Processing for channel 0x%2.2x not defined.\n",
             q330->params.dlname ? q330->params.dlname : "", channel);
    elog_complain(0, "%s", msg);
    return -1;
  }
  if (channel == 0xA1 && q330->unit_nchannels <= 3) return 0;
  if (row->process) {
    int r = row->process(type, data, q330);
    if (r == Q330_OUT_BUSY) return Q330_OUT_BUSY;
    if (r < 0) return -1;
  }
  if (maxtbl(row->status_defs_tbl) > 0 && q330->out_callback) {
    Q330DataStatus ds;
    build_status(q330, *row, type, data, &ds);
    q330->out_callback(q330, Q330_OUT_DATASTATUS, &ds, static_cast<int>(sizeof ds));
  }
  return 0;
}

// ---- Time tag and record delivery ---------------------------------------------------------

int q330_flush_data(Q330 *q330, int out, int flush) {
  bool deliver = out && q330->out_callback && q330->data_out_nchans > 0;
  if (deliver) {
    int busy = 0;
    while (q330->out_callback(q330, Q330_OUT_QUERY, nullptr, 0) == Q330_OUT_BUSY) {
      if (++busy >= 11) return Q330_OUT_BUSY;
      myusleep(0.1);
    }
    fill_serial(q330);
    be_put16(q330->data_out, q330->data_out_nchans);
    q330->out_callback(q330, Q330_OUT_DATA, q330->data_out, q330->data_out_offset);
    if (!flush) {
      // Delivered but kept open: drop the entries so that the next time tag does not
      // deliver them a second time; the time stays.
      q330->data_out_offset = Q330_DATA_RECORD_HEADER;
      q330->data_out_nchans = 0;
    }
  }
  if (out && q330->ch98_time > 0) {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    if (q330->status.ta_tput) taverage_put(q330->status.ta_tput, 1.0);
    if (q330->ch98_time_next > 0 && q330->ch98_time > q330->ch98_time_next + 0.001) {
      double gap = q330->ch98_time - q330->ch98_time_next;
      q330->status.datagap += gap;
      if (q330->status.ta_datagap_24h) taverage_put(q330->status.ta_datagap_24h, gap);
      if (q330->status.ta_datagap_1h) taverage_put(q330->status.ta_datagap_1h, gap);
    }
    q330->ch98_time_next = q330->ch98_time + 1.0;
  }
  if (flush && q330->ch98_time > 0) {
    fill_serial(q330);
    memset(q330->data_out, 0, 4);
    memset(q330->data_out + 12, 0, static_cast<size_t>(q330->data_out_size - 12));
  }
  return 0;
}

int q330_process_DBLK_DSAMP_TIME(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK5Pkt *>(vdblk);
  if (q330_flush_data(q330, 1, 1) == Q330_OUT_BUSY) return Q330_OUT_BUSY;
  for (Q330ChannelDat &cd : q330->chan_dats) reset_assembly(cd);
  // One unsigned 32-bit sum, so the header and ch98_time agree after a wrap.
  uint32_t seconds = q330->data_record_sequence + b->par3;
  unsigned char *h = q330->data_out;
  be_put32(h + 12, seconds);
  be_put32(h + 16, b->par4);
  h[3] = b->par1;
  q330->data_out_offset = Q330_DATA_RECORD_HEADER;
  q330->data_out_nchans = 0;
  q330->ch98_time = q330->epoch_2000 + seconds + b->par4 * 0.000001;
  q330->ch98_time_data_sequence = q330->data_record_sequence;
  // par4 may carry up to 4295 s, so the rounded sum wraps like the header's seconds.
  double q330_seconds = std::floor(seconds + b->par4 * 0.000001 + 0.5);
  if (q330_seconds >= 4294967296.0) q330_seconds -= 4294967296.0;
  q330->ch98_time_q330 = static_cast<uint32_t>(q330_seconds);
  q330->ch98_time_qdp_sequence_first = q330->qdp_sequence;

  int64_t drift = b->par4;
  if (b->par4 > 500000) drift -= 1000000;
  int64_t d = drift < 0 ? -drift : drift;
  const Q330DLParams &p = q330->params;
  if ((b->par1 & 0x80) || (b->par1 & 0x0E)) {
    switch (b->par1 & 0xC0) {
      case 0xC0:
        q330->ch98_lcq = p.lcq_locked;
        break;
      case 0x40:
        q330->ch98_lcq = p.lcq_hold;
        break;
      case 0x00:
        q330->ch98_lcq = p.lcq_off;
        break;
      default:
        if (d <= 5)
          q330->ch98_lcq = p.lcq_track + (p.lcq_locked - p.lcq_track) * 0.9;
        else if (d > 100)
          q330->ch98_lcq = p.lcq_track;
        else
          q330->ch98_lcq = p.lcq_track + (p.lcq_locked - p.lcq_track) * 0.9 *
                                             (1.0 - static_cast<double>(d - 5) / 95.0);
        break;
    }
  } else if (b->par1 & 0x14) {
    double lcq = p.lcq_high;
    if (p.lcq_degrade_time != 0) lcq -= b->par2 / p.lcq_degrade_time;
    q330->ch98_lcq = lcq < p.lcq_low ? p.lcq_low : lcq;
  } else {
    q330->ch98_lcq = p.lcq_never;
  }
  if (p.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: 98(timetag): time=%s, qual=%d, loss=%d, drft=%d\n",
                time_text(std::floor(q330->ch98_time + 0.5), "%Y%j %H:%M:%S").c_str(), b->par1,
                b->par2, static_cast<int>(d > INT32_MAX ? INT32_MAX : d));
  return 0;
}

// ---- Sample blockettes ---------------------------------------------------------------------

int q330_process_DBLK_DATA_SINGLE(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK4Pkt *>(vdblk);
  int channel = b->channel & 7;
  int stream = -1;
  double rate = 0;
  uint32_t delay = 0;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    const Q330FIXPkt &fix = q330->config.config_pkt.fix;
    for (int s = 0; s < 8 && stream < 0; s++) {
      double r;
      if (byte_rate(fix.bit_frequency[s], &r) != 0) continue;
      if ((b->par1 == 1 && r == 1.0) || (b->par1 != 1 && r > 0 && r < 1.0)) {
        stream = s;
        rate = r;
      }
    }
    if (stream >= 0) delay = fix_delay(fix, channel, stream);
  }
  if (stream < 0) {
    q330_output_log(q330, 31, "Single value for c=%d dropped: no stream of its rate.\n", channel);
    return 0;
  }
  int nsamp = rate < 1.0 ? static_cast<int>(-(1.0 / rate + 0.1)) : 1;
  add_entry(q330, channel, stream, delay, nsamp, 12, static_cast<int32_t>(b->par3), nullptr, 0,
            "q330_process_DBLK_DATA_SINGLE");
  if (q330->params.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(singlec): channel=%d, srate=%d, data=%d, nchannels=%d\n", b->channel,
                channel, static_cast<int>(rate), static_cast<int32_t>(b->par3),
                q330->data_out_nchans);
  return 0;
}

int q330_process_DBLK_DATA_COMPR(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK6Pkt *>(vdblk);
  return add_compressed(q330, b->channel, b->channel & 7, b->frequency & 7, b->previous_sample,
                        b->size_of_cmap, b->size_of_data, b->data);
}

int q330_process_DBLK_DATA_COMPR_CONT(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK7Pkt *>(vdblk);
  int channel = b->channel & 7, stream = b->frequency & 7, seg = b->frequency >> 3;
  int last = (b->blockette_size & 0x8000) != 0;
  if (q330->params.debug_data > 2) {
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(datacmm): channel=%d, stream=%d, seg=%d, last=%d\n", b->channel,
                channel, stream, seg, last);
  }
  if (channel > 5) {
    elog_complain(0, "q330_process_DBLK_COMPR_CONT: channel %d out of range.\n", channel);
    return -1;
  }
  Q330ChannelDat &cd = q330->chan_dats[channel * 8 + stream];
  if (q330->params.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(datacmm): channel=%d, stream=%d, seg=%d, last=%d %d %d\n",
                b->channel, channel, stream, seg, last, q330->data_record_sequence,
                cd.data_record_sequence);
  if (cd.segment.size() < 2) cd.segment.resize(2);
  if (static_cast<size_t>(seg) >= cd.segment.size())
    cd.segment.resize(static_cast<size_t>(seg) + 1);
  if (cd.data_record_sequence != q330->data_record_sequence) {
    if (cd.nsegs != 0)
      q330_output_log(q330, 31, "Split data for c=%d st=%d discarded due to missing segments.\n",
                      channel, stream);
    reset_assembly(cd);
  }
  cd.data_record_sequence = q330->data_record_sequence;
  uint32_t bit = 1u << seg;
  if (!(cd.received & bit)) {
    cd.received |= bit;
    cd.nsegs++;
  }
  if (last) cd.nsegs_expected = static_cast<uint16_t>(seg + 1);
  Q330ChannelDatSegment &slot = cd.segment[static_cast<size_t>(seg)];
  if (slot.data.size() < b->size_of_data) slot.data.resize(b->size_of_data, 0);
  slot.nbytes = b->size_of_data;
  if (b->size_of_data > 0) memcpy(slot.data.data(), b->data, b->size_of_data);

  // Complete once the last segment is known and every slot before it is held.
  if (cd.nsegs_expected == 0) return 0;
  uint32_t want = cd.nsegs_expected >= 32 ? 0xFFFFFFFFu : (1u << cd.nsegs_expected) - 1;
  if ((cd.received & want) != want) return 0;
  int nsegs = cd.nsegs_expected;

  int total = 0;
  for (int i = 0; i < nsegs; i++) total += cd.segment[static_cast<size_t>(i)].nbytes;
  const Q330ChannelDatSegment &s0 = cd.segment[0];
  int32_t previous = 0;
  int o = 0, size_of_data = -1;
  if (s0.nbytes >= 6) {
    previous = static_cast<int32_t>(be_get32(s0.data.data()));
    o = be_get16(s0.data.data() + 4);
    size_of_data = total + 4 - o;
  }
  // The data offset must lie inside slot 0 and leave no more map bytes than the block has.
  if (s0.nbytes < 6 || o < 10 || o - 4 > s0.nbytes || size_of_data < 0 ||
      o - 10 > q330_cmap_size(size_of_data)) {
    reset_assembly(cd);
    q330_output_log(q330, 31, "Split data for c=%d st=%d dropped: bad data offset.\n", channel,
                    stream);
    return -1;
  }
  int size_of_cmap = q330_cmap_size(size_of_data);
  int words = (size_of_cmap + size_of_data) / 4;
  if (words > SPLIT_WORDS_MAX || size_of_cmap + size_of_data > SPLIT_WORDS_MAX * 4) {
    reset_assembly(cd);
    q330_output_log(q330, 31, "q330_process_DBLK_COMPR_CONT: data buffer too small for %d.\n",
                    words);
    elog_complain(0, "q330_process_DBLK_COMPR_CONT: data buffer too small for %d.\n", words);
    return -1;
  }
  std::vector<unsigned int> buf(SPLIT_WORDS_MAX, 0);
  auto *bytes = reinterpret_cast<unsigned char *>(buf.data());
  memcpy(bytes, s0.data.data() + 6, static_cast<size_t>(o - 10));
  int at = size_of_cmap;
  memcpy(bytes + at, s0.data.data() + (o - 4), static_cast<size_t>(s0.nbytes - (o - 4)));
  at += s0.nbytes - (o - 4);
  for (int i = 1; i < nsegs; i++) {
    const Q330ChannelDatSegment &s = cd.segment[static_cast<size_t>(i)];
    if (s.nbytes > 0) memcpy(bytes + at, s.data.data(), s.nbytes);
    at += s.nbytes;
  }
  reset_assembly(cd);
  int r = add_compressed(q330, b->channel, channel, stream, previous, size_of_cmap, size_of_data,
                         buf.data());
  if (cd.nsegs != 0) q330_output_log(q330, 31, "ERROR: nsegs got overwritten!.\n");
  return r;
}

int q330_process_DBLK_SPECIAL_EP_DATA(int type, void *vdblk, Q330 *q330) {
  return type == 13 ? q330_process_DBLK_SPECIAL_EP1_DATA(vdblk, q330)
                    : q330_process_DBLK_SPECIAL_EP2_DATA(vdblk, q330);
}

int q330_process_DBLK_SPECIAL_EP1_DATA(void *vdblk, Q330 *q330) {
  auto *b = static_cast<Q330DATABLKEP1Pkt *>(vdblk);
  const Q330Chan *ep = q330->params.ep_channels[b->epchannel];
  uint32_t delay = ep ? ep->filter_delay : 0;
  add_entry(q330, b->epchannel, 10, delay, 1, 12, b->data, nullptr, 0,
            "q330_process_DBLK_SPECIAL_EP1_DATA");
  if (q330->params.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(ep): epchannel=%d, srate=1, data=%d, nchannels=%d, delay=%d\n",
                b->channel, b->epchannel, b->data, q330->data_out_nchans, static_cast<int>(delay));
  return 0;
}

int q330_process_DBLK_SPECIAL_EP2_DATA(void *vdblk, Q330 *q330) {
  auto *b = static_cast<Q330DATABLKEP2Pkt *>(vdblk);
  const Q330Chan *ep = q330->params.ep_channels[b->epchannel];
  if (!ep) return -1;
  // An EP2 block holds one second of the channel: its count is the configured rate of the
  // parameter file's EP channel (a reader that expands a different count skips the entry).
  add_entry(q330, b->epchannel, 10, ep->filter_delay, ep->samprate, 16 + b->size_of_cmap,
            b->previous_sample, b->data, b->size_of_cmap + b->size_of_data,
            "q330_process_DBLK_DATA_COMPR");
  if (q330->params.debug_data > 2)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(ep): epchannel=%d, srate=%d, nchannels=%d, delay=%d\n", b->channel,
                b->epchannel, ep->samprate & 0xFFFF, q330->data_out_nchans,
                static_cast<int>(ep->filter_delay));
  return 0;
}

// ---- Calibration, CNP and configuration changes ----------------------------------------------

namespace {

// Rows for every stream with a valid rate and every channel of the parameters that is
// produced and has a packet definition.
void cal_rows(Q330 *q330, const char *who, const Q330CalRow &proto, unsigned int monitor_bitmap) {
  uint8_t codes[8];
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    memcpy(codes, q330->config.config_pkt.fix.bit_frequency, sizeof codes);
  }
  for (int stream = 0; stream < 8; stream++) {
    double rate;
    if (q330_byte2samprate(codes[stream], &rate) != 0) {
      elog_complain(0, "%s: q330_byte2samprate() error.\n", who);
      continue;
    }
    for (int physical = 0; physical < 6; physical++) {
      const Q330Chan &c = q330->params.data_chan[stream][physical];
      if (!c.outputthischan || !c.user_data) continue;
      Q330CalRow row = proto;
      row.net = c.net;
      row.sta = c.sta;
      row.chan = c.chan;
      row.loc = c.loc;
      row.input = (monitor_bitmap >> physical) & 1 ? "d" : "s";
      row.physical = physical;
      row.samprate = rate;
      q330->cal_rows.push_back(row);
    }
  }
}

}  // namespace

int q330_process_DBLK_SPECIAL_CAL(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK8Pkt *>(vdblk);
  q330->cal_rows.clear();
  q330_output_log(q330, -1,
                  "Calibration start: waveform=0x%X, amplitude=%d, duration=%d, calbitmap=0x%X, "
                  "monbitmap=0x%X, period=%d\n",
                  b->waveform, b->amplitude, b->duration, b->calibration_bitmap, b->monitor_bitmap,
                  b->frequency_divider);
  if (q330->params.debug_data > 3)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: %2.2X(calstart): waveform=0x%X, amplitude=%d, duration=%d, "
                "calbitmap=0x%X, monbitmap=0x%X, period=%d\n",
                b->channel, b->waveform, b->amplitude, b->duration, b->calibration_bitmap,
                b->monitor_bitmap, b->frequency_divider);
  if (q330->ch98_time <= 0) return 0;
  Q330CalRow row{};
  row.time = q330->ch98_time;
  row.endtime = row.time + b->duration;
  row.settle = row.trailer = -1.0;
  if (q330->ch98_time_q330 == q330->calcache.starting_time &&
      b->waveform == q330->calcache.waveform) {
    row.settle = q330->calcache.settling_time;
    row.trailer = q330->calcache.trailer_time;
  }
  std::string calseq = std::string(q330->params.dlname ? q330->params.dlname : "") + "-" +
                       time_text(std::floor(q330->ch98_time + 0.5), "%Y%j:%H:%M:%S");
  if (calseq.size() > 25) calseq.resize(25);
  snprintf(q330->lastcal_calseq, sizeof q330->lastcal_calseq, "%s", calseq.c_str());
  q330->lastcal_endtime = row.endtime;
  static const char *const kinds[] = {"sine", "red", "white", "step", "rbc"};
  row.type = (b->waveform & 7) < 5 ? kinds[b->waveform & 7] : "?";
  if (b->waveform & 0x40) row.type += ",neg";
  if (b->waveform & 0x80) row.type += ",auto";
  char bm[16];
  snprintf(bm, sizeof bm, "0x%X", b->calibration_bitmap);
  row.bitmap = bm;
  row.calseq = calseq;
  row.error = "ok";
  row.frequency = b->frequency_divider ? 1.0 / b->frequency_divider : 0.0;
  row.amplitude = 5.0 / std::pow(2.0, b->amplitude);
  cal_rows(q330, "q330_process_DBLK_SPECIAL_CAL", row, b->monitor_bitmap);
  q330_output_cal_rows(q330, "q330_process_DBLK_SPECIAL_CAL");
  return 0;
}

int q330_process_DBLK_SPECIAL_CAL_ABORT(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLK9Pkt *>(vdblk);
  q330->cal_rows.clear();
  q330_output_log(q330, -1, "Calibration aborted: calbitmap=0x%X, monbitmap=0x%X\n",
                  b->calibration_bitmap, b->monitor_bitmap);
  if (q330->params.debug_data > 3)
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: %2.2X(calabort): calbitmap=0x%X, monbitmap=0x%X\n",
                b->channel, b->calibration_bitmap, b->monitor_bitmap);
  if (q330->ch98_time <= 0) return 0;
  if (q330->lastcal_calseq[0] == '\0') return 0;
  if (q330->ch98_time <= q330->lastcal_endtime + 60.0) {
    Q330CalRow row{};
    row.time = q330->ch98_time;
    row.endtime = q330->lastcal_endtime;
    row.calseq = q330->lastcal_calseq;
    row.type = "-";
    row.error = "err";
    char bm[16];
    snprintf(bm, sizeof bm, "0x%X", b->calibration_bitmap);
    row.bitmap = bm;
    row.settle = row.trailer = -1.0;
    cal_rows(q330, "q330_process_DBLK_SPECIAL_CAL_ABORT", row, b->monitor_bitmap);
    q330_output_cal_rows(q330, "q330_process_DBLK_SPECIAL_CAL_ABORT");
  }
  q330->lastcal_calseq[0] = '\0';
  q330->lastcal_endtime = 0;
  return 0;
}

int q330_process_DBLK_SPECIAL_CNP_DATA(int type, void *vdblk, Q330 *q330) {
  (void)type;
  (void)vdblk;
  q330_output_log(q330, 34, "CNP data block received.\n");
  return 0;
}

int q330_process_DBLK_SPECIAL_CONFIG_CHANGE(int type, void *vdblk, Q330 *q330) {
  (void)type;
  auto *b = static_cast<Q330DATABLKBPkt *>(vdblk);
  int verbose = q330->params.verbose_log > 1;
  int size = b->blockette_size > 4 ? b->blockette_size - 4 : 0;
  if (size > Q330_BLK_DATA_MAX) size = Q330_BLK_DATA_MAX;
  unsigned char *cursor = b->data;
  switch (b->structure_type) {
    case 1: {
      if (verbose) {
        q330_output_log(q330, 35, "Data port configuration change received: GLOB.\n");
        q330_output_log(q330, 35, "Resetting C1_GLOB config structure.\n");
      }
      std::lock_guard<std::mutex> lock(q330->config.config_mutex);
      Q330GLOBPkt glob = q330->config.config_pkt.glob;
      if (q330_unstuff_qpkt(0xA6, &glob, size < 160 ? size : 160, &cursor) == 0)
        q330->config.config_pkt.glob = glob;
      break;
    }
    case 2: {
      if (verbose) {
        q330_output_log(q330, 35, "Data port configuration change received: FIX.\n");
        q330_output_log(q330, 35, "Resetting C1_FIX config structure.\n");
      }
      std::lock_guard<std::mutex> lock(q330->config.config_mutex);
      Q330FLGSPkt &cp = q330->config.config_pkt;
      Q330FIXPkt fix = cp.fix;
      if (q330_unstuff_qpkt(0xA7, &fix, size < 188 ? size : 188, &cursor) == 0) cp.fix = fix;
      q330->unit_nchannels = cp.fix.qapchp_2_serial_number != 0 ? 6 : 3;
      int n = 0;
      for (int physical = 0; physical < q330->unit_nchannels; physical++)
        for (int stream = 0; stream < 8; stream++) {
          Q330ChannelDef def{};
          if (q330_get_channel_def_from_LOG(q330, &cp.fix, &cp.log, physical, stream, &def) == 1)
            q330->chan_defs[n++] = def;
        }
      q330->nchans = n;
      break;
    }
    default: {
      static const char *const names[] = {"AUX", "SER1", "SER2"};
      int st = b->structure_type;
      if (verbose)
        q330_output_log(q330, 35, "Data port configuration change received: %s.\n",
                        st >= 3 && st <= 5 ? names[st - 3] : "Unknown");
      return 0;
    }
  }
  elog_clear_register(0);
  return 0;
}

// ---- Log lines --------------------------------------------------------------------------------

int q330_output_log(Q330 *q330, int type, const char *fmt, ...) {
  char msg[Q330_OUTPUT_MSG_MAX];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  double t = std::floor(q330->ch98_time + 0.5);
  if (type >= 0 && type < Q330_LOG_BUFFER_SIZE) {
    Q330LogBufferEntry &slot = q330->log_buffer[type];
    if (slot.msg == msg) {
      slot.count++;
      return 0;
    }
    slot.msg = msg;
    slot.count = 0;
    slot.time = q330->ch98_time;
  }
  q330_output(q330, Q330_OUT_LOG, "LOG: %s: %s", time_text(t, "%Y%j %H:%M:%S").c_str(), msg);
  return 0;
}

// ---- Channel definitions and rate codes ------------------------------------------------------

int q330_get_channel_def_from_LOG(Q330 *q330, Q330FIXPkt *fix, Q330LOGPkt *log, int physical,
                                  int stream, Q330ChannelDef *chan) {
  if (physical < 0 || physical >= q330->unit_nchannels || physical > 5) {
    elog_complain(0, "q330_get_channel_def_from_LOG: 'physical' argument out of range.\n");
    return -1;
  }
  if (stream < 0 || stream > 7) {
    elog_complain(0, "q330_get_channel_def_from_LOG: 'stream' argument out of range.\n");
    return -1;
  }
  if (!(log->channel_freqs[physical] & (1u << stream))) return 0;
  double rate;
  if (q330_byte2samprate(fix->bit_frequency[stream], &rate) != 0) {
    elog_complain(0, "q330_get_channel_def_from_LOG: q330_byte2samprate() error.\n");
    return 0;
  }
  chan->physical = physical;
  chan->stream = stream;
  chan->samprate = rate;
  chan->tdelay = static_cast<int>(fix_delay(*fix, physical, stream));
  return 1;
}

int q330_chg_channel_def_to_LOG(Q330 *q330, Q330FIXPkt *fix, Q330ChannelDef *chan, Q330LOGPkt *log,
                                int how) {
  if (chan->physical < 0 || chan->physical >= q330->unit_nchannels || chan->physical > 5) {
    elog_complain(0, "q330_chg_channel_def_to_LOG: 'physical' argument out of range.\n");
    return -1;
  }
  unsigned char code;
  if (q330_samprate2byte(chan->samprate, &code) != 0) {
    elog_complain(0, "q330_chg_channel_def_to_LOG: q330_samprate2byte() error.\n");
    return -1;
  }
  int bit = -1;
  for (int s = 0; s < 8 && bit < 0; s++)
    if (fix->bit_frequency[s] == code) bit = s;
  if (bit < 0) {
    elog_complain(0, "q330_chg_channel_def_to_LOG: Cannot find bit_frequency 0x%x.\n", code);
    return -1;
  }
  uint16_t &f = log->channel_freqs[chan->physical];
  if (how == 1) {
    f = static_cast<uint16_t>(f & ~(1u << bit));
  } else if (how == 2) {
    f = static_cast<uint16_t>(f | (1u << bit));
  } else {
    elog_complain(0, "q330_chg_channel_def_to_LOG: Unrecognized how argument.\n");
    return -1;
  }
  return 1;
}

int q330_byte2samprate(unsigned char byte, double *samprate) {
  if (byte_rate(byte, samprate) == 0) return 0;
  elog_complain(0, "q330_byte2samprate: illegal byte_frequency value (0x%x).\n", byte);
  return -1;
}

int q330_samprate2byte(double samprate, unsigned char *byte) {
  if (samprate == 0) {
    *byte = 0;
    return 0;
  }
  if (samprate == 0.1) {
    *byte = 0xFF;
    return 0;
  }
  if (std::isfinite(samprate) && samprate > 0 && samprate < 1e6) {
    int n = static_cast<int>(samprate + 0.5);
    if (n == samprate && n > 0) {
      if (n <= 125) {
        *byte = static_cast<unsigned char>(n);
        return 0;
      }
      for (int i = 0; i < 7; i++)
        if (kHighRates[i] == n) {
          *byte = static_cast<unsigned char>(0x84 + i);
          return 0;
        }
    }
  }
  elog_complain(0, "q330_samprate2byte: illegal samprate value (%.3f).\n", samprate);
  return -1;
}
