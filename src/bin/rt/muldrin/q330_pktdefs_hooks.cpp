// q330_pktdefs_hooks.cpp - the irregular QDP payloads behind the hooks of the command
// table (status sub-blocks, C1_FLGS, C1_GLOB, routing table, memory, EP delays and
// configuration, ping), the GPS position texts and the token area.
//
// Every decode hook is bounded by the payload size it is given. Sizes, offsets and counts
// from the wire never move the cursor backwards or past the payload; a block that does not
// fit returns -1 and leaves the caller's structure as it was (decoding goes to a copy that
// is stored only on success).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/bigendian.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "q330_pktdefs.h"
#include "support/convert.h"

namespace {

// Bytes from `p` to `end`, never negative.
int left(const unsigned char *p, const unsigned char *end) { return p < end ? (int)(end - p) : 0; }

// Hex dump as pairs: "\n%2.2x%2.2x" at the start of every 32 bytes, " %2.2x%2.2x" else.
void push_hex_pairs(void **stack, const unsigned char *bytes, int n) {
  std::string text;
  char buf[16];
  for (int i = 0; i < n; i += 2) {
    const char *lead = (i % 32 == 0) ? "\n" : " ";
    if (i + 1 < n)
      snprintf(buf, sizeof buf, "%s%2.2x%2.2x", lead, bytes[i], bytes[i + 1]);
    else
      snprintf(buf, sizeof buf, "%s%2.2x", lead, bytes[i]);
    text += buf;
    if (text.size() > 4000) {
      pushstr(stack, text.c_str());
      text.clear();
    }
  }
  if (!text.empty()) pushstr(stack, text.c_str());
}

void push_ip(void **stack, const char *key, uint32_t address, int noipresolv) {
  char text[256];
  if (my_ip2str(address, text, noipresolv, (int)sizeof text) == 0) {
    mypushstr(stack, "%s %s\n", key, text);
  } else {
    elog_clear_register(0);
    mypushstr(stack, "%s %u\n", key, address);
  }
}

// A counted list header: entries follow `head` bytes, the block is `length` bytes from
// its start. The clamped count of `entry` bytes each must fit inside the block, and the
// block inside the payload.
bool list_fits(int length, int head, int count, int entry, int avail) {
  return length >= head && length <= avail && head + count * entry <= length;
}

}  // namespace

// ---- C1_GLOB, 160 bytes ------------------------------------------------------------------
//   0 sixteen uint16 (clock_timeout .. gps_coldstart_seconds) | 32 user_tag uint32
//   36 chan_freq_bit_scale 48 uint16, per channel highest index first
//   132 channel_offset 6 uint16 | 144 channel_gain 6 uint16 | 156 message_bitmap uint32
int q330_decode_GLOB(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 160) return -1;
  Q330GLOBPkt g;
  unsigned char *cur = *cursor;
  uint16_t *head[] = {&g.clock_timeout,     &g.initial_vco,
                      &g.gps_backup_power,  &g.aux_stat_sampling_rates,
                      &g.gain_bitmap,       &g.filter_bitmap,
                      &g.input_bitmap,      &g.web_port,
                      &g.server_timeout,    &g.drift_tolerance,
                      &g.jump_filter,       &g.jump_threshold,
                      &g.calibrator_offset, &g.sensor_control_bitmap,
                      &g.sampling_phase,    &g.gps_coldstart_seconds};
  for (uint16_t *h : head) *h = be_take16(&cur);
  g.user_tag = be_take32(&cur);
  for (int i = 0; i < 6; i++)
    for (int j = 7; j >= 0; j--) g.chan_freq_bit_scale[i][j] = be_take16(&cur);
  for (int i = 0; i < 6; i++) g.channel_offset[i] = be_take16(&cur);
  for (int i = 0; i < 6; i++) g.channel_gain[i] = be_take16(&cur);
  g.message_bitmap = be_take32(&cur);
  std::memcpy(qstruc, &g, sizeof g);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_GLOB(void **stack, void *qstruc, int) {
  const Q330GLOBPkt *g = static_cast<const Q330GLOBPkt *>(qstruc);
  mypushstr(stack, "clock_timeout %u\n", g->clock_timeout);
  mypushstr(stack, "initial_vco %u\n", g->initial_vco);
  mypushstr(stack, "gps_backup_power %u\n", g->gps_backup_power);
  mypushstr(stack, "aux_stat_sampling_rates %u\n", g->aux_stat_sampling_rates);
  mypushstr(stack, "gain_bitmap %u\n", g->gain_bitmap);
  mypushstr(stack, "filter_bitmap %u\n", g->filter_bitmap);
  mypushstr(stack, "input_bitmap %u\n", g->input_bitmap);
  mypushstr(stack, "web_port %u\n", g->web_port);
  mypushstr(stack, "server_timeout %u\n", g->server_timeout);
  mypushstr(stack, "drift_tolerance %u\n", g->drift_tolerance);
  mypushstr(stack, "jump_filter %u\n", g->jump_filter);
  mypushstr(stack, "jump_threshold %u\n", g->jump_threshold);
  mypushstr(stack, "calibrator_offset %u\n", g->calibrator_offset);
  mypushstr(stack, "sensor_control_bitmap %u\n", g->sensor_control_bitmap);
  mypushstr(stack, "sampling_phase %u\n", g->sampling_phase);
  mypushstr(stack, "gps_coldstart_seconds %u\n", g->gps_coldstart_seconds);
  mypushstr(stack, "user_tag %u\n", g->user_tag);
  mypushstr(stack, "chan_freq_bit_scale &Tbl{\n");
  for (int i = 0; i < 6; i++) {
    for (int j = 7; j >= 0; j--)
      mypushstr(stack, j == 7 ? "%u" : " %u", g->chan_freq_bit_scale[i][j]);
    mypushstr(stack, "\n");
  }
  mypushstr(stack, "}\nchannel_offset &Tbl{\n");
  for (int i = 0; i < 6; i++) mypushstr(stack, "%u\n", g->channel_offset[i]);
  mypushstr(stack, "}\nchannel_gain &Tbl{\n");
  for (int i = 0; i < 6; i++) mypushstr(stack, "%u\n", g->channel_gain[i]);
  mypushstr(stack, "}\nmessage_bitmap %u\n", g->message_bitmap);
  return 0;
}

// ---- C1_FLGS -------------------------------------------------------------------------------
//   0 offset_to_glob uint16 | 2 offset_to_sc uint16 | 4 offset_to_log uint16 | 6 spare1
//   8 the C1_FIX block (188 bytes); C1_GLOB, C1_SC and C1_LOG at their offsets from 0.
int q330_decode_FLGS(void *qstruc, int pktsize, unsigned char **cursor) {
  auto f = std::make_unique<Q330FLGSPkt>(*static_cast<Q330FLGSPkt *>(qstruc));
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  if (q330_unstuff_block(0x101, f.get(), pktsize, &cur) < 0) return -1;
  if (q330_unstuff_block(0xA7, &f->fix, pktsize - 8, &cur) < 0) return -1;
  struct Part {
    int offset;
    int command;
    void *dst;
  } parts[] = {{f->offset_to_glob, 0xA6, &f->glob},
               {f->offset_to_sc, 0xAF, &f->sc},
               {f->offset_to_log, 0xA5, &f->log}};
  for (const Part &p : parts) {
    if (p.offset < 8 || p.offset > pktsize) return -1;
    cur = start + p.offset;
    if (q330_unstuff_block(p.command, p.dst, pktsize - p.offset, &cur) < 0) return -1;
  }
  std::memcpy(qstruc, f.get(), sizeof *f);
  *cursor = cur;  // after the LOG block
  return 0;
}

int q330_pfstuff_FLGS(void **, void *, int) { return 0; }

// ---- C1_STAT ---------------------------------------------------------------------------------
//   0 status_bitmap uint32, then the sub-blocks of the set bits in this order: 31 msg,
//   0 glob, 1 gps, 2 pwr, 3 boom, 4 thread, 5 pll, 6 gpss, 7 arp, 8-11 log[0..3],
//   12-14 serial[0..2], 15 eth, 16 baler[0..3] (all four), 17 dynip, 18 aux, 19 schan.
int q330_decode_STAT(void *qstruc, int pktsize, unsigned char **cursor) {
  auto s = std::make_unique<Q330STATPkt>(*static_cast<Q330STATPkt *>(qstruc));
  unsigned char *cur = *cursor;
  unsigned char *end = cur + (pktsize > 0 ? pktsize : 0);
  if (q330_unstuff_block(0x102, s.get(), pktsize, &cur) < 0) return -1;
  uint32_t bits = s->status_bitmap;
  struct Sub {
    int bit;
    int command;
    void *dst;
  };
  std::vector<Sub> subs = {{31, 0x112, &s->msg}, {0, 0x103, &s->glob}, {1, 0x104, &s->gps},
                           {2, 0x105, &s->pwr},  {3, 0x106, &s->boom}, {4, 0x107, &s->thread},
                           {5, 0x108, &s->pll},  {6, 0x109, &s->gpss}, {7, 0x10A, &s->arp}};
  for (int i = 0; i < 4; i++) subs.push_back({8 + i, 0x10B, &s->log[i]});
  for (int i = 0; i < 3; i++) subs.push_back({12 + i, 0x10C, &s->serial[i]});
  subs.push_back({15, 0x10D, &s->eth});
  for (int i = 0; i < 4; i++) subs.push_back({16, 0x10E, &s->baler[i]});
  subs.push_back({17, 0x10F, &s->dynip});
  subs.push_back({18, 0x110, &s->aux});
  subs.push_back({19, 0x111, &s->schan});
  for (const Sub &sub : subs) {
    if (!(bits & (1u << sub.bit))) continue;
    if (q330_unstuff_block(sub.command, sub.dst, left(cur, end), &cur) < 0) return -1;
  }
  std::memcpy(qstruc, s.get(), sizeof *s);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_STAT(void **, void *, int) { return 0; }

// ---- GPS status, 84 bytes ------------------------------------------------------------------
//   0 gps_power_onoff_time, gps_on_if_set, number_of_satellites_used,
//     number_of_satellites_in_view uint16 | 8 time pstr(10) | 18 date pstr(12)
//   30 fix pstr(6) | 36 height pstr(12) | 48 latitude pstr(14) | 62 longitude pstr(14)
//   76 time_of_last_good_1pps uint32 | 80 total_checksum_errors uint32
int q330_decode_GPSSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 84) return -1;
  Q330GPSSTATPkt g;
  unsigned char *cur = *cursor;
  g.gps_power_onoff_time = be_take16(&cur);
  g.gps_on_if_set = be_take16(&cur);
  g.number_of_satellites_used = be_take16(&cur);
  g.number_of_satellites_in_view = be_take16(&cur);
  unstuff_pstr(g.gps_time_string, 10, &cur);
  unstuff_pstr(g.gps_date_string, 12, &cur);
  unstuff_pstr(g.gps_fix_string, 6, &cur);
  unstuff_pstr(g.gps_height_string, 12, &cur);
  unstuff_pstr(g.gps_latitude_string, 14, &cur);
  unstuff_pstr(g.gps_longitude_string, 14, &cur);
  g.time_of_last_good_1pps = be_take32(&cur);
  g.total_checksum_errors = be_take32(&cur);
  unstuff_elev(&g.elev, g.gps_height_string);
  unstuff_latlon(&g.lat, g.gps_latitude_string);
  unstuff_latlon(&g.lon, g.gps_longitude_string);
  std::memcpy(qstruc, &g, sizeof g);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_GPSSTAT(void **stack, void *qstruc, int) {
  const Q330GPSSTATPkt *g = static_cast<const Q330GPSSTATPkt *>(qstruc);
  mypushstr(stack, "gps_power_onoff_time %u\n", g->gps_power_onoff_time);
  mypushstr(stack, "gps_on_if_set %u\n", g->gps_on_if_set);
  mypushstr(stack, "number_of_satellites_used %u\n", g->number_of_satellites_used);
  mypushstr(stack, "number_of_satellites_in_view %u\n", g->number_of_satellites_in_view);
  mypushstr(stack, "gps_time_string %s\n", g->gps_time_string);
  mypushstr(stack, "gps_date_string %s\n", g->gps_date_string);
  mypushstr(stack, "gps_fix_string %s\n", g->gps_fix_string);
  mypushstr(stack, "gps_height_string %s\n", g->gps_height_string);
  mypushstr(stack, "gps_latitude_string %s\n", g->gps_latitude_string);
  mypushstr(stack, "gps_longitude_string %s\n", g->gps_longitude_string);
  mypushstr(stack, "time_of_last_good_1pps %u\n", g->time_of_last_good_1pps);
  mypushstr(stack, "total_checksum_errors %u\n", g->total_checksum_errors);
  mypushstr(stack, "elev %.6f\n", g->elev);
  mypushstr(stack, "lat %.6f\n", g->lat);
  mypushstr(stack, "lon %.6f\n", g->lon);
  return 0;
}

int unstuff_elev(double *elev, const char *text) {
  *elev = -999.0;
  size_t n = text ? strlen(text) : 0;
  if (n <= 2 || text[n - 1] != 'M') return 0;
  std::string number(text, n - 1);
  char *end = nullptr;
  double v = strtod(number.c_str(), &end);
  if (end != number.c_str()) *elev = v;
  return 0;
}

int unstuff_latlon(double *latlon, const char *text) {
  *latlon = -999.0;
  size_t n = text ? strlen(text) : 0;
  if (n <= 5) return 0;
  double sign;
  switch (text[n - 1]) {
    case 'N':
    case 'E':
      sign = 1.0;
      break;
    case 'S':
    case 'W':
      sign = -1.0;
      break;
    default:
      return 0;
  }
  std::string body(text, n - 1);
  size_t dot = body.find('.');
  if (dot == std::string::npos) return 0;
  size_t mstart = dot >= 2 ? dot - 2 : 0;
  const char *mtext = body.c_str() + mstart;
  char *end = nullptr;
  double minutes = strtod(mtext, &end);
  if (end == mtext) return 0;
  long degrees = 0;
  if (mstart > 0) {
    std::string dtext = body.substr(0, mstart);
    char *dend = nullptr;
    degrees = strtol(dtext.c_str(), &dend, 10);
    if (dend == dtext.c_str()) return 0;
  }
  *latlon = sign * ((double)degrees + minutes / 60.0);
  return 0;
}

// ---- Thread status ---------------------------------------------------------------------------
//   0 number_of_entries uint16 | 2 length_of_this_block uint16 (from 0)
//   4 total_system_time_hi32 uint32 | 8 total_system_time_lo16 uint16 | 10 spare1 uint16
//   12 entries of 16 bytes: hi32 uint32, lo16 uint16, priority uint8, priority_counter
//      uint8, time_since_last_run hi32 uint32 and lo16 uint16, flags uint16
int q330_decode_THREADSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 12) return -1;
  Q330THREADSTATPkt t = *static_cast<Q330THREADSTATPkt *>(qstruc);
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  t.number_of_entries = be_take16(&cur);
  t.length_of_this_block = be_take16(&cur);
  if (t.number_of_entries > Q330_THREADSTAT_MAX) t.number_of_entries = Q330_THREADSTAT_MAX;
  if (!list_fits(t.length_of_this_block, 12, t.number_of_entries, 16, pktsize)) return -1;
  t.total_system_time_hi32 = be_take32(&cur);
  t.total_system_time_lo16 = be_take16(&cur);
  t.spare1 = be_take16(&cur);
  for (int i = 0; i < t.number_of_entries; i++) {
    Q330THREADSTATEntry &e = t.entries[i];
    e.total_running_time_hi32 = be_take32(&cur);
    e.total_running_time_lo16 = be_take16(&cur);
    e.priority = be_take8(&cur);
    e.priority_counter = be_take8(&cur);
    e.time_since_last_run_hi32 = be_take32(&cur);
    e.time_since_last_run_lo16 = be_take16(&cur);
    e.flags = be_take16(&cur);
  }
  std::memcpy(qstruc, &t, sizeof t);
  *cursor = start + t.length_of_this_block;
  return 0;
}

int q330_pfstuff_THREADSTAT(void **stack, void *qstruc, int) {
  const Q330THREADSTATPkt *t = static_cast<const Q330THREADSTATPkt *>(qstruc);
  mypushstr(stack, "total_system_time_hi32 %u\n", t->total_system_time_hi32);
  mypushstr(stack, "total_system_time_lo16 %u\n", t->total_system_time_lo16);
  mypushstr(stack, "threads &Tbl{\n");
  int n = t->number_of_entries < Q330_THREADSTAT_MAX ? t->number_of_entries : Q330_THREADSTAT_MAX;
  for (int i = 0; i < n; i++) {
    const Q330THREADSTATEntry &e = t->entries[i];
    mypushstr(stack, "&Arr{\n");
    mypushstr(stack, "total_running_time_hi32 %u\n", e.total_running_time_hi32);
    mypushstr(stack, "total_running_time_lo16 %u\n", e.total_running_time_lo16);
    mypushstr(stack, "priority %u\n", e.priority);
    mypushstr(stack, "priority_counter %u\n", e.priority_counter);
    mypushstr(stack, "time_since_last_run_hi32 %u\n", e.time_since_last_run_hi32);
    mypushstr(stack, "time_since_last_run_lo16 %u\n", e.time_since_last_run_lo16);
    mypushstr(stack, "flags %u\n", e.flags);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- Satellite status ------------------------------------------------------------------------
//   0 number_of_entries uint16 | 2 length_of_this_block uint16 (from 0)
//   4 entries of 8 bytes: satellite_number, elevation, azimuth, snr uint16
int q330_decode_GPSSSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 4) return -1;
  Q330GPSSSTATPkt g = *static_cast<Q330GPSSSTATPkt *>(qstruc);
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  g.number_of_entries = be_take16(&cur);
  g.length_of_this_block = be_take16(&cur);
  if (g.number_of_entries > Q330_GPSSSTAT_MAX) g.number_of_entries = Q330_GPSSSTAT_MAX;
  if (!list_fits(g.length_of_this_block, 4, g.number_of_entries, 8, pktsize)) return -1;
  for (int i = 0; i < g.number_of_entries; i++) {
    g.entries[i].satellite_number = be_take16(&cur);
    g.entries[i].elevation = be_take16(&cur);
    g.entries[i].azimuth = be_take16(&cur);
    g.entries[i].snr = be_take16(&cur);
  }
  std::memcpy(qstruc, &g, sizeof g);
  *cursor = start + g.length_of_this_block;
  return 0;
}

int q330_pfstuff_GPSSSTAT(void **stack, void *qstruc, int) {
  const Q330GPSSSTATPkt *g = static_cast<const Q330GPSSSTATPkt *>(qstruc);
  mypushstr(stack, "gpss &Tbl{\n");
  int n = g->number_of_entries < Q330_GPSSSTAT_MAX ? g->number_of_entries : Q330_GPSSSTAT_MAX;
  for (int i = 0; i < n; i++) {
    mypushstr(stack, "&Arr{\n");
    mypushstr(stack, "satellite_number %u\n", g->entries[i].satellite_number);
    mypushstr(stack, "elevation %u\n", g->entries[i].elevation);
    mypushstr(stack, "azimuth %u\n", g->entries[i].azimuth);
    mypushstr(stack, "snr %u\n", g->entries[i].snr);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- ARP status --------------------------------------------------------------------------------
//   0 number_of_entries uint16 | 2 length_of_this_block uint16 (from 0)
//   4 entries of 12 bytes: ip_address uint32, mac_address_high uint32,
//     mac_address_low uint16, timeout uint16
int q330_decode_ARPSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 4) return -1;
  Q330ARPSTATPkt a = *static_cast<Q330ARPSTATPkt *>(qstruc);
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  a.number_of_entries = be_take16(&cur);
  a.length_of_this_block = be_take16(&cur);
  if (a.number_of_entries > Q330_ARPSTAT_MAX) a.number_of_entries = Q330_ARPSTAT_MAX;
  if (!list_fits(a.length_of_this_block, 4, a.number_of_entries, 12, pktsize)) return -1;
  for (int i = 0; i < a.number_of_entries; i++) {
    a.entries[i].ip_address = be_take32(&cur);
    a.entries[i].mac_address_high = be_take32(&cur);
    a.entries[i].mac_address_low = be_take16(&cur);
    a.entries[i].timeout = be_take16(&cur);
  }
  std::memcpy(qstruc, &a, sizeof a);
  *cursor = start + a.length_of_this_block;
  return 0;
}

int q330_pfstuff_ARPSTAT(void **stack, void *qstruc, int noipresolv) {
  const Q330ARPSTATPkt *a = static_cast<const Q330ARPSTATPkt *>(qstruc);
  mypushstr(stack, "arp &Tbl{\n");
  int n = a->number_of_entries < Q330_ARPSTAT_MAX ? a->number_of_entries : Q330_ARPSTAT_MAX;
  for (int i = 0; i < n; i++) {
    mypushstr(stack, "&Arr{\n");
    push_ip(stack, "ip_address", a->entries[i].ip_address, noipresolv);
    mypushstr(stack, "mac_address_high %8.8X\n", a->entries[i].mac_address_high);
    mypushstr(stack, "mac_address_low %4.4X\n", a->entries[i].mac_address_low);
    mypushstr(stack, "timeout %u\n", a->entries[i].timeout);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- Auxiliary status --------------------------------------------------------------------------
//   0 size_of_this_block uint16 (from 0) | 2 packet_version | 4 aux_type | 6 aux_version
//   8 (size - 8) / 4 uint32 data words, read for aux_type 32 only (at most 8 kept)
int q330_decode_AUXSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 8) return -1;
  Q330AUXSTATPkt a = *static_cast<Q330AUXSTATPkt *>(qstruc);
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  a.size_of_this_block = be_take16(&cur);
  a.packet_version = be_take16(&cur);
  a.aux_type = be_take16(&cur);
  a.aux_version = be_take16(&cur);
  if (a.size_of_this_block < 8 || a.size_of_this_block > pktsize) return -1;
  if (a.aux_type == 32) {
    int n = (a.size_of_this_block - 8) / 4;
    if (n > Q330_AUXSTAT_MAX) n = Q330_AUXSTAT_MAX;
    for (int i = 0; i < n; i++) a.data[i] = be_take32(&cur);
  }
  std::memcpy(qstruc, &a, sizeof a);
  *cursor = start + a.size_of_this_block;
  return 0;
}

int q330_pfstuff_AUXSTAT(void **stack, void *qstruc, int) {
  const Q330AUXSTATPkt *a = static_cast<const Q330AUXSTATPkt *>(qstruc);
  mypushstr(stack, "packet_version %u\n", a->packet_version);
  mypushstr(stack, "aux_type %u\n", a->aux_type);
  mypushstr(stack, "aux_version %u\n", a->aux_version);
  mypushstr(stack, "data &Tbl{\n");
  if (a->aux_type == 32 && a->size_of_this_block >= 8) {
    int n = (a->size_of_this_block - 8) / 4;
    if (n > Q330_AUXSTAT_MAX) n = Q330_AUXSTAT_MAX;
    for (int i = 0; i < n; i++) mypushstr(stack, "%d\n", (int)a->data[i]);
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- Serial-sensor status
// ------------------------------------------------------------------------
//   0 total_size_of_this_block uint16 (from 0) | 2 number_of_subblocks uint16
//   4 sub-blocks: 0 size uint16 (from the sub-block's 0) | 2 sensor_type | 4 serial_interface
//     (0 or 1: the slot) | sensor type 1 only: 6 seconds_per_sample, units,
//     integration_time, fractional_digits, valid_fields uint16 | 16 pressure, temperature,
//     humidity, external temperature int32
namespace {

struct UnitScale {
  double factor;
  const char *segtype;
};

UnitScale pressure_scale(unsigned units) {
  switch (units) {
    case 1:
      return {68.948, "P"};
    case 2:
      return {1.0, "P"};
    case 3:
      return {1000.0, "P"};
    case 4:
      return {1.0, "K"};
    case 5:
      return {1000.0, "K"};
    case 6:
      return {33.85, "P"};
    case 7:
      return {1.3328, "P"};
    case 8:
      return {97.99, "P"};
    default:
      return {1.0, "-"};
  }
}

}  // namespace

int q330_decode_SCHANSTAT(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 4) return -1;
  Q330SCHANSTATPkt s = *static_cast<Q330SCHANSTATPkt *>(qstruc);
  unsigned char *start = *cursor;
  unsigned char *cur = start;
  s.total_size_of_this_block = be_take16(&cur);
  s.number_of_subblocks = be_take16(&cur);
  if (s.total_size_of_this_block < 4 || s.total_size_of_this_block > pktsize) return -1;
  unsigned char *end = start + s.total_size_of_this_block;
  s.filled[0] = s.filled[1] = 0;
  int n = s.number_of_subblocks < 2 ? s.number_of_subblocks : 2;
  for (int i = 0; i < n; i++) {
    unsigned char *sub = cur;
    if (left(sub, end) < 6) return -1;
    uint16_t size = be_take16(&cur);
    uint16_t type = be_take16(&cur);
    uint16_t iface = be_take16(&cur);
    if (size < 6 || size > left(sub, end)) return -1;
    if (iface <= 1) {
      Q330SCHANSTATSubblock &b = s.subblock[iface];
      std::memset(&b, 0, sizeof b);
      b.size_of_this_subblock = size;
      b.sensor_type = type;
      b.serial_interface = iface;
      if (type == 1) {
        if (size < 32) return -1;
        b.seconds_per_sample = be_take16(&cur);
        b.units = be_take16(&cur);
        b.integration_time = be_take16(&cur);
        b.fractional_digits = be_take16(&cur);
        b.valid_fields = be_take16(&cur);
        b.pressure_measurement = (int32_t)be_take32(&cur);
        b.temperature_measurement = (int32_t)be_take32(&cur);
        b.humidity_measurement = (int32_t)be_take32(&cur);
        b.external_temperature_measurement = (int32_t)be_take32(&cur);
        double f = 1.0;
        for (int k = 0; k < b.fractional_digits && k < 30; k++) f /= 10.0;
        UnitScale u = pressure_scale(b.units);
        b.calibT = f;
        snprintf(b.segtypeT, sizeof b.segtypeT, "t");
        b.calibP = f * u.factor;
        snprintf(b.segtypeP, sizeof b.segtypeP, "%s", u.segtype);
        b.calibH = 0.1;
        snprintf(b.segtypeH, sizeof b.segtypeH, "p");
        b.calibET = 0.01;
        snprintf(b.segtypeET, sizeof b.segtypeET, "t");
      }
      s.filled[iface] = 1;
    }
    cur = sub + size;
  }
  std::memcpy(qstruc, &s, sizeof s);
  *cursor = end;
  return 0;
}

int q330_pfstuff_SCHANSTAT(void **stack, void *qstruc, int) {
  const Q330SCHANSTATPkt *s = static_cast<const Q330SCHANSTATPkt *>(qstruc);
  mypushstr(stack, "schan &Tbl{\n");
  for (int i = 0; i < 2; i++) {
    if (!s->filled[i]) continue;
    const Q330SCHANSTATSubblock &b = s->subblock[i];
    mypushstr(stack, "&Arr{\n");
    mypushstr(stack, "sensor_type %u\n", b.sensor_type);
    mypushstr(stack, "serial_interface %u\n", b.serial_interface);
    mypushstr(stack, "seconds_per_sample %u\n", b.seconds_per_sample);
    mypushstr(stack, "units %u\n", b.units);
    mypushstr(stack, "integration_time %u\n", b.integration_time);
    mypushstr(stack, "fractional_digits %u\n", b.fractional_digits);
    mypushstr(stack, "valid_fields %u\n", b.valid_fields);
    mypushstr(stack, "pressure_measurement %d\n", b.pressure_measurement);
    mypushstr(stack, "temperature_measurement %d\n", b.temperature_measurement);
    mypushstr(stack, "humidity_measurement %d\n", b.humidity_measurement);
    mypushstr(stack, "external_temperature_measurement %d\n", b.external_temperature_measurement);
    mypushstr(stack, "calibP %.6f\n", b.calibP);
    mypushstr(stack, "calibT %.6f\n", b.calibT);
    mypushstr(stack, "calibH %.6f\n", b.calibH);
    mypushstr(stack, "calibET %.6f\n", b.calibET);
    mypushstr(stack, "segtypeP %s\n", b.segtypeP);
    mypushstr(stack, "segtypeT %s\n", b.segtypeT);
    mypushstr(stack, "segtypeH %s\n", b.segtypeH);
    mypushstr(stack, "segtypeET %s\n", b.segtypeET);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- C1_RT: 12-byte entries while bytes remain, at most 40 ------------------------------------
//   0 ip_address uint32 | 4 physical_interface uint16 | 6 data_port uint16
//   8 seconds_since_heard uint32
int q330_decode_RT(void *qstruc, int pktsize, unsigned char **cursor) {
  Q330RTPkt *rt = static_cast<Q330RTPkt *>(qstruc);
  std::memset(rt, 0, sizeof *rt);
  unsigned char *cur = *cursor;
  int remaining = pktsize;
  while (remaining >= 12 && rt->nentries < Q330_RT_MAX) {
    Q330RTEntry &e = rt->entries[rt->nentries++];
    e.ip_address = be_take32(&cur);
    e.physical_interface = be_take16(&cur);
    e.data_port = be_take16(&cur);
    e.seconds_since_heard = be_take32(&cur);
    remaining -= 12;
  }
  *cursor = cur;
  return 0;
}

int q330_pfstuff_RT(void **stack, void *qstruc, int noipresolv) {
  const Q330RTPkt *rt = static_cast<const Q330RTPkt *>(qstruc);
  mypushstr(stack, "rt &Tbl{\n");
  int n = rt->nentries < Q330_RT_MAX ? rt->nentries : Q330_RT_MAX;
  for (int i = 0; i < n; i++) {
    const Q330RTEntry &e = rt->entries[i];
    mypushstr(stack, "&Arr{\n");
    push_ip(stack, "ip_address", e.ip_address, noipresolv);
    mypushstr(stack, "physical_interface %u\n", e.physical_interface);
    mypushstr(stack, "data_port %u\n", e.data_port);
    mypushstr(stack, "seconds_since_heard %u\n", e.seconds_since_heard);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- C1_MEM
// ---------------------------------------------------------------------------------------
//   0 starting_address uint32 | 4 byte_count uint16 | 6 memory_type uint16
//   8 contents; a multi-segment read begins with the segment number and count (uint16)
int q330_decode_MEM(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 8) return -1;
  Q330MEMPkt *m = static_cast<Q330MEMPkt *>(qstruc);
  std::memset(m, 0, sizeof *m);
  unsigned char *cur = *cursor;
  m->starting_address = be_take32(&cur);
  m->byte_count = be_take16(&cur);
  m->memory_type = be_take16(&cur);
  int n = m->byte_count;
  if (n > Q330_MEM_MAX) n = Q330_MEM_MAX;
  if (n > pktsize - 8) n = pktsize - 8;
  std::memcpy(m->contents, cur, (size_t)n);
  cur += n;
  m->byte_count = (uint16_t)n;
  unsigned char *c = m->contents;
  m->isegment = be_take16(&c);
  m->nsegment = be_take16(&c);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_MEM(void **stack, void *qstruc, int) {
  const Q330MEMPkt *m = static_cast<const Q330MEMPkt *>(qstruc);
  int n = m->byte_count < Q330_MEM_MAX ? m->byte_count : Q330_MEM_MAX;
  mypushstr(stack, "mem_%d_%u &Arr{\n", m->memory_type, m->isegment);
  mypushstr(stack, "isegment %u\n", m->isegment);
  mypushstr(stack, "nsegment %u\n", m->nsegment);
  mypushstr(stack, "starting_address %u\n", m->starting_address);
  mypushstr(stack, "byte_count %u\n", m->byte_count);
  mypushstr(stack, "memory_type %u\n", m->memory_type);
  mypushstr(stack, "contents &Tbl{");
  push_hex_pairs(stack, m->contents, n);
  mypushstr(stack, "\n}\n");
  mypushstr(stack, "}\n");
  return 0;
}

// ---- C2_EPD
// -----------------------------------------------------------------------------------------
//   0 reserved_serial_1 uint32 | 4 reserved_serial_2 uint32 | 8 channel_count uint16
//   10 spare1 uint16 | 12 entries uint32: channel in the top 8 bits, filter_delay below
int q330_decode_EPD(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 12) return -1;
  auto e = std::make_unique<Q330C2EPDPkt>();
  std::memset(e.get(), 0, sizeof *e);
  unsigned char *cur = *cursor;
  e->reserved_serial_1 = be_take32(&cur);
  e->reserved_serial_2 = be_take32(&cur);
  e->channel_count = be_take16(&cur);
  e->spare1 = be_take16(&cur);
  if (e->channel_count > Q330_EP_MAX) e->channel_count = Q330_EP_MAX;
  if (12 + 4 * e->channel_count > pktsize) return -1;
  for (int i = 0; i < e->channel_count; i++) {
    uint32_t v = be_take32(&cur);
    e->entries[i].channel = (uint8_t)(v >> 24);
    e->entries[i].filter_delay = v & 0xFFFFFFu;
  }
  std::memcpy(qstruc, e.get(), sizeof *e);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_EPD(void **stack, void *qstruc, int) {
  const Q330C2EPDPkt *e = static_cast<const Q330C2EPDPkt *>(qstruc);
  mypushstr(stack, "reserved_serial_1 %u\n", e->reserved_serial_1);
  mypushstr(stack, "reserved_serial_2 %u\n", e->reserved_serial_2);
  mypushstr(stack, "channel_count %hu\n", e->channel_count);
  mypushstr(stack, "spare1 %hu\n", e->spare1);
  mypushstr(stack, "channels &Arr{\n");
  int n = e->channel_count < Q330_EP_MAX ? e->channel_count : Q330_EP_MAX;
  for (int i = 0; i < n; i++) {
    mypushstr(stack, "%u &Arr{\n", e->entries[i].channel);
    mypushstr(stack, "filter_delay %u\n", e->entries[i].filter_delay);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- C2_EPCFG / C2_SEPCFG
// ------------------------------------------------------------------------
//   0 reserved_serial_1, 4 reserved_serial_2, 8 flags_serial_1, 12 flags_serial_2 uint32
//   16 channel_count uint16 | 18 spare1 uint16 | 20 entries: channel uint8, output_mask uint8
int q330_encode_EPCFG(unsigned char **cursor, void *qstruc) {
  const Q330C2EPCFGPkt *e = static_cast<const Q330C2EPCFGPkt *>(qstruc);
  unsigned char *cur = *cursor;
  uint16_t count = e->channel_count < Q330_EP_MAX ? e->channel_count : (uint16_t)Q330_EP_MAX;
  be_emit32(&cur, e->reserved_serial_1);
  be_emit32(&cur, e->reserved_serial_2);
  be_emit32(&cur, e->flags_serial_1);
  be_emit32(&cur, e->flags_serial_2);
  be_emit16(&cur, count);
  be_emit16(&cur, e->spare1);
  for (int i = 0; i < count; i++) {
    *cur++ = e->entries[i].channel;
    *cur++ = e->entries[i].output_mask;
  }
  *cursor = cur;
  return 0;
}

int q330_decode_EPCFG(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 20) return -1;
  auto e = std::make_unique<Q330C2EPCFGPkt>();
  std::memset(e.get(), 0, sizeof *e);
  unsigned char *cur = *cursor;
  e->reserved_serial_1 = be_take32(&cur);
  e->reserved_serial_2 = be_take32(&cur);
  e->flags_serial_1 = be_take32(&cur);
  e->flags_serial_2 = be_take32(&cur);
  e->channel_count = be_take16(&cur);
  e->spare1 = be_take16(&cur);
  if (e->channel_count > Q330_EP_MAX) e->channel_count = Q330_EP_MAX;
  if (20 + 2 * e->channel_count > pktsize) return -1;
  for (int i = 0; i < e->channel_count; i++) {
    e->entries[i].channel = be_take8(&cur);
    e->entries[i].output_mask = be_take8(&cur);
  }
  std::memcpy(qstruc, e.get(), sizeof *e);
  *cursor = cur;
  return 0;
}

int q330_pfstuff_EPCFG(void **stack, void *qstruc, int) {
  const Q330C2EPCFGPkt *e = static_cast<const Q330C2EPCFGPkt *>(qstruc);
  mypushstr(stack, "reserved_serial_1 %u\n", e->reserved_serial_1);
  mypushstr(stack, "reserved_serial_2 %u\n", e->reserved_serial_2);
  mypushstr(stack, "flags_serial_1 %u\n", e->flags_serial_1);
  mypushstr(stack, "flags_serial_2 %u\n", e->flags_serial_2);
  mypushstr(stack, "channel_count %hu\n", e->channel_count);
  mypushstr(stack, "spare1 %hu\n", e->spare1);
  mypushstr(stack, "channels &Arr{\n");
  int n = e->channel_count < Q330_EP_MAX ? e->channel_count : Q330_EP_MAX;
  for (int i = 0; i < n; i++) {
    mypushstr(stack, "%u &Arr{\n", e->entries[i].channel);
    mypushstr(stack, "output_mask %hhu\n", e->entries[i].output_mask);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}

// ---- C1_PING
// --------------------------------------------------------------------------------------
//   type 0/1: 0 type uint16 | 2 id uint16 | 4 data uint32
//   type 4: 0 type uint16 | 2 ignored uint16; type 3: type only is read
//   type 5: 0 type, ignored, version, flags uint16 | 8 eleven uint32 | 52 nine uint16
int q330_encode_PING(unsigned char **cursor, void *qstruc) {
  const Q330PINGPINGPkt *p = static_cast<const Q330PINGPINGPkt *>(qstruc);
  unsigned char *cur = *cursor;
  switch (p->type) {
    case 0:
      be_emit16(&cur, p->type);
      be_emit16(&cur, p->id);
      be_emit32(&cur, p->data);
      break;
    case 4: {
      const Q330PINGINFORQPkt *r = static_cast<const Q330PINGINFORQPkt *>(qstruc);
      be_emit16(&cur, r->type);
      be_emit16(&cur, r->ignored);
      break;
    }
    case 2:
      return 0;
    default:
      elog_log(0, "q330_encode_PING: Bad ping type '%d'.\n", p->type);
      return -1;
  }
  *cursor = cur;
  return 0;
}

int q330_decode_PING(void *qstruc, int pktsize, unsigned char **cursor) {
  if (pktsize < 2) return -1;
  unsigned char *cur = *cursor;
  uint16_t type = be_take16(&cur);
  switch (type) {
    case 1: {
      if (pktsize < 8) return -1;
      Q330PINGPINGPkt *p = static_cast<Q330PINGPINGPkt *>(qstruc);
      p->type = type;
      p->id = be_take16(&cur);
      p->data = be_take32(&cur);
      break;
    }
    case 3:
      static_cast<Q330PINGSTATRSPkt *>(qstruc)->type = type;
      break;
    case 5: {
      if (pktsize < 70) return -1;
      Q330PINGINFORSPkt *p = static_cast<Q330PINGINFORSPkt *>(qstruc);
      p->type = type;
      for (uint16_t *f : {&p->ignored, &p->version, &p->flags}) *f = be_take16(&cur);
      for (uint32_t *f : {&p->kmi_property_tag, &p->serial_number_high, &p->serial_number_low,
                          &p->data_port_1_packet_memory_size, &p->data_port_2_packet_memory_size,
                          &p->data_port_3_packet_memory_size, &p->data_port_4_packet_memory_size,
                          &p->serial_interface_1_memory_trigger_level,
                          &p->serial_interface_2_memory_trigger_level, &p->reserved1,
                          &p->ethernet_interface_memory_trigger_level})
        *f = be_take32(&cur);
      for (uint16_t *f :
           {&p->serial_interface_1_advanced_flags, &p->serial_interface_2_advanced_flags,
            &p->reserved2, &p->ethernet_interface_advanced_flags,
            &p->serial_interface_1_data_port_number, &p->serial_interface_2_data_port_number,
            &p->reserved3, &p->ethernet_interface_data_port_number, &p->calibration_error_bitmap})
        *f = be_take16(&cur);
      break;
    }
    default:
      elog_log(0, "q330_decode_PING: Bad ping type '%d'.\n", type);
      return -1;
  }
  *cursor = cur;
  return 0;
}

int q330_pfstuff_PING(void **, void *, int) { return 0; }

// ---- Token area
// ------------------------------------------------------------------------------------
//   id uint8; 0 is filler. Ids of 0x80 and more carry a length: with bit 0x40 a uint16
//   (body = length - 2), else a uint8 (body = length - 1). Shorter ids have a fixed body
//   (token_size bytes). Fields follow in the order of the token's definition.
namespace {

void free_channel(void *p) { free(p); }

// Reads the token's fields from `body` (token_size bytes present).
void read_token_fields(const Qtpb14Tokendefs *def, void *dst_base, unsigned char **cursor) {
  unsigned char *cur = *cursor;
  for (int i = 0; i < def->tokendef_size; i++) {
    const Pktdef &f = def->tokendef[i];
    unsigned char *dst =
        f.offset >= 0 ? static_cast<unsigned char *>(dst_base) + f.offset : nullptr;
    int n = f.number < 0 ? -f.number : (f.number == 0 ? 1 : f.number);
    switch (f.type) {
      case PKTDEF_CHARS:
        if (dst) {
          std::memcpy(dst, cur, (size_t)n);
          dst[n] = '\0';
          strtrim(reinterpret_cast<char *>(dst));
        }
        cur += n;
        break;
      case PKTDEF_PSTR: {
        int len = cur[0];
        if (len > n - 1) len = n - 1;
        if (dst) {
          std::memcpy(dst, cur + 1, (size_t)len);
          dst[len] = '\0';
          strtrim(reinterpret_cast<char *>(dst));
        }
        cur += n;
        break;
      }
      case PKTDEF_UINT8:
        if (dst) std::memcpy(dst, cur, (size_t)n);
        cur += n;
        break;
      case PKTDEF_UINT16:
      case PKTDEF_INT16:
        for (int k = 0; k < n; k++) {
          uint16_t v = be_take16(&cur);
          if (dst) std::memcpy(dst + 2 * k, &v, 2);
        }
        break;
      case PKTDEF_UINT32:
      case PKTDEF_IPADDR:
        for (int k = 0; k < n; k++) {
          uint32_t v = be_take32(&cur);
          if (dst) std::memcpy(dst + 4 * k, &v, 4);
        }
        break;
      case PKTDEF_FLOAT:
        for (int k = 0; k < n; k++) {
          float v;
          (void)mf2hf(&cur, &v, 1);
          if (dst) std::memcpy(dst + 4 * k, &v, 4);
        }
        break;
      default:
        break;
    }
  }
  *cursor = cur;
}

}  // namespace

int q330_unstuff_qtpb14_token(int id, Qtpb14Tokens *tokens, unsigned char **cursor) {
  q330_pktdefs_init();
  const Qtpb14Tokendefs *def =
      (id >= 0 && id < QTPB14_TOKENDEFS_INDEX_SIZE) ? qtpb14_tokendefs_index[id] : nullptr;
  if (!def) {
    elog_log(0, "q330_unstuff_qtpb14_token: Id %d not defined.\n", id);
    return -1;
  }
  void *dst = tokens;
  if (id == 128) {
    void *rec = calloc(1, sizeof(Qtpb14ChannelTokens));
    if (!rec) {
      elog_log(1, "q330_unstuff_qtpb14_token: malloc(channeltokens,%ld) error.\n",
               (long)sizeof(Qtpb14ChannelTokens));
      return -1;
    }
    if (!tokens->channels) tokens->channels = newtbl(0);
    pushtbl(tokens->channels, rec);
    dst = rec;
  }
  read_token_fields(def, dst, cursor);
  return 0;
}

void q330_free_qtpb14_tokens(Qtpb14Tokens *tokens) {
  if (tokens && tokens->channels) {
    freetbl(tokens->channels, free_channel);
    tokens->channels = nullptr;
  }
}

int q330_unstuff_qtpb14_tokens(Qtpb14Tokens *tokens, const char *buffer, int nbytes) {
  q330_pktdefs_init();
  q330_free_qtpb14_tokens(tokens);
  std::memset(tokens, 0, sizeof *tokens);
  tokens->channels = newtbl(0);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(buffer);
  const unsigned char *end = p + (nbytes > 0 ? nbytes : 0);
  while (p < end) {
    int id = *p++;
    if (id == 0) continue;
    const Qtpb14Tokendefs *def = qtpb14_tokendefs_index[id];
    int body;
    if (id >= 0x80) {
      int length;
      if (id & 0x40) {
        if (left(p, end) < 2) break;
        length = be_get16(p);
        p += 2;
        body = length - 2;
      } else {
        if (left(p, end) < 1) break;
        length = p[0];
        p += 1;
        body = length - 1;
      }
      if (body <= 0) continue;
      if (body > left(p, end)) {
        elog_log(0, "q330_unstuff_qtpb14_tokens: token %d of %d bytes runs past the area.\n", id,
                 body);
        elog_clear_register(0);
        break;
      }
    } else {
      if (!def) {  // unknown fixed-size token: nothing is known of its size
        elog_log(0, "q330_unstuff_qtpb14_token: Id %d not defined.\n", id);
        elog_clear_register(0);
        continue;
      }
      body = def->token_size;
      if (body > left(p, end)) {
        elog_log(0, "q330_unstuff_qtpb14_tokens: token %d of %d bytes runs past the area.\n", id,
                 body);
        elog_clear_register(0);
        break;
      }
    }
    // Fields are read from the token's own body only; a body shorter than the fields
    // reads the rest as zero.
    int room = def && def->token_size > body ? def->token_size : body;
    std::vector<unsigned char> copy((size_t)room, 0);
    std::memcpy(copy.data(), p, (size_t)body);
    unsigned char *cur = copy.data();
    if (q330_unstuff_qtpb14_token(id, tokens, &cur) < 0) elog_clear_register(0);
    p += body;
  }
  return 0;
}

int q330_pfstuff_qtpb14_tokens(int memory_type, void **stack, const Qtpb14Tokens *tokens) {
  mypushstr(stack, "%d &Arr{\n", memory_type);
  mypushstr(stack, "%s %u\n", "version", tokens->version);
  mypushstr(stack, "%s %s\n", "net", tokens->net);
  mypushstr(stack, "%s %s\n", "sta", tokens->sta);
  mypushstr(stack, "%s %s\n", "msg_chan", tokens->msg_chan);
  mypushstr(stack, "%s %s\n", "msg_loc", tokens->msg_loc);
  mypushstr(stack, "%s %s\n", "timing_chan", tokens->timing_chan);
  mypushstr(stack, "%s %s\n", "timing_loc", tokens->timing_loc);
  mypushstr(stack, "%s %s\n", "cfg_chan", tokens->cfg_chan);
  mypushstr(stack, "%s %s\n", "cfg_loc", tokens->cfg_loc);
  mypushstr(stack, "%s %u\n", "web_port", tokens->web_port);
  mypushstr(stack, "channels &Tbl{\n");
  long n = tokens->channels ? maxtbl(tokens->channels) : 0;
  for (long i = 0; i < n; i++) {
    const Qtpb14ChannelTokens *c =
        static_cast<const Qtpb14ChannelTokens *>(gettbl(tokens->channels, i));
    std::string name = std::string(tokens->net[0] ? tokens->net : "-") + "_" +
                       (tokens->sta[0] ? tokens->sta : "-") + "_" +
                       (c->qtpb14_chan[0] ? c->qtpb14_chan : "-");
    if (c->qtpb14_loc[0]) name += std::string("_") + c->qtpb14_loc;
    mypushstr(stack, "%s %s %u %u %u %u %d\n", name.c_str(), c->q330_netstachanloc, c->lcqref,
              c->channel, c->stream, c->options, c->rate);
  }
  mypushstr(stack, "}\n");
  mypushstr(stack, "}\n");
  return 0;
}

int q330_pfstuff_tokens(void **stack, int memory_type, const unsigned char *bytes, int ntok) {
  mypushstr(stack, "tokens_%d &Tbl{", memory_type);
  push_hex_pairs(stack, bytes, ntok);
  mypushstr(stack, "\n}\n");
  return 0;
}
